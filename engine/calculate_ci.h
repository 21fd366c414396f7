// Adaptive bootstrap confidence intervals for the stage-1 coefficients and their contrasts.
#ifndef KESTRION_ENGINE_CALCULATE_CI_H
#define KESTRION_ENGINE_CALCULATE_CI_H

#include <cstdint>

#include "numerics/array.h"
#include "numerics/error_record.h"

namespace kestrion {

// Writes upper and lower (p1 + nC entries each) and nCollinear; failures only in `record`.
// designM2 and y2 are those of the full-data fit. Uses the process-wide uniform generator.
void calculateCI(int32_t n1, int32_t p1, ConstDblMat designM2, int32_t n2, int32_t p2,
                 ConstDblVec Y1, ConstDblVec inputY2, ConstDblVec y2, ConstIntVec respStatus,
                 ConstIntVec A1, ConstIntVec inputA2, ConstDblMat H10, int32_t p10, ConstDblMat H11,
                 int32_t p11, ConstDblMat inputH20, int32_t p20, ConstDblMat inputH21, int32_t p21,
                 ConstDblMat levels1, int32_t K1, ConstDblMat levels2, int32_t K2,
                 ConstDblMat contrastMatrix, int32_t nC, int32_t nBootstrap1, int32_t nBootstrap2,
                 int32_t nGrid, double gridScale, double alpha, double tolerance,
                 int32_t& nCollinear, ConstDblVec beta1hat, ConstDblVec beta2hat, DblVec upper,
                 DblVec lower, ErrorRecord& record);

// Positions (1-based) of the lower and upper order statistics among nKept sorted values:
// floor((0.5 * nKept) * alpha) raised to 1, ceil(nKept * (1 - 0.5 * alpha)) lowered to nKept.
struct OrderStatisticRanks {
  int32_t low;
  int32_t high;
};
OrderStatisticRanks order_statistic_ranks(int32_t nKept, double alpha);

// Fills the G + 1 rows of gamma ((G+1) x d2): row g + 1 (g = 0 .. G-1) takes digit j of g in base
// nGrid (first dimension fastest) to one of nGrid equally spaced values from centre_j - halfWidth
// to centre_j + halfWidth; the last row is the centre. centre_j = sqrt(n1) * beta2hat(offset + j),
// with the double-precision root. Requires nGrid >= 2.
void build_grid(DblMat gamma, int32_t G, int32_t d2, int32_t nGrid, double halfWidth, int32_t n1,
                ConstDblVec beta2hat, int32_t offset);

}  // namespace kestrion

#endif  // KESTRION_ENGINE_CALCULATE_CI_H
