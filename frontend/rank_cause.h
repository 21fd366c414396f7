// The library numbers the design columns of a rank-deficient fit (kestrion.h); the procedure
// knows their names and writes them instead.
#ifndef TALVEN_FRONTEND_RANK_CAUSE_H
#define TALVEN_FRONTEND_RANK_CAUSE_H

#include <string>
#include <vector>

#include "frontend/stage_model.h"

namespace talven {

// `pieces` with the library's rank-cause lines ("Rank-deficient fit: stage-2 fit of the data;
// dependent columns 1 3-5" and its continuation lines) replaced by one line that names the
// columns by their coefficient labels: "... dependent columns intercept, o21, o21:a2, a2". A
// stage-1 fit takes the stage-1 labels; the stage-2 fit and the covariance replicates take the
// stage-2 labels. Lines that do not read as expected stay as they are.
std::vector<std::string> name_rank_cause(const std::vector<std::string>& pieces,
                                         const StageNames& stage1, const StageNames& stage2);

}  // namespace talven

#endif  // TALVEN_FRONTEND_RANK_CAUSE_H
