#include "engine/value_refit.h"

#include <algorithm>

#include "kestrion_model.h"
#include "numerics/regression.h"

namespace kestrion {

namespace {

double q1(const ModelShape& shape, const StudyArrays& study, const double* beta1, int32_t i,
          int32_t level) {
  const SubjectArrays& s = study.subjects;
  double q = 0.0;
  design_row(
      shape.p10, [&](int32_t k) { return s.H10(i, k + 1); }, shape.p11,
      [&](int32_t j) { return s.H11(i, j + 1); }, shape.K1 - 1,
      [&](int32_t t) { return study.levels1(t + 1, level); },
      [&](int64_t c, double x) { q += x * beta1[c]; });
  return q;
}

double q2(const ModelShape& shape, const StudyArrays& study, const double* beta2, int32_t i,
          int32_t level) {
  const SubjectArrays& s = study.subjects;
  double q = 0.0;
  design_row(
      shape.p20, [&](int32_t k) { return s.inputH20(i, k + 1); }, shape.p21,
      [&](int32_t j) { return s.inputH21(i, j + 1); }, shape.K2 - 1,
      [&](int32_t t) { return study.levels2(t + 1, level); },
      [&](int64_t c, double x) { q += x * beta2[c]; });
  return q;
}

double best_of(int32_t levels, bool minimize, auto&& q) {
  double best = q(1);
  for (int32_t l = 2; l <= levels; ++l) {
    const double v = q(l);
    if (minimize ? v < best : v > best) best = v;
  }
  return best;
}

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

double best_q1(const ModelShape& shape, const StudyArrays& study, const double* beta1, int32_t i,
               bool minimize) {
  return best_of(shape.K1, minimize, [&](int32_t l) { return q1(shape, study, beta1, i, l); });
}

double best_q2(const ModelShape& shape, const StudyArrays& study, const double* beta2, int32_t i,
               bool minimize) {
  return best_of(shape.K2, minimize, [&](int32_t l) { return q2(shape, study, beta2, i, l); });
}

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

void Refitter::reserve(const ModelShape& shape, int32_t m) {
  const auto rows = static_cast<size_t>(std::max(m, 0));
  const auto columns = static_cast<size_t>(std::max(shape.p1(), shape.p2()));
  stage2_rows_.reserve(rows);
  design_.reserve(rows * columns);
  response_.reserve(rows);
  beta1.reserve(columns);
  beta2.reserve(columns);
  qr_.a.reserve(rows * columns);
  qr_.qty.reserve(rows);
  qr_.norms.reserve(columns);
  qr_.tau.reserve(columns);
  qr_.pivot.reserve(columns);
}

bool Refitter::fit_stage2(const ModelShape& shape, const StudyArrays& study, const int32_t* rows,
                          int32_t count) {
  const SubjectArrays& s = study.subjects;
  const int32_t p2 = shape.p2();
  beta2.resize(static_cast<size_t>(p2));
  if (count < p2) return false;
  design_.resize(static_cast<size_t>(count) * p2);
  response_.resize(static_cast<size_t>(count));
  for (int32_t r = 0; r < count; ++r) {
    const int32_t i = rows[r];
    response_[static_cast<size_t>(r)] = s.inputY2(i);
    design_row(
        shape.p20, [&](int32_t k) { return s.inputH20(i, k + 1); }, shape.p21,
        [&](int32_t j) { return s.inputH21(i, j + 1); }, shape.K2 - 1,
        [&](int32_t t) { return study.levels2(t + 1, s.inputA2(i)); },
        [&](int64_t c, double x) { design_[static_cast<size_t>(r + c * count)] = x; });
  }
  return qr_least_squares(design_.data(), count, p2, response_.data(), kRankTolerance, beta2.data(),
                          qr_);
}

bool Refitter::fit(const ModelShape& shape, const StudyArrays& study, const int32_t* rows,
                   int32_t m, bool minimize) {
  const SubjectArrays& s = study.subjects;
  stage2_rows_.clear();
  for (int32_t k = 0; k < m; ++k) {
    if (s.respStatus(rows[k]) == 0) stage2_rows_.push_back(rows[k]);
  }
  if (!fit_stage2(shape, study, stage2_rows_.data(), static_cast<int32_t>(stage2_rows_.size()))) {
    return false;
  }
  const int32_t p1 = shape.p1();
  if (m < p1) return false;
  beta1.resize(static_cast<size_t>(p1));
  design_.resize(static_cast<size_t>(m) * p1);
  response_.resize(static_cast<size_t>(m));
  for (int32_t k = 0; k < m; ++k) {
    const int32_t i = rows[k];
    response_[static_cast<size_t>(k)] =
        s.respStatus(i) == 0 ? best_q2(shape, study, beta2.data(), i, minimize) : s.Y1(i);
    design_row(
        shape.p10, [&](int32_t c) { return s.H10(i, c + 1); }, shape.p11,
        [&](int32_t j) { return s.H11(i, j + 1); }, shape.K1 - 1,
        [&](int32_t t) { return study.levels1(t + 1, s.A1(i)); },
        [&](int64_t c, double x) { design_[static_cast<size_t>(k + c * m)] = x; });
  }
  if (!qr_least_squares(design_.data(), m, p1, response_.data(), kRankTolerance, beta1.data(),
                        qr_)) {
    return false;
  }
  double total = 0.0;
  for (int32_t k = 0; k < m; ++k) total += best_q1(shape, study, beta1.data(), rows[k], minimize);
  value = total / m;
  return true;
}

}  // namespace kestrion
