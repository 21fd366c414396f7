#include "engine/progress.h"

namespace kestrion {
namespace {

KestrionProgress g_callback = nullptr;
void* g_context = nullptr;

}  // namespace

void set_progress_callback(KestrionProgress callback, void* context) {
  g_callback = callback;
  g_context = callback != nullptr ? context : nullptr;
}

void report_progress(int32_t done, int32_t total) {
  if (g_callback != nullptr) g_callback(done, total, g_context);
}

}  // namespace kestrion
