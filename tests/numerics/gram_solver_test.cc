// The weighted Gram solve against the normal equations in long double and the pivoted QR over the
// rows repeated as often as their weights say, and its refusals where the QR's rank rule must
// decide, checked against the SVD.
#include "numerics/gram_solver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "numerics/regression.h"

namespace kestrion {
namespace {

using LD = long double;

// m x n, column-major: an intercept, then uniform columns of the given centre and spread.
std::vector<double> design_of(int32_t m, int32_t n, double centre, double spread, uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::vector<double> a(static_cast<size_t>(m) * n, 1.0);
  for (int32_t c = 1; c < n; ++c) {
    for (int32_t i = 0; i < m; ++i) {
      const double u = static_cast<double>(engine() >> 11) * 0x1.0p-53;
      a[i + static_cast<size_t>(c) * m] = centre + spread * (2.0 * u - 1.0);
    }
  }
  return a;
}

// The rows of `subjects`, each repeated `counts` times.
std::vector<double> repeated(const std::vector<double>& a, int32_t m, int32_t n,
                             const std::vector<int32_t>& subjects,
                             const std::vector<int32_t>& counts, int32_t total) {
  std::vector<double> out(static_cast<size_t>(total) * n);
  int32_t r = 0;
  for (size_t k = 0; k < subjects.size(); ++k) {
    for (int32_t t = 0; t < counts[k]; ++t, ++r) {
      for (int32_t c = 0; c < n; ++c) {
        out[r + static_cast<size_t>(c) * total] = a[subjects[k] + static_cast<size_t>(c) * m];
      }
    }
  }
  return out;
}

// Least squares by the normal equations in long double, Gaussian elimination with partial
// pivoting.
std::vector<LD> exact_solution(const std::vector<double>& a, int32_t m, int32_t n,
                               const std::vector<double>& y) {
  std::vector<std::vector<LD>> g(n, std::vector<LD>(n + 1, 0.0L));
  for (int32_t r = 0; r < n; ++r) {
    for (int32_t i = 0; i < m; ++i) {
      const LD x = a[i + static_cast<size_t>(r) * m];
      for (int32_t c = 0; c < n; ++c) g[r][c] += x * a[i + static_cast<size_t>(c) * m];
      g[r][n] += x * y[i];
    }
  }
  for (int32_t c = 0; c < n; ++c) {
    int32_t p = c;
    for (int32_t r = c + 1; r < n; ++r) {
      if (std::fabs(g[r][c]) > std::fabs(g[p][c])) p = r;
    }
    std::swap(g[c], g[p]);
    for (int32_t r = c + 1; r < n; ++r) {
      const LD f = g[r][c] / g[c][c];
      for (int32_t k = c; k <= n; ++k) g[r][k] -= f * g[c][k];
    }
  }
  std::vector<LD> x(n);
  for (int32_t c = n - 1; c >= 0; --c) {
    LD v = g[c][n];
    for (int32_t k = c + 1; k < n; ++k) v -= g[c][k] * x[k];
    x[c] = v / g[c][c];
  }
  return x;
}

bool close(double a, LD b, double tol) {
  return std::fabs(a - static_cast<double>(b)) <=
         tol * std::max(1.0, std::fabs(static_cast<double>(b)));
}

// A resample of a reference design: distinct rows and their counts.
struct Resample {
  std::vector<int32_t> subjects;
  std::vector<int32_t> counts;
  int32_t total = 0;
};

Resample draw_resample(int32_t m, int32_t size, uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::vector<int32_t> count(static_cast<size_t>(m), 0);
  for (int32_t k = 0; k < size; ++k) ++count[engine() % static_cast<uint64_t>(m)];
  Resample r;
  for (int32_t i = 0; i < m; ++i) {
    if (count[i] == 0) continue;
    r.subjects.push_back(i);
    r.counts.push_back(count[i]);
  }
  r.total = size;
  return r;
}

// The Gram solve of the resample; rows preconditioned by `pre`.
bool gram_solve(const Preconditioner& pre, const std::vector<double>& a, int32_t m, int32_t n,
                const std::vector<double>& y, const Resample& r, std::vector<double>& beta) {
  std::vector<double> rows(r.subjects.size() * n), x(static_cast<size_t>(n));
  for (size_t k = 0; k < r.subjects.size(); ++k) {
    for (int32_t c = 0; c < n; ++c) x[c] = a[r.subjects[k] + static_cast<size_t>(c) * m];
    pre.apply(x.data(), rows.data() + k * n);
  }
  GramSolver solver;
  solver.reset(n);
  solver.add_rows(static_cast<int32_t>(r.subjects.size()), [&](int32_t k) {
    return GramSolver::Row{rows.data() + static_cast<size_t>(k) * n,
                           static_cast<double>(r.counts[k]), y[r.subjects[k]]};
  });
  beta.assign(static_cast<size_t>(n), NAN);
  return solver.solve(pre, beta.data());
}

std::vector<double> outcome_of(const std::vector<double>& a, int32_t m, int32_t n) {
  std::vector<double> y(static_cast<size_t>(m));
  for (int32_t i = 0; i < m; ++i) {
    y[i] = 0.5 + 0.25 * std::sin(3.0 * i);
    for (int32_t c = 1; c < n; ++c)
      y[i] += (c % 2 ? 0.3 : -0.7) * a[i + static_cast<size_t>(c) * m];
  }
  return y;
}

TEST(GramSolver, AgreesWithTheNormalEquationsInLongDoubleAndTheQrOfTheRepeatedRows) {
  const struct {
    int32_t m, n, size;
    double centre, spread;  // of the non-intercept columns: far from 0, they nearly repeat it
  } cases[] = {
      {300, 5, 300, 0.0, 1.0},   {300, 5, 120, 45.0, 12.0}, {80, 3, 80, 0.0, 1e-3},
      {500, 8, 500, 100.0, 1.0}, {200, 12, 200, 0.0, 5.0},  {60, 4, 24, 2.0, 1.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.m) + "x" + std::to_string(c.n) + " centre " +
                 std::to_string(c.centre));
    const std::vector<double> a = design_of(c.m, c.n, c.centre, c.spread, 7 + c.m + c.n);
    const std::vector<double> y = outcome_of(a, c.m, c.n);
    QrWorkspace ws;
    Preconditioner pre;
    ASSERT_TRUE(pre.build(a.data(), c.m, c.n, kRankTolerance, ws));
    for (uint64_t draw = 0; draw < 5; ++draw) {
      const Resample r = draw_resample(c.m, c.size, 100 + draw);
      std::vector<double> gram;
      ASSERT_TRUE(gram_solve(pre, a, c.m, c.n, y, r, gram));
      const std::vector<double> rows = repeated(a, c.m, c.n, r.subjects, r.counts, r.total);
      std::vector<double> ry;
      for (size_t k = 0; k < r.subjects.size(); ++k)
        ry.insert(ry.end(), r.counts[k], y[r.subjects[k]]);
      std::vector<double> qr(static_cast<size_t>(c.n));
      ASSERT_TRUE(
          qr_least_squares(rows.data(), r.total, c.n, ry.data(), kRankTolerance, qr.data(), ws));
      const std::vector<LD> exact = exact_solution(rows, r.total, c.n, ry);
      for (int32_t k = 0; k < c.n; ++k) {
        EXPECT_TRUE(close(gram[k], exact[k], 1e-10)) << k << ": " << gram[k];
        EXPECT_TRUE(close(qr[k], exact[k], 1e-10)) << k << ": " << qr[k];
      }
    }
  }
}

// Where the rows leave a column dependent, or nearly so, the solve declines and the QR decides,
// as the SVD does; a reference design the rule refuses leaves every solve declined.
TEST(GramSolver, DeclinesWhereTheQrRuleMustDecideRank) {
  const int32_t m = 60;
  const int32_t n = 5;
  std::vector<double> a = design_of(m, n, 0.0, 1.0, 11);
  // Column 4 a treatment of -1/1: -1 for rows 0..29.
  for (int32_t i = 0; i < m; ++i) a[i + 4 * m] = i < 30 ? -1.0 : 1.0;
  // Column 3 nearly repeats column 2 on rows 25..34 alone.
  for (int32_t i = 25; i < 35; ++i) a[i + 3 * m] = a[i + 2 * m] * (1.0 + 1e-7 * (i - 30));
  const std::vector<double> y = outcome_of(a, m, n);
  auto rows_from = [](int32_t first, int32_t last, int32_t times) {
    Resample r;
    for (int32_t i = first; i <= last; ++i) {
      r.subjects.push_back(i);
      r.counts.push_back(times);
      r.total += times;
    }
    return r;
  };
  const struct {
    const char* what;
    Resample r;
    bool full_rank;  // by the QR's rule and the SVD's
  } cases[] = {
      {"one treatment only: its column repeats the intercept", rows_from(0, 20, 2), false},
      {"four distinct rows for five columns", rows_from(30, 33, 3), false},
      {"two columns equal but for 1e-7", rows_from(25, 34, 1), true},
  };
  QrWorkspace ws;
  Preconditioner pre;
  ASSERT_TRUE(pre.build(a.data(), m, n, kRankTolerance, ws));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<double> beta;
    EXPECT_FALSE(gram_solve(pre, a, m, n, y, c.r, beta));
    const std::vector<double> rows = repeated(a, m, n, c.r.subjects, c.r.counts, c.r.total);
    std::vector<double> ry;
    for (size_t k = 0; k < c.r.subjects.size(); ++k)
      ry.insert(ry.end(), c.r.counts[k], y[c.r.subjects[k]]);
    std::vector<double> qr(n), svd(n);
    EXPECT_EQ(qr_least_squares(rows.data(), c.r.total, n, ry.data(), kRankTolerance, qr.data(), ws),
              c.full_rank);
    if (c.r.total < n) continue;
    ErrorRecord record;
    const int32_t svd_result =
        svdr_l2(make_view(rows.data(), c.r.total, n), c.r.total, n, make_view(ry.data(), c.r.total),
                kRankTolerance, make_view(svd.data(), n), record);
    EXPECT_EQ(svd_result == 0 && !error_occurred(record), c.full_rank);
    clear_errors(record);
    ASSERT_EQ(nullify_data(record), 0);
  }

  // A reference the rule refuses (a zero column; a column 1e9 times the others, whose triangle
  // is too badly conditioned to vouch for any resample) makes every solve decline.
  for (const double scale : {0.0, 1e9}) {
    std::vector<double> b = a;
    for (int32_t i = 0; i < m; ++i) b[i + 1 * m] *= scale;
    Preconditioner refused;
    EXPECT_FALSE(refused.build(b.data(), m, n, kRankTolerance, ws)) << scale;
    EXPECT_EQ(refused.condition_limit(), 0.0);
    GramSolver solver;
    solver.reset(n);
    const std::vector<double> unit = {1.0, 0.0, 0.0, 0.0, 0.0};
    solver.add_rows(1, [&](int32_t) { return GramSolver::Row{unit.data(), 1.0, 1.0}; });
    std::vector<double> beta(n);
    EXPECT_FALSE(solver.solve(refused, beta.data())) << scale;
  }
}

}  // namespace
}  // namespace kestrion
