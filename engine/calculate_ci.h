// Adaptive bootstrap confidence intervals for the stage-1 coefficients and their contrasts.
#ifndef KESTRION_ENGINE_CALCULATE_CI_H
#define KESTRION_ENGINE_CALCULATE_CI_H

#include <cstdint>

#include "engine/model.h"
#include "kestrion_options.h"
#include "numerics/array.h"
#include "numerics/error_record.h"

namespace kestrion {

// nC contrasts of the p1 stage-1 coefficients, one per row (nC x p1; not read when nC is 0).
struct Contrasts {
  ConstDblMat matrix;
  int32_t nC = 0;
};

// The full-data fit the intervals start from: its stage-2 design (n2 x p2) and outcome (n2), and
// the estimates of both stages (p1, p2).
struct FullDataFit {
  ConstDblMat designM2;
  ConstDblVec y2;
  ConstDblVec beta1hat;
  ConstDblVec beta2hat;
};

// The outputs: p1 + nC upper and lower limits (stage-1 coefficients, then contrasts), written
// only on success, and the number of main replicates whose fit failed.
struct IntervalLimits {
  DblVec upper;
  DblVec lower;
  int32_t* nCollinear = nullptr;
};

// The options are checked first (kestrion_options.h); an unusable set is refused with code 1000
// and the front end's wording, a run larger than the machine's memory (kestrion_plan.h) with code
// 200. The report of any failure is in `record`; of replicates that fail, the lowest-numbered
// one's. Runs on options.cores threads (kestrion_plan.h) with the same results for any number;
// draws from the process-wide uniform generator on the calling thread, which alone reports
// progress.
Status calculateCI(const ModelShape& shape, const StudyArrays& study, const FullDataFit& fit,
                   const Contrasts& contrasts, const IntervalOptions& options, double tolerance,
                   const IntervalLimits& out, ErrorRecord& record);

// Test seam: with rows >= 1 every later call processes the grid in blocks of that many rows,
// keeping its replicates, whatever the plan; 0 restores the plan.
void force_grid_blocks_for_testing(int32_t rows);

// Positions (1-based) of the lower and upper order statistics among nKept sorted values:
// floor((0.5 * nKept) * alpha) raised to 1, ceil(nKept * (1 - 0.5 * alpha)) lowered to nKept.
struct OrderStatisticRanks {
  int32_t low;
  int32_t high;
};
OrderStatisticRanks order_statistic_ranks(int32_t nKept, double alpha);

// The grid of the treatment-dependent stage-2 coefficients: G = nGrid**d2 points and the centre.
// Row g + 1 (g = 0 .. G-1) takes digit j of g in base nGrid (first dimension fastest) to one of
// nGrid equally spaced values from centre_j - halfWidth to centre_j + halfWidth; the last row is
// the centre. centre_j = sqrt(n1) * beta2hat(offset + j), with the double-precision root.
// Requires nGrid >= 2.
struct GridSpec {
  int32_t G;
  int32_t d2;
  int32_t nGrid;
  double halfWidth;
  int32_t n1;
  ConstDblVec beta2hat;
  int32_t offset;
};
// Rows first .. first + count - 1 of the grid, as rows 1 .. count of gamma (count x d2).
void build_grid_rows(DblMat gamma, int32_t first, int32_t count, const GridSpec& grid);
// All G + 1 rows.
void build_grid(DblMat gamma, int32_t G, int32_t d2, int32_t nGrid, double halfWidth, int32_t n1,
                ConstDblVec beta2hat, int32_t offset);

}  // namespace kestrion

#endif  // KESTRION_ENGINE_CALCULATE_CI_H
