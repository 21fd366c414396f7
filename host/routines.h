// The host routines of the module interface, one C++ function per entry of TALVEN_HOST_ROUTINES
// with the entry's name and signature, and the guard that keeps every failure of the host inside
// the host. The routine tables (routine_table.cc) are built from the same list.
#ifndef TALVEN_HOST_ROUTINES_H
#define TALVEN_HOST_ROUTINES_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <new>

#include "talven_host.h"

namespace host::routines {

#define TALVEN_DECLARE_HOST_ROUTINE(needed, result, name, parameters, failure) \
  result name parameters;
TALVEN_HOST_ROUTINES(TALVEN_DECLARE_HOST_ROUTINE)
#undef TALVEN_DECLARE_HOST_ROUTINE

// What each routine returns when the host cannot serve the call, from the interface's list.
#define TALVEN_DECLARE_FAILURE(needed, result, name, parameters, failure) \
  inline result failure_##name() {                                        \
    return failure;                                                       \
  }
TALVEN_HOST_ROUTINES(TALVEN_DECLARE_FAILURE)
#undef TALVEN_DECLARE_FAILURE

// The printf-style routines with their arguments as a va_list, for the tracing table.
void log_v(const char* format, va_list args);
void listing_text_v(const char* format, va_list args);
int32_t format_v(char* buffer, int32_t size, const char* format, va_list args);

// Logs that the host could not complete `routine` (in practice: memory ran out); says nothing
// when even that fails.
void report_failure(const char* routine, bool out_of_memory) noexcept;

// Runs the body of routine `name` for a module. Nothing may be thrown back into the module's C
// frames: a failure of the host becomes the routine's failure result, with an ERROR line.
template <typename Body, typename Result>
Result guarded(const char* name, Body&& body, Result (*failure)()) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    report_failure(name, true);
  } catch (...) {
    report_failure(name, false);
  }
  return failure();
}

template <typename Body>
void guarded(const char* name, Body&& body) noexcept {
  try {
    body();
  } catch (const std::bad_alloc&) {
    report_failure(name, true);
  } catch (...) {
    report_failure(name, false);
  }
}

}  // namespace host::routines

#endif  // TALVEN_HOST_ROUTINES_H
