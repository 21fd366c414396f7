// The estimated regime's value interval: an m-out-of-n bootstrap whose resample size m shrinks
// with the share of subjects whose treatment effects look null (the pretest statistics), and the
// double bootstrap that tunes how strongly it shrinks.
#ifndef KESTRION_ENGINE_VALUE_INTERVAL_H
#define KESTRION_ENGINE_VALUE_INTERVAL_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/model.h"
#include "engine/value_refit.h"
#include "engine/worker_team.h"
#include "numerics/array.h"

namespace kestrion {

// The tuning constants the double bootstrap chooses among, smallest first.
inline constexpr double kMAlphaGrid[] = {0.025, 0.05, 0.1, 0.25, 0.5, 1.0};
// An alpha is not eligible when more than this share of its first-level resamples keep fewer
// than three second-level refits.
inline constexpr double kIneligibleShare = 0.10;

// How the tuning constant was settled, as kestrion.h numbers it.
enum class MAlphaChoice : int32_t {
  kGiven = 0,
  kChosen = 1,
  kFallback = 2,      // none reached the level: the largest eligible
  kNoneEligible = 3,  // no interval
  kTreatments = 4,    // more than two treatments at a stage: no interval
};

// The scaled covariance n * S / count of `count` vectors of d values (rows of `values`, count x
// d, row-major), S the sum of outer products of their deviations from the mean.
std::vector<double> scaled_covariance(const std::vector<double>& values, int32_t count, int32_t d,
                                      int32_t n);

// The share of the n subjects rows[0 .. n) (null: every subject) that are non-regular: T1 at or
// below the stage-1 threshold, or, in the stage-2 sample, T2 at or below the stage-2 threshold.
// The thresholds are the interval engine's, ln(ln(n)) for the resample's n1 and n2. A statistic
// with no defined value (a zero denominator) counts as non-regular.
double nonregular_share(const ModelShape& shape, const StudyArrays& study, const int32_t* rows,
                        const double* beta1, const double* beta2,
                        const std::vector<double>& sigma1n, const std::vector<double>& sigma2n);

// The smallest resample a two-stage refit can do with: twice p1 subjects, and subjects enough
// that about twice p2 of them are expected in the stage-2 sample; at most n1.
int32_t smallest_resample(const ModelShape& shape, int32_t n1, int32_t n2);
// max(ceil(n1^((1 + a (1 - pHat)) / (1 + a))), floor), at most n1.
int32_t resample_size(int32_t n1, double a, double pHat, int32_t floor);

// lower = vhat - q_hi / sqrt(n1), upper = vhat - q_lo / sqrt(n1), q the order statistics of
// sqrt(m) (v* - vhat) over the kept values (NaN ones are skipped). False with fewer than three.
bool m_out_of_n_limits(double vhat, const std::vector<double>& values, int32_t m, int32_t n1,
                       double alpha, double* lower, double* upper, int32_t* kept);

// The refits of a call: its threads, one refitter each, the progress count and the stop check.
struct RefitPool {
  const ModelShape& shape;
  const StudyArrays& study;
  const RefitDesign& design;
  bool minimize;
  WorkerTeam& team;
  std::vector<Refitter>& fitters;
  std::function<void(int64_t)> advance;  // refits done since the last call
  std::function<bool()> keep_going;      // checked once per batch

  // count resamples of `size` subjects: draw(rows) fills one on the calling thread, in order, a
  // batch at a time; value[b] is the refit's value, NaN when it failed. With psi, the stage-1
  // treatment-effect coefficients of refit b go to row b of *psi (count x d1). False when
  // stopped.
  bool refit(int64_t count, int32_t size, const std::function<void(int32_t*)>& draw,
             std::vector<double>& value, std::vector<double>* psi);
  // Stage-2 refits of `count` resamples of the stage-2 sample, their treatment-effect
  // coefficients in rows of *psi (count x d2), NaN rows for failed ones.
  bool refit_stage2(int64_t count, int32_t size, const std::function<void(int32_t*)>& draw,
                    std::vector<double>& psi);
};

struct DoubleBootstrapResult {
  MAlphaChoice choice = MAlphaChoice::kNoneEligible;
  double alpha = 0.0;
  std::vector<double> share;             // per grid alpha: intervals that held the full-data value
  std::vector<int32_t> short_of_refits;  // per grid alpha: first-level resamples with < 3 kept
  int32_t first_level_kept = 0;
};

// The choice among kMAlphaGrid: nBootTune first-level resamples of n1 (first(rows) draws one),
// each with its pHat (from the full-data covariances), then for each alpha nBootTune
// second-level resamples of that alpha's m from it (second(m, first_rows, rows) draws one).
struct DoubleBootstrapInputs {
  double vhat;
  double level_alpha;  // ALPHA
  int32_t nBootTune;
  int32_t floor;
  const std::vector<double>& sigma1n;
  const std::vector<double>& sigma2n;
};
bool choose_malpha(RefitPool& pool, const DoubleBootstrapInputs& in,
                   const std::function<void(int32_t*)>& first,
                   const std::function<void(int32_t, const int32_t*, int32_t*)>& second,
                   DoubleBootstrapResult& result);

}  // namespace kestrion

#endif  // KESTRION_ENGINE_VALUE_INTERVAL_H
