#include "host/log.h"

#include <algorithm>

#include "host/text_util.h"

namespace host {

std::string translate_codes(std::string_view format, CodeMode mode, Severity* severity) {
  std::string out;
  out.reserve(format.size() + 8);
  Severity seen = Severity::kPlain;
  for (size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out += "%%";
      ++i;
      continue;
    }
    if (i + 2 < format.size()) {
      const std::string_view code = format.substr(i, 3);
      const bool severity_code = code == "%1z" || code == "%2z" || code == "%3z";
      const bool print_control = code == "%8h" || code == "%9t";
      if (severity_code || print_control) {
        if (mode == CodeMode::kPassThrough) {
          out += '%';
          out += code;  // "%%1z" prints as "%1z"
        } else if (code == "%1z") {
          out += "ERROR: ";
          seen = Severity::kError;
        } else if (code == "%2z") {
          out += "WARNING: ";
          seen = Severity::kWarning;
        } else if (code == "%3z") {
          out += "NOTE: ";
          seen = Severity::kNote;
        }
        i += 2;
        continue;
      }
    }
    out += c;
  }
  if (severity != nullptr) *severity = seen;
  return out;
}

std::string format_printf(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return format;
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string strip_print_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const std::string_view code = text.substr(i, 3);
      if (code == "%8h" || code == "%9t") {
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::string center_title(std::string_view title, int width) {
  const std::string_view t = trim_blanks(title);
  const int pad = (width - static_cast<int>(t.size())) / 2;
  std::string out(pad > 0 ? static_cast<size_t>(pad) : 0, ' ');
  out += t;
  return out;
}

std::string printable_line(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 0x20 && byte != 0x7F) || c == '\t') {
      out += c;
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
  }
  return out;
}

void Log::write(Severity severity, std::string_view raw) {
  if (severity == Severity::kError) ++errors_;
  if (severity == Severity::kWarning) ++warnings_;
  // Messages quote the user's text; a control byte from a damaged file must neither break the
  // line structure nor reach the terminal, and must still be visible to the reader.
  const std::string text = printable_line(raw);
  if (tap_) tap_(severity, text);
  if (severity == Severity::kNote && !notes_) return;
  if (out_ != nullptr) {
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fputc('\n', out_);
  }
  if (keep_lines_) lines_.emplace_back(text);
}

void Listing::set_title(int line, std::string_view text) {
  if (line < 1 || line > 10) return;
  if (titles_.size() < static_cast<size_t>(line)) titles_.resize(static_cast<size_t>(line));
  titles_[static_cast<size_t>(line) - 1] = strip_print_controls(text);
}

namespace {

void set_numbered(std::vector<std::optional<std::string>>& lines, int line,
                  std::optional<std::string> text) {
  if (line < 1 || line > 10) return;
  lines.resize(static_cast<size_t>(line) - 1);
  if (text) lines.push_back(std::move(text));
  while (!lines.empty() && !lines.back()) lines.pop_back();
}

}  // namespace

std::vector<std::string> Listing::texts(const std::vector<std::optional<std::string>>& lines) {
  std::vector<std::string> out;
  out.reserve(lines.size());
  for (const auto& line : lines) out.push_back(line ? *line : std::string());
  return out;
}

void Listing::set_user_title(int line, std::optional<std::string> text) {
  set_numbered(user_titles_, line, std::move(text));
}

void Listing::set_footnote(int line, std::optional<std::string> text) {
  set_numbered(footnotes_, line, std::move(text));
}

std::string Listing::aligned(std::string_view text) const {
  return options_.center ? center_title(text, options_.line_size) : std::string(trim_blanks(text));
}

std::vector<std::string> Listing::title_block() const {
  std::vector<std::string> lines;
  for (const auto& t : user_titles_) lines.push_back(aligned(t ? *t : ""));
  for (const std::string& t : titles_) lines.push_back(aligned(t));
  if (options_.date || options_.number) {
    // SAS's place for them: the right end of the first title line.
    std::string right = options_.date ? date_text_ : "";
    if (options_.number) right += (right.empty() ? "" : "   ") + std::to_string(page_);
    if (lines.empty()) lines.emplace_back();
    std::string& first = lines.front();
    const auto width = static_cast<size_t>(options_.line_size);
    if (first.size() + 1 + right.size() <= width) {
      first.resize(width - right.size(), ' ');
    } else {
      first += ' ';
    }
    first += right;
  }
  lines.emplace_back();
  if (!by_line_.empty() && options_.by_line) {
    const std::string text = " " + by_line_ + " ";
    const auto width = static_cast<size_t>(options_.line_size);
    if (text.size() + 2 >= width) {
      lines.push_back(by_line_);
    } else {
      const size_t left = (width - text.size()) / 2;
      lines.push_back(std::string(left, '-') + text + std::string(width - left - text.size(), '-'));
    }
    lines.emplace_back();
  }
  return lines;
}

std::vector<std::string> Listing::footnote_block() const {
  std::vector<std::string> lines;
  if (footnotes_.empty()) return lines;
  lines.emplace_back();
  for (const auto& f : footnotes_) lines.push_back(aligned(f ? *f : ""));
  return lines;
}

void Listing::start() {
  if (page_open_) end_page();
  begin_page();
}

void Listing::begin_page() {
  const std::vector<std::string> titles = title_block();
  for (size_t k = 0; k < titles.size(); ++k) {
    // Pages after the first begin with a form feed when the listing is cut into pages.
    if (k == 0 && any_page_ && options_.page_size > 0) {
      put("\f" + titles[k]);
    } else {
      put(titles[k]);
    }
  }
  page_open_ = true;
  any_page_ = true;
  body_lines_ = 0;
  const int fixed = static_cast<int>(titles.size() + footnote_block().size());
  body_room_ = options_.page_size > 0 ? std::max(1, options_.page_size - fixed) : 0;
}

void Listing::end_page() {
  const std::vector<std::string> foot = footnote_block();
  if (options_.page_size > 0 && !foot.empty()) {
    for (int k = body_lines_; k < body_room_; ++k) put("");
  }
  for (const std::string& f : foot) put(f);
  page_open_ = false;
  ++page_;
}

void Listing::body_line(std::string_view line) {
  if (page_open_ && options_.page_size > 0 && body_lines_ >= body_room_) {
    end_page();
    begin_page();
  }
  put(line);
  ++body_lines_;
}

std::string Listing::end_line() {
  std::string line = strip_print_controls(pending_);
  pending_.clear();
  body_line(line);
  return line;
}

void Listing::finish_step() {
  if (!pending_.empty()) end_line();
  if (page_open_) end_page();
  if (out_ != nullptr) std::fflush(out_);
}

void Listing::put(std::string_view line) {
  if (out_ == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fputc('\n', out_);
}

}  // namespace host
