#include "engine/stop.h"

#include <atomic>

#include "kestrion.h"

namespace kestrion {
namespace {

// A plain atomic word: a signal handler may store to it only when that is lock-free.
std::atomic<int> g_stop{0};
static_assert(std::atomic<int>::is_always_lock_free);

void (*g_observer)(StopPoint) = nullptr;

}  // namespace

void request_stop() {
  g_stop.store(1, std::memory_order_relaxed);
}

void withdraw_stop() {
  g_stop.store(0, std::memory_order_relaxed);
}

bool stop_requested() {
  return g_stop.load(std::memory_order_relaxed) != 0;
}

bool stopped_at(StopPoint point, ErrorRecord& record) {
  if (g_observer != nullptr) g_observer(point);
  if (!stop_requested()) return false;
  ErrorDetails details;
  details.note_1 = KESTRION_INTERRUPTED;
  report_error(record, ErrorCode::kGeneral, details);
  return true;
}

void observe_stop_points_for_testing(void (*observer)(StopPoint)) {
  g_observer = observer;
}

}  // namespace kestrion
