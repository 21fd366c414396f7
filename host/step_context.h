// What one running procedure step owns, and the lookups the host routines share. Host routines
// carry no context argument, so they reach the running step through running_step().
#ifndef TALVEN_HOST_STEP_CONTEXT_H
#define TALVEN_HOST_STEP_CONTEXT_H

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/html_report.h"
#include "host/log.h"
#include "host/memory.h"
#include "host/progress.h"
#include "host/step_parser.h"
#include "talven_host.h"

// The opaque reader handle of the module interface.
struct TalvenReader {
  TalvenDataSet* data_set = nullptr;
  int32_t capacity = 0;
  std::vector<std::pair<int32_t, double*>> bindings;  // 0-based column, target
  bool finished = false;
  int64_t row = -1;
  uint64_t sequence = 0;                // creation order, for the notes of readers the host ends
  int64_t delivered = 0;                // observations handed to the procedure
  std::vector<int64_t> rows_delivered;  // their rows of the table, for writeObservations
  bool advanced = false;                // asked for an observation at least once
  bool counted = false;                 // its note is in the log
};

namespace host {

struct StepEnvironment;

struct StepContext {
  StepContext(const std::string& proc_name, const Step& s, const StepEnvironment& e)
      : name(proc_name), step(s), env(e) {}

  std::string name;
  const Step& step;
  const StepEnvironment& env;
  std::optional<ParseResult> parse;
  BlockTracker blocks;
  std::map<TalvenReader*, std::unique_ptr<TalvenReader>> readers;
  bool ended = false;
  int32_t end_code = -1;
  std::string support_module;
  bool trace = false;
  bool trace_listing = false;
  uint64_t readers_created = 0;
  std::optional<ProgressLine> progress;
  // What the procedure handed over with stepResults, for the HTML report.
  std::optional<ReportResults> results;
  std::vector<ReportSetting> settings;
};

// The step that is running; null between steps.
StepContext* running_step();

// Makes a step the running one for its lifetime.
class RunningStep {
 public:
  explicit RunningStep(StepContext* step);
  ~RunningStep();
  RunningStep(const RunningStep&) = delete;
  RunningStep& operator=(const RunningStep&) = delete;

 private:
  StepContext* outer_;
};

// The running step's log, with the progress line erased first (they may share the terminal).
Log& step_log();
// Logs an ERROR line in the running step; nothing outside a step.
void host_error(const std::string& text);

// Handles of the running step only; anything else is refused, never followed.
bool known_data_set(const TalvenDataSet* data_set);
TalvenReader* known_reader(TalvenReader* reader);
// A given item of the running step's statement; null when not given or not parsed.
const ItemValue* given_item(int32_t item);

// Logs, once per reader, how many observations it delivered: when it reports the end of its data
// or when it is ended before that.
void note_observations_read(TalvenReader* reader);

}  // namespace host

#endif  // TALVEN_HOST_STEP_CONTEXT_H
