// Runs a program: LIBNAME statements and procedure steps in order, and the exit status.
#ifndef TALVEN_HOST_RUNNER_H
#define TALVEN_HOST_RUNNER_H

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/by_groups.h"
#include "host/data_set.h"
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
};

// 0: no warning and no error; 1: warnings only; 2: errors or a failed step.
int exit_status(int errors, int warnings, bool step_failed);

class ProgramRunner : public ProgramActions {
 public:
  ProgramRunner(const RunSettings& settings, Log& log, Listing& listing);

  // Runs the whole text; returns the exit status.
  int run(std::string_view text);

  void run_step(const Step& step) override;
  void libname(const Statement& statement) override;
  void session_statement(const Statement& statement) override;
  void error(int line, int column, const std::string& message) override;
  void warning(int line, int column, const std::string& message) override;

 private:
  void write_group_outputs(const StepShared& shared);

  RunSettings settings_;
  Log& log_;
  Listing& listing_;
  Libraries libraries_;
  ModuleLoader modules_;
  bool step_failed_ = false;
  StatementReport report_;
};

}  // namespace host

#endif  // TALVEN_HOST_RUNNER_H
