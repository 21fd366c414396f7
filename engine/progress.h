// Progress reports of the interval computation to a caller-registered callback. The library
// itself never prints; a caller without a callback pays one branch per replicate.
#ifndef KESTRION_ENGINE_PROGRESS_H
#define KESTRION_ENGINE_PROGRESS_H

#include <cstdint>

#include "kestrion.h"

namespace kestrion {

// Null callback: no reports. Holds until changed (single-threaded, like the rest of the library).
void set_progress_callback(KestrionProgress callback, void* context);
void report_progress(int32_t done, int32_t total);

}  // namespace kestrion

#endif  // KESTRION_ENGINE_PROGRESS_H
