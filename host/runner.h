// Runs a program: LIBNAME statements and procedure steps in order, and the exit status.
#ifndef TALVEN_HOST_RUNNER_H
#define TALVEN_HOST_RUNNER_H

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/by_groups.h"
#include "host/data_set.h"
#include "host/html_output.h"
#include "host/log.h"
#include "host/module_loader.h"
#include "host/program.h"
#include "host/session.h"

namespace host {

struct RunSettings {
  std::filesystem::path work = ".";
  std::optional<std::string> debug;
  std::vector<std::filesystem::path> module_folders;
  // The terminal that shows the progress of long computations; null: none.
  std::FILE* progress = nullptr;
  // What the HTML reports show of the run: the program and the settings (the time of the run is
  // added here); and the files no report may replace, such as the program and the log.
  Report report_info;
  std::vector<std::pair<std::filesystem::path, std::string>> protected_files;
};

// 0: no warning and no error; 1: warnings only; 2: errors or a failed step.
int exit_status(int errors, int warnings, bool step_failed);

class ProgramRunner : public ProgramActions {
 public:
  ProgramRunner(const RunSettings& settings, Log& log, Listing& listing);

  // --html: the report of the whole run, refused (with the reason) when it cannot be written,
  // so that no step runs for a report that would be lost.
  Result<void> open_html(const std::filesystem::path& file);

  // Runs the whole text, then writes the HTML reports; returns the exit status.
  int run(std::string_view text);

  void run_step(const Step& step) override;
  void libname(const Statement& statement) override;
  void session_statement(const Statement& statement) override;
  void error(int line, int column, const std::string& message) override;
  void warning(int line, int column, const std::string& message) override;

 private:
  void write_group_outputs(const StepShared& shared);
  void run_groups(TalvenMcnMain entry, const std::string& name, const Step& step,
                  StepMessages& messages, ReportStep* record);

  RunSettings settings_;
  Log& log_;
  Listing& listing_;
  Libraries libraries_;
  ModuleLoader modules_;
  bool step_failed_ = false;
  StatementReport report_;
  HtmlReports reports_;
};

}  // namespace host

#endif  // TALVEN_HOST_RUNNER_H
