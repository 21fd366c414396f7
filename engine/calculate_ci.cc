#include "engine/calculate_ci.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/bootstrap.h"
#include "engine/calculate_terms.h"
#include "engine/fit_two_stage.h"
#include "engine/get_bounds.h"
#include "engine/progress.h"
#include "engine/rank_cause.h"
#include "numerics/dynamic_allocation.h"
#include "numerics/regression.h"
#include "numerics/sort.h"
#include "numerics/work_arrays.h"

namespace kestrion {

namespace {

// Running extremes over the grid start here rather than at infinity.
constexpr double kExtremeStart = 1.0e15;

// The front end keeps these out; a direct caller gets the front end's wording instead of a
// division by zero, an overflowing grid or an undefined rank.
bool arguments_usable(const IntervalOptions& options, int32_t d2, ErrorRecord& record) {
  const char* problem = interval_arguments_problem(options, d2);
  if (problem == nullptr) return true;
  char note[80];
  std::snprintf(note, sizeof note, problem, static_cast<int>(d2));
  ErrorDetails details;
  details.note_1 = note;
  report_error(record, ErrorCode::kGeneral, details);
  return false;
}

// The sizes every phase uses.
struct Sizes {
  int32_t n1;
  int32_t n2;
  int32_t p1;
  int32_t p2;
  int32_t d2;
  int32_t m;       // targets: the p1 coefficients, then the contrasts
  int32_t offset;  // the treatment-dependent part of a stage-2 vector follows this position
  int32_t G;
  int32_t rows;  // grid rows, the centre last
};

// Covariance phase: a plain bootstrap of the full-data stage-2 regression.
struct CovarianceArrays {
  DblArray2 btDesignM2;
  DblArray1 beta2, meanBeta2;
  DblArray2 betaArray;
  DblArray1 btY2;
  DblArray2 sigma2n;

  WorkArrays list(const Sizes& z, const IntervalOptions& o) {
    return {{btDesignM2, {z.n2, z.p2}, "calculateCI: btDesignM2"},
            {beta2, {z.p2}, "calculateCI: beta2"},
            {meanBeta2, {z.d2}, "calculateCI: meanBeta2"},
            {betaArray, {o.nBootstrap2, z.d2}, "calculateCI: betaArray"},
            {btY2, {z.n2}, "calculateCI: btY2"},
            {sigma2n, {z.d2, z.d2}, "calculateCI: sigma2n"}};
  }
};

// Main phase: the replicate arrays and the per-replicate values. Replicate values are stored
// replicate-first, (slot, target, grid row), so that every (target, grid row) series is
// contiguous; kept replicates take consecutive slots.
struct MainArrays {
  DblArray1 btY1;
  DblArray2 btH10, btH11;
  IntArray1 btA1, btRespStatus;
  DblArray1 btInputY2;
  DblArray2 btInputH20, btInputH21;
  IntArray1 btInputA2;
  DblArray1 btYhat;
  DblArray2 btTreatment1;
  DblArray1 btBeta1stS, btBeta2ndS;
  DblArray2 btDesignM1, sigma1n;
  DblArray1 term1;
  DblArray2 term2;
  DblArray3 term2ByReplicate;
  DblArray2 gridUpper, gridLower;
  DblArray1 upperBound, lowerBound;
  DblArray2 gamma;
  IntArray1 iarr;
  LogArray1 btIsLinear;

  WorkArrays list(const ModelShape& shape, const Sizes& z, const IntervalOptions& o) {
    const int32_t n1 = z.n1;
    return {{btY1, {n1}, "calculateCI: btY1"},
            {btH10, {n1, shape.p10}, "calculateCI: btH10"},
            {btH11, {n1, shape.p11}, "calculateCI: btH11"},
            {btA1, {n1}, "calculateCI: btA1"},
            {btRespStatus, {n1}, "calculateCI: btRespStatus"},
            {btInputY2, {n1}, "calculateCI: btInputY2"},
            {btInputH20, {n1, shape.p20}, "calculateCI: btInputH20"},
            {btInputH21, {n1, shape.p21}, "calculateCI: btInputH21"},
            {btInputA2, {n1}, "calculateCI: btInputA2"},
            {btYhat, {n1}, "calculateCI: btYhat"},
            {btTreatment1, {n1, shape.K1 - 1}, "calculateCI: btTreatment1"},
            {btBeta1stS, {z.p1}, "calculateCI: btBeta1stS"},
            {btBeta2ndS, {z.p2}, "calculateCI: btBeta2ndS"},
            {btDesignM1, {n1, z.p1}, "calculateCI: btDesignM1"},
            {sigma1n, {z.p1, z.p1}, "calculateCI: sigma1n"},
            {term1, {z.p1}, "calculateCI: term1"},
            {term2, {z.p1, z.rows}, "calculateCI: term2"},
            {term2ByReplicate, {o.nBootstrap1, z.m, z.rows}, "calculateCI: term2"},
            {gridUpper, {z.m, z.rows}, "calculateCI: upper"},
            {gridLower, {z.m, z.rows}, "calculateCI: lower"},
            {upperBound, {z.m}, "calculateCI: upperBound"},
            {lowerBound, {z.m}, "calculateCI: lowerBound"},
            {gamma, {z.rows, z.d2}, "calculateCI: gamma"},
            {iarr, {o.nBootstrap1}, "calculateCI: iarr"},
            {btIsLinear, {o.nBootstrap1}, "calculateCI: btIsLinear"}};
  }

  SubjectArraysOut resample() const {
    return {btY1, btInputY2, btRespStatus, btA1, btInputA2, btH10, btH11, btInputH20, btInputH21};
  }
};

// One main replicate's stage-2 sample, built by its fit.
struct ReplicateArrays {
  DblArray2 btDesignM2, btTreatment2, btH20, btH21;
  IntArray1 btA2;
  DblArray1 btY2;

  WorkArrays list(const ModelShape& shape, int32_t p2, int32_t n2Boot) {
    return {{btDesignM2, {n2Boot, p2}, "calculateCI: btDesignM2"},
            {btTreatment2, {n2Boot, shape.K2 - 1}, "calculateCI: btTreatment2"},
            {btH20, {n2Boot, shape.p20}, "calculateCI: btH20"},
            {btH21, {n2Boot, shape.p21}, "calculateCI: btH21"},
            {btA2, {n2Boot}, "calculateCI: btA2"},
            {btY2, {n2Boot}, "calculateCI: btY2"}};
  }
};

// Row b of betaArray: the treatment-effect coefficients of covariance replicate b; then their
// scaled covariance sigma2n = S * n2 / nBootstrap2 (the product first).
Status covariance_phase(const Sizes& z, const FullDataFit& fit, const IntervalOptions& o,
                        double tolerance, CovarianceArrays& c, ErrorRecord& record) {
  const int32_t nB2 = o.nBootstrap2;
  for (int32_t b = 1; b <= nB2; ++b) {
    if (bootstrap(z.n2, z.p2, fit.designM2, fit.y2, c.btDesignM2, c.btY2, record) != Status::kOk) {
      return Status::kFailed;
    }
    if (svdr_l2(c.btDesignM2, z.n2, z.p2, c.btY2, tolerance, c.beta2, record) != 0 ||
        error_occurred(record)) {
      explain_rank_deficiency(record, "covariance replicate " + std::to_string(b), c.btDesignM2,
                              z.n2, z.p2, tolerance);
      return Status::kFailed;
    }
    for (int32_t j = 1; j <= z.d2; ++j) c.betaArray(b, j) = c.beta2(z.offset + j);
  }
  for (int32_t j = 1; j <= z.d2; ++j) {
    double sum = 0.0;
    for (int32_t b = 1; b <= nB2; ++b) sum += c.betaArray(b, j);
    c.meanBeta2(j) = sum / nB2;
  }
  for (int32_t i = 1; i <= z.d2; ++i) {
    for (int32_t j = 1; j <= z.d2; ++j) {
      double sum = 0.0;
      for (int32_t b = 1; b <= nB2; ++b) {
        sum += (c.betaArray(b, i) - c.meanBeta2(i)) * (c.betaArray(b, j) - c.meanBeta2(j));
      }
      c.sigma2n(i, j) = sum * z.n2 / nB2;
    }
  }
  return Status::kOk;
}

// The grid's half-width is gridScale times the largest standard deviation of sigma2n.
double half_width(const Sizes& z, const IntervalOptions& o, ConstDblMat sigma2n) {
  double largest_sd = -kExtremeStart;
  for (int32_t j = 1; j <= z.d2; ++j) {
    const double sd = std::sqrt(sigma2n(j, j));
    if (sd > largest_sd) largest_sd = sd;
  }
  return o.gridScale * largest_sd;
}

// Everything the main replicates share.
struct MainPhase {
  const ModelShape& shape;
  const StudyArrays& study;
  const FullDataFit& fit;
  const Contrasts& contrasts;
  const IntervalOptions& options;
  const Sizes& z;
  double tolerance;
  ConstDblMat sigma2n;
  MainArrays& a;
};

// Replicate b: resample, fit (a failing fit counts as collinear, unless it failed for memory),
// then its terms and bounds into the next free slot of term2ByReplicate.
Status run_replicate(const MainPhase& p, int32_t b, int32_t& nKept, int32_t& nCollinear,
                     ErrorRecord& record) {
  MainArrays& a = p.a;
  const Sizes& z = p.z;
  a.btIsLinear(b) = false;
  if (bootstrap(z.n1, p.shape, p.study.subjects, a.resample(), record) != Status::kOk) {
    return Status::kFailed;
  }
  int32_t n2Boot = 0;
  for (int32_t i = 1; i <= z.n1; ++i) n2Boot += a.btRespStatus(i) == 0 ? 1 : 0;

  ReplicateArrays r;
  WorkArrays replicate_work = r.list(p.shape, z.p2, n2Boot);
  if (replicate_work.obtain(record) != Status::kOk) return Status::kFailed;
  const StudyArrays resampled{z.n1, n2Boot, a.resample(), p.study.levels1, p.study.levels2};
  const FitArrays fit{a.btTreatment1, r.btTreatment2, r.btY2,       r.btH20,
                      r.btH21,        r.btA2,         a.btDesignM1, r.btDesignM2,
                      a.btYhat,       a.btBeta1stS,   a.btBeta2ndS, a.sigma1n};
  if (fitTwoStage(p.shape, resampled, fit, {p.tolerance, true, false}, record) != Status::kOk) {
    // A replicate that could not get its memory is a failure of the analysis, not a collinear
    // resample.
    if (record.memory_failure) return Status::kFailed;
    ++nCollinear;
    a.btIsLinear(b) = true;
  }
  clear_errors(record);
  if (replicate_work.release(record) != Status::kOk) return Status::kFailed;
  if (a.btIsLinear(b)) return Status::kOk;

  const IntervalFrame frame{p.study.n2,     p.options.nGrid, p.study.levels2, p.fit.beta1hat,
                            p.fit.beta2hat, p.sigma2n,       a.gamma};
  const ReplicateFit replicate{z.n1,         a.btY1,    a.btInputH20, a.btInputH21, a.btRespStatus,
                               a.btDesignM1, a.sigma1n, a.btBeta1stS, a.btBeta2ndS};
  if (calculateTerms(p.shape, frame, replicate, a.term1, a.term2, record) != Status::kOk) {
    return Status::kFailed;
  }
  ++nKept;
  const int32_t nB1 = p.options.nBootstrap1;
  double* slot = a.term2ByReplicate.size() > 0 ? a.term2ByReplicate.data() + (nKept - 1) : nullptr;
  const DblMat section(slot, {1, 1}, {z.m, z.rows}, {nB1, int64_t{nB1} * z.m});
  return getBounds(a.term1, a.term2, p.contrasts.matrix, p.contrasts.nC, z.p1, z.d2,
                   p.options.nGrid, section, record);
}

// gridLower and gridUpper: the order statistics of every (target, grid row) series of kept
// values; term2Kept holds one series at a time (the kept values already sit contiguously in
// term2ByReplicate, so a second copy of all of them is not needed).
Status order_statistics(const Sizes& z, int32_t nKept, double alpha, MainArrays& a,
                        DblArray3& term2Kept, ErrorRecord& record) {
  const OrderStatisticRanks ranks = order_statistic_ranks(nKept, alpha);
  if (alloc(term2Kept, {1, nKept, 1}, record, "calculateCI: term2") != 0) return Status::kFailed;
  std::fill(a.gridUpper.data(), a.gridUpper.data() + a.gridUpper.size(), 0.0);
  std::fill(a.gridLower.data(), a.gridLower.data() + a.gridLower.size(), 0.0);
  const DblVec buffer = make_view(term2Kept.data(), nKept);
  for (int32_t k = 1; k <= z.m; ++k) {
    for (int32_t g = 1; g <= z.rows; ++g) {
      const double* series = &a.term2ByReplicate(1, k, g);
      std::copy(series, series + nKept, term2Kept.data());
      // Nothing reads the permutation, so the sort is spared from carrying it along (iarr stays
      // unwritten).
      if (qsort_double(buffer, nKept, record) != 0) return Status::kFailed;
      a.gridLower(k, g) = buffer(ranks.low);
      a.gridUpper(k, g) = buffer(ranks.high);
    }
  }
  return Status::kOk;
}

// upperBound and lowerBound end as the limits: the estimate minus the extremes over the grid,
// divided by the single-precision root of n1.
void limits(const Sizes& z, const FullDataFit& fit, const Contrasts& contrasts, MainArrays& a) {
  for (int32_t k = 1; k <= z.m; ++k) {
    double largest = -kExtremeStart;
    double smallest = kExtremeStart;
    for (int32_t g = 1; g <= z.rows; ++g) {
      if (a.gridUpper(k, g) > largest) largest = a.gridUpper(k, g);
      if (a.gridLower(k, g) < smallest) smallest = a.gridLower(k, g);
    }
    a.upperBound(k) = largest;
    a.lowerBound(k) = smallest;
  }
  const double s = static_cast<double>(std::sqrt(static_cast<float>(z.n1)));
  for (int32_t k = 1; k <= z.m; ++k) {
    double estimate = 0.0;
    if (k <= z.p1) {
      estimate = fit.beta1hat(k);
    } else {
      for (int32_t j = 1; j <= z.p1; ++j) {
        estimate += fit.beta1hat(j) * contrasts.matrix(k - z.p1, j);
      }
    }
    const double upper_limit = estimate - a.lowerBound(k) / s;
    const double lower_limit = estimate - a.upperBound(k) / s;
    a.upperBound(k) = upper_limit;
    a.lowerBound(k) = lower_limit;
  }
}

Sizes sizes_of(const ModelShape& shape, const StudyArrays& study, const Contrasts& contrasts,
               const IntervalOptions& options) {
  Sizes z{};
  z.n1 = study.n1;
  z.n2 = study.n2;
  z.p1 = shape.p1();
  z.p2 = shape.p2();
  z.d2 = z.p2 - shape.p20 - shape.p21 - 1;
  z.m = z.p1 + contrasts.nC;
  z.offset = shape.stage2_offset();
  z.G = grid_point_count(options.nGrid, z.d2);
  z.rows = static_cast<int32_t>(grid_row_count(z.G));
  return z;
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

Status calculateCI(const ModelShape& shape, const StudyArrays& study, const FullDataFit& fit,
                   const Contrasts& contrasts, const IntervalOptions& options, double tolerance,
                   const IntervalLimits& out, ErrorRecord& record) {
  *out.nCollinear = 0;
  const Sizes z = sizes_of(shape, study, contrasts, options);
  if (!arguments_usable(options, z.d2, record)) return Status::kFailed;

  // Every work array is freed by its destructor when the call ends early, without a report;
  // the releases of the normal path go through the checked routine.
  CovarianceArrays c;
  WorkArrays covariance = c.list(z, options);
  if (covariance.obtain(record) != Status::kOk ||
      covariance_phase(z, fit, options, tolerance, c, record) != Status::kOk ||
      covariance.release(record, {&c.btY2, &c.btDesignM2}) != Status::kOk) {
    return Status::kFailed;
  }

  MainArrays a;
  WorkArrays main = a.list(shape, z, options);
  if (main.obtain(record) != Status::kOk) return Status::kFailed;
  build_grid(a.gamma, z.G, z.d2, options.nGrid, half_width(z, options, c.sigma2n), z.n1,
             fit.beta2hat, z.offset);

  const MainPhase phase{shape, study, fit, contrasts, options, z, tolerance, c.sigma2n, a};
  int32_t nKept = 0;
  for (int32_t b = 1; b <= options.nBootstrap1; ++b) {
    if (run_replicate(phase, b, nKept, *out.nCollinear, record) != Status::kOk) {
      return Status::kFailed;
    }
    report_progress(b, options.nBootstrap1);
  }

  if (nKept < 3) {
    ErrorDetails details;
    details.note_1 = "Too many bootstrap loops have collinearity.";
    report_error(record, ErrorCode::kSingular, details);
    return Status::kFailed;
  }
  DblArray3 term2Kept;
  if (order_statistics(z, nKept, options.alpha, a, term2Kept, record) != Status::kOk) {
    return Status::kFailed;
  }
  limits(z, fit, contrasts, a);

  // The limits wait in upperBound and lowerBound until every other release has succeeded, so
  // that a failed call never leaves them half-written.
  if (covariance.release(record) != Status::kOk ||
      main.release_all_but(record, {&a.upperBound, &a.lowerBound}) != Status::kOk ||
      dealloc(term2Kept, record, "calculateCI: term2") != 0) {
    return Status::kFailed;
  }
  for (int32_t k = 1; k <= z.m; ++k) {
    out.upper(k) = a.upperBound(k);
    out.lower(k) = a.lowerBound(k);
  }
  return main.release(record, {&a.upperBound, &a.lowerBound});
}

}  // namespace kestrion
