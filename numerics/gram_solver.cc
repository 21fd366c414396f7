#include "numerics/gram_solver.h"

#include <algorithm>
#include <cmath>

namespace kestrion {

namespace {

// Above this condition number of the triangle the normal equations could cost more than about
// 1e-12 relative (they square it); the solves at W1's scale run near 1.
constexpr double kGramCondition = 100.0;
// How far inside the rank rule a solve must be: the weighted design's condition number is at
// most the product of the triangles', and the QR's smallest pivot ratio at least its inverse.
constexpr double kRankMargin = 1e-3;

// ||R||_F ||R^-1||_F of an upper triangle r(i, j), i <= j; column holds n values of scratch.
// Infinite or NaN for a singular or non-finite triangle.
template <typename Entry>
double frobenius_condition(int32_t n, const Entry& r, double* column) {
  double norm = 0.0;
  double inverse_norm = 0.0;
  for (int32_t j = 0; j < n; ++j) {
    // Column j of R^-1 by back substitution.
    column[j] = 1.0 / r(j, j);
    for (int32_t i = j - 1; i >= 0; --i) {
      double sum = 0.0;
      for (int32_t k = i + 1; k <= j; ++k) sum += r(i, k) * column[k];
      column[i] = -sum / r(i, i);
    }
    for (int32_t i = 0; i <= j; ++i) {
      norm += r(i, j) * r(i, j);
      inverse_norm += column[i] * column[i];
    }
  }
  return std::sqrt(norm) * std::sqrt(inverse_norm);
}

}  // namespace

bool Preconditioner::build(const double* design, int32_t m, int32_t n, double tolerance,
                           QrWorkspace& ws) {
  n_ = n;
  limit_ = 0.0;
  r_.assign(static_cast<size_t>(n) * n, 0.0);
  pivot_.assign(static_cast<size_t>(n), 0);
  if (n < 1 || !qr_triangle(design, m, n, tolerance, r_.data(), pivot_.data(), ws)) return false;
  std::vector<double> column(static_cast<size_t>(n));
  const double condition = frobenius_condition(
      n, [&](int32_t i, int32_t j) { return r_[i + static_cast<size_t>(j) * n]; }, column.data());
  const double limit = std::min(kGramCondition, kRankMargin / (tolerance * condition));
  // NaN or a limit below 1 (no triangle has a smaller condition number) leaves it unusable.
  if (!(limit >= 1.0)) return false;
  limit_ = limit;
  return true;
}

void Preconditioner::apply(const double* x, double* out) const {
  const int32_t n = n_;
  for (int32_t k = 0; k < n; ++k) {
    double v = x[pivot_[k]];
    for (int32_t j = 0; j < k; ++j) v -= r_[j + static_cast<size_t>(k) * n] * out[j];
    out[k] = v / r_[k + static_cast<size_t>(k) * n];
  }
}

void Preconditioner::recover(const double* beta_tilde, double* beta) const {
  const int32_t n = n_;
  for (int32_t k = n - 1; k >= 0; --k) {
    double v = beta_tilde[k];
    for (int32_t j = k + 1; j < n; ++j) v -= r_[k + static_cast<size_t>(j) * n] * beta[pivot_[j]];
    beta[pivot_[k]] = v / r_[k + static_cast<size_t>(k) * n];
  }
}

void GramSolver::reserve(int32_t n) {
  const auto size = static_cast<size_t>(std::max(n, 0));
  g_.reserve(size * size);
  rhs_.reserve(size);
  inverse_.reserve(size);
}

void GramSolver::reset(int32_t n) {
  n_ = n;
  g_.assign(static_cast<size_t>(n) * n, 0.0);
  rhs_.assign(static_cast<size_t>(n), 0.0);
  inverse_.resize(static_cast<size_t>(n));
}

bool GramSolver::solve(const Preconditioner& pre, double* beta) {
  const int32_t n = n_;
  if (n != pre.columns() || !(pre.condition_limit() >= 1.0)) return false;
  double* g = g_.data();
  auto at = [&](int32_t i, int32_t j) -> double& { return g[static_cast<size_t>(i) * n + j]; };
  // Cholesky, g = R'R with R over the upper triangle.
  for (int32_t a = 0; a < n; ++a) {
    double s = at(a, a);
    for (int32_t k = 0; k < a; ++k) s -= at(k, a) * at(k, a);
    if (!(s > 0.0)) return false;
    at(a, a) = std::sqrt(s);
    for (int32_t b = a + 1; b < n; ++b) {
      double v = at(a, b);
      for (int32_t k = 0; k < a; ++k) v -= at(k, a) * at(k, b);
      at(a, b) = v / at(a, a);
    }
  }
  const double condition = frobenius_condition(
      n, [&](int32_t i, int32_t j) { return at(i, j); }, inverse_.data());
  if (!(condition <= pre.condition_limit())) return false;
  // R'z = rhs, then R beta~ = z, in place.
  double* z = rhs_.data();
  for (int32_t a = 0; a < n; ++a) {
    double v = z[a];
    for (int32_t k = 0; k < a; ++k) v -= at(k, a) * z[k];
    z[a] = v / at(a, a);
  }
  for (int32_t a = n - 1; a >= 0; --a) {
    double v = z[a];
    for (int32_t b = a + 1; b < n; ++b) v -= at(a, b) * z[b];
    z[a] = v / at(a, a);
  }
  pre.recover(z, beta);
  return std::all_of(beta, beta + n, [](double v) { return std::isfinite(v); });
}

}  // namespace kestrion
