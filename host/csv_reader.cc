#include "host/csv_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <unordered_map>

#include "host/text_util.h"

namespace host {

namespace {

constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();

struct Field {
  std::string_view raw;  // between the quotes for a quoted field
  bool quoted = false;
  bool has_escape = false;  // contains a doubled quote
};

// One more digit of a mantissa; false past 18 significant digits, which may not fit exactly.
bool add_digit(char digit, uint64_t* mantissa, int* significant) {
  if (*significant >= 18) return false;
  *mantissa = *mantissa * 10 + static_cast<uint64_t>(digit - '0');
  if (*mantissa != 0) ++*significant;
  return true;
}

// The signed digits of an exponent, after its 'e' or 'E', added to *exp10. Returns the end of
// them, or null when there are none or they are implausibly many.
const char* exponent_digits(const char* p, const char* end, int* exp10) {
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) {
    negative = *p == '-';
    ++p;
  }
  if (p == end || *p < '0' || *p > '9') return nullptr;
  int e = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    if (e > 1000) return nullptr;
    e = e * 10 + (*p - '0');
  }
  *exp10 += negative ? -e : e;
  return p;
}

// Clinger's fast path: a mantissa of at most 2^53 and a power of ten of at most 22 are exact
// doubles, so one multiplication or division gives the correctly rounded value. Most fields of
// analysis data take this path.
// Returns the end of the number, or null when the text there needs the general parser.
const char* fast_decimal(const char* p, const char* end, double* out) {
  static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) {
    negative = *p == '-';
    ++p;
  }
  uint64_t mantissa = 0;
  int significant = 0;
  int exp10 = 0;
  bool any = false;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    if (!add_digit(*p, &mantissa, &significant)) return nullptr;
    any = true;
  }
  if (p < end && *p == '.') {
    for (++p; p < end && *p >= '0' && *p <= '9'; ++p) {
      if (!add_digit(*p, &mantissa, &significant)) return nullptr;
      --exp10;
      any = true;
    }
  }
  if (!any) return nullptr;
  if (p < end && (*p == 'e' || *p == 'E')) {
    p = exponent_digits(p + 1, end, &exp10);
    if (p == nullptr) return nullptr;
  }
  if (mantissa > (uint64_t{1} << 53) || exp10 < -22 || exp10 > 22) return nullptr;
  double v = static_cast<double>(mantissa);
  v = exp10 < 0 ? v / kPow10[-exp10] : v * kPow10[exp10];
  *out = negative ? -v : v;
  return p;
}

std::string unescape(const Field& f) {
  if (!f.has_escape) return std::string(f.raw);
  std::string out;
  out.reserve(f.raw.size());
  for (size_t i = 0; i < f.raw.size(); ++i) {
    out += f.raw[i];
    if (f.raw[i] == '"') ++i;  // the second quote of a pair
  }
  return out;
}

// Walks one record at a time. Line numbers count physical lines, so a quoted field that spans
// lines is reported at the line where its record starts.
class Scanner {
 public:
  Scanner(std::string_view text, char delimiter, std::string_view label)
      : text_(text), delim_(delimiter), label_(label) {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;  // UTF-8 byte order mark
  }

  bool at_end() const { return pos_ >= text_.size(); }
  size_t pos() const { return pos_; }
  void seek(size_t pos) { pos_ = pos; }
  int64_t line() const { return line_; }
  const std::string& error() const { return error_; }

  // True when only line ends remain.
  bool only_blank_lines_left() const {
    for (size_t i = pos_; i < text_.size(); ++i) {
      if (text_[i] != '\n' && text_[i] != '\r') return false;
    }
    return true;
  }

  // Reads the next field. Returns false on a malformed field (error() says why). *last is set
  // when the field ends its record.
  bool next_field(Field* f, bool* last) {
    f->quoted = false;
    f->has_escape = false;
    const size_t n = text_.size();
    if (pos_ < n && text_[pos_] == '"') {
      if (!quoted_field(f)) return false;
    } else {
      plain_field(f);
    }
    if (pos_ < n && text_[pos_] == delim_) {
      ++pos_;
      *last = false;
      return true;
    }
    *last = true;
    skip_line_end();
    return true;
  }

  // A field in quotes, at its opening quote; "" inside stands for one quote.
  bool quoted_field(Field* f) {
    const size_t n = text_.size();
    const int64_t start_line = line_;
    f->quoted = true;
    size_t i = pos_ + 1;
    const size_t begin = i;
    for (;;) {
      if (i >= n) {
        error_ = location(start_line) + ": a quoted field is not closed";
        return false;
      }
      const char c = text_[i];
      if (c == '"') {
        if (i + 1 < n && text_[i + 1] == '"') {
          f->has_escape = true;
          i += 2;
          continue;
        }
        break;
      }
      if (c == '\n') ++line_;
      ++i;
    }
    f->raw = text_.substr(begin, i - begin);
    pos_ = i + 1;
    if (pos_ < n && text_[pos_] != delim_ && text_[pos_] != '\n' && text_[pos_] != '\r') {
      error_ = location(line_) + ": unexpected character after the closing quote of a field";
      return false;
    }
    return true;
  }

  void plain_field(Field* f) {
    const size_t n = text_.size();
    size_t i = pos_;
    while (i < n) {
      const char c = text_[i];
      if (c == delim_ || c == '\n' || c == '\r') break;
      ++i;
    }
    f->raw = text_.substr(pos_, i - pos_);
    pos_ = i;
  }

  // An unquoted field that is a plain number: read in place, without a second look at its text.
  bool next_number(double* value, bool* last) {
    const char* begin = text_.data() + pos_;
    const char* end = text_.data() + text_.size();
    const char* stop = fast_decimal(begin, end, value);
    if (stop == nullptr || stop == begin) return false;
    if (stop != end && *stop != delim_ && *stop != '\n' && *stop != '\r') return false;
    pos_ += static_cast<size_t>(stop - begin);
    if (stop != end && *stop == delim_) {
      ++pos_;
      *last = false;
      return true;
    }
    *last = true;
    skip_line_end();
    return true;
  }

  std::string location(int64_t line) const {
    return "File " + std::string(label_) + ", line " + std::to_string(line);
  }

 private:
  void skip_line_end() {
    if (pos_ < text_.size() && text_[pos_] == '\r') ++pos_;
    if (pos_ < text_.size() && text_[pos_] == '\n') ++pos_;
    ++line_;
  }

  std::string_view text_;
  char delim_;
  std::string_view label_;
  size_t pos_ = 0;
  int64_t line_ = 1;
  std::string error_;
};

Failure fail(std::string message) {
  return Failure{std::move(message)};
}

// A regular file mapped read-only. Parsing from the page cache spares a copy of the whole file
// into fresh memory, which on a large data set costs more than the parse.
class MappedFile {
 public:
  explicit MappedFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
      if (p != MAP_FAILED) {
        data_ = static_cast<const char*>(p);
        size_ = static_cast<size_t>(st.st_size);
        ::madvise(p, size_, MADV_SEQUENTIAL);
      }
    }
    ::close(fd);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() {
    if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
  }
  bool mapped() const { return data_ != nullptr; }
  std::string_view text() const { return {data_, size_}; }

 private:
  const char* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace

bool is_missing_form(std::string_view field) {
  field = trim_blanks(field);
  if (field.empty() || field == "." || field == "._" || field == "NA") return true;
  if (field.size() == 2 && field[0] == '.') {
    const char c = ascii_upper(field[1]);
    return c >= 'A' && c <= 'Z';
  }
  return false;
}

std::string character_explanation(const Column& column) {
  if (column.type != VarType::kCharacter || !column.first_text) return {};
  constexpr size_t kShown = 40;
  std::string text = column.first_text->text;
  if (text.size() > kShown) {
    size_t cut = kShown;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // UTF-8
    text = text.substr(0, cut) + "...";
  }
  return column.name + " is character because line " + std::to_string(column.first_text->line) +
         " holds '" + text +
         "'; a numeric column holds numbers and these missing values only: an empty field, ., "
         ".A to .Z, ._ or NA.";
}

bool parse_decimal(std::string_view field, double* value) {
  const char* p = field.data();
  const char* end = p + field.size();
  if (p == end) return false;
  if (fast_decimal(p, end, value) == end) return true;
  const char* body = p;
  if (*body == '+' || *body == '-') ++body;
  // Only digits or a point may follow the sign: this refuses "inf", "nan" and hexadecimal.
  if (body == end || !((*body >= '0' && *body <= '9') || *body == '.')) return false;
  if (body + 1 < end && body[0] == '0' && (body[1] == 'x' || body[1] == 'X')) return false;
  const char* start = (*p == '+') ? p + 1 : p;
  double v = 0.0;
  auto [ptr, ec] = std::from_chars(start, end, v, std::chars_format::general);
  if (ptr != end) return false;
  if (ec == std::errc::result_out_of_range) {
    // Underflow is a number close to zero; overflow is not finite.
    const std::string copy(start, end);
    errno = 0;
    v = std::strtod(copy.c_str(), nullptr);
    if (!std::isfinite(v)) return false;
  } else if (ec != std::errc()) {
    return false;
  }
  *value = v;
  return true;
}

namespace {

// The line of names: one column per name, none empty, none twice. Returns why not, or nothing.
std::string read_names(Scanner& scan, DataTable* table) {
  std::unordered_map<std::string, size_t> seen;
  for (bool last = false; !last;) {
    Field f;
    if (!scan.next_field(&f, &last)) return scan.error();
    Column col;
    col.name = std::string(trim_blanks(unescape(f)));
    const size_t index = table->columns.size() + 1;
    if (col.name.empty()) {
      return scan.location(1) + ": the name of variable " + std::to_string(index) + " is empty";
    }
    auto [it, fresh] = seen.emplace(to_upper(col.name), index);
    if (!fresh) {
      return scan.location(1) + ": variable name " + col.name + " appears twice (columns " +
             std::to_string(it->second) + " and " + std::to_string(index) + ")";
    }
    table->columns.push_back(std::move(col));
  }
  return {};
}

// At least the number of records after `from`: sizing the columns up front keeps the main pass
// free of reallocation.
size_t records_at_most(std::string_view text, size_t from) {
  size_t estimate = 1;
  for (const char *p = text.data() + from, *end = text.data() + text.size();
       (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))) !=
       nullptr;
       ++p) {
    ++estimate;
  }
  return estimate;
}

// A field of a column that is numeric so far, which the fast path did not read: a number (with
// a decimal comma where the file uses one), a missing value, or text that makes the column
// character, remembered with its line for the explanation.
void add_to_numeric_column(const Field& f, bool decimal_comma, int64_t record_line, Column* column,
                           char* numeric) {
  std::string unescaped;
  std::string_view content = f.raw;
  if (f.has_escape) {
    unescaped = unescape(f);
    content = unescaped;
  }
  content = trim_blanks(content);
  double v = 0.0;
  std::vector<double>& values = column->numbers;
  std::string pointed;
  if (decimal_comma && content.find(',') != std::string_view::npos &&
      content.find('.') == std::string_view::npos) {
    pointed = content;
    pointed[pointed.find(',')] = '.';
    content = pointed;
  }
  if (parse_decimal(content, &v)) {
    values.push_back(v);
  } else if (is_missing_form(content)) {
    // .A to .Z and ._ keep their letter: WHERE and BY tell them apart, as SAS does.
    values.push_back(content.size() == 2 && content[0] == '.' ? special_missing(content[1])
                                                              : kMissing);
  } else {
    *numeric = 0;
    std::vector<double>().swap(values);
    column->first_text = FirstText{record_line, std::string(content)};
  }
}

// One record's fields into the columns; the number of fields, or none on a malformed field
// (scan.error() says why). Numeric columns take the fast path first.
std::optional<size_t> read_record(Scanner& scan, bool decimal_comma, int64_t record_line,
                                  DataTable* table, std::vector<char>* numeric) {
  const size_t ncol = table->columns.size();
  size_t count = 0;
  for (bool last = false; !last;) {
    if (count < ncol && (*numeric)[count]) {
      double v = 0.0;
      if (scan.next_number(&v, &last)) {
        table->columns[count].numbers.push_back(v);
        ++count;
        continue;
      }
    }
    Field f;
    if (!scan.next_field(&f, &last)) return std::nullopt;
    if (count < ncol && (*numeric)[count]) {
      add_to_numeric_column(f, decimal_comma, record_line, &table->columns[count],
                            &(*numeric)[count]);
    }
    ++count;
  }
  return count;
}

// Character columns are rare in analysis data; a second walk collects their text only.
void collect_texts(Scanner& scan, const std::vector<size_t>& row_starts,
                   const std::vector<char>& numeric, DataTable* table) {
  for (size_t start : row_starts) {
    scan.seek(start);
    size_t c = 0;
    for (bool last = false; !last; ++c) {
      Field f;
      scan.next_field(&f, &last);
      if (!numeric[c]) table->columns[c].texts.push_back(unescape(f));
    }
  }
}

}  // namespace

ReadOutcome parse_csv(std::string_view text, char delimiter, std::string_view label,
                      bool decimal_comma) {
  Scanner scan(text, delimiter, label);
  if (scan.at_end() || scan.only_blank_lines_left()) {
    return fail("File " + std::string(label) + " is empty: it has no line of variable names");
  }

  auto table = std::make_shared<DataTable>();
  const std::string wrong_names = read_names(scan, table.get());
  if (!wrong_names.empty()) return fail(wrong_names);
  const size_t ncol = table->columns.size();

  const size_t estimate = records_at_most(text, scan.pos());
  std::vector<char> numeric(ncol, 1);
  for (Column& c : table->columns) c.numbers.reserve(estimate);
  std::vector<size_t> row_starts;
  row_starts.reserve(estimate);

  while (!scan.at_end()) {
    if (scan.only_blank_lines_left()) break;
    const int64_t record_line = scan.line();
    row_starts.push_back(scan.pos());
    const std::optional<size_t> fields =
        read_record(scan, decimal_comma, record_line, table.get(), &numeric);
    if (!fields) return fail(scan.error());
    const size_t count = *fields;
    if (count != ncol) {
      return fail(scan.location(record_line) + ": the row has " + std::to_string(count) +
                  (count == 1 ? " field" : " fields") + " where the header has " +
                  std::to_string(ncol));
    }
    ++table->rows;
  }

  for (size_t c = 0; c < ncol; ++c) {
    if (!numeric[c]) {
      table->columns[c].type = VarType::kCharacter;
      table->columns[c].texts.reserve(static_cast<size_t>(table->rows));
    }
  }
  const bool any_character = std::find(numeric.begin(), numeric.end(), 0) != numeric.end();
  if (any_character) collect_texts(scan, row_starts, numeric, table.get());
  return std::shared_ptr<const DataTable>(std::move(table));
}

CsvDialect choose_dialect(std::string_view text, const std::filesystem::path& path,
                          std::optional<char> chosen, std::string* note) {
  CsvDialect d;
  if (chosen) {
    d.delimiter = *chosen;
  } else if (to_lower(path.extension().string()) == ".tsv") {
    d.delimiter = '\t';
  } else {
    const std::string_view names = text.substr(0, text.find('\n'));
    const auto count = [&](char c) { return std::count(names.begin(), names.end(), c); };
    if (count(',') == 0 && (count(';') > 0 || count('\t') > 0)) {
      d.delimiter = count(';') >= count('\t') ? ';' : '\t';
      if (note != nullptr) {
        *note = "The line of names of " + path.string() + " holds no comma but " +
                (d.delimiter == ';' ? "semicolons: it is read with ; between the fields and , as "
                                      "the decimal mark."
                                    : "tabs: it is read with tabs between the fields.");
      }
    }
  }
  d.decimal_comma = d.delimiter == ';';
  return d;
}

ReadOutcome read_csv_file(const std::filesystem::path& path, std::optional<char> chosen,
                          std::string* note) {
  const std::string label = path.string();
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    return fail("File " + label + " cannot be read: it is a folder");
  }
  {
    const MappedFile mapped(path);
    if (mapped.mapped()) {
      const CsvDialect d = choose_dialect(mapped.text(), path, chosen, note);
      return parse_csv(mapped.text(), d.delimiter, label, d.decimal_comma);
    }
  }
  // Empty files, pipes and whatever cannot be mapped are read the ordinary way.
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return fail("File " + label + " cannot be read: " + std::strerror(errno));
  }
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0) return fail("File " + label + " cannot be read");
  // Left uninitialised: the read fills it, and zeroing a large file first costs time.
  const auto text = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(size));
  in.seekg(0, std::ios::beg);
  if (!in.read(text.get(), size)) {
    return fail("File " + label + " cannot be read completely");
  }
  const std::string_view all(text.get(), static_cast<size_t>(size));
  const CsvDialect d = choose_dialect(all, path, chosen, note);
  return parse_csv(all, d.delimiter, label, d.decimal_comma);
}

}  // namespace host
