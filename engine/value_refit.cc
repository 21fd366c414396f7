#include "engine/value_refit.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "kestrion_model.h"
#include "numerics/regression.h"

namespace kestrion {

namespace {

// x' sigma x for x = (tailor(0 .. p-1), 1).
double quadratic(int32_t p, const std::vector<double>& sigma, auto&& tailor) {
  const int32_t d = p + 1;
  auto x = [&](int32_t j) { return j < p ? tailor(j) : 1.0; };
  double total = 0.0;
  for (int32_t a = 0; a < d; ++a) {
    double row = 0.0;
    for (int32_t b = 0; b < d; ++b)
      row += sigma[static_cast<size_t>(a) + static_cast<size_t>(b) * d] * x(b);
    total += x(a) * row;
  }
  return total;
}

}  // namespace

double effect1(const ModelShape& shape, const StudyArrays& study, const double* beta1, int32_t i) {
  const int32_t first = shape.p10 + shape.p11 + 1;
  double e = beta1[first + shape.p11];
  for (int32_t j = 0; j < shape.p11; ++j) e += study.subjects.H11(i, j + 1) * beta1[first + j];
  return e;
}

double effect2(const ModelShape& shape, const StudyArrays& study, const double* beta2, int32_t i) {
  const int32_t first = shape.p20 + shape.p21 + 1;
  double e = beta2[first + shape.p21];
  for (int32_t j = 0; j < shape.p21; ++j) {
    e += study.subjects.inputH21(i, j + 1) * beta2[first + j];
  }
  return e;
}

double spread1(const ModelShape& shape, const StudyArrays& study, const std::vector<double>& sigma,
               int32_t i) {
  return quadratic(shape.p11, sigma, [&](int32_t j) { return study.subjects.H11(i, j + 1); });
}

double spread2(const ModelShape& shape, const StudyArrays& study, const std::vector<double>& sigma,
               int32_t i) {
  return quadratic(shape.p21, sigma, [&](int32_t j) { return study.subjects.inputH21(i, j + 1); });
}

namespace {

// Rows and outcome of one stage for every subject it has; `row` receives (subject, level, out).
template <typename Row>
void fill_stage(StageDesign& stage, int32_t n1, const std::vector<char>& has, const Row& row,
                const std::function<int32_t(int32_t)>& code,
                const std::function<double(int32_t)>& y) {
  const auto p = static_cast<size_t>(stage.p);
  stage.levels.assign(static_cast<size_t>(n1) * stage.K * p, 0.0);
  stage.given.assign(static_cast<size_t>(n1) * p, 0.0);
  stage.code.assign(static_cast<size_t>(n1), 1);
  stage.y.assign(static_cast<size_t>(n1), 0.0);
  for (int32_t i = 1; i <= n1; ++i) {
    if (!has[static_cast<size_t>(i) - 1]) continue;
    for (int32_t l = 1; l <= stage.K; ++l) row(i, l, stage.levels.data() + stage.at(i, l));
    stage.code[static_cast<size_t>(i) - 1] = code(i);
    stage.y[static_cast<size_t>(i) - 1] = y(i);
  }
}

// The preconditioner from the stage's full-data design, and every subject's preconditioned row.
void precondition(StageDesign& stage, int32_t n1, const std::vector<char>& has) {
  const auto p = static_cast<size_t>(stage.p);
  std::vector<double> design;
  std::vector<int32_t> subjects;
  for (int32_t i = 1; i <= n1; ++i) {
    if (has[static_cast<size_t>(i) - 1]) subjects.push_back(i);
  }
  const auto n = static_cast<int32_t>(subjects.size());
  design.resize(subjects.size() * p);
  for (int32_t k = 0; k < n; ++k) {
    const int32_t i = subjects[static_cast<size_t>(k)];
    const double* x = stage.row(i, stage.code[static_cast<size_t>(i) - 1]);
    for (size_t c = 0; c < p; ++c) design[static_cast<size_t>(k) + c * subjects.size()] = x[c];
  }
  QrWorkspace ws;
  if (!stage.preconditioner.build(design.data(), n, stage.p, kRankTolerance, ws)) return;
  for (int32_t i : subjects) {
    stage.preconditioner.apply(stage.row(i, stage.code[static_cast<size_t>(i) - 1]),
                               stage.given.data() + (static_cast<size_t>(i) - 1) * p);
  }
}

// use(k, q) with q the best Q-value at the stage of subject(k) over its levels, k = 0 .. count-1;
// each Q-value summed in the design's column order.
template <typename Subject, typename Use>
void best_q_each(const StageDesign& stage, const double* beta, bool minimize, int32_t count,
                 const Subject& subject, const Use& use) {
  with_fixed_size(stage.p, [&](auto fixed) {
    const int32_t p = decltype(fixed)::value > 0 ? decltype(fixed)::value : stage.p;
    auto q = [&](const double* x) {
      double sum = 0.0;
      for (int32_t c = 0; c < p; ++c) sum += x[c] * beta[c];
      return sum;
    };
    auto each = [&](auto better) {
      for (int32_t k = 0; k < count; ++k) {
        const int32_t i = subject(k);
        double best = q(stage.row(i, 1));
        for (int32_t l = 2; l <= stage.K; ++l) {
          const double v = q(stage.row(i, l));
          best = better(v, best) ? v : best;
        }
        use(k, best);
      }
    };
    if (minimize) {
      each([](double v, double best) { return v < best; });
    } else {
      each([](double v, double best) { return v > best; });
    }
  });
}

}  // namespace

RefitDesign::RefitDesign(const ModelShape& shape, const StudyArrays& study) : n1(study.n1) {
  const SubjectArrays& s = study.subjects;
  in_stage2.assign(static_cast<size_t>(n1), 0);
  for (int32_t i = 1; i <= n1; ++i)
    in_stage2[static_cast<size_t>(i) - 1] = s.respStatus(i) == 0 ? 1 : 0;
  const std::vector<char> everyone(static_cast<size_t>(n1), 1);
  stage1.p = shape.p1();
  stage1.K = shape.K1;
  fill_stage(
      stage1, n1, everyone,
      [&](int32_t i, int32_t level, double* out) {
        design_row(
            shape.p10, [&](int32_t k) { return s.H10(i, k + 1); }, shape.p11,
            [&](int32_t j) { return s.H11(i, j + 1); }, shape.K1 - 1,
            [&](int32_t t) { return study.levels1(t + 1, level); },
            [&](int64_t c, double x) { out[c] = x; });
      },
      [&](int32_t i) { return s.A1(i); }, [&](int32_t i) { return s.Y1(i); });
  stage2.p = shape.p2();
  stage2.K = shape.K2;
  fill_stage(
      stage2, n1, in_stage2,
      [&](int32_t i, int32_t level, double* out) {
        design_row(
            shape.p20, [&](int32_t k) { return s.inputH20(i, k + 1); }, shape.p21,
            [&](int32_t j) { return s.inputH21(i, j + 1); }, shape.K2 - 1,
            [&](int32_t t) { return study.levels2(t + 1, level); },
            [&](int64_t c, double x) { out[c] = x; });
      },
      [&](int32_t i) { return s.inputA2(i); }, [&](int32_t i) { return s.inputY2(i); });
  precondition(stage1, n1, everyone);
  precondition(stage2, n1, in_stage2);
}

void Refitter::reserve(const RefitDesign& design, int32_t m) {
  const auto rows = static_cast<size_t>(std::max(m, 0));
  const int32_t p = std::max(design.stage1.p, design.stage2.p);
  const auto columns = static_cast<size_t>(p);
  fit_lists(design, m);
  design_.reserve(rows * columns);
  weighted_y_.reserve(rows);
  beta1.reserve(columns);
  beta2.reserve(columns);
  gram_.reserve(p);
  qr_.a.reserve(rows * columns);
  qr_.qty.reserve(rows);
  qr_.norms.reserve(columns);
  qr_.tau.reserve(columns);
  qr_.pivot.reserve(columns);
}

void Refitter::fit_lists(const RefitDesign& design, int32_t m) {
  const auto rows = static_cast<size_t>(std::max(m, 0));
  if (counts_.size() < static_cast<size_t>(design.n1)) {
    counts_.resize(static_cast<size_t>(design.n1), 0);
  }
  if (distinct_.size() < rows) {
    distinct_.resize(rows);
    others_.resize(rows);
    response_.resize(rows);
  }
}

void Refitter::count(const RefitDesign& design, const int32_t* rows, int32_t m) {
  fit_lists(design, m);  // allocates only for a fit larger than reserve() prepared
  // Whether a row is new, and whether it is in the stage-2 sample, are coin flips to the branch
  // predictor: every row is written to both lists and counted into the one it belongs to.
  int32_t* in2 = distinct_.data();
  int32_t* out = others_.data();
  int32_t n_in2 = 0;
  int32_t n_out = 0;
  int32_t rows_in2 = 0;
  for (int32_t k = 0; k < m; ++k) {
    const int32_t i = rows[k];
    const auto u = static_cast<size_t>(i) - 1;
    const int32_t first = counts_[u]++ == 0 ? 1 : 0;
    const int32_t stage2 = design.in_stage2[u] != 0 ? 1 : 0;
    in2[n_in2] = i;
    out[n_out] = i;
    n_in2 += first & stage2;
    n_out += first & (1 - stage2);
    rows_in2 += stage2;
  }
  std::copy_n(out, n_out, in2 + n_in2);
  distinct_in2_ = n_in2;
  distinct_count_ = n_in2 + n_out;
  rows_in2_ = rows_in2;
}

void Refitter::release() {
  for (int32_t k = 0; k < distinct_count_; ++k) {
    counts_[static_cast<size_t>(distinct_[static_cast<size_t>(k)]) - 1] = 0;
  }
}

bool Refitter::solve(const StageDesign& stage, int32_t n, int32_t total, double* beta) {
  const int32_t p = stage.p;
  if (total < p) return false;
  const int32_t* subjects = distinct_.data();
  gram_.reset(p);
  gram_.add_rows(n, [&](int32_t k) {
    const int32_t i = subjects[k];
    return GramSolver::Row{stage.preconditioned(i),
                           static_cast<double>(counts_[static_cast<size_t>(i) - 1]),
                           response_[static_cast<size_t>(k)]};
  });
  if (gram_.solve(stage.preconditioner, beta)) return true;
  ++qr_solves;
  design_.resize(static_cast<size_t>(n) * p);
  weighted_y_.resize(static_cast<size_t>(n));
  for (int32_t k = 0; k < n; ++k) {
    const int32_t i = subjects[k];
    const double w = std::sqrt(static_cast<double>(counts_[static_cast<size_t>(i) - 1]));
    const double* x = stage.row(i, stage.code[static_cast<size_t>(i) - 1]);
    for (int32_t c = 0; c < p; ++c) {
      design_[static_cast<size_t>(k) + static_cast<size_t>(c) * n] = w * x[c];
    }
    weighted_y_[static_cast<size_t>(k)] = w * response_[static_cast<size_t>(k)];
  }
  return qr_least_squares(design_.data(), n, p, weighted_y_.data(), kRankTolerance, beta, qr_);
}

bool Refitter::fit_stage2(const RefitDesign& design, const int32_t* rows, int32_t count) {
  beta2.resize(static_cast<size_t>(design.stage2.p));
  this->count(design, rows, count);
  for (int32_t k = 0; k < distinct_in2_; ++k) {
    response_[static_cast<size_t>(k)] =
        design.stage2.y[static_cast<size_t>(distinct_[static_cast<size_t>(k)]) - 1];
  }
  const bool fitted = solve(design.stage2, distinct_in2_, rows_in2_, beta2.data());
  release();
  return fitted;
}

bool Refitter::fit(const RefitDesign& design, const int32_t* rows, int32_t m, bool minimize) {
  beta1.resize(static_cast<size_t>(design.stage1.p));
  beta2.resize(static_cast<size_t>(design.stage2.p));
  count(design, rows, m);
  const int32_t* subjects = distinct_.data();
  double* response = response_.data();
  for (int32_t k = 0; k < distinct_in2_; ++k) {
    response[k] = design.stage2.y[static_cast<size_t>(subjects[k]) - 1];
  }
  bool fitted = solve(design.stage2, distinct_in2_, rows_in2_, beta2.data());
  if (fitted) {
    // Stage 1's outcome: the stage-2 subjects' pseudo-outcomes, which lead the list, then Y1.
    best_q_each(
        design.stage2, beta2.data(), minimize, distinct_in2_,
        [&](int32_t k) { return subjects[k]; }, [&](int32_t k, double q) { response[k] = q; });
    for (int32_t k = distinct_in2_; k < distinct_count_; ++k) {
      response[k] = design.stage1.y[static_cast<size_t>(subjects[k]) - 1];
    }
    fitted = solve(design.stage1, distinct_count_, m, beta1.data());
  }
  if (fitted) {
    double total = 0.0;
    best_q_each(
        design.stage1, beta1.data(), minimize, distinct_count_,
        [&](int32_t k) { return subjects[k]; },
        [&](int32_t k, double q) { total += counts_[static_cast<size_t>(subjects[k]) - 1] * q; });
    value = total / m;
  }
  release();
  return fitted;
}

}  // namespace kestrion
