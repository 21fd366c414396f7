#include "engine/calculate_ci.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "engine/bootstrap.h"
#include "engine/calculate_terms.h"
#include "engine/fit_two_stage.h"
#include "engine/get_bounds.h"
#include "engine/progress.h"
#include "numerics/dynamic_allocation.h"
#include "numerics/regression.h"
#include "numerics/sort.h"

namespace kestrion {

namespace {

// Running extremes over the grid start here rather than at infinity.
constexpr double kExtremeStart = 1.0e15;

void refuse(ErrorRecord& record, const char* note) {
  ErrorDetails details;
  details.note_1 = note;
  report_error(record, 1000, details);
}

// The front end keeps these out; a direct caller gets the front end's wording instead of a
// division by zero, an overflowing grid or an undefined rank.
bool arguments_usable(int32_t nBootstrap2, int32_t nGrid, int32_t d2, double alpha,
                      ErrorRecord& record) {
  if (nBootstrap2 < 1) {
    refuse(record, "NBOOTSTRAP2 must be positive.");
    return false;
  }
  if (nGrid < 2) {
    refuse(record, "NGRID must be at least 2 when DERIVECI is specified.");
    return false;
  }
  constexpr int64_t kLargest = std::numeric_limits<int32_t>::max();
  int64_t points = 1;
  for (int32_t e = 0; e < d2 && points < kLargest; ++e) points *= nGrid;
  if (points + 1 > kLargest) {
    char note[80];
    std::snprintf(note, sizeof note, "The grid of NGRID**%d points is too large; lower NGRID.",
                  static_cast<int>(d2));
    refuse(record, note);
    return false;
  }
  if (!(alpha > 0.0)) {
    refuse(record, "ALPHA must be positive.");
    return false;
  }
  if (!(alpha < 1.0)) {
    refuse(record, "ALPHA must be less than 1.");
    return false;
  }
  return true;
}

}  // namespace

OrderStatisticRanks order_statistic_ranks(int32_t nKept, double alpha) {
  const double low = std::floor((0.5 * nKept) * alpha);
  const double high = std::ceil(nKept * (1.0 - 0.5 * alpha));
  // The clamps on the far sides only guard the conversion; valid alpha never reaches them.
  OrderStatisticRanks ranks{};
  ranks.low = !(low >= 1.0) ? 1 : (low > nKept ? nKept : static_cast<int32_t>(low));
  ranks.high = !(high <= nKept) ? nKept : (high < 1.0 ? 1 : static_cast<int32_t>(high));
  return ranks;
}

void build_grid(DblMat gamma, int32_t G, int32_t d2, int32_t nGrid, double halfWidth, int32_t n1,
                ConstDblVec beta2hat, int32_t offset) {
  const double root_n1 = std::sqrt(static_cast<double>(n1));
  const double steps = static_cast<double>(nGrid) - 1.0;
  for (int32_t g = 0; g < G; ++g) {
    int32_t rest = g;
    for (int32_t j = 1; j <= d2; ++j) {
      const int32_t digit = rest % nGrid;
      rest /= nGrid;
      gamma(g + 1, j) =
          halfWidth * (2.0 * digit) / steps - halfWidth + root_n1 * beta2hat(offset + j);
    }
  }
  for (int32_t j = 1; j <= d2; ++j) gamma(G + 1, j) = root_n1 * beta2hat(offset + j);
}

void calculateCI(int32_t n1, int32_t p1, ConstDblMat designM2, int32_t n2, int32_t p2,
                 ConstDblVec Y1, ConstDblVec inputY2, ConstDblVec y2, ConstIntVec respStatus,
                 ConstIntVec A1, ConstIntVec inputA2, ConstDblMat H10, int32_t p10, ConstDblMat H11,
                 int32_t p11, ConstDblMat inputH20, int32_t p20, ConstDblMat inputH21, int32_t p21,
                 ConstDblMat levels1, int32_t K1, ConstDblMat levels2, int32_t K2,
                 ConstDblMat contrastMatrix, int32_t nC, int32_t nBootstrap1, int32_t nBootstrap2,
                 int32_t nGrid, double gridScale, double alpha, double tolerance,
                 int32_t& nCollinear, ConstDblVec beta1hat, ConstDblVec beta2hat, DblVec upper,
                 DblVec lower, ErrorRecord& record) {
  nCollinear = 0;
  const int32_t d2 = p2 - p20 - p21 - 1;
  const int32_t m = p1 + nC;
  const int32_t offset = p20 + p21 + 1;  // the treatment-dependent part follows this position
  if (!arguments_usable(nBootstrap2, nGrid, d2, alpha, record)) return;

  // Every work array is freed by its destructor when the call ends early, without a report;
  // the releases of the normal path go through the checked routine.

  // Covariance phase: a plain bootstrap of the full-data stage-2 regression.
  DblArray2 btDesignM2, betaArray, sigma2n;
  DblArray1 beta2, meanBeta2, btY2;
  if (alloc(btDesignM2, {n2, p2}, record, "calculateCI: btDesignM2") != 0 ||
      alloc(beta2, {p2}, record, "calculateCI: beta2") != 0 ||
      alloc(meanBeta2, {d2}, record, "calculateCI: meanBeta2") != 0 ||
      alloc(betaArray, {nBootstrap2, d2}, record, "calculateCI: betaArray") != 0 ||
      alloc(btY2, {n2}, record, "calculateCI: btY2") != 0 ||
      alloc(sigma2n, {d2, d2}, record, "calculateCI: sigma2n") != 0) {
    return;
  }
  for (int32_t b = 1; b <= nBootstrap2; ++b) {
    if (bootstrap(n2, p2, designM2, y2, btDesignM2, btY2, record) != 0) return;
    if (svdr_l2(btDesignM2, n2, p2, btY2, tolerance, beta2, record) != 0 ||
        error_occurred(record)) {
      return;
    }
    for (int32_t j = 1; j <= d2; ++j) betaArray(b, j) = beta2(offset + j);
  }
  for (int32_t j = 1; j <= d2; ++j) {
    double sum = 0.0;
    for (int32_t b = 1; b <= nBootstrap2; ++b) sum += betaArray(b, j);
    meanBeta2(j) = sum / nBootstrap2;
  }
  for (int32_t i = 1; i <= d2; ++i) {
    for (int32_t j = 1; j <= d2; ++j) {
      double sum = 0.0;
      for (int32_t b = 1; b <= nBootstrap2; ++b) {
        sum += (betaArray(b, i) - meanBeta2(i)) * (betaArray(b, j) - meanBeta2(j));
      }
      sigma2n(i, j) = sum * n2 / nBootstrap2;
    }
  }
  if (dealloc(btY2, record, "calculateCI: btY2") != 0 ||
      dealloc(btDesignM2, record, "calculateCI: btDesignM2") != 0) {
    return;
  }

  // Main phase: the replicate arrays and the per-replicate values.
  const int32_t G = grid_point_count(nGrid, d2);
  const auto rows = static_cast<int32_t>(grid_row_count(G));
  DblArray1 btY1, btInputY2, btYhat, btBeta1stS, btBeta2ndS, term1, upperBound, lowerBound;
  DblArray2 btH10, btH11, btInputH20, btInputH21, btTreatment1, btDesignM1, sigma1n, term2,
      gridUpper, gridLower, gamma;
  IntArray1 btA1, btRespStatus, btInputA2, iarr;
  LogArray1 btIsLinear;
  // Replicate values are stored replicate-first, (slot, target, grid row), so that every
  // (target, grid row) series is contiguous; kept replicates take consecutive slots.
  DblArray3 term2ByReplicate;
  if (alloc(btY1, {n1}, record, "calculateCI: btY1") != 0 ||
      alloc(btH10, {n1, p10}, record, "calculateCI: btH10") != 0 ||
      alloc(btH11, {n1, p11}, record, "calculateCI: btH11") != 0 ||
      alloc(btA1, {n1}, record, "calculateCI: btA1") != 0 ||
      alloc(btRespStatus, {n1}, record, "calculateCI: btRespStatus") != 0 ||
      alloc(btInputY2, {n1}, record, "calculateCI: btInputY2") != 0 ||
      alloc(btInputH20, {n1, p20}, record, "calculateCI: btInputH20") != 0 ||
      alloc(btInputH21, {n1, p21}, record, "calculateCI: btInputH21") != 0 ||
      alloc(btInputA2, {n1}, record, "calculateCI: btInputA2") != 0 ||
      alloc(btYhat, {n1}, record, "calculateCI: btYhat") != 0 ||
      alloc(btTreatment1, {n1, K1 - 1}, record, "calculateCI: btTreatment1") != 0 ||
      alloc(btBeta1stS, {p1}, record, "calculateCI: btBeta1stS") != 0 ||
      alloc(btBeta2ndS, {p2}, record, "calculateCI: btBeta2ndS") != 0 ||
      alloc(btDesignM1, {n1, p1}, record, "calculateCI: btDesignM1") != 0 ||
      alloc(sigma1n, {p1, p1}, record, "calculateCI: sigma1n") != 0 ||
      alloc(term1, {p1}, record, "calculateCI: term1") != 0 ||
      alloc(term2, {p1, rows}, record, "calculateCI: term2") != 0 ||
      alloc(term2ByReplicate, {nBootstrap1, m, rows}, record, "calculateCI: term2") != 0 ||
      alloc(gridUpper, {m, rows}, record, "calculateCI: upper") != 0 ||
      alloc(gridLower, {m, rows}, record, "calculateCI: lower") != 0 ||
      alloc(upperBound, {m}, record, "calculateCI: upperBound") != 0 ||
      alloc(lowerBound, {m}, record, "calculateCI: lowerBound") != 0 ||
      alloc(gamma, {rows, d2}, record, "calculateCI: gamma") != 0 ||
      alloc(iarr, {nBootstrap1}, record, "calculateCI: iarr") != 0 ||
      alloc(btIsLinear, {nBootstrap1}, record, "calculateCI: btIsLinear") != 0) {
    return;
  }

  double largest_sd = -kExtremeStart;
  for (int32_t j = 1; j <= d2; ++j) {
    const double sd = std::sqrt(sigma2n(j, j));
    if (sd > largest_sd) largest_sd = sd;
  }
  build_grid(gamma, G, d2, nGrid, gridScale * largest_sd, n1, beta2hat, offset);

  int32_t nKept = 0;
  for (int32_t b = 1; b <= nBootstrap1; ++b) {
    btIsLinear(b) = false;
    if (bootstrap(n1, Y1, H10, p10, H11, p11, A1, respStatus, inputY2, inputH20, p20, inputH21, p21,
                  inputA2, btY1, btH10, btH11, btA1, btRespStatus, btInputY2, btInputH20,
                  btInputH21, btInputA2, record) != 0) {
      return;
    }
    int32_t n2Boot = 0;
    for (int32_t i = 1; i <= n1; ++i) n2Boot += btRespStatus(i) == 0 ? 1 : 0;

    DblArray2 btH20, btH21, btTreatment2;
    IntArray1 btA2;
    if (alloc(btDesignM2, {n2Boot, p2}, record, "calculateCI: btDesignM2") != 0 ||
        alloc(btTreatment2, {n2Boot, K2 - 1}, record, "calculateCI: btTreatment2") != 0 ||
        alloc(btH20, {n2Boot, p20}, record, "calculateCI: btH20") != 0 ||
        alloc(btH21, {n2Boot, p21}, record, "calculateCI: btH21") != 0 ||
        alloc(btA2, {n2Boot}, record, "calculateCI: btA2") != 0 ||
        alloc(btY2, {n2Boot}, record, "calculateCI: btY2") != 0) {
      return;
    }
    fitTwoStage(n1, p1, btY1, btH10, p10, btH11, p11, btA1, btRespStatus, n2Boot, p2, btInputY2,
                btInputH20, p20, btInputH21, p21, btInputA2, levels1, K1, levels2, K2, btTreatment1,
                btTreatment2, btY2, btH20, btH21, btA2, btDesignM1, btDesignM2, btBeta1stS,
                btBeta2ndS, btYhat, tolerance, true, sigma1n, record);
    if (error_occurred(record)) {
      // A replicate that could not get its memory is a failure of the analysis, not a
      // collinear resample.
      if (record.memory_failure) return;
      ++nCollinear;
      btIsLinear(b) = true;
    }
    clear_errors(record);
    if (dealloc(btDesignM2, record, "calculateCI: btDesignM2") != 0 ||
        dealloc(btTreatment2, record, "calculateCI: btTreatment2") != 0 ||
        dealloc(btH20, record, "calculateCI: btH20") != 0 ||
        dealloc(btH21, record, "calculateCI: btH21") != 0 ||
        dealloc(btA2, record, "calculateCI: btA2") != 0 ||
        dealloc(btY2, record, "calculateCI: btY2") != 0) {
      return;
    }
    if (btIsLinear(b)) {
      report_progress(b, nBootstrap1);
      continue;
    }

    if (calculateTerms(n1, p1, n2, p2, p20, p21, K2, nGrid, gridScale, btY1, btInputH20, btInputH21,
                       levels2, beta1hat, beta2hat, btDesignM1, btRespStatus, sigma1n, sigma2n,
                       gamma, btBeta1stS, btBeta2ndS, term1, term2, record) != 0) {
      return;
    }
    ++nKept;
    double* slot = term2ByReplicate.size() > 0 ? term2ByReplicate.data() + (nKept - 1) : nullptr;
    const DblMat section(slot, {1, 1}, {m, rows}, {nBootstrap1, int64_t{nBootstrap1} * m});
    if (getBounds(term1, term2, contrastMatrix, nC, p1, d2, nGrid, section, record) != 0) return;
    report_progress(b, nBootstrap1);
  }

  if (nKept < 3) {
    ErrorDetails details;
    details.note_1 = "Too many bootstrap loops have collinearity.";
    report_error(record, 100, details);
    return;
  }
  const OrderStatisticRanks ranks = order_statistic_ranks(nKept, alpha);

  // Holds one (target, grid row) series at a time: the kept values already sit contiguously in
  // term2ByReplicate, so a second copy of all of them is not needed.
  DblArray3 term2Kept;
  if (alloc(term2Kept, {1, nKept, 1}, record, "calculateCI: term2") != 0) return;
  std::fill(gridUpper.data(), gridUpper.data() + gridUpper.size(), 0.0);
  std::fill(gridLower.data(), gridLower.data() + gridLower.size(), 0.0);
  const DblVec buffer = make_view(term2Kept.data(), nKept);
  for (int32_t k = 1; k <= m; ++k) {
    for (int32_t g = 1; g <= rows; ++g) {
      const double* series = &term2ByReplicate(1, k, g);
      std::copy(series, series + nKept, term2Kept.data());
      // Nothing reads the permutation, so the sort is spared from carrying it along (iarr stays
      // unwritten).
      if (qsort_double(buffer, nKept, record) != 0) return;
      gridLower(k, g) = buffer(ranks.low);
      gridUpper(k, g) = buffer(ranks.high);
    }
  }

  for (int32_t k = 1; k <= m; ++k) {
    double largest = -kExtremeStart;
    double smallest = kExtremeStart;
    for (int32_t g = 1; g <= rows; ++g) {
      if (gridUpper(k, g) > largest) largest = gridUpper(k, g);
      if (gridLower(k, g) < smallest) smallest = gridLower(k, g);
    }
    upperBound(k) = largest;
    lowerBound(k) = smallest;
  }

  // The limits wait in upperBound and lowerBound until every other release has succeeded, so
  // that a failed call never leaves them half-written.
  const double s = static_cast<double>(std::sqrt(static_cast<float>(n1)));
  for (int32_t k = 1; k <= m; ++k) {
    double estimate = 0.0;
    if (k <= p1) {
      estimate = beta1hat(k);
    } else {
      for (int32_t j = 1; j <= p1; ++j) estimate += beta1hat(j) * contrastMatrix(k - p1, j);
    }
    const double upper_limit = estimate - lowerBound(k) / s;
    const double lower_limit = estimate - upperBound(k) / s;
    upperBound(k) = upper_limit;
    lowerBound(k) = lower_limit;
  }
  if (dealloc(beta2, record, "calculateCI: beta2") != 0 ||
      dealloc(meanBeta2, record, "calculateCI: meanBeta2") != 0 ||
      dealloc(betaArray, record, "calculateCI: betaArray") != 0 ||
      dealloc(sigma2n, record, "calculateCI: sigma2n") != 0 ||
      dealloc(btY1, record, "calculateCI: btY1") != 0 ||
      dealloc(btH10, record, "calculateCI: btH10") != 0 ||
      dealloc(btH11, record, "calculateCI: btH11") != 0 ||
      dealloc(btA1, record, "calculateCI: btA1") != 0 ||
      dealloc(btRespStatus, record, "calculateCI: btRespStatus") != 0 ||
      dealloc(btInputY2, record, "calculateCI: btInputY2") != 0 ||
      dealloc(btInputH20, record, "calculateCI: btInputH20") != 0 ||
      dealloc(btInputH21, record, "calculateCI: btInputH21") != 0 ||
      dealloc(btInputA2, record, "calculateCI: btInputA2") != 0 ||
      dealloc(btYhat, record, "calculateCI: btYhat") != 0 ||
      dealloc(btTreatment1, record, "calculateCI: btTreatment1") != 0 ||
      dealloc(btBeta1stS, record, "calculateCI: btBeta1stS") != 0 ||
      dealloc(btBeta2ndS, record, "calculateCI: btBeta2ndS") != 0 ||
      dealloc(btDesignM1, record, "calculateCI: btDesignM1") != 0 ||
      dealloc(sigma1n, record, "calculateCI: sigma1n") != 0 ||
      dealloc(term1, record, "calculateCI: term1") != 0 ||
      dealloc(term2, record, "calculateCI: term2") != 0 ||
      dealloc(term2ByReplicate, record, "calculateCI: term2") != 0 ||
      dealloc(gridUpper, record, "calculateCI: upper") != 0 ||
      dealloc(gridLower, record, "calculateCI: lower") != 0 ||
      dealloc(gamma, record, "calculateCI: gamma") != 0 ||
      dealloc(iarr, record, "calculateCI: iarr") != 0 ||
      dealloc(btIsLinear, record, "calculateCI: btIsLinear") != 0 ||
      dealloc(term2Kept, record, "calculateCI: term2") != 0) {
    return;
  }
  for (int32_t k = 1; k <= m; ++k) {
    upper(k) = upperBound(k);
    lower(k) = lowerBound(k);
  }
  if (dealloc(upperBound, record, "calculateCI: upperBound") != 0) return;
  dealloc(lowerBound, record, "calculateCI: lowerBound");
}

}  // namespace kestrion
