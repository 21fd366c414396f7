// The line that names the cause of a rank-deficient fit which ends the analysis: which fit it
// was and which design columns are linearly dependent (kestrion.h documents the form).
#ifndef KESTRION_ENGINE_RANK_CAUSE_H
#define KESTRION_ENGINE_RANK_CAUSE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "numerics/array.h"
#include "numerics/error_record.h"

namespace kestrion {

// "Rank-deficient fit: <fit>; dependent columns 2 3 7-9" for `fit` (such as "stage-2 fit of the
// data") and its dependent columns (1-based, ascending; a run of three or more as "first-last"),
// on lines of at most 70 characters, each further line starting "Rank-deficient fit, continued:";
// a list longer than kRankCauseLines lines ends with "...".
inline constexpr int kRankCauseLines = 8;
std::vector<std::string> rank_cause_lines(std::string_view fit,
                                          const std::vector<int32_t>& columns);

// When the record's first report is svdr_l2's rank test, appends the lines above for the
// dependent columns found in the failed decomposition (dependent_columns); any other failure is
// left as it is.
void explain_rank_deficiency(ErrorRecord& record, std::string_view fit,
                             const std::vector<int32_t>& columns);

}  // namespace kestrion

#endif  // KESTRION_ENGINE_RANK_CAUSE_H
