// The HTML reports of a run: the one `talven --html FILE` asks for, which covers the whole run,
// and the one an ODS HTML statement opens, which covers the steps until ODS HTML CLOSE or the end
// of the program. Each is written once, atomically, when it closes; the runner hands every step
// run while a report is open to it.
#ifndef TALVEN_HOST_HTML_OUTPUT_H
#define TALVEN_HOST_HTML_OUTPUT_H

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/html_report.h"
#include "host/log.h"
#include "host/program.h"
#include "host/result.h"

namespace host {

// Writes a report to its file; write_html_report, or a stand-in in tests.
using ReportWriter =
    std::function<Result<void>(const std::filesystem::path& file, const Report& report)>;

class HtmlReports {
 public:
  // `run`: what every report shows of the run (program, settings); its steps are ignored.
  explicit HtmlReports(Log& log, Report run = {}, ReportWriter writer = write_html_report);
  // The time of the run, as the reports show it.
  void set_created(std::string text) { run_info_.created = std::move(text); }

  // A file no report may replace, such as the program, the log or the listing; `what` names it
  // in messages ("the log").
  void protect(const std::filesystem::path& file, const std::string& what);
  // Whether a report can be written to `file`: the reason when it cannot.
  Result<void> check(const std::filesystem::path& file) const;

  // --html. The file has been checked.
  void open_run_report(const std::filesystem::path& file);
  // ODS HTML FILE=: a report that is open already is closed (written) first. Checked before.
  void open_ods(const std::filesystem::path& file);
  // ODS HTML CLOSE: writes the open report; nothing when none is open.
  void close_ods();
  bool collecting() const { return run_.has_value() || ods_.has_value(); }
  // Adds the step to every open report.
  void add_step(const ReportStep& step);
  // The end of the program: the ODS report and the run's report are written.
  void finish();

 private:
  struct Open {
    std::filesystem::path file;
    Report report;
    int errors = 0;  // of the log when the report was opened
    int warnings = 0;
  };
  Open opened(const std::filesystem::path& file) const;
  void write(const Open& open);

  Log& log_;
  Report run_info_;
  ReportWriter writer_;
  std::vector<std::pair<std::filesystem::path, std::string>> protected_;
  std::optional<Open> run_;
  std::optional<Open> ods_;
};

// ODS HTML FILE='path'; ODS HTML CLOSE; ODS _ALL_ CLOSE; and the other ODS statements that SAS
// programs bring, which talven accepts with a NOTE (no effect on its output) or a WARNING (output
// it does not write).
void apply_ods_statement(const Statement& statement, HtmlReports& reports,
                         const StatementReport& report);
bool is_ods_statement(const Statement& statement);

// The WARNING and ERROR lines a log receives while this object lives, with the indented
// diagnostic lines that follow an ERROR: the messages of one step or BY group.
class StepMessages {
 public:
  explicit StepMessages(Log& log);
  ~StepMessages();
  StepMessages(const StepMessages&) = delete;
  StepMessages& operator=(const StepMessages&) = delete;
  // The lines since the last call.
  std::vector<std::string> take();

 private:
  Log& log_;
  std::vector<std::string> lines_;
  bool after_error_ = false;
};

// The settings a step's runs handed over, one row per setting: a value the BY groups differ in
// is shown per group ("12 (site=1); 15 (site=2)").
std::vector<ReportSetting> merge_settings(const std::vector<ReportGroup>& groups,
                                          const std::vector<std::vector<ReportSetting>>& each);

}  // namespace host

#endif  // TALVEN_HOST_HTML_OUTPUT_H
