#include "host/sas_reader.h"

#include <readstat.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/text_util.h"

namespace host {

namespace {

constexpr size_t kXportRecord = 80;
constexpr std::string_view kXportStart = "HEADER RECORD*******LIB";

// The parser reads through these handlers, so a data set in memory needs no temporary file.
struct MemoryFile {
  const char* data = nullptr;
  size_t size = 0;
  size_t pos = 0;
};

int memory_open(const char* /*path*/, void* io_ctx) {
  static_cast<MemoryFile*>(io_ctx)->pos = 0;
  return 0;
}

int memory_close(void* /*io_ctx*/) {
  return 0;
}

readstat_off_t memory_seek(readstat_off_t offset, readstat_io_flags_t whence, void* io_ctx) {
  auto* f = static_cast<MemoryFile*>(io_ctx);
  int64_t base = 0;
  if (whence == READSTAT_SEEK_CUR) {
    base = static_cast<int64_t>(f->pos);
  } else if (whence == READSTAT_SEEK_END) {
    base = static_cast<int64_t>(f->size);
  }
  const int64_t size = static_cast<int64_t>(f->size);
  // A damaged header can ask for any offset; past either end the file is simply too short.
  if (offset < -base || offset > size - base) return -1;
  f->pos = static_cast<size_t>(base + offset);
  return static_cast<readstat_off_t>(f->pos);
}

ssize_t memory_read(void* buf, size_t nbyte, void* io_ctx) {
  auto* f = static_cast<MemoryFile*>(io_ctx);
  const size_t n = std::min(nbyte, f->size - f->pos);
  if (n > 0) std::memcpy(buf, f->data + f->pos, n);
  f->pos += n;
  return static_cast<ssize_t>(n);
}

readstat_error_t memory_update(long file_size, readstat_progress_handler progress, void* user_ctx,
                               void* io_ctx) {
  if (progress == nullptr || file_size <= 0) return READSTAT_OK;
  const auto* f = static_cast<const MemoryFile*>(io_ctx);
  const double done = static_cast<double>(f->pos) / static_cast<double>(file_size);
  return progress(done, user_ctx) == READSTAT_HANDLER_OK ? READSTAT_OK : READSTAT_ERROR_USER_ABORT;
}

// What the callbacks build; `error` set by a callback stops the parse with that text.
struct Reading {
  DataTable* table = nullptr;
  size_t file_size = 0;
  int64_t declared_rows = -1;
  size_t declared_vars = 0;
  std::unordered_map<std::string, size_t> seen;  // upper-case name -> column number from 1
  std::string error;
  bool out_of_memory = false;  // composing a message could fail again
};

int on_metadata(readstat_metadata_t* metadata, void* ctx) {
  auto* r = static_cast<Reading*>(ctx);
  r->declared_rows = readstat_get_row_count(metadata);
  try {
    // Counts come from the file's header: trust them for sizing only as far as the bytes allow.
    const int64_t vars = readstat_get_var_count(metadata);
    if (vars > 0) {
      r->declared_vars = std::min(static_cast<size_t>(vars), r->file_size);
      r->table->columns.reserve(r->declared_vars);
    }
  } catch (const std::exception&) {
    // Sizing is only a hint; the columns grow as they arrive.
  }
  return READSTAT_HANDLER_OK;
}

int on_variable(int index, readstat_variable_t* variable, const char* /*val_labels*/, void* ctx) {
  auto* r = static_cast<Reading*>(ctx);
  try {
    std::vector<Column>& columns = r->table->columns;
    const size_t number = columns.size() + 1;
    if (index < 0 || static_cast<size_t>(index) != columns.size()) {
      r->error = "variable " + std::to_string(number) + " is out of order in the file's header";
      return READSTAT_HANDLER_ABORT;
    }
    const char* raw = readstat_variable_get_name(variable);
    Column col;
    col.name = std::string(trim_blanks(raw == nullptr ? "" : raw));
    if (col.name.empty()) {
      r->error = "the name of variable " + std::to_string(number) + " is empty";
      return READSTAT_HANDLER_ABORT;
    }
    auto [it, fresh] = r->seen.emplace(to_upper(col.name), number);
    if (!fresh) {
      r->error = "variable name " + col.name + " appears twice (variables " +
                 std::to_string(it->second) + " and " + std::to_string(number) + ")";
      return READSTAT_HANDLER_ABORT;
    }
    col.type = readstat_variable_get_type_class(variable) == READSTAT_TYPE_CLASS_STRING
                   ? VarType::kCharacter
                   : VarType::kNumeric;
    if (r->declared_rows > 0) {
      // Header counts may be damaged: reserve no more values in all than the file has bytes.
      const size_t expected = std::min(static_cast<size_t>(r->declared_rows),
                                       r->file_size / std::max<size_t>(1, r->declared_vars));
      if (col.type == VarType::kNumeric) {
        col.numbers.reserve(expected);
      } else {
        col.texts.reserve(expected);
      }
    }
    columns.push_back(std::move(col));
  } catch (const std::exception&) {
    r->out_of_memory = true;
    return READSTAT_HANDLER_ABORT;
  }
  return READSTAT_HANDLER_OK;
}

int on_value(int obs_index, readstat_variable_t* variable, readstat_value_t value, void* ctx) {
  auto* r = static_cast<Reading*>(ctx);
  DataTable& table = *r->table;
  // Nothing may throw back into the parser's C frames.
  try {
    const int index = readstat_variable_get_index(variable);
    if (index < 0 || static_cast<size_t>(index) >= table.columns.size()) {
      r->error = "a value belongs to no variable of the file's header";
      return READSTAT_HANDLER_ABORT;
    }
    Column& col = table.columns[static_cast<size_t>(index)];
    const size_t held = col.type == VarType::kNumeric ? col.numbers.size() : col.texts.size();
    // Values arrive row by row; anything else would put a value in the wrong observation.
    if (obs_index < 0 || static_cast<size_t>(obs_index) != held) {
      r->error = "the values of variable " + col.name + " are out of order at observation " +
                 std::to_string(static_cast<int64_t>(obs_index) + 1);
      return READSTAT_HANDLER_ABORT;
    }
    const bool is_string = readstat_value_type_class(value) == READSTAT_TYPE_CLASS_STRING;
    if (is_string != (col.type == VarType::kCharacter)) {
      r->error = "variable " + col.name + " holds a value of the other type at observation " +
                 std::to_string(static_cast<int64_t>(obs_index) + 1);
      return READSTAT_HANDLER_ABORT;
    }
    if (is_string) {
      const char* text = readstat_string_value(value);
      col.texts.emplace_back(text == nullptr ? "" : text);
    } else if (readstat_value_is_tagged_missing(value)) {
      col.numbers.push_back(special_missing(readstat_value_tag(value)));
    } else if (readstat_value_is_system_missing(value)) {
      col.numbers.push_back(std::numeric_limits<double>::quiet_NaN());
    } else {
      const double v = readstat_double_value(value);
      // SAS numbers are never infinite: such a bit pattern holds no value and counts as missing.
      col.numbers.push_back(std::isfinite(v) ? v : std::numeric_limits<double>::quiet_NaN());
    }
  } catch (const std::exception&) {
    r->out_of_memory = true;
    return READSTAT_HANDLER_ABORT;
  }
  const int64_t rows = static_cast<int64_t>(obs_index) + 1;
  if (rows > table.rows) table.rows = rows;
  return READSTAT_HANDLER_OK;
}

// The parser's own texts describe its internals ("retval = 2"); the status code it returns is
// what the user's message is built from. The handler keeps those texts off standard error.
void on_error(const char* /*message*/, void* /*ctx*/) {}

// The parser's reason, worded so that the user knows what to do about it.
std::string reason(readstat_error_t code) {
  const char* base = readstat_error_message(code);
  std::string text = base == nullptr ? "unknown error" : base;
  switch (code) {
    case READSTAT_ERROR_READ:
    case READSTAT_ERROR_SEEK:
    case READSTAT_ERROR_ROW_COUNT_MISMATCH:
    case READSTAT_ERROR_COLUMN_COUNT_MISMATCH:
    case READSTAT_ERROR_ROW_WIDTH_MISMATCH:
      return text + "; the file is truncated or damaged.";
    case READSTAT_ERROR_UNSUPPORTED_COMPRESSION:
      return text + "; save the data set without compression (COMPRESS=NO) or as a transport file.";
    case READSTAT_ERROR_UNSUPPORTED_CHARSET:
    case READSTAT_ERROR_CONVERT:
    case READSTAT_ERROR_CONVERT_BAD_STRING:
    case READSTAT_ERROR_CONVERT_SHORT_STRING:
    case READSTAT_ERROR_CONVERT_LONG_STRING:
      return text + "; save the data set with UTF-8 or Latin-1 encoding.";
    case READSTAT_ERROR_MALLOC:
      return text + "; the data set is too large for the memory available.";
    default:
      return text + ".";
  }
}

Failure fail(std::string_view label, const std::string& why) {
  return Failure{"File " + std::string(label) + " could not be read as a SAS data set: " + why};
}

struct ParserDeleter {
  void operator()(readstat_parser_t* p) const { readstat_parser_free(p); }
};

}  // namespace

char sas_missing_form(double value) {
  return missing_form(value);
}

ReadOutcome parse_sas(std::string_view bytes, SasFormat format, std::string_view label) {
  if (bytes.empty()) return fail(label, "the file is empty.");
  // A transport file is a sequence of 80-byte records. Cut short inside the data, it still parses
  // and silently yields fewer observations, so its length is the one sign of the damage.
  if (format == SasFormat::kXport && bytes.starts_with(kXportStart) &&
      bytes.size() % kXportRecord != 0) {
    return fail(label,
                "its length is not a whole number of 80-byte records; the file is "
                "truncated or damaged.");
  }
  std::unique_ptr<readstat_parser_t, ParserDeleter> parser(readstat_parser_init());
  if (!parser) return fail(label, reason(READSTAT_ERROR_MALLOC));

  MemoryFile file{bytes.data(), bytes.size(), 0};
  auto table = std::make_shared<DataTable>();
  Reading reading;
  reading.table = table.get();
  reading.file_size = bytes.size();

  readstat_parser_t* p = parser.get();
  if (readstat_set_open_handler(p, memory_open) != READSTAT_OK ||
      readstat_set_close_handler(p, memory_close) != READSTAT_OK ||
      readstat_set_seek_handler(p, memory_seek) != READSTAT_OK ||
      readstat_set_read_handler(p, memory_read) != READSTAT_OK ||
      readstat_set_update_handler(p, memory_update) != READSTAT_OK ||
      readstat_set_io_ctx(p, &file) != READSTAT_OK ||
      readstat_set_metadata_handler(p, on_metadata) != READSTAT_OK ||
      readstat_set_variable_handler(p, on_variable) != READSTAT_OK ||
      readstat_set_value_handler(p, on_value) != READSTAT_OK ||
      readstat_set_error_handler(p, on_error) != READSTAT_OK) {
    return fail(label, "the SAS reading library could not be set up.");
  }

  const std::string name(label);
  const readstat_error_t status = format == SasFormat::kSas7bdat
                                      ? readstat_parse_sas7bdat(p, name.c_str(), &reading)
                                      : readstat_parse_xport(p, name.c_str(), &reading);
  if (reading.out_of_memory) {
    return fail(label, "there is not enough memory to hold the data set.");
  }
  if (!reading.error.empty()) return fail(label, reading.error + ".");
  if (status != READSTAT_OK) return fail(label, reason(status));

  if (table->columns.empty()) return fail(label, "the data set has no variables.");
  for (const Column& col : table->columns) {
    const size_t held = col.type == VarType::kNumeric ? col.numbers.size() : col.texts.size();
    if (static_cast<int64_t>(held) != table->rows) {
      return fail(label, "variable " + col.name + " has " + std::to_string(held) +
                             " values where the data set has " + std::to_string(table->rows) +
                             " observations; the file is truncated or damaged.");
    }
  }
  if (reading.declared_rows >= 0 && reading.declared_rows != table->rows) {
    return fail(label, "the file declares " + std::to_string(reading.declared_rows) +
                           " observations but holds " + std::to_string(table->rows) +
                           "; the file is truncated or damaged.");
  }
  return std::shared_ptr<const DataTable>(std::move(table));
}

ReadOutcome read_sas_file(const std::filesystem::path& path) {
  const std::string label = path.string();
  const std::string ext = to_lower(path.extension().string());
  SasFormat format = SasFormat::kSas7bdat;
  if (ext == ".xpt") {
    format = SasFormat::kXport;
  } else if (ext != ".sas7bdat") {
    return Failure{"File " + label +
                   " is not a SAS data set: its name must end in .sas7bdat or .xpt"};
  }
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    return Failure{"File " + label + " cannot be read: it is a folder"};
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return Failure{"File " + label + " cannot be read: " + std::strerror(errno)};
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0) return Failure{"File " + label + " cannot be read"};
  std::string bytes;
  try {
    bytes.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return Failure{"File " + label + " cannot be read: it is too large for the memory available"};
  }
  in.seekg(0, std::ios::beg);
  if (!in.read(bytes.data(), size)) return Failure{"File " + label + " cannot be read completely"};
  return parse_sas(bytes, format, label);
}

}  // namespace host
