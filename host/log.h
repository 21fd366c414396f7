// The log and the listing of a run, and the rendering of the message codes that procedures put
// in their formats ("%1z" error, "%2z" warning, "%3z" note, print controls "%8h" and "%9t").
#ifndef TALVEN_HOST_LOG_H
#define TALVEN_HOST_LOG_H

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace host {

enum class Severity { kPlain, kError, kWarning, kNote };

enum class CodeMode {
  kRender,      // severity codes become "ERROR: " etc.; print controls vanish
  kPassThrough  // every code is kept verbatim in the output
};

// Turns a procedure format into a printf format. With kRender, *severity receives the last
// severity code met (kPlain if none).
std::string translate_codes(std::string_view format, CodeMode mode, Severity* severity = nullptr);

// vsnprintf into a std::string; a broken format yields the format text itself.
std::string format_printf(const char* format, va_list args);

// Drops the print-control codes from text that was formatted with kPassThrough.
std::string strip_print_controls(std::string_view text);

// Centres a title in `width` columns (leading blanks only; nothing is cut).
std::string center_title(std::string_view title, int width = 80);

// The line with every control byte but the tab shown as \xNN.
std::string printable_line(std::string_view text);

class Log {
 public:
  explicit Log(std::FILE* out) : out_(out) {}
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // `text` already carries its "ERROR: " (etc.) prefix; severity only counts.
  void write(Severity severity, std::string_view text);
  void error(std::string_view text) { write(Severity::kError, "ERROR: " + std::string(text)); }
  void warning(std::string_view text) {
    write(Severity::kWarning, "WARNING: " + std::string(text));
  }
  void note(std::string_view text) { write(Severity::kNote, "NOTE: " + std::string(text)); }

  int errors() const { return errors_; }
  int warnings() const { return warnings_; }
  // Lines written so far; tests read the log of a run from here as well.
  const std::vector<std::string>& lines() const { return lines_; }
  void set_keep_lines(bool keep) { keep_lines_ = keep; }

 private:
  std::FILE* out_;
  int errors_ = 0;
  int warnings_ = 0;
  bool keep_lines_ = false;
  std::vector<std::string> lines_;
};

class Listing {
 public:
  explicit Listing(std::FILE* out) : out_(out) {}
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;

  void clear_titles() { titles_.clear(); }
  // line counts from 1.
  void set_title(int line, std::string_view text);
  // Writes the title lines, centred, and one blank line.
  void start();
  void text(std::string_view text) { pending_ += text; }
  // Returns the line that was ended.
  std::string end_line();
  // Ends a line the procedure left open, so that nothing it wrote is lost.
  void finish_step();

 private:
  void put(std::string_view line);
  std::FILE* out_;
  std::vector<std::string> titles_;
  std::string pending_;
};

}  // namespace host

#endif  // TALVEN_HOST_LOG_H
