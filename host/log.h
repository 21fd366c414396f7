// The log and the listing of a run, and the rendering of the message codes that procedures put
// in their formats ("%1z" error, "%2z" warning, "%3z" note, print controls "%8h" and "%9t").
#ifndef TALVEN_HOST_LOG_H
#define TALVEN_HOST_LOG_H

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <optional>
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
  // OPTIONS NONOTES: NOTE lines are left out (they never count).
  void set_notes(bool notes) { notes_ = notes; }
  // Lines written so far; tests read the log of a run from here as well.
  const std::vector<std::string>& lines() const { return lines_; }
  void set_keep_lines(bool keep) { keep_lines_ = keep; }
  // Receives every line as the log shows it, with its severity, NOTE lines left out by NONOTES
  // included; null: none. The HTML report gathers each step's messages through it.
  using Tap = std::function<void(Severity, const std::string&)>;
  void set_tap(Tap tap) { tap_ = std::move(tap); }

 private:
  std::FILE* out_;
  int errors_ = 0;
  int warnings_ = 0;
  bool notes_ = true;
  bool keep_lines_ = false;
  std::vector<std::string> lines_;
  Tap tap_;
};

// How listing pages look (the OPTIONS statement). The defaults give the first release's listing.
struct PageOptions {
  int line_size = 80;
  int page_size = 0;    // lines per page; 0: a step's output is not cut into pages
  bool date = false;    // the date and time on the first title line
  bool number = false;  // the page number on the first title line
  bool center = true;   // titles, footnotes and the BY line centred
  bool by_line = true;
};

// The listing. A page holds the user's titles (TITLE1 to TITLE10), the procedure's titles, a blank
// line, the BY line and a blank line when there is one, the procedure's lines, and at its foot a
// blank line and the user's footnotes (FOOTNOTE1 to FOOTNOTE10). Each start() begins a page; with
// a page size, a page that is full continues on a new one, which begins with a form feed.
class Listing {
 public:
  explicit Listing(std::FILE* out) : out_(out) {}
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;

  // The procedure's titles. line counts from 1.
  void clear_titles() { titles_.clear(); }
  void set_title(int line, std::string_view text);

  // The user's: line n (1 to 10) set to text, the lines after it cleared; without text, line n
  // and the lines after it are cleared.
  void set_user_title(int line, std::optional<std::string> text);
  void set_footnote(int line, std::optional<std::string> text);
  // Shown below the titles of each page until changed ("site=2"); empty: none.
  void set_by_line(std::string text) { by_line_ = std::move(text); }
  // What the next page shows: the procedure's titles and the user's titles and footnotes (lines
  // not set are empty).
  const std::vector<std::string>& titles() const { return titles_; }
  std::vector<std::string> user_titles() const { return texts(user_titles_); }
  std::vector<std::string> footnotes() const { return texts(footnotes_); }

  void set_options(const PageOptions& options) { options_ = options; }
  const PageOptions& options() const { return options_; }
  void set_page_number(int page) { page_ = page; }
  // The date shown by OPTIONS DATE, "10:32 Monday, May 2, 2018".
  void set_date_text(std::string text) { date_text_ = std::move(text); }

  // Begins a page.
  void start();
  void text(std::string_view text) { pending_ += text; }
  // Returns the line that was ended.
  std::string end_line();
  // Ends a line the procedure left open, so that nothing it wrote is lost, and closes the page.
  void finish_step();

 private:
  void put(std::string_view line);
  void body_line(std::string_view line);
  void begin_page();
  void end_page();
  std::vector<std::string> title_block() const;
  std::vector<std::string> footnote_block() const;
  std::string aligned(std::string_view text) const;
  static std::vector<std::string> texts(const std::vector<std::optional<std::string>>& lines);

  std::FILE* out_;
  std::vector<std::string> titles_;
  std::vector<std::optional<std::string>> user_titles_;
  std::vector<std::optional<std::string>> footnotes_;
  std::string by_line_;
  PageOptions options_;
  std::string date_text_;
  std::string pending_;
  int page_ = 1;
  bool page_open_ = false;
  bool any_page_ = false;
  int body_lines_ = 0;  // on the open page
  int body_room_ = 0;   // lines of the open page for the procedure's lines
};

}  // namespace host

#endif  // TALVEN_HOST_LOG_H
