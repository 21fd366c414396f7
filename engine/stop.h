// Stop requests for a running analysis. A request may come from a signal handler or from any
// thread, so it is a single lock-free atomic word and nothing else; the engine polls it at points
// where it can end with nothing half-done (before the fit, before each batch of replicates, before
// each group of replicates a thread takes, before each block of grid rows).
#ifndef KESTRION_ENGINE_STOP_H
#define KESTRION_ENGINE_STOP_H

#include "numerics/error_record.h"

namespace kestrion {

// Async-signal-safe.
void request_stop();
void withdraw_stop();
bool stop_requested();

// Where the engine polls; a test observer sees each poll before the flag is read.
enum class StopPoint { kStart, kCovarianceBatch, kMainBatch, kGridBlock };

// When a stop is pending: reports "The analysis was interrupted." into `record` and returns true.
bool stopped_at(StopPoint point, ErrorRecord& record);

// Test seam: called on the polling thread at each StopPoint poll (null: none).
void observe_stop_points_for_testing(void (*observer)(StopPoint));

}  // namespace kestrion

#endif  // KESTRION_ENGINE_STOP_H
