#include "engine/value_interval.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/calculate_ci.h"
#include "engine/calculate_terms.h"
#include "kestrion_plan.h"

namespace kestrion {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Resample rows held at once, so that large studies keep their batches small.
constexpr int64_t kBatchRows = int64_t{1} << 22;

int64_t batch_for(int32_t size) {
  return std::clamp<int64_t>(kBatchRows / std::max(size, 1), 1, kBatchReplicates);
}

// Runs count items in batches: draw(b, slot) on the calling thread in order, then compute(worker,
// b, slot) on the team. False when stopped.
bool in_batches(RefitPool& pool, int64_t count, int64_t batch,
                const std::function<void(int64_t, int64_t)>& draw,
                const std::function<void(int32_t, int64_t, int64_t)>& compute) {
  for (int64_t first = 0; first < count; first += batch) {
    if (!pool.keep_going()) return false;
    const int64_t n = std::min(batch, count - first);
    for (int64_t j = 0; j < n; ++j) draw(first + j, j);
    pool.team.run(n, [&](int32_t worker, int64_t j) { compute(worker, first + j, j); });
    pool.advance(n);
  }
  return true;
}

// The interval around a first-level resample's value, and whether it holds the full data's.
struct SecondLevel {
  bool has_interval = false;
  bool holds = false;
};

}  // namespace

std::vector<double> scaled_covariance(const std::vector<double>& values, int32_t count, int32_t d,
                                      int32_t n) {
  std::vector<double> mean(static_cast<size_t>(d), 0.0);
  for (int32_t b = 0; b < count; ++b) {
    for (int32_t j = 0; j < d; ++j) mean[j] += values[static_cast<size_t>(b) * d + j];
  }
  for (double& v : mean) v /= count;
  std::vector<double> sigma(static_cast<size_t>(d) * d, 0.0);
  for (int32_t a = 0; a < d; ++a) {
    for (int32_t c = 0; c < d; ++c) {
      double sum = 0.0;
      for (int32_t b = 0; b < count; ++b) {
        const double* row = values.data() + static_cast<size_t>(b) * d;
        sum += (row[a] - mean[a]) * (row[c] - mean[c]);
      }
      sigma[static_cast<size_t>(a) + static_cast<size_t>(c) * d] = sum * n / count;
    }
  }
  return sigma;
}

double nonregular_share(const ModelShape& shape, const StudyArrays& study, const int32_t* rows,
                        const double* beta1, const double* beta2,
                        const std::vector<double>& sigma1n, const std::vector<double>& sigma2n) {
  const int32_t n1 = study.n1;
  int32_t n2 = 0;
  for (int32_t k = 0; k < n1; ++k) {
    if (study.subjects.respStatus(rows == nullptr ? k + 1 : rows[k]) == 0) ++n2;
  }
  const double threshold1 = indicator_threshold(n1);
  const double threshold2 = indicator_threshold(n2);
  int32_t nonregular = 0;
  for (int32_t k = 0; k < n1; ++k) {
    const int32_t i = rows == nullptr ? k + 1 : rows[k];
    const double e1 = effect1(shape, study, beta1, i);
    bool non = !(n1 * e1 * e1 / spread1(shape, study, sigma1n, i) > threshold1);
    if (!non && study.subjects.respStatus(i) == 0) {
      const double e2 = effect2(shape, study, beta2, i);
      non = !(n2 * e2 * e2 / spread2(shape, study, sigma2n, i) > threshold2);
    }
    if (non) ++nonregular;
  }
  return static_cast<double>(nonregular) / n1;
}

int32_t smallest_resample(const ModelShape& shape, int32_t n1, int32_t n2) {
  double need = 2.0 * shape.p1();
  if (n2 > 0) need = std::max(need, std::ceil(2.0 * shape.p2() * n1 / n2));
  return static_cast<int32_t>(std::min<double>(n1, need));
}

int32_t resample_size(int32_t n1, double a, double pHat, int32_t floor) {
  const double m =
      std::ceil(std::pow(static_cast<double>(n1), (1.0 + a * (1.0 - pHat)) / (1.0 + a)));
  return static_cast<int32_t>(std::min<double>(n1, std::max<double>(m, floor)));
}

bool m_out_of_n_limits(double vhat, const std::vector<double>& values, int32_t m, int32_t n1,
                       double alpha, double* lower, double* upper, int32_t* kept) {
  std::vector<double> q;
  q.reserve(values.size());
  const double root_m = std::sqrt(static_cast<double>(m));
  for (double v : values) {
    if (!std::isnan(v)) q.push_back(root_m * (v - vhat));
  }
  *kept = static_cast<int32_t>(q.size());
  if (q.size() < 3) return false;
  std::sort(q.begin(), q.end());
  const OrderStatisticRanks ranks = order_statistic_ranks(*kept, alpha);
  const double root_n1 = std::sqrt(static_cast<double>(n1));
  *lower = vhat - q[static_cast<size_t>(ranks.high - 1)] / root_n1;
  *upper = vhat - q[static_cast<size_t>(ranks.low - 1)] / root_n1;
  return true;
}

bool RefitPool::refit(int64_t count, int32_t size, const std::function<void(int32_t*)>& draw,
                      std::vector<double>& value, std::vector<double>* psi) {
  const int32_t d1 = (shape.K1 - 1) * (shape.p11 + 1);
  const int32_t offset1 = shape.p10 + shape.p11 + 1;
  const int64_t batch = batch_for(size);
  std::vector<int32_t> rows(static_cast<size_t>(batch * size));
  value.assign(static_cast<size_t>(count), kNaN);
  if (psi != nullptr) psi->assign(static_cast<size_t>(count * d1), kNaN);
  for (Refitter& f : fitters) f.reserve(design, size);
  return in_batches(
      *this, count, batch, [&](int64_t, int64_t j) { draw(rows.data() + j * size); },
      [&](int32_t worker, int64_t b, int64_t j) {
        Refitter& f = fitters[static_cast<size_t>(worker)];
        if (!f.fit(design, rows.data() + j * size, size, minimize)) return;
        value[static_cast<size_t>(b)] = f.value;
        if (psi == nullptr) return;
        std::copy_n(f.beta1.begin() + offset1, d1, psi->begin() + b * d1);
      });
}

bool RefitPool::refit_stage2(int64_t count, int32_t size, const std::function<void(int32_t*)>& draw,
                             std::vector<double>& psi) {
  const int32_t d2 = (shape.K2 - 1) * (shape.p21 + 1);
  const int32_t offset2 = shape.p20 + shape.p21 + 1;
  const int64_t batch = batch_for(size);
  std::vector<int32_t> rows(static_cast<size_t>(batch * size));
  psi.assign(static_cast<size_t>(count * d2), kNaN);
  for (Refitter& f : fitters) f.reserve(design, size);
  return in_batches(
      *this, count, batch, [&](int64_t, int64_t j) { draw(rows.data() + j * size); },
      [&](int32_t worker, int64_t b, int64_t j) {
        Refitter& f = fitters[static_cast<size_t>(worker)];
        if (!f.fit_stage2(design, rows.data() + j * size, size)) return;
        std::copy_n(f.beta2.begin() + offset2, d2, psi.begin() + b * d2);
      });
}

namespace {

// One first-level resample: its refit, pHat and, per grid alpha, the second level.
bool first_level(RefitPool& pool, const DoubleBootstrapInputs& in,
                 const std::function<void(int32_t*)>& first,
                 const std::function<void(int32_t, const int32_t*, int32_t*)>& second,
                 std::vector<SecondLevel>& out, bool* fitted) {
  const int32_t n1 = pool.study.n1;
  std::vector<int32_t> rows(static_cast<size_t>(n1));
  std::vector<double> value;
  first(rows.data());
  Refitter& f = pool.fitters[0];
  f.reserve(pool.design, n1);
  *fitted = f.fit(pool.design, rows.data(), n1, pool.minimize);
  pool.advance(1);
  if (!*fitted) return true;
  const double vstar = f.value;
  const std::vector<double> beta1 = f.beta1;
  const std::vector<double> beta2 = f.beta2;
  const double p_hat = nonregular_share(pool.shape, pool.study, rows.data(), beta1.data(),
                                        beta2.data(), in.sigma1n, in.sigma2n);
  out.assign(std::size(kMAlphaGrid), SecondLevel{});
  for (size_t g = 0; g < std::size(kMAlphaGrid); ++g) {
    const int32_t m = resample_size(n1, kMAlphaGrid[g], p_hat, in.floor);
    if (!pool.refit(
            in.nBootTune, m, [&](int32_t* r) { second(m, rows.data(), r); }, value, nullptr)) {
      return false;
    }
    double lower = 0, upper = 0;
    int32_t kept = 0;
    out[g].has_interval =
        m_out_of_n_limits(vstar, value, m, n1, in.level_alpha, &lower, &upper, &kept);
    out[g].holds = out[g].has_interval && lower <= in.vhat && in.vhat <= upper;
  }
  return true;
}

// The smallest eligible alpha whose share reaches the level, else the largest eligible one.
void settle_choice(const std::vector<int32_t>& held, const std::vector<int32_t>& with_interval,
                   double level_alpha, DoubleBootstrapResult& result) {
  const size_t grid = held.size();
  result.share.assign(grid, kNaN);
  result.choice = MAlphaChoice::kNoneEligible;
  const double target = 1.0 - level_alpha;
  for (size_t g = 0; g < grid; ++g) {
    if (with_interval[g] > 0) result.share[g] = static_cast<double>(held[g]) / with_interval[g];
    const bool eligible = result.first_level_kept > 0 &&
                          result.short_of_refits[g] <= kIneligibleShare * result.first_level_kept;
    if (!eligible || result.choice == MAlphaChoice::kChosen) continue;
    result.alpha = kMAlphaGrid[g];
    result.choice = result.share[g] >= target ? MAlphaChoice::kChosen : MAlphaChoice::kFallback;
  }
}

}  // namespace

bool choose_malpha(RefitPool& pool, const DoubleBootstrapInputs& in,
                   const std::function<void(int32_t*)>& first,
                   const std::function<void(int32_t, const int32_t*, int32_t*)>& second,
                   DoubleBootstrapResult& result) {
  const size_t grid = std::size(kMAlphaGrid);
  std::vector<int32_t> held(grid, 0), with_interval(grid, 0);
  result.short_of_refits.assign(grid, 0);
  result.first_level_kept = 0;
  std::vector<SecondLevel> levels;
  for (int32_t b = 0; b < in.nBootTune; ++b) {
    bool fitted = false;
    if (!first_level(pool, in, first, second, levels, &fitted)) return false;
    if (!fitted) continue;
    ++result.first_level_kept;
    for (size_t g = 0; g < grid; ++g) {
      if (!levels[g].has_interval) ++result.short_of_refits[g];
      with_interval[g] += levels[g].has_interval ? 1 : 0;
      held[g] += levels[g].holds ? 1 : 0;
    }
  }
  settle_choice(held, with_interval, in.level_alpha, result);
  return true;
}

}  // namespace kestrion
