// Two-stage Q-learning by backward induction: the stage-2 regression within the stage-2 sample,
// the pseudo-outcome, and the stage-1 regression over all subjects.
#ifndef KESTRION_ENGINE_FIT_TWO_STAGE_H
#define KESTRION_ENGINE_FIT_TWO_STAGE_H

#include <cstdint>

#include "engine/model.h"
#include "numerics/array.h"
#include "numerics/error_record.h"
#include "numerics/regression.h"

namespace kestrion {

// What the fit writes, sized by the caller: the treatment columns of both stages (n1 x (K1-1),
// n2 x (K2-1)), the stage-2 sample in data order (y2, h20, h21, a2 with n2 rows), both designs
// (n1 x p1, n2 x p2), the pseudo-outcome (n1), the coefficients (p1, p2) and, on request,
// sigma1n = n1 (designM1' designM1)^-1 (p1 x p1).
struct FitArrays {
  DblMat treatment1;
  DblMat treatment2;
  DblVec y2;
  DblMat h20;
  DblMat h21;
  IntVec a2;
  DblMat designM1;
  DblMat designM2;
  DblVec yhat;
  DblVec beta1hat;
  DblVec beta2hat;
  DblMat sigma1n;
};

struct FitOptions {
  double tolerance = 0.0;    // relative rank tolerance of both regressions
  bool wantSigma1n = false;  // also sigma1n (the replicates of the interval engine)
  // The fit of the data, whose failure ends the analysis: a rank-deficient design also gets the
  // line that names the stage and the dependent columns (rank_cause.h).
  bool explainRank = false;
  // Fits in this workspace (large enough for both stages), which allocates nothing and leaves
  // the regression module alone; null: the regression module's svdr_l2.
  RegressionWorkspace* workspace = nullptr;
};

// The report of a failure is in `record` (emptied on entry). Preconditions the caller
// guarantees: study.n2 is the number of zeros in respStatus; codes lie in 1..K; array extents
// agree with the counts. With wantSigma1n the regression module still holds the stage-1
// decomposition on return.
Status fitTwoStage(const ModelShape& shape, const StudyArrays& study, const FitArrays& fit,
                   const FitOptions& options, ErrorRecord& record);

// The stage-1 treatment columns and design of a study, as fitTwoStage builds them.
void fill_stage1(const ModelShape& shape, const StudyArrays& study, DblMat treatment1,
                 DblMat designM1);

}  // namespace kestrion

#endif  // KESTRION_ENGINE_FIT_TWO_STAGE_H
