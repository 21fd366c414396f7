#include "host/html_output.h"

#include <algorithm>
#include <iterator>

#include "host/csv_writer.h"
#include "host/suggest.h"
#include "host/text_util.h"

namespace host {

namespace fs = std::filesystem;

namespace {

bool same_file(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (fs::equivalent(a, b, ec)) return true;
  const fs::path ca = fs::weakly_canonical(a, ec);
  if (ec) return false;
  const fs::path cb = fs::weakly_canonical(b, ec);
  return !ec && ca == cb;
}

std::string count_text(int n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

HtmlReports::HtmlReports(Log& log, Report run, ReportWriter writer)
    : log_(log), run_info_(std::move(run)), writer_(std::move(writer)) {
  run_info_.steps.clear();
}

void HtmlReports::protect(const fs::path& file, const std::string& what) {
  protected_.emplace_back(file, what);
}

Result<void> HtmlReports::check(const fs::path& file) const {
  for (const auto& [other, what] : protected_) {
    if (same_file(file, other)) return Failure{"it is " + what};
  }
  return check_file_writable(file);
}

HtmlReports::Open HtmlReports::opened(const fs::path& file) const {
  Open open;
  open.file = file;
  open.report = run_info_;
  open.errors = log_.errors();
  open.warnings = log_.warnings();
  return open;
}

void HtmlReports::open_run_report(const fs::path& file) {
  run_ = opened(file);
  // ODS HTML may not write over it.
  protect(file, "the report of --html");
}

void HtmlReports::open_ods(const fs::path& file) {
  close_ods();
  ods_ = opened(file);
  log_.note("The HTML report " + file.string() +
            " collects the steps that follow; it is written at ODS HTML CLOSE or at the end of "
            "the program.");
}

void HtmlReports::close_ods() {
  if (!ods_) return;
  const Open done = std::move(*ods_);
  ods_.reset();
  write(done);
}

void HtmlReports::add_step(const ReportStep& step) {
  for (std::optional<Open>* open : {&run_, &ods_}) {
    if (*open) (*open)->report.steps.push_back(step);
  }
}

void HtmlReports::finish() {
  close_ods();
  if (run_) {
    const Open done = std::move(*run_);
    run_.reset();
    write(done);
  }
}

void HtmlReports::write(const Open& open) {
  Report report = open.report;
  // A report that looks clean must not hide a failed run: it says what the log holds.
  report.settings.push_back(
      {"Log", count_text(log_.errors() - open.errors, "error", "errors") + ", " +
                  count_text(log_.warnings() - open.warnings, "warning", "warnings") +
                  " while this report was open"});
  const Result<void> written = writer_(open.file, report);
  if (!written) {
    log_.error("The HTML report " + open.file.string() +
               " could not be written: " + written.error() + ".");
    return;
  }
  log_.note("The HTML report " + open.file.string() + " was written with " +
            count_text(static_cast<int>(report.steps.size()), "step", "steps") + ".");
}

// ---- The ODS statement.

namespace {

// ODS statements that change only how SAS lays out its own output.
constexpr const char* kNoEffect[] = {"ESCAPECHAR", "GRAPHICS",  "LISTING",   "NOPROCTITLE",
                                     "NOPTITLE",   "NORESULTS", "NOUSEGOPT", "NOVERIFY",
                                     "PATH",       "PROCTITLE", "PTITLE",    "RESULTS",
                                     "TRACE",      "USEGOPT",   "VERIFY"};

// Destinations and statements whose output talven does not write, with what to do instead.
constexpr const char* kHtmlInstead = "talven writes HTML reports: ODS HTML FILE='report.html';";
constexpr const char* kPrintInstead =
    "talven writes HTML reports, which a browser prints: ODS HTML FILE='report.html';";
constexpr const char* kDataInstead = "OUTEST= and OUT= write the results as data sets.";
constexpr const char* kEveryTable =
    "Every table of a step is in the listing and in the HTML report.";

// Destinations and statements whose output talven does not write, with what to do instead.
const struct {
  const char* word;
  const char* advice;
} kNotWritten[] = {
    {"CSV", kDataInstead},        {"CSVALL", kDataInstead},   {"DOCUMENT", kHtmlInstead},
    {"EPUB", kHtmlInstead},       {"EPUB3", kHtmlInstead},    {"EXCEL", kDataInstead},
    {"EXCLUDE", kEveryTable},     {"HTML3", kHtmlInstead},    {"HTML5", kHtmlInstead},
    {"MARKUP", kHtmlInstead},     {"OUTPUT", kDataInstead},   {"PDF", kPrintInstead},
    {"POWERPOINT", kHtmlInstead}, {"PRINTER", kPrintInstead}, {"PS", kPrintInstead},
    {"RTF", kHtmlInstead},        {"SELECT", kEveryTable},    {"TAGSETS", kHtmlInstead},
    {"WORD", kHtmlInstead},
};

const char* not_written(const std::string& word) {
  for (const auto& n : kNotWritten) {
    if (word == n.word) return n.advice;
  }
  return nullptr;
}

bool no_effect(const std::string& word) {
  return std::find(std::begin(kNoEffect), std::end(kNoEffect), word) != std::end(kNoEffect);
}

std::vector<std::string> known_words() {
  std::vector<std::string> out = {"HTML", "_ALL_"};
  out.insert(out.end(), std::begin(kNoEffect), std::end(kNoEffect));
  for (const auto& n : kNotWritten) out.emplace_back(n.word);
  return out;
}

class OdsHtml {
 public:
  OdsHtml(const Statement& st, HtmlReports& reports, const StatementReport& report)
      : t_(st.tokens), end_(st.end), reports_(reports), report_(report) {}

  void run() {
    if (t_.size() == 2) {
      fail(t_[1],
           "ODS HTML needs FILE='report.html' to open a report, or CLOSE to close the open one.");
      return;
    }
    if (t_[2].is_name("CLOSE")) {
      if (t_.size() > 3) {
        fail(t_[3],
             "Syntax error: expected ; after ODS HTML CLOSE, found " + t_[3].as_written() + ".");
        return;
      }
      reports_.close_ods();
      return;
    }
    if (!options()) return;
    if (file_ == nullptr) {
      fail(t_[1],
           "ODS HTML needs FILE='report.html' to open a report, or CLOSE to close the open one.");
      return;
    }
    fs::path file = file_->text;
    if (path_ != nullptr && file.is_relative()) file = fs::path(path_->text) / file;
    const Result<void> usable = reports_.check(file);
    if (!usable) {
      fail(*file_,
           "The HTML report cannot be written to " + file.string() + ": " + usable.error() + ".");
      return;
    }
    if (!ignored_.empty()) {
      report_(Severity::kNote, *ignored_at_,
              "The ODS HTML option" + std::string(ignored_.size() == 1 ? " " : "s ") +
                  join_names(ignored_) + (ignored_.size() == 1 ? " has" : " have") +
                  " no effect on talven's report.");
    }
    reports_.open_ods(file);
  }

 private:
  void fail(const Token& at, const std::string& message) { report_(Severity::kError, at, message); }

  const Token& at(size_t i) const { return i < t_.size() ? t_[i] : end_; }

  // A quoted file or folder name.
  bool quoted(size_t i, const char* option, const Token** target) {
    const Token& v = at(i);
    if (v.kind != TokenKind::kString || !v.suffix.empty() || v.text.empty()) {
      fail(v, std::string(option) + "= needs a " +
                  (std::string(option) == "PATH" ? "folder" : "file name") + " in quotes, as in " +
                  option + (std::string(option) == "PATH" ? "='reports'" : "='report.html'") +
                  "; found " +
                  (v.kind == TokenKind::kEnd ? std::string("the end of the statement")
                                             : v.as_written()) +
                  ".");
      return false;
    }
    *target = &v;
    return true;
  }

  // Past the value of an option at i: one token, or a parenthesised group.
  size_t skip_value(size_t i) const {
    if (i < t_.size() && t_[i].is_punct("(")) return skip_group(i);
    return std::min(i + 1, t_.size());
  }
  size_t skip_group(size_t i) const {
    int depth = 0;
    for (; i < t_.size(); ++i) {
      if (t_[i].is_punct("(")) ++depth;
      if (t_[i].is_punct(")") && --depth == 0) return i + 1;
    }
    return i;
  }

  void ignore(const Token& t, const std::string& shown) {
    if (ignored_.empty()) ignored_at_ = &t;
    ignored_.push_back(shown);
  }

  // FILE=, BODY= or PATH= at i, with its quoted value.
  bool file_option(size_t i, const std::string& name) {
    if (!at(i + 1).is_punct("=")) {
      fail(t_[i], "Syntax error: expected = after " + name + ".");
      return false;
    }
    return quoted(i + 2, name == "PATH" ? "PATH" : name.c_str(), name == "PATH" ? &path_ : &file_);
  }

  bool options() {
    for (size_t i = 2; i < t_.size();) {
      const Token& key = t_[i];
      if (key.is_punct("(")) {
        // Suboptions of the option before, such as FILE='r.html' (URL=NONE).
        ignore(key, "(" + (i + 1 < t_.size() ? to_upper(t_[i + 1].text) : std::string()) + " ...)");
        i = skip_group(i);
        continue;
      }
      if (key.kind != TokenKind::kName || key.literal) {
        fail(key, "Syntax error: expected an ODS HTML option such as FILE=, found " +
                      key.as_written() + ".");
        return false;
      }
      const std::string name = to_upper(key.text);
      const bool valued = at(i + 1).is_punct("=");
      if (name == "FILE" || name == "BODY" || name == "PATH") {
        if (!file_option(i, name)) return false;
        i += 3;
        continue;
      }
      if (at(i + 1).is_punct("(")) {  // OPTIONS(...)
        ignore(key, name + "(...)");
        i = skip_group(i + 1);
        continue;
      }
      ignore(key, name + (valued ? "=" : ""));
      i = valued ? skip_value(i + 2) : i + 1;
    }
    return true;
  }

  const std::vector<Token>& t_;
  const Token& end_;
  HtmlReports& reports_;
  const StatementReport& report_;
  const Token* file_ = nullptr;
  const Token* path_ = nullptr;
  std::vector<std::string> ignored_;
  const Token* ignored_at_ = nullptr;
};

}  // namespace

bool is_ods_statement(const Statement& statement) {
  return !statement.tokens.empty() && statement.tokens.front().is_name("ODS");
}

namespace {

// ODS _ALL_ CLOSE;
void close_all(const Statement& statement, HtmlReports& reports, const StatementReport& report) {
  const std::vector<Token>& t = statement.tokens;
  if (t.size() != 3 || !t[2].is_name("CLOSE")) {
    const Token& at = t.size() < 3 ? statement.end : !t[2].is_name("CLOSE") ? t[2] : t[3];
    report(Severity::kError, at, "Syntax error: expected ODS _ALL_ CLOSE;");
    return;
  }
  reports.close_ods();
}

std::string why_no_effect(const std::string& word) {
  if (word == "LISTING") return ": the listing is always written.";
  if (word == "GRAPHICS") return ": the HTML report always has its forest plots.";
  return ".";
}

// The names of the settings of every group, in the order they first appear.
std::vector<std::string> setting_names(const std::vector<std::vector<ReportSetting>>& each) {
  std::vector<std::string> names;
  for (const auto& settings : each) {
    for (const ReportSetting& s : settings) {
      if (std::find(names.begin(), names.end(), s.name) == names.end()) names.push_back(s.name);
    }
  }
  return names;
}

// One value when every group has the same, else each group's value with its BY line.
std::string merged_value(const std::vector<std::pair<std::string, std::string>>& values) {
  const bool alike = std::all_of(values.begin(), values.end(),
                                 [&](const auto& v) { return v.first == values.front().first; });
  if (alike) return values.front().first;
  std::string value;
  for (const auto& [v, by] : values) {
    if (!value.empty()) value += "; ";
    value += v;
    if (!by.empty()) value.append(" (").append(by).append(")");
  }
  return value;
}

}  // namespace

void apply_ods_statement(const Statement& statement, HtmlReports& reports,
                         const StatementReport& report) {
  const std::vector<Token>& t = statement.tokens;
  if (t.size() < 2 || t[1].kind != TokenKind::kName || t[1].literal) {
    const Token& at = t.size() < 2 ? statement.end : t[1];
    report(Severity::kError, at,
           "Syntax error: expected an ODS destination such as HTML after ODS, found " +
               (t.size() < 2 ? std::string(";") : at.as_written()) + ".");
    return;
  }
  const std::string word = to_upper(t[1].text);
  if (word == "HTML") {
    OdsHtml(statement, reports, report).run();
  } else if (word == "_ALL_") {
    close_all(statement, reports, report);
  } else if (no_effect(word)) {
    report(Severity::kNote, t[1], "ODS " + word + " has no effect in talven" + why_no_effect(word));
  } else if (const char* advice = not_written(word)) {
    report(Severity::kWarning, t[1],
           "ODS " + word + " output is not written by talven; the statement is ignored. " + advice);
  } else {
    report(Severity::kError, t[1],
           "Syntax error: " + t[1].as_written() +
               " is not an ODS destination or statement that talven knows." +
               did_you_mean(word, known_words()));
  }
}

// ---- Messages of a step.

StepMessages::StepMessages(Log& log) : log_(log) {
  log_.set_tap([this](Severity severity, const std::string& line) {
    if (severity == Severity::kError || severity == Severity::kWarning) {
      lines_.push_back(line);
      after_error_ = severity == Severity::kError;
    } else if (severity == Severity::kNote) {
      after_error_ = false;
    } else if (!trim_blanks(line).empty()) {
      // The library's diagnostic lines are indented under the ERROR they explain.
      if (after_error_ && line.front() == ' ') {
        lines_.push_back(line);
      } else {
        after_error_ = false;
      }
    }
  });
}

StepMessages::~StepMessages() {
  log_.set_tap(nullptr);
}

std::vector<std::string> StepMessages::take() {
  std::vector<std::string> out;
  out.swap(lines_);
  return out;
}

std::vector<ReportSetting> merge_settings(const std::vector<ReportGroup>& groups,
                                          const std::vector<std::vector<ReportSetting>>& each) {
  std::vector<ReportSetting> out;
  for (const std::string& name : setting_names(each)) {
    std::vector<std::pair<std::string, std::string>> values;  // value, BY line
    for (size_t g = 0; g < each.size(); ++g) {
      for (const ReportSetting& s : each[g]) {
        if (s.name == name)
          values.emplace_back(s.value, g < groups.size() ? groups[g].by_line : "");
      }
    }
    out.push_back({name, merged_value(values)});
  }
  return out;
}

}  // namespace host
