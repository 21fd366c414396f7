// The checked allocation family: every work array of the library is obtained and released here,
// so that a failure becomes an error report and a -1 result instead of ending the process.
//
// One template serves every element kind and rank; the routine labels of the reports follow the
// historical names ("dbl2_alloc in MOD dynamic_allocation", and "dbl3dealloc" without the
// underscore for dbl releases of rank 3 to 7).
#ifndef KESTRION_NUMERICS_DYNAMIC_ALLOCATION_H
#define KESTRION_NUMERICS_DYNAMIC_ALLOCATION_H

#include <array>
#include <cstdint>
#include <string>
#include <type_traits>

#include "numerics/array.h"
#include "numerics/error_record.h"

namespace kestrion {

template <int R>
using Bounds = std::array<int32_t, R>;
// The rank is deduced from the array alone (std::array's size is a size_t, not an int, so it
// cannot deduce R), which also lets callers write the bounds as a braced list: {m, n}.
template <int R>
using BoundsArg = std::type_identity_t<Bounds<R>>;

// "dbl2_alloc in MOD dynamic_allocation" and the like.
std::string alloc_label(Kind kind, int rank);
std::string dealloc_label(Kind kind, int rank);

// Every member returns 0 on success and -1 on failure, after its report.
//
// Allocation by bounds: lower bounds 1. Replaces existing storage. 0 on success; -1 with the
// code 200 (or 201) report naming `description` on failure.
template <Kind K, int R>
[[nodiscard]] int32_t alloc(Array<K, R>& array, const BoundsArg<R>& upper, ErrorRecord& record,
                            const char* description = nullptr);
// Allocation by bounds with explicit lower bounds.
template <Kind K, int R>
[[nodiscard]] int32_t alloc(Array<K, R>& array, const BoundsArg<R>& upper, ErrorRecord& record,
                            const BoundsArg<R>& lower, const char* description = nullptr);
// Allocation by shape: extents (non-positive = 0), lower bounds 1, no description.
template <Kind K, int R>
[[nodiscard]] int32_t alloc_shape(Array<K, R>& array, const BoundsArg<R>& shape,
                                  ErrorRecord& record);
// Release; releasing an array that is not allocated is no failure.
template <Kind K, int R>
[[nodiscard]] int32_t dealloc(Array<K, R>& array, ErrorRecord& record,
                              const char* description = nullptr);

// Largest single request the family accepts: the machine's physical memory. Larger requests fail
// with code 200 rather than being left to the operating system's out-of-memory killer.
uint64_t allocation_limit_bytes();

#ifdef KESTRION_FAULT_INJECTION
// Test seam, compiled only by the test presets. fail_nth_allocation(n) with n >= 1 makes the n-th
// checked allocation from now fail as if memory could not be had; 0 disarms it. The environment
// variable KESTRION_FAIL_ALLOC=N arms it once, at the first checked allocation of the process.
// Only allocations count (work arrays, the regression state, the sort stack, the resampling
// index), not releases and not the error record's lines.
namespace fault {
void fail_nth_allocation(int64_t n);
// Number of checked allocations made since the process started (or since reset_counter()).
int64_t allocation_count();
void reset_counter();
}  // namespace fault
#endif

}  // namespace kestrion

#include "numerics/dynamic_allocation_impl.h"

#endif  // KESTRION_NUMERICS_DYNAMIC_ALLOCATION_H
