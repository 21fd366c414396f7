#include "numerics/pivoted_qr.h"

#include <cmath>
#include <utility>

namespace kestrion {

namespace {

// Scaled, so that large or tiny columns neither overflow nor underflow.
double scaled_norm(const double* column, int32_t from, int32_t m) {
  double scale = 0.0;
  double sum = 1.0;
  for (int32_t i = from; i < m; ++i) {
    const double x = std::fabs(column[i]);
    if (x == 0.0) continue;
    if (x > scale) {
      sum = 1.0 + sum * (scale / x) * (scale / x);
      scale = x;
    } else {
      sum += (x / scale) * (x / scale);
    }
  }
  return scale * std::sqrt(sum);
}

// The plain sum of squares, unless it left the range where it is exact enough.
double column_norm(const double* column, int32_t from, int32_t m) {
  double sum = 0.0;
  for (int32_t i = from; i < m; ++i) sum += column[i] * column[i];
  if (sum > 1e-280 && sum < 1e280) return std::sqrt(sum);
  return sum == 0.0 ? 0.0 : scaled_norm(column, from, m);
}

// Brings the remaining column of largest norm to position k; recomputing the norms (rather than
// downdating them) keeps the choice exact at the cost of a factor the refits can afford.
void choose_pivot(QrWorkspace& ws, int32_t m, int32_t n, int32_t k) {
  int32_t best = k;
  for (int32_t j = k; j < n; ++j) {
    ws.norms[j] = column_norm(ws.a.data() + int64_t{j} * m, k, m);
    if (ws.norms[j] > ws.norms[best]) best = j;
  }
  if (best == k) return;
  double* a = ws.a.data();
  for (int32_t i = 0; i < m; ++i) std::swap(a[i + int64_t{k} * m], a[i + int64_t{best} * m]);
  std::swap(ws.pivot[k], ws.pivot[best]);
  std::swap(ws.norms[k], ws.norms[best]);
}

// The reflector H = I - tau v v' (v(k) = 1) that zeroes column k below the diagonal, stored in
// place; R(k,k) is left on the diagonal.
void reflect_column(QrWorkspace& ws, int32_t m, int32_t n, int32_t k) {
  double* a = ws.a.data();
  double* col = a + int64_t{k} * m;
  const double norm = ws.norms[k];
  if (norm == 0.0) {
    ws.tau[k] = 0.0;
    return;
  }
  const double beta = col[k] >= 0.0 ? -norm : norm;
  const double v0 = col[k] - beta;
  for (int32_t i = k + 1; i < m; ++i) col[i] /= v0;
  ws.tau[k] = (beta - col[k]) / beta;
  col[k] = beta;
  for (int32_t j = k + 1; j < n; ++j) {
    double* target = a + int64_t{j} * m;
    double w = target[k];
    for (int32_t i = k + 1; i < m; ++i) w += col[i] * target[i];
    w *= ws.tau[k];
    target[k] -= w;
    for (int32_t i = k + 1; i < m; ++i) target[i] -= w * col[i];
  }
}

// Factorises the design into ws; false for a non-finite value.
bool factorise(const double* design, int32_t m, int32_t n, QrWorkspace& ws) {
  const int64_t size = int64_t{m} * n;
  ws.a.assign(design, design + size);
  for (int64_t e = 0; e < size; ++e) {
    if (!std::isfinite(ws.a[e])) return false;
  }
  ws.norms.assign(n, 0.0);
  ws.tau.assign(n, 0.0);
  ws.pivot.resize(n);
  for (int32_t j = 0; j < n; ++j) ws.pivot[j] = j;
  for (int32_t k = 0; k < n; ++k) {
    choose_pivot(ws, m, n, k);
    reflect_column(ws, m, n, k);
  }
  return true;
}

int32_t rank_of(const QrWorkspace& ws, int32_t m, int32_t n, double tolerance) {
  if (n == 0) return 0;
  const double largest = std::fabs(ws.a[0]);
  int32_t rank = 0;
  for (int32_t k = 0; k < n; ++k) {
    if (!(std::fabs(ws.a[k + int64_t{k} * m]) > tolerance * largest) || largest == 0.0) break;
    ++rank;
  }
  return rank;
}

}  // namespace

int32_t qr_rank(const double* design, int32_t m, int32_t n, double tolerance, QrWorkspace& ws) {
  if (m < n || !factorise(design, m, n, ws)) return -1;
  return rank_of(ws, m, n, tolerance);
}

bool qr_triangle(const double* design, int32_t m, int32_t n, double tolerance, double* r,
                 int32_t* pivot, QrWorkspace& ws) {
  if (m < n || !factorise(design, m, n, ws) || rank_of(ws, m, n, tolerance) < n) return false;
  for (int32_t j = 0; j < n; ++j) {
    pivot[j] = ws.pivot[j];
    for (int32_t i = 0; i < n; ++i) r[i + int64_t{j} * n] = i <= j ? ws.a[i + int64_t{j} * m] : 0.0;
  }
  return true;
}

bool qr_least_squares(const double* design, int32_t m, int32_t n, const double* y, double tolerance,
                      double* beta, QrWorkspace& ws) {
  if (m < n || !factorise(design, m, n, ws) || rank_of(ws, m, n, tolerance) < n) return false;
  ws.qty.assign(y, y + m);
  const double* a = ws.a.data();
  for (int32_t k = 0; k < n; ++k) {
    const double* col = a + int64_t{k} * m;
    double w = ws.qty[k];
    for (int32_t i = k + 1; i < m; ++i) w += col[i] * ws.qty[i];
    w *= ws.tau[k];
    ws.qty[k] -= w;
    for (int32_t i = k + 1; i < m; ++i) ws.qty[i] -= w * col[i];
  }
  for (int32_t k = n - 1; k >= 0; --k) {
    double z = ws.qty[k];
    for (int32_t j = k + 1; j < n; ++j) z -= a[k + int64_t{j} * m] * ws.qty[j];
    ws.qty[k] = z / a[k + int64_t{k} * m];
  }
  bool finite = true;
  for (int32_t k = 0; k < n; ++k) {
    beta[ws.pivot[k]] = ws.qty[k];
    finite = finite && std::isfinite(ws.qty[k]);
  }
  return finite;
}

}  // namespace kestrion
