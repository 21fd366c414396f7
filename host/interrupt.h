// SIGINT and SIGTERM end a run in order: the first one asks the running analysis to stop and is
// remembered, so that the runner ends the program after the current step, logs the signal and
// exits with 128 + its number; a second one ends the process at once, the usual way, after
// removing the temporary file of an output being written.
#ifndef TALVEN_HOST_INTERRUPT_H
#define TALVEN_HOST_INTERRUPT_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace host {

// The compute library's stop request, found among `folders` (as the procedure modules are); null
// when there is none, and then only the runner's own checks stop the run.
using StopRequest = void (*)(int32_t);
StopRequest find_stop_request(const std::vector<std::filesystem::path>& folders);

// Installs the handlers of SIGINT and SIGTERM; `stop` may be null.
void install_interrupt_handlers(StopRequest stop);

// The signal that interrupted the run, or 0.
int interrupt_signal();
// "SIGINT", "SIGTERM" or "signal N".
std::string signal_name(int signal);
// Thrown by the runner's actions once a signal has arrived, and caught where the program ends.
struct RunInterrupted {
  int signal;
};
// Throws RunInterrupted when a signal has arrived.
void check_interrupt();

// The temporary file of an output being written (null: none), which a second signal removes.
void set_temporary_file(const char* path);

// Test seam: forgets the signal, as in a new process.
void reset_interrupt_for_testing();

}  // namespace host

#endif  // TALVEN_HOST_INTERRUPT_H
