#include "engine/regime_value.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <new>

#include "engine/calculate_ci.h"
#include "engine/design_row.h"
#include "engine/progress.h"
#include "engine/uniform_generator.h"
#include "engine/worker_team.h"
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
                           ConstDblVec beta1hat) {
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
                {"levels1", study.levels1.data(), int64_t{shape.K1 - 1} * shape.K1},
                {"beta1hat", beta1hat.data(), shape.p1()}};
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
  return true;
}

struct Bootstrap {
  int32_t R;
  int32_t n1;
  int32_t B;
  std::vector<double> values;  // B x R, NaN where a regime was not estimable
};

void run_replicates(const ModelShape& shape, const StudyArrays& study, const ValueOptions& options,
                    const ResampleSource& resamples, Bootstrap& boot) {
  const int32_t threads = interval_threads(options.cores, boot.B);
  const int64_t batch = std::min<int64_t>(kBatchReplicates, boot.B);
  std::vector<int32_t> rows(static_cast<size_t>(batch * boot.n1));
  std::vector<EmbeddedScratch> scratch(static_cast<size_t>(threads), EmbeddedScratch(shape));
  std::vector<int32_t> followers(static_cast<size_t>(threads) * boot.R);
  WorkerTeam team(threads);
  for (int64_t first = 0; first < boot.B; first += batch) {
    if (!keep_going()) return;
    const int64_t count = std::min<int64_t>(batch, boot.B - first);
    for (int64_t b = 0; b < count; ++b) resamples(first + b, rows.data() + b * boot.n1);
    team.run(count, [&](int32_t worker, int64_t b) {
      embedded_values(shape, study, rows.data() + b * boot.n1, scratch[static_cast<size_t>(worker)],
                      boot.values.data() + (first + b) * boot.R,
                      followers.data() + int64_t{worker} * boot.R);
    });
    report_progress(static_cast<int32_t>(first + count), boot.B);
  }
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
    ValueRow& row = table.rows[static_cast<size_t>(1 + r)];
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
    finish(table.rows[static_cast<size_t>(1 + r)], merged[static_cast<size_t>(r)]);
  }
  for (int32_t r = 0; r < R; ++r) {
    for (int32_t s = r + 1; s < R; ++s) {
      ValueRow& row = table.rows[static_cast<size_t>(difference_row(R, r, s))];
      const double first = table.rows[static_cast<size_t>(1 + r)].estimate;
      const double second = table.rows[static_cast<size_t>(1 + s)].estimate;
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

ResampleSource value_resamples(int32_t seed, int32_t n1) {
  auto generator = std::make_shared<UniformGenerator>(value_generator(seed));
  return [generator, n1](int64_t, int32_t* rows) {
    const double count = n1;
    for (int32_t i = 0; i < n1; ++i) {
      rows[i] = static_cast<int32_t>(std::ceil(generator->next() * count));
    }
  };
}

std::string value_arguments_problem(const ModelShape& shape, const StudyArrays& study,
                                    ConstDblVec beta1hat, const ValueOptions& options) {
  if (study.n1 < 1) return sentence("n1 must be at least 1 (got %" PRId32 ").", study.n1);
  if (shape.K1 < 2 || shape.K2 < 2) {
    return sentence("K1 and K2 must be at least 2 (got %" PRId32 " and %" PRId32 ").", shape.K1,
                    shape.K2);
  }
  if (shape.p10 < 0 || shape.p11 < 0 || shape.p20 < 0 || shape.p21 < 0) {
    return "p10, p11, p20 and p21 must not be negative.";
  }
  if (const char* p = nbootvalue_problem(options.nBootValue)) return p;
  if (const char* p = alpha_problem(options.alpha)) return p;
  std::string problem = arrays_problem(shape, study, beta1hat);
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

Status value_table(const ModelShape& shape, const StudyArrays& study, ConstDblVec beta1hat,
                   const ValueOptions& options, const ResampleSource& resamples, ValueTable& table,
                   ErrorRecord& record) {
  try {
    const int32_t R = shape.K1 * shape.K2;
    table = ValueTable{};
    table.rows.assign(static_cast<size_t>(value_row_count(shape.K1, shape.K2)), ValueRow{});
    table.rows[0].estimate = estimated_regime_value(shape, study, beta1hat, options.minimize);
    std::vector<bool> merged;
    embedded_rows(shape, study, table, merged);
    Bootstrap boot{R, study.n1, options.nBootValue, {}};
    boot.values.assign(static_cast<size_t>(int64_t{boot.B} * R), kNaN);
    run_replicates(shape, study, options, resamples, boot);
    interval_rows(options, merged, boot, table);
    return Status::kOk;
  } catch (const std::bad_alloc&) {
    ErrorDetails details;
    details.note_1 = "The value bootstrap could not obtain its memory.";
    report_error(record, ErrorCode::kAllocation, details);
    return Status::kFailed;
  }
}

}  // namespace kestrion
