// The pivoted QR solver against the SVD solver and the normal equations in long double, and its
// rank decisions against the SVD's on rank-deficient designs.
#include "numerics/pivoted_qr.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "numerics/regression.h"

namespace kestrion {
namespace {

std::vector<double> random_design(int32_t m, int32_t n, uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> a(static_cast<size_t>(m) * n);
  for (double& x : a) x = uniform(engine);
  for (int32_t i = 0; i < m; ++i) a[i] = 1.0;  // an intercept, as every stage has
  return a;
}

// The normal equations in long double by Gaussian elimination with partial pivoting.
std::vector<long double> normal_equations(const std::vector<double>& a, int32_t m, int32_t n,
                                          const std::vector<double>& y) {
  std::vector<std::vector<long double>> g(n, std::vector<long double>(n + 1, 0.0L));
  for (int32_t r = 0; r < n; ++r) {
    for (int32_t c = 0; c < n; ++c) {
      for (int32_t i = 0; i < m; ++i) {
        g[r][c] += static_cast<long double>(a[i + r * m]) * a[i + c * m];
      }
    }
    for (int32_t i = 0; i < m; ++i) g[r][n] += static_cast<long double>(a[i + r * m]) * y[i];
  }
  for (int32_t c = 0; c < n; ++c) {
    int32_t p = c;
    for (int32_t r = c + 1; r < n; ++r) {
      if (std::fabs(g[r][c]) > std::fabs(g[p][c])) p = r;
    }
    std::swap(g[c], g[p]);
    for (int32_t r = c + 1; r < n; ++r) {
      const long double f = g[r][c] / g[c][c];
      for (int32_t k = c; k <= n; ++k) g[r][k] -= f * g[c][k];
    }
  }
  std::vector<long double> x(n);
  for (int32_t c = n - 1; c >= 0; --c) {
    long double v = g[c][n];
    for (int32_t k = c + 1; k < n; ++k) v -= g[c][k] * x[k];
    x[c] = v / g[c][c];
  }
  return x;
}

bool close(double a, double b, double tol) {
  return std::fabs(a - b) <= tol * std::max(1.0, std::fabs(b));
}

TEST(PivotedQr, AgreesWithTheSvdAndTheNormalEquationsOnFullRankDesigns) {
  const struct {
    int32_t m, n;
    double column_scale;  // the last column's scale: badly scaled designs pivot differently
  } cases[] = {{12, 4, 1.0}, {40, 5, 1.0}, {300, 7, 1.0}, {150, 10, 1e4}, {60, 6, 1e-4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.m) + "x" + std::to_string(c.n));
    std::vector<double> a = random_design(c.m, c.n, 31 + c.m);
    for (int32_t i = 0; i < c.m; ++i) a[i + (c.n - 1) * c.m] *= c.column_scale;
    std::vector<double> y(c.m);
    std::mt19937_64 engine(5);
    std::normal_distribution<double> noise(0.0, 1.0);
    for (int32_t i = 0; i < c.m; ++i) y[i] = 2.0 - a[i + c.m] + noise(engine);

    std::vector<double> qr(c.n), svd(c.n);
    QrWorkspace ws;
    ASSERT_TRUE(qr_least_squares(a.data(), c.m, c.n, y.data(), kRankTolerance, qr.data(), ws));
    ErrorRecord record;
    ASSERT_EQ(svdr_l2(make_view(a.data(), c.m, c.n), c.m, c.n, make_view(y.data(), c.m),
                      kRankTolerance, make_view(svd.data(), c.n), record),
              0);
    ASSERT_EQ(nullify_data(record), 0);
    const std::vector<long double> exact = normal_equations(a, c.m, c.n, y);
    for (int32_t k = 0; k < c.n; ++k) {
      EXPECT_TRUE(close(qr[k], svd[k], 1e-10)) << k << ": " << qr[k] << " " << svd[k];
      EXPECT_TRUE(close(qr[k], static_cast<double>(exact[k]), 1e-10)) << k;
    }
    EXPECT_EQ(qr_rank(a.data(), c.m, c.n, kRankTolerance, ws), c.n);
  }
}

TEST(PivotedQr, RefusesTheRankDeficientDesignsTheSvdRefuses) {
  const int32_t m = 30;
  const int32_t n = 5;
  const struct {
    const char* what;
    void (*spoil)(std::vector<double>&);
    int32_t rank;
  } cases[] = {
      {"a zero column", [](std::vector<double>& a) { std::fill_n(a.begin() + 2 * m, m, 0.0); }, 4},
      {"a repeated column",
       [](std::vector<double>& a) { std::copy_n(a.begin() + m, m, a.begin() + 3 * m); }, 4},
      {"a combination of three columns",
       [](std::vector<double>& a) {
         for (int32_t i = 0; i < m; ++i) a[i + 4 * m] = 2 * a[i + m] - 0.5 * a[i + 2 * m] + a[i];
       },
       4},
      {"a treatment no resample subject received (a constant column beside the intercept)",
       [](std::vector<double>& a) { std::fill_n(a.begin() + 4 * m, m, -1.0); }, 4},
      {"two dependencies",
       [](std::vector<double>& a) {
         std::copy_n(a.begin() + m, m, a.begin() + 3 * m);
         std::fill_n(a.begin() + 4 * m, m, 0.0);
       },
       3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<double> a = random_design(m, n, 77);
    c.spoil(a);
    std::vector<double> y(m, 1.0), beta(n), svd(n);
    for (int32_t i = 0; i < m; ++i) y[i] = a[i + m] + 0.1 * i;
    QrWorkspace ws;
    EXPECT_FALSE(qr_least_squares(a.data(), m, n, y.data(), kRankTolerance, beta.data(), ws));
    EXPECT_EQ(qr_rank(a.data(), m, n, kRankTolerance, ws), c.rank);
    ErrorRecord record;
    const int32_t svd_result = svdr_l2(make_view(a.data(), m, n), m, n, make_view(y.data(), m),
                                       kRankTolerance, make_view(svd.data(), n), record);
    EXPECT_TRUE(svd_result == -1 || error_occurred(record));
    clear_errors(record);
    ASSERT_EQ(nullify_data(record), 0);
  }
  // Fewer rows than columns and non-finite values are refused as well.
  std::vector<double> a = random_design(4, 5, 3), y(4, 1.0), beta(5);
  QrWorkspace ws;
  EXPECT_FALSE(qr_least_squares(a.data(), 4, 5, y.data(), kRankTolerance, beta.data(), ws));
  a = random_design(m, n, 3);
  a[7] = NAN;
  y.assign(m, 1.0);
  EXPECT_FALSE(qr_least_squares(a.data(), m, n, y.data(), kRankTolerance, beta.data(), ws));
}

}  // namespace
}  // namespace kestrion
