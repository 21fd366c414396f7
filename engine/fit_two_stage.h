// Two-stage Q-learning by backward induction: the stage-2 regression within the stage-2 sample,
// the pseudo-outcome, and the stage-1 regression over all subjects.
#ifndef KESTRION_ENGINE_FIT_TWO_STAGE_H
#define KESTRION_ENGINE_FIT_TWO_STAGE_H

#include <cstdint>

#include "numerics/array.h"
#include "numerics/error_record.h"

namespace kestrion {

// Failure shows only in `record` (emptied on entry). Preconditions the caller guarantees: n2 is
// the number of zeros in respStatus; codes lie in 1..K; array extents agree with the counts.
// With wantSigma1n the regression module still holds the stage-1 decomposition on return.
void fitTwoStage(int32_t n1, int32_t p1, ConstDblVec Y1, ConstDblMat H10, int32_t p10,
                 ConstDblMat H11, int32_t p11, ConstIntVec A1, ConstIntVec respStatus, int32_t n2,
                 int32_t p2, ConstDblVec inputY2, ConstDblMat inputH20, int32_t p20,
                 ConstDblMat inputH21, int32_t p21, ConstIntVec inputA2, ConstDblMat levels1,
                 int32_t K1, ConstDblMat levels2, int32_t K2, DblMat treatment1, DblMat treatment2,
                 DblVec y2, DblMat h20, DblMat h21, IntVec a2, DblMat designM1, DblMat designM2,
                 DblVec beta1hat, DblVec beta2hat, DblVec yhat, double tolerance, bool wantSigma1n,
                 DblMat sigma1n, ErrorRecord& record);

}  // namespace kestrion

#endif  // KESTRION_ENGINE_FIT_TWO_STAGE_H
