#include "engine/regime_value.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <new>

#include "engine/calculate_ci.h"
#include "engine/progress.h"
#include "engine/stop.h"
#include "engine/uniform_generator.h"
#include "engine/value_interval.h"
#include "engine/value_refit.h"
#include "engine/worker_team.h"
#include "kestrion.h"
#include "kestrion_model.h"
#include "kestrion_options.h"
#include "kestrion_plan.h"

// How the work is shared out while the results stay those of one thread: resamples are drawn on
// the calling thread, a batch at a time and in replicate order; the threads compute a batch's
// values, each replicate into its own slot with scratch obtained beforehand; the order
// statistics read the slots in replicate order.
namespace kestrion {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

int32_t regime_of(const ModelShape& shape, int32_t a1, int32_t a2) {
  return (a1 - 1) * shape.K2 + (a2 - 1);
}

// The outcome a subject ends the trial with.
double outcome(const SubjectArrays& s, int32_t i) {
  return s.respStatus(i) == 0 ? s.inputY2(i) : s.Y1(i);
}

template <typename... Values>
std::string sentence(const char* format, Values... values) {
  char text[160];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

std::string arrays_problem(const ModelShape& shape, const StudyArrays& study,
                           const FullDataEstimates& estimates) {
  const SubjectArrays& s = study.subjects;
  const int64_t n1 = study.n1;
  const struct {
    const char* name;
    const void* data;
    int64_t elements;
  } arrays[] = {{"Y1", s.Y1.data(), n1},
                {"inputY2", s.inputY2.data(), n1},
                {"respStatus", s.respStatus.data(), n1},
                {"A1", s.A1.data(), n1},
                {"inputA2", s.inputA2.data(), n1},
                {"H10", s.H10.data(), n1 * shape.p10},
                {"H11", s.H11.data(), n1 * shape.p11},
                {"inputH20", s.inputH20.data(), n1 * shape.p20},
                {"inputH21", s.inputH21.data(), n1 * shape.p21},
                {"levels1", study.levels1.data(), int64_t{shape.K1 - 1} * shape.K1},
                {"levels2", study.levels2.data(), int64_t{shape.K2 - 1} * shape.K2},
                {"beta1hat", estimates.beta1hat.data(), shape.p1()},
                {"beta2hat", estimates.beta2hat.data(), shape.p2()}};
  for (const auto& a : arrays) {
    if (a.data == nullptr && a.elements > 0) {
      return sentence("%s is a null pointer but should hold %" PRId64 " values.", a.name,
                      a.elements);
    }
  }
  return {};
}

std::string subject_problem(const ModelShape& shape, const SubjectArrays& s, int32_t i) {
  const int32_t status = s.respStatus(i);
  if (status != 0 && status != 1) {
    return sentence("respStatus of subject %" PRId32 " is %" PRId32 "; expected 0 or 1.", i,
                    status);
  }
  if (s.A1(i) < 1 || s.A1(i) > shape.K1) {
    return sentence("Stage-1 treatment code of subject %" PRId32 " is %" PRId32
                    "; expected 1 to %" PRId32 ".",
                    i, s.A1(i), shape.K1);
  }
  if (status == 0 && (s.inputA2(i) < 1 || s.inputA2(i) > shape.K2)) {
    return sentence("Stage-2 treatment code of subject %" PRId32 " is %" PRId32
                    "; expected 1 to %" PRId32 ".",
                    i, s.inputA2(i), shape.K2);
  }
  // A NaN would silently become every value it is weighted into.
  if (!std::isfinite(outcome(s, i))) {
    return sentence("The outcome of subject %" PRId32 " is not finite.", i);
  }
  return {};
}

// Every follower of a regime given a1 outside the stage-2 sample follows all K2 of them.
void count_subjects(const ModelShape& shape, const SubjectArrays& s, int32_t n1,
                    const int32_t* rows, std::vector<int32_t>& count1, std::vector<int32_t>& count2,
                    std::vector<int32_t>& count12) {
  std::fill(count1.begin(), count1.end(), 0);
  std::fill(count2.begin(), count2.end(), 0);
  std::fill(count12.begin(), count12.end(), 0);
  for (int32_t k = 0; k < n1; ++k) {
    const int32_t i = rows == nullptr ? k + 1 : rows[k];
    const int32_t a1 = s.A1(i);
    ++count1[a1 - 1];
    if (s.respStatus(i) != 0) continue;
    ++count2[a1 - 1];
    ++count12[regime_of(shape, a1, s.inputA2(i))];
  }
}

// The order statistics of the kept values; an interval needs three of them, as the interval
// engine's does.
void percentile_interval(std::vector<double>& kept, double alpha, ValueRow& row) {
  row.kept = static_cast<int32_t>(kept.size());
  if (row.kept < 3) {
    row.status = ValueStatus::kNoInterval;
    return;
  }
  std::sort(kept.begin(), kept.end());
  const OrderStatisticRanks ranks = order_statistic_ranks(row.kept, alpha);
  row.lower = kept[static_cast<size_t>(ranks.low - 1)];
  row.upper = kept[static_cast<size_t>(ranks.high - 1)];
  row.status = ValueStatus::kOk;
}

// The checkpoint of the value bootstrap, once per batch of resamples: a stop request ends the
// bootstrap here.
bool keep_going() {
  return !stop_requested();
}

// Progress over every phase, in resamples refitted or weighted, scaled into the callback's range.
class Progress {
 public:
  explicit Progress(int64_t total) : total_(std::max<int64_t>(total, 1)) {}
  void advance(int64_t done) {
    done_ = std::min(total_, done_ + done);
    const auto total = static_cast<double>(total_);
    const double scale = total_ > kLargest ? static_cast<double>(kLargest) / total : 1.0;
    report_progress(static_cast<int32_t>(static_cast<double>(done_) * scale),
                    static_cast<int32_t>(total * scale));
  }

 private:
  static constexpr int64_t kLargest = std::numeric_limits<int32_t>::max();
  int64_t total_;
  int64_t done_ = 0;
};

struct Bootstrap {
  int32_t R;
  int32_t n1;
  int32_t B;
  bool refit;                  // also the two-stage refits of the estimated regime's interval
  std::vector<double> values;  // B x R, NaN where a regime was not estimable
  std::vector<double> psi1;    // B x d1 stage-1 treatment effects of the refits, NaN if failed
};

// The ordinary resamples: the embedded regimes' values and, on request, the refits, from the same
// draws.
bool run_replicates(const ModelShape& shape, const StudyArrays& study, RefitPool& pool,
                    const ResampleSource& resamples, Bootstrap& boot) {
  const int64_t batch = std::min<int64_t>(kBatchReplicates, boot.B);
  const int32_t threads = pool.team.size();
  std::vector<int32_t> rows(static_cast<size_t>(batch * boot.n1));
  std::vector<EmbeddedScratch> scratch(static_cast<size_t>(threads), EmbeddedScratch(shape));
  std::vector<int32_t> followers(static_cast<size_t>(threads) * boot.R);
  const int32_t d1 = (shape.K1 - 1) * (shape.p11 + 1);
  const int32_t offset1 = shape.p10 + shape.p11 + 1;
  if (boot.refit) {
    boot.psi1.assign(static_cast<size_t>(int64_t{boot.B} * d1), kNaN);
    for (Refitter& f : pool.fitters) f.reserve(pool.design, boot.n1);
  }
  const auto job = [&](int32_t worker, int64_t b, int64_t first) {
    const int32_t* r = rows.data() + b * boot.n1;
    embedded_values(shape, study, r, scratch[static_cast<size_t>(worker)],
                    boot.values.data() + (first + b) * boot.R,
                    followers.data() + int64_t{worker} * boot.R);
    Refitter& f = pool.fitters[static_cast<size_t>(worker)];
    if (!boot.refit || !f.fit(pool.design, r, boot.n1, pool.minimize)) return;
    std::copy_n(f.beta1.begin() + offset1, d1, boot.psi1.begin() + (first + b) * d1);
  };
  for (int64_t first = 0; first < boot.B; first += batch) {
    if (!pool.keep_going()) return false;
    const int64_t count = std::min<int64_t>(batch, boot.B - first);
    for (int64_t b = 0; b < count; ++b) resamples(boot.n1, boot.n1, rows.data() + b * boot.n1);
    pool.team.run(count, [&](int32_t worker, int64_t b) { job(worker, b, first); });
    pool.advance(count);
  }
  return true;
}

// Statuses of the embedded rows from the data: not estimable, or a repeat of the row of a2 code 1
// when the stage-2 sample given a1 is empty.
void embedded_rows(const ModelShape& shape, const StudyArrays& study, ValueTable& table,
                   std::vector<bool>& merged) {
  const int32_t R = shape.K1 * shape.K2;
  std::vector<double> value(static_cast<size_t>(R));
  std::vector<int32_t> followers(static_cast<size_t>(R));
  EmbeddedScratch scratch(shape);
  embedded_values(shape, study, nullptr, scratch, value.data(), followers.data());
  std::vector<int32_t> count1(static_cast<size_t>(shape.K1));
  std::vector<int32_t> count2(static_cast<size_t>(shape.K1));
  std::vector<int32_t> count12(static_cast<size_t>(R));
  count_subjects(shape, study.subjects, study.n1, nullptr, count1, count2, count12);
  merged.assign(static_cast<size_t>(R), false);
  for (int32_t r = 0; r < R; ++r) {
    ValueRow& row = table.rows[1 + static_cast<size_t>(r)];
    row.estimate = value[static_cast<size_t>(r)];
    row.followers = followers[static_cast<size_t>(r)];
    merged[static_cast<size_t>(r)] =
        count2[static_cast<size_t>(r / shape.K2)] == 0 && r % shape.K2 != 0;
    if (std::isnan(row.estimate)) row.status = ValueStatus::kNotEstimable;
  }
}

void interval_rows(const ValueOptions& options, const std::vector<bool>& merged,
                   const Bootstrap& boot, ValueTable& table) {
  const int32_t R = boot.R;
  std::vector<double> kept;
  kept.reserve(static_cast<size_t>(boot.B));
  auto finish = [&](ValueRow& row, bool is_merged) {
    if (row.status != ValueStatus::kNotEstimable) percentile_interval(kept, options.alpha, row);
    if (is_merged) row.status = ValueStatus::kMerged;
  };
  for (int32_t r = 0; r < R; ++r) {
    kept.clear();
    for (int32_t b = 0; b < boot.B; ++b) {
      const double v = boot.values[static_cast<size_t>(int64_t{b} * R + r)];
      if (!std::isnan(v)) kept.push_back(v);
    }
    finish(table.rows[1 + static_cast<size_t>(r)], merged[static_cast<size_t>(r)]);
  }
  for (int32_t r = 0; r < R; ++r) {
    for (int32_t s = r + 1; s < R; ++s) {
      ValueRow& row = table.rows[static_cast<size_t>(difference_row(R, r, s))];
      const double first = table.rows[1 + static_cast<size_t>(r)].estimate;
      const double second = table.rows[1 + static_cast<size_t>(s)].estimate;
      row.estimate = first - second;
      if (std::isnan(row.estimate)) row.status = ValueStatus::kNotEstimable;
      kept.clear();
      for (int32_t b = 0; b < boot.B; ++b) {
        const double* v = boot.values.data() + int64_t{b} * R;
        if (!std::isnan(v[r]) && !std::isnan(v[s])) kept.push_back(v[r] - v[s]);
      }
      finish(row, merged[static_cast<size_t>(r)] || merged[static_cast<size_t>(s)]);
    }
  }
}

}  // namespace

EmbeddedScratch::EmbeddedScratch(const ModelShape& shape)
    : count1(static_cast<size_t>(shape.K1)),
      count2(static_cast<size_t>(shape.K1)),
      count12(static_cast<size_t>(shape.K1) * shape.K2),
      sum_w(count12.size()),
      sum_wy(count12.size()) {}

int64_t value_row_count(int32_t K1, int32_t K2) {
  const int64_t R = int64_t{K1} * K2;
  return 1 + R + R * (R - 1) / 2;
}

int64_t difference_row(int32_t R, int32_t r, int32_t s) {
  // Pairs (r', s') with r' < r come first: R-1 + R-2 + ... + R-r of them.
  const int64_t before = int64_t{r} * (2 * int64_t{R} - r - 1) / 2;
  return 1 + R + before + (s - r - 1);
}

double estimated_regime_value(const ModelShape& shape, const StudyArrays& study,
                              ConstDblVec beta1hat, bool minimize) {
  const SubjectArrays& s = study.subjects;
  const int32_t columns = shape.K1 - 1;
  double total = 0.0;
  for (int32_t i = 1; i <= study.n1; ++i) {
    double best = 0.0;
    for (int32_t l = 1; l <= shape.K1; ++l) {
      double q = 0.0;
      design_row(
          shape.p10, [&](int32_t k) { return s.H10(i, k + 1); }, shape.p11,
          [&](int32_t j) { return s.H11(i, j + 1); }, columns,
          [&](int32_t t) { return study.levels1(t + 1, l); },
          [&](int64_t c, double x) { q += x * beta1hat(static_cast<int32_t>(c + 1)); });
      if (l == 1 || (minimize ? q < best : q > best)) best = q;
    }
    total += best;
  }
  return study.n1 > 0 ? total / study.n1 : kNaN;
}

void embedded_values(const ModelShape& shape, const StudyArrays& study, const int32_t* rows,
                     EmbeddedScratch& scratch, double* value, int32_t* followers) {
  const SubjectArrays& s = study.subjects;
  const int32_t n1 = study.n1;
  const int32_t R = shape.K1 * shape.K2;
  count_subjects(shape, s, n1, rows, scratch.count1, scratch.count2, scratch.count12);
  std::fill(scratch.sum_w.begin(), scratch.sum_w.end(), 0.0);
  std::fill(scratch.sum_wy.begin(), scratch.sum_wy.end(), 0.0);
  std::fill(followers, followers + R, 0);
  const double n = n1;
  for (int32_t k = 0; k < n1; ++k) {
    const int32_t i = rows == nullptr ? k + 1 : rows[k];
    const int32_t a1 = s.A1(i);
    const double pi1 = scratch.count1[static_cast<size_t>(a1 - 1)] / n;
    const double y = outcome(s, i);
    if (s.respStatus(i) != 0) {
      const double w = 1.0 / pi1;
      for (int32_t a2 = 1; a2 <= shape.K2; ++a2) {
        const auto r = static_cast<size_t>(regime_of(shape, a1, a2));
        scratch.sum_w[r] += w;
        scratch.sum_wy[r] += w * y;
        ++followers[r];
      }
      continue;
    }
    const auto r = static_cast<size_t>(regime_of(shape, a1, s.inputA2(i)));
    const double pi2 = static_cast<double>(scratch.count12[r]) /
                       static_cast<double>(scratch.count2[static_cast<size_t>(a1 - 1)]);
    const double w = 1.0 / pi1 * (1.0 / pi2);
    scratch.sum_w[r] += w;
    scratch.sum_wy[r] += w * y;
    ++followers[r];
  }
  for (int32_t r = 0; r < R; ++r) {
    const auto u = static_cast<size_t>(r);
    const bool arm_missing =
        scratch.count2[u / static_cast<size_t>(shape.K2)] > 0 && scratch.count12[u] == 0;
    value[r] = followers[r] == 0 || arm_missing ? kNaN : scratch.sum_wy[u] / scratch.sum_w[u];
  }
}

ResampleSource value_resamples(int32_t seed) {
  auto generator = std::make_shared<UniformGenerator>(value_generator(seed));
  return
      [generator](int32_t n, int32_t size, int32_t* rows) { generator->fill_rows(n, size, rows); };
}

std::string value_arguments_problem(const ModelShape& shape, const StudyArrays& study,
                                    const FullDataEstimates& estimates,
                                    const ValueOptions& options) {
  if (study.n1 < 1) return sentence("n1 must be at least 1 (got %" PRId32 ").", study.n1);
  if (shape.K1 < 2 || shape.K2 < 2) {
    return sentence("K1 and K2 must be at least 2 (got %" PRId32 " and %" PRId32 ").", shape.K1,
                    shape.K2);
  }
  if (shape.p10 < 0 || shape.p11 < 0 || shape.p20 < 0 || shape.p21 < 0) {
    return "p10, p11, p20 and p21 must not be negative.";
  }
  if (const char* p = value_options_problem(options.nBootValue, options.mAlpha, options.nBootTune,
                                            options.nBootstrap2)) {
    return p;
  }
  if (const char* p = alpha_problem(options.alpha)) return p;
  std::string problem = arrays_problem(shape, study, estimates);
  if (!problem.empty()) return problem;
  int32_t in_sample = 0;
  for (int32_t i = 1; i <= study.n1; ++i) {
    problem = subject_problem(shape, study.subjects, i);
    if (!problem.empty()) return problem;
    if (study.subjects.respStatus(i) == 0) ++in_sample;
  }
  if (in_sample != study.n2) {
    return sentence("n2 is %" PRId32 " but %" PRId32 " subjects have respStatus 0.", study.n2,
                    in_sample);
  }
  return {};
}

namespace {

Status too_few_refits(ErrorRecord& record, const char* phase, int64_t kept, int64_t of) {
  char detail[120];
  std::snprintf(detail, sizeof detail, "%s: %" PRId64 " of %" PRId64 " refits could be used.",
                phase, kept, of);
  ErrorDetails details;
  details.note_1 = "Too many value bootstrap loops have collinearity.";
  details.note_2 = detail;
  report_error(record, ErrorCode::kSingular, details);
  return Status::kFailed;
}

Status stopped(ErrorRecord& record) {
  ErrorDetails details;
  details.note_1 = KESTRION_INTERRUPTED;
  report_error(record, ErrorCode::kGeneral, details);
  return Status::kFailed;
}

// The rows of `values` (count x d) without NaN, and their number.
int32_t kept_rows(const std::vector<double>& values, int64_t count, int32_t d,
                  std::vector<double>& kept) {
  kept.clear();
  int32_t rows = 0;
  for (int64_t b = 0; b < count; ++b) {
    const double* row = values.data() + b * d;
    if (std::any_of(row, row + d, [](double v) { return std::isnan(v); })) continue;
    kept.insert(kept.end(), row, row + d);
    ++rows;
  }
  return rows;
}

// Everything the estimated regime's interval reads.
struct OptimalCall {
  const ModelShape& shape;
  const StudyArrays& study;
  const FullDataEstimates& estimates;
  const ValueOptions& options;
  const ResampleSource& resamples;
  RefitPool& pool;
};

// sigma2n from the value bootstrap's own covariance phase: resamples of the stage-2 sample.
Status stage2_covariance(const OptimalCall& c, std::vector<double>& sigma2n, ErrorRecord& record) {
  const int32_t n2 = c.study.n2;
  const int32_t d2 = (c.shape.K2 - 1) * (c.shape.p21 + 1);
  std::vector<int32_t> sample;
  for (int32_t i = 1; i <= c.study.n1; ++i) {
    if (c.study.subjects.respStatus(i) == 0) sample.push_back(i);
  }
  std::vector<double> psi;
  const bool done = c.pool.refit_stage2(
      c.options.nBootstrap2, n2,
      [&](int32_t* rows) {
        c.resamples(n2, n2, rows);
        for (int32_t k = 0; k < n2; ++k) rows[k] = sample[static_cast<size_t>(rows[k] - 1)];
      },
      psi);
  if (!done) return stopped(record);
  std::vector<double> kept;
  const int32_t count = kept_rows(psi, c.options.nBootstrap2, d2, kept);
  if (count < 3) {
    return too_few_refits(record, "stage-2 covariance", count, c.options.nBootstrap2);
  }
  sigma2n = scaled_covariance(kept, count, d2, n2);
  return Status::kOk;
}

// MALPHA= or the double bootstrap's choice; false in `*has` when no alpha is eligible.
Status tuning_constant(const OptimalCall& c, double vhat, const std::vector<double>& sigma1n,
                       const std::vector<double>& sigma2n, int32_t floor, ValueTable& table,
                       ErrorRecord& record) {
  if (c.options.mAlpha > 0) {
    table.mAlpha = c.options.mAlpha;
    table.choice = static_cast<int32_t>(MAlphaChoice::kGiven);
    return Status::kOk;
  }
  const int32_t n1 = c.study.n1;
  const DoubleBootstrapInputs in{vhat,  c.options.alpha, c.options.nBootTune,
                                 floor, sigma1n,         sigma2n};
  DoubleBootstrapResult result;
  const bool done = choose_malpha(
      c.pool, in, [&](int32_t* rows) { c.resamples(n1, n1, rows); },
      [&](int32_t m, const int32_t* first, int32_t* rows) {
        c.resamples(n1, m, rows);
        for (int32_t k = 0; k < m; ++k) rows[k] = first[rows[k] - 1];
      },
      result);
  if (!done) return stopped(record);
  table.choice = static_cast<int32_t>(result.choice);
  if (result.choice != MAlphaChoice::kNoneEligible) table.mAlpha = result.alpha;
  return Status::kOk;
}

Status optimal_interval(const OptimalCall& c, const Bootstrap& boot, ValueTable& table,
                        ErrorRecord& record) {
  const int32_t n1 = c.study.n1;
  const int32_t d1 = c.shape.p11 + 1;
  std::vector<double> kept;
  const int32_t count = kept_rows(boot.psi1, boot.B, d1, kept);
  if (count < 3) return too_few_refits(record, "ordinary resamples", count, boot.B);
  const std::vector<double> sigma1n = scaled_covariance(kept, count, d1, n1);
  std::vector<double> sigma2n;
  if (stage2_covariance(c, sigma2n, record) != Status::kOk) return Status::kFailed;

  ValueRow& row = table.rows[0];
  table.pHat = nonregular_share(c.shape, c.study, nullptr, c.estimates.beta1hat.data(),
                                c.estimates.beta2hat.data(), sigma1n, sigma2n);
  const int32_t floor = smallest_resample(c.shape, n1, c.study.n2);
  if (tuning_constant(c, row.estimate, sigma1n, sigma2n, floor, table, record) != Status::kOk) {
    return Status::kFailed;
  }
  if (std::isnan(table.mAlpha)) return Status::kOk;
  const int32_t m = resample_size(n1, table.mAlpha, table.pHat, floor);
  table.m = m;
  std::vector<double> values;
  if (!c.pool.refit(
          boot.B, m, [&](int32_t* rows) { c.resamples(n1, m, rows); }, values, nullptr)) {
    return stopped(record);
  }
  if (!m_out_of_n_limits(row.estimate, values, m, n1, c.options.alpha, &row.lower, &row.upper,
                         &row.kept)) {
    return too_few_refits(record, "m-out-of-n resamples", row.kept, boot.B);
  }
  row.status = ValueStatus::kOk;
  return Status::kOk;
}

bool two_treatments(const ModelShape& shape) {
  return shape.K1 == 2 && shape.K2 == 2;
}

int64_t work_of(const ModelShape& shape, const ValueOptions& o) {
  int64_t work = o.nBootValue;
  if (!two_treatments(shape) || !o.optimalInterval) return work;
  work += o.nBootstrap2 + int64_t{o.nBootValue};
  if (!(o.mAlpha > 0)) {
    work += int64_t{o.nBootTune} * (1 + static_cast<int64_t>(std::size(kMAlphaGrid)) * o.nBootTune);
  }
  return work;
}

Status fill_table(const ModelShape& shape, const StudyArrays& study,
                  const FullDataEstimates& estimates, const ValueOptions& options,
                  const ResampleSource& resamples, ValueTable& table, ErrorRecord& record) {
  const int32_t R = shape.K1 * shape.K2;
  table = ValueTable{};
  table.rows.assign(static_cast<size_t>(value_row_count(shape.K1, shape.K2)), ValueRow{});
  table.rows[0].estimate =
      estimated_regime_value(shape, study, estimates.beta1hat, options.minimize);
  std::vector<bool> merged;
  embedded_rows(shape, study, table, merged);

  const int32_t threads = interval_threads(options.cores, options.nBootValue);
  WorkerTeam team(threads);
  std::vector<Refitter> fitters(static_cast<size_t>(threads));
  Progress progress(work_of(shape, options));
  const bool refit = two_treatments(shape) && options.optimalInterval;
  const RefitDesign design = refit ? RefitDesign(shape, study) : RefitDesign();
  RefitPool pool{shape,
                 study,
                 design,
                 options.minimize,
                 team,
                 fitters,
                 [&](int64_t done) { progress.advance(done); },
                 [] { return keep_going(); }};
  Bootstrap boot{R, study.n1, options.nBootValue, refit, {}, {}};
  boot.values.assign(static_cast<size_t>(int64_t{boot.B} * R), kNaN);
  if (!run_replicates(shape, study, pool, resamples, boot)) return stopped(record);
  interval_rows(options, merged, boot, table);
  if (!two_treatments(shape)) table.choice = static_cast<int32_t>(MAlphaChoice::kTreatments);
  if (!boot.refit) return Status::kOk;
  const OptimalCall call{shape, study, estimates, options, resamples, pool};
  return optimal_interval(call, boot, table, record);
}

}  // namespace

Status value_table(const ModelShape& shape, const StudyArrays& study,
                   const FullDataEstimates& estimates, const ValueOptions& options,
                   const ResampleSource& resamples, ValueTable& table, ErrorRecord& record) {
  try {
    return fill_table(shape, study, estimates, options, resamples, table, record);
  } catch (const std::bad_alloc&) {
    ErrorDetails details;
    details.note_1 = "The value bootstrap could not obtain its memory.";
    report_error(record, ErrorCode::kAllocation, details);
    return Status::kFailed;
  }
}

}  // namespace kestrion
