// Runs one procedure step: the anchor and routine table a module reaches the host through, the
// support modules "SASPROCI" and "SASPROCD", and the clean-up after the driver returns.
#ifndef TALVEN_HOST_STEP_SERVICES_H
#define TALVEN_HOST_STEP_SERVICES_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "host/by_groups.h"
#include "host/data_set.h"
#include "host/html_report.h"
#include "host/log.h"
#include "host/program.h"
#include "talven_host.h"

namespace host {

struct StepEnvironment {
  Log* log = nullptr;
  Listing* listing = nullptr;
  DataSetLoader* loader = nullptr;
  std::optional<std::string> debug;  // the host value DEBUG (--debug)
  // The terminal that shows the progress of long computations; null: no progress line.
  std::FILE* progress = nullptr;
  // What the runs of a step with BY groups share; null: one run.
  StepShared* shared = nullptr;
};

struct StepOutcome {
  bool ended = false;       // the procedure ended itself
  int32_t end_code = -1;    // as recorded by endProcedure
  bool failed = false;      // an error stop of any kind
  size_t blocks_freed = 0;  // blocks the step left, freed by the host
  size_t readers_ended = 0;
  std::string support_module;  // "SASPROCI", "SASPROCD" or empty
  double seconds = 0.0;
  // The results the procedure handed over (stepResults), with the settings in force.
  std::optional<ReportResults> results;
  std::vector<ReportSetting> settings;
};

// Calls mcn_main and the driver of a loaded module for `step`, then cleans up after it and logs
// the step's time. `name` is the procedure's name in upper case.
StepOutcome run_procedure_step(TalvenMcnMain mcn_main, const std::string& name, const Step& step,
                               const StepEnvironment& env);

// The outcome of the last step run in this process, for tests.
const StepOutcome& last_step_outcome();

// Test builds: TALVEN_OMIT_SUPPORT_MODULES=SASPROCI,SASPROCD leaves the named entries out.
// Overridable by unit tests (nullopt goes back to the environment).
void set_omitted_support_modules(const std::optional<std::string>& names);

}  // namespace host

#endif  // TALVEN_HOST_STEP_SERVICES_H
