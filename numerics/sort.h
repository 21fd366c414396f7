// Ascending sorts with the permutation that does them (quicksort with median of three, straight
// insertion below 8 elements, explicit stack of (2n)/7 entries).
#ifndef KESTRION_NUMERICS_SORT_H
#define KESTRION_NUMERICS_SORT_H

#include <cstdint>

#include "numerics/array.h"
#include "numerics/error_record.h"

namespace kestrion {

// values and permutation have n entries (1-based views). permutation(i) receives the input
// position of the i-th smallest value. With sort_in_place values are replaced by the sorted values.
[[nodiscard]] int32_t qsort_double(DblVec values, IntVec permutation, int32_t n, bool sort_in_place,
                                   ErrorRecord& record);
// The same sort when the permutation is not wanted: values (n entries) are sorted in place into
// the same order, without a work copy. After a failure they may be partly sorted.
[[nodiscard]] int32_t qsort_double(DblVec values, int32_t n, ErrorRecord& record);
[[nodiscard]] int32_t qsort_int(IntVec values, IntVec permutation, int32_t n, bool sort_in_place,
                                ErrorRecord& record);
// n strings of `length` chars each, stored back to back in `strings`.
[[nodiscard]] int32_t qsort_strings(char* strings, int32_t length, IntVec permutation, int32_t n,
                                    bool sort_in_place, bool ignore_case, ErrorRecord& record);
// Index sorts: only the permutation is produced; views may have any stride.
[[nodiscard]] int32_t indexx_dble(View<const double, 1> values, IntVec index, ErrorRecord& record);
[[nodiscard]] int32_t indexx_int(View<const int32_t, 1> values, IntVec index, ErrorRecord& record);

// Order statistics without a full sort: the values at 1-based positions `low` and `high`
// (1 <= low <= high <= n) of values[0..n) sorted ascending with NaN after every number, as
// qsort_double would leave them there. Equal numbers have equal bits, so which of them lands on a
// position does not matter. The values are reordered; nothing is allocated.
struct RankValues {
  double low;
  double high;
};
RankValues select_ranks(double* values, int64_t n, int64_t low, int64_t high);

void swap_double(DblVec v, int64_t i, int64_t j);
void swap_int(IntVec v, int64_t i, int64_t j);
// Swaps strings i and j (1-based) of n back-to-back strings of `length` chars.
void swap_string(char* strings, int32_t length, int64_t i, int64_t j);
void to_lower(char* text, int64_t length);
void to_upper(char* text, int64_t length);

}  // namespace kestrion

#endif  // KESTRION_NUMERICS_SORT_H
