#include "numerics/regression.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "numerics/dynamic_allocation.h"
#include "tests/support/record_lines.h"

namespace kestrion {
namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

using testing_support::record_lines;

// Column-major matrix owned by the test.
struct Matrix {
  int32_t rows = 0;
  int32_t cols = 0;
  std::vector<double> data;
  Matrix(int32_t r, int32_t c) : rows(r), cols(c), data(static_cast<size_t>(r) * c, 0.0) {}
  double& operator()(int i, int j) { return data[(i - 1) + static_cast<size_t>(j - 1) * rows]; }
  double operator()(int i, int j) const {
    return data[(i - 1) + static_cast<size_t>(j - 1) * rows];
  }
  ConstDblMat view() const { return make_view(data.data(), rows, cols); }
  DblMat view() { return make_view(data.data(), rows, cols); }
};

Matrix random_matrix(int32_t m, int32_t n, uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  Matrix a(m, n);
  for (double& x : a.data) x = uniform(engine);
  return a;
}

// Q1 diag(10^(-k * spread / (n-1))) Q2 with orthogonal Q1, Q2 built from Gram-Schmidt in long
// double: a matrix with a known, large condition number.
Matrix ill_conditioned(int32_t m, int32_t n, double log10_condition, uint64_t seed) {
  auto orthonormal = [](int32_t rows, int32_t cols, uint64_t s) {
    Matrix q = random_matrix(rows, cols, s);
    for (int j = 1; j <= cols; ++j) {
      for (int pass = 0; pass < 2; ++pass) {
        for (int k = 1; k < j; ++k) {
          long double dot = 0;
          for (int i = 1; i <= rows; ++i) dot += (long double)q(i, k) * q(i, j);
          for (int i = 1; i <= rows; ++i) q(i, j) = (double)(q(i, j) - dot * q(i, k));
        }
      }
      long double norm = 0;
      for (int i = 1; i <= rows; ++i) norm += (long double)q(i, j) * q(i, j);
      for (int i = 1; i <= rows; ++i) q(i, j) = (double)(q(i, j) / std::sqrt(norm));
    }
    return q;
  };
  const Matrix q1 = orthonormal(m, n, seed);
  const Matrix q2 = orthonormal(n, n, seed + 1);
  Matrix a(m, n);
  for (int k = 1; k <= n; ++k) {
    const long double s = std::pow(10.0L, -log10_condition * (k - 1) / std::max(1, n - 1));
    for (int j = 1; j <= n; ++j) {
      for (int i = 1; i <= m; ++i)
        a(i, j) = (double)(a(i, j) + (long double)q1(i, k) * s * q2(j, k));
    }
  }
  return a;
}

struct SvdResiduals {
  double reconstruction;   // max |a - u w v'| / (max|a| eps)
  double u_orthogonality;  // max |u'u - I| / eps (m >= n only)
  double v_orthogonality;
};

SvdResiduals check_svd(const Matrix& a) {
  const int32_t m = a.rows;
  const int32_t n = a.cols;
  Matrix u(m, n);
  Matrix v(n, n);
  std::vector<double> w(n);
  ErrorRecord record;
  EXPECT_EQ(svd(m, n, a.view(), make_view(w.data(), n), u.view(), v.view(), record), 0);
  EXPECT_FALSE(error_occurred(record));
  for (double x : w) EXPECT_GE(x, 0.0);
  double amax = 0;
  for (double x : a.data) amax = std::max(amax, std::fabs(x));
  SvdResiduals r{0, 0, 0};
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= m; ++i) {
      long double sum = 0;
      for (int k = 1; k <= n; ++k) sum += (long double)u(i, k) * w[k - 1] * v(j, k);
      r.reconstruction = std::max(r.reconstruction, (double)std::fabs(sum - a(i, j)));
    }
  }
  r.reconstruction /= amax * kEps;
  auto gram = [](const Matrix& q) {
    double worst = 0;
    for (int j = 1; j <= q.cols; ++j) {
      for (int k = 1; k <= q.cols; ++k) {
        long double dot = 0;
        for (int i = 1; i <= q.rows; ++i) dot += (long double)q(i, j) * q(i, k);
        worst = std::max(worst, (double)std::fabs(dot - (j == k ? 1 : 0)));
      }
    }
    return worst / kEps;
  };
  r.u_orthogonality = m >= n ? gram(u) : 0.0;
  r.v_orthogonality = gram(v);
  return r;
}

TEST(Svd, ReconstructsAndIsOrthonormalOnTallSquareWideAndIllConditioned) {
  struct Case {
    const char* name;
    Matrix a;
  };
  const std::vector<Case> cases = {
      {"tall 200x7", random_matrix(200, 7, 1)},
      {"tall 1000x30", random_matrix(1000, 30, 2)},
      {"square 12x12", random_matrix(12, 12, 3)},
      {"single column", random_matrix(9, 1, 4)},
      {"wide 3x6", random_matrix(3, 6, 5)},
      {"cond 1e12, 60x8", ill_conditioned(60, 8, 12.0, 6)},
      {"cond 1e15, 20x20", ill_conditioned(20, 20, 15.0, 8)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SvdResiduals r = check_svd(c.a);
    EXPECT_LT(r.reconstruction, 2000.0);
    EXPECT_LT(r.u_orthogonality, 2000.0);
    EXPECT_LT(r.v_orthogonality, 2000.0);
  }
}

TEST(Svd, StridedOutputsMatchContiguousOnesBitForBit) {
  const Matrix a = random_matrix(9, 4, 11);
  Matrix u(9, 4), v(4, 4);
  std::vector<double> w(4);
  ErrorRecord record;
  ASSERT_EQ(svd(9, 4, a.view(), make_view(w.data(), 4), u.view(), v.view(), record), 0);
  // Row-major u and v, every second element of w, lower bounds 0.
  std::vector<double> ur(36), vr(16), ws(8);
  const DblMat u_rows(ur.data(), {0, 0}, {9, 4}, {4, 1});
  const DblMat v_rows(vr.data(), {0, 0}, {4, 4}, {4, 1});
  const DblVec w_strided(ws.data(), {0}, {4}, {2});
  ASSERT_EQ(svd(9, 4, a.view(), w_strided, u_rows, v_rows, record), 0);
  for (int j = 1; j <= 4; ++j) {
    EXPECT_EQ(w[j - 1], w_strided(j - 1));
    for (int i = 1; i <= 9; ++i) EXPECT_EQ(u(i, j), u_rows(i - 1, j - 1));
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(v(i, j), v_rows(i - 1, j - 1));
  }
}

// Independent inverse of x'x: Gauss-Jordan in long double, column-major.
std::vector<long double> inverse_cross_product(const Matrix& x) {
  const int n = x.cols;
  std::vector<long double> g(n * 2 * n, 0);
  auto at = [&](int r, int c) -> long double& { return g[r * 2 * n + c]; };
  for (int j = 0; j < n; ++j) {
    for (int k = 0; k < n; ++k)
      for (int i = 1; i <= x.rows; ++i) at(j, k) += (long double)x(i, j + 1) * x(i, k + 1);
    at(j, n + j) = 1;
  }
  for (int c = 0; c < n; ++c) {
    int pivot = c;
    for (int r = c + 1; r < n; ++r)
      if (std::fabs(at(r, c)) > std::fabs(at(pivot, c))) pivot = r;
    for (int k = 0; k < 2 * n; ++k) std::swap(at(c, k), at(pivot, k));
    const long double d = at(c, c);
    for (int k = 0; k < 2 * n; ++k) at(c, k) /= d;
    for (int r = 0; r < n; ++r) {
      if (r == c) continue;
      const long double f = at(r, c);
      for (int k = 0; k < 2 * n; ++k) at(r, k) -= f * at(c, k);
    }
  }
  std::vector<long double> inv(n * n);
  for (int j = 0; j < n; ++j)
    for (int k = 0; k < n; ++k) inv[j + k * n] = at(j, n + k);
  return inv;
}

// Least squares through the normal equations in long double: (x'x)^-1 x'y.
std::vector<long double> normal_equations(const Matrix& x, const std::vector<double>& y) {
  const int n = x.cols;
  const std::vector<long double> inverse = inverse_cross_product(x);
  std::vector<long double> xty(n, 0), beta(n, 0);
  for (int j = 0; j < n; ++j)
    for (int i = 1; i <= x.rows; ++i) xty[j] += (long double)x(i, j + 1) * y[i - 1];
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j) beta[k] += inverse[k + j * n] * xty[j];
  return beta;
}

bool close(double a, long double b, double tol) {
  return std::fabs(a - b) <= tol * std::max<long double>(1.0L, std::fabs(b));
}

TEST(SvdrL2, MatchesNormalEquationsAndKeepsTheDecomposition) {
  for (const auto& [m, n] : std::vector<std::pair<int, int>>{{40, 5}, {300, 5}, {500, 12}}) {
    SCOPED_TRACE(std::to_string(m) + "x" + std::to_string(n));
    Matrix x = random_matrix(m, n, 100 + m);
    for (int i = 1; i <= m; ++i) x(i, 1) = 1.0;  // intercept column, as the analysis has
    std::vector<double> y(m);
    std::mt19937_64 engine(7);
    std::normal_distribution<double> noise(0.0, 1.0);
    for (int i = 1; i <= m; ++i) y[i - 1] = 3.0 * x(i, 2) - 2.0 + noise(engine);
    const std::vector<long double> expected = normal_equations(x, y);
    std::vector<double> beta(n, 99.0);
    ErrorRecord record;
    ASSERT_EQ(svdr_l2(x.view(), m, n, make_view(y.data(), m), kRankTolerance,
                      make_view(beta.data(), n), record),
              0);
    EXPECT_FALSE(error_occurred(record));
    EXPECT_TRUE(regression_state_allocated());
    for (int k = 0; k < n; ++k) EXPECT_TRUE(close(beta[k], expected[k], 1e-12)) << k;
  }
  ErrorRecord record;
  EXPECT_EQ(nullify_data(record), 0);
  EXPECT_FALSE(regression_state_allocated());
  EXPECT_EQ(nullify_data(record), 0);
  EXPECT_FALSE(error_occurred(record));
}

TEST(SvdrL2, ResponseInTheColumnSpaceIsFittedExactly) {
  const Matrix x = random_matrix(30, 4, 21);
  const double truth[] = {1.5, -2.0, 0.25, 4.0};
  std::vector<double> y(30, 0.0);
  for (int i = 1; i <= 30; ++i)
    for (int j = 1; j <= 4; ++j) y[i - 1] += x(i, j) * truth[j - 1];
  std::vector<double> beta(4);
  ErrorRecord record;
  ASSERT_EQ(svdr_l2(x.view(), 30, 4, make_view(y.data(), 30), kRankTolerance,
                    make_view(beta.data(), 4), record),
            0);
  for (int j = 0; j < 4; ++j) EXPECT_NEAR(beta[j], truth[j], 100 * kEps);
}

std::vector<std::vector<std::string>> read_csv(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << path;
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, ',')) fields.push_back(field);
    rows.push_back(fields);
  }
  return rows;
}

// Significant digits of agreement, the NIST log relative error.
double digits(double got, double certified) {
  if (got == certified) return 17.0;
  return -std::log10(std::fabs(got - certified) / std::fabs(certified));
}

TEST(SvdrL2, LongleyCertifiedValuesToNineDigits) {
  const std::string dir = TALVEN_SOURCE_DIR "/tests/numerics/data/";
  const auto data = read_csv(dir + "longley.csv");
  const auto certified = read_csv(dir + "longley_certified.csv");
  ASSERT_EQ(data.size(), 17u);
  ASSERT_EQ(certified.size(), 8u);
  const int m = 16;
  const int n = 7;
  Matrix x(m, n);
  std::vector<double> y(m);
  for (int i = 1; i <= m; ++i) {
    y[i - 1] = std::stod(data[i][0]);
    x(i, 1) = 1.0;
    for (int j = 2; j <= n; ++j) x(i, j) = std::stod(data[i][j - 1]);
  }
  std::vector<double> beta(n);
  ErrorRecord record;
  ASSERT_EQ(svdr_l2(x.view(), m, n, make_view(y.data(), m), kRankTolerance,
                    make_view(beta.data(), n), record),
            0)
      << (record_lines(record).empty() ? "" : record_lines(record)[0]);
  // Standard errors from getMInverse: s * sqrt(diag((X'X)^-1)), s the certified residual SD.
  Matrix inverse(n, n);
  ASSERT_EQ(getMInverse(inverse.view(), 1, n, record), 0);
  ASSERT_FALSE(error_occurred(record));
  const double residual_sd = 304.854073561965;
  for (int j = 1; j <= n; ++j) {
    SCOPED_TRACE(certified[j][0]);
    EXPECT_GE(digits(beta[j - 1], std::stod(certified[j][1])), 9.0);
    EXPECT_GE(digits(residual_sd * std::sqrt(inverse(j, j)), std::stod(certified[j][2])), 9.0);
  }
  EXPECT_EQ(nullify_data(record), 0);
}

TEST(SvdrL2, RankDeficientDesignsGiveTheSingularReportAndTheirDependentColumns) {
  Matrix duplicate = random_matrix(20, 4, 31);
  for (int i = 1; i <= 20; ++i) duplicate(i, 3) = duplicate(i, 2);
  Matrix zero_column = random_matrix(20, 4, 32);
  for (int i = 1; i <= 20; ++i) zero_column(i, 4) = 0.0;
  // Column 5 = column 1 + 0.01 * column 3 while column 1 is a thousand times column 3's scale:
  // every part of the dependency counts, however different the scales.
  Matrix mixed = random_matrix(30, 5, 34);
  for (int i = 1; i <= 30; ++i) {
    mixed(i, 1) *= 1e3;
    mixed(i, 5) = mixed(i, 1) + 0.01 * mixed(i, 3);
  }
  // diag(1, 0.5) with tolerance 0.5: the smallest value equals the threshold exactly.
  Matrix at_threshold(2, 2);
  at_threshold(1, 1) = 1.0;
  at_threshold(2, 2) = 0.5;
  struct Case {
    const char* name;
    Matrix x;
    double tolerance;
    std::vector<int32_t> dependent;
  };
  const std::vector<Case> cases = {
      {"duplicate column", duplicate, kRankTolerance, {2, 3}},
      {"fewer rows than columns", random_matrix(3, 5, 33), kRankTolerance, {1, 2, 3, 4, 5}},
      {"zero column", zero_column, kRankTolerance, {4}},
      {"dependency across scales", mixed, kRankTolerance, {1, 3, 5}},
      {"all zero", Matrix(6, 2), kRankTolerance, {1, 2}},
      {"no rows", Matrix(0, 3), kRankTolerance, {1, 2, 3}},
      {"strict comparison", at_threshold, 0.5, {2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> y(c.x.rows, 1.0);
    std::vector<double> beta(c.x.cols);
    ErrorRecord record;
    EXPECT_EQ(svdr_l2(c.x.view(), c.x.rows, c.x.cols, make_view(y.data(), c.x.rows), c.tolerance,
                      make_view(beta.data(), c.x.cols), record),
              -1);
    EXPECT_EQ(record_lines(record),
              (std::vector<std::string>{"Matrix apparently singular",
                                        "Design matrix doesn't have full rank.",
                                        "OCCURRED IN: svdr_l2 in MOD regression"}));
    EXPECT_FALSE(record.memory_failure);
    EXPECT_TRUE(regression_state_allocated());  // the failed fit's decomposition stays
    EXPECT_EQ(dependent_columns(c.x.view(), c.x.rows, c.x.cols, c.tolerance), c.dependent);
  }
  ErrorRecord record;
  EXPECT_EQ(nullify_data(record), 0);
  EXPECT_TRUE(dependent_columns(duplicate.view(), 20, 4, kRankTolerance).empty());
}

TEST(SvdrL2, NonFiniteValuesAreRefusedBeforeAnyAllocation) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    int row, col;  // col 0: the response
    double value;
  };
  const Case cases[] = {{"NaN in design", 5, 2, nan},
                        {"inf in design", 1, 1, inf},
                        {"-inf in response", 8, 0, -inf},
                        {"NaN in response", 8, 0, nan}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Matrix x = random_matrix(8, 3, 41);
    std::vector<double> y(8, 1.0);
    if (c.col == 0) {
      y[c.row - 1] = c.value;
    } else {
      x(c.row, c.col) = c.value;
    }
    std::vector<double> beta(3);
    ErrorRecord record;
#ifdef KESTRION_FAULT_INJECTION
    const int64_t before = fault::allocation_count();
#endif
    EXPECT_EQ(svdr_l2(x.view(), 8, 3, make_view(y.data(), 8), kRankTolerance,
                      make_view(beta.data(), 3), record),
              -1);
#ifdef KESTRION_FAULT_INJECTION
    EXPECT_EQ(fault::allocation_count(), before);
#endif
    EXPECT_EQ(record_lines(record),
              (std::vector<std::string>{"Non-finite value in the design matrix or response.",
                                        "OCCURRED IN: svdr_l2 in MOD regression"}));
  }
}

TEST(Svd, NonFiniteInputEndsInsteadOfLooping) {
  Matrix a = random_matrix(6, 4, 51);
  a(2, 3) = std::numeric_limits<double>::quiet_NaN();
  Matrix u(6, 4), v(4, 4);
  std::vector<double> w(4);
  ErrorRecord record;
  EXPECT_EQ(svd(6, 4, a.view(), make_view(w.data(), 4), u.view(), v.view(), record), -1);
  EXPECT_EQ(record_lines(record), (std::vector<std::string>{"Number of iterations exceeded!",
                                                            "OCCURRED IN: svd in MOD regression"}));
}

TEST(SafeHypot, AgreesWithHypotAndEndsOnNonFiniteArguments) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double a, b;
  };
  const Case finite[] = {{3, 4},         {-3, 4},          {0, 0},     {0, -2},
                         {1e300, 1e300}, {1e-300, 3e-300}, {1, 1e-17}, {DBL_MAX, 1}};
  for (const Case& c : finite) {
    const double expected = std::hypot(c.a, c.b);
    EXPECT_LE(std::fabs(safe_hypot(c.a, c.b) - expected), 4 * kEps * expected) << c.a << "," << c.b;
  }
  EXPECT_DOUBLE_EQ(safe_hypot(3, 4), 5.0);
  EXPECT_EQ(safe_hypot(0, 0), 0.0);
  EXPECT_EQ(safe_hypot(inf, 1), inf);
  EXPECT_EQ(safe_hypot(-inf, inf), inf);
  EXPECT_EQ(safe_hypot(NAN, inf), inf);
  EXPECT_TRUE(std::isnan(safe_hypot(NAN, 1)));
  EXPECT_TRUE(std::isnan(safe_hypot(0, NAN)));
}

TEST(GetMInverse, ScaledInverseOfTheCrossProduct) {
  const int m = 50;
  const int n = 5;
  const Matrix x = random_matrix(m, n, 61);
  std::vector<double> y(m, 1.0), beta(n);
  ErrorRecord record;
  ASSERT_EQ(svdr_l2(x.view(), m, n, make_view(y.data(), m), kRankTolerance,
                    make_view(beta.data(), n), record),
            0);
  Matrix result(n, n);
  EXPECT_EQ(getMInverse(result.view(), m, n, record), 0);
  EXPECT_FALSE(error_occurred(record));
  const std::vector<long double> expected = inverse_cross_product(x);
  for (int j = 1; j <= n; ++j)
    for (int k = 1; k <= n; ++k)
      EXPECT_TRUE(close(result(k, j), m * expected[(k - 1) + (j - 1) * n], 1e-12)) << k << j;
  EXPECT_EQ(nullify_data(record), 0);
}

TEST(GetMInverse, FixedLimitAndMissingStateAreReportedNotReturned) {
  // Condition 1e12 passes svdr_l2 at a tolerance of 1e-14 but not getMInverse's fixed 1e-10.
  const Matrix x = ill_conditioned(30, 4, 12.0, 71);
  std::vector<double> y(30, 1.0), beta(4);
  ErrorRecord record;
  ASSERT_EQ(
      svdr_l2(x.view(), 30, 4, make_view(y.data(), 30), 1e-14, make_view(beta.data(), 4), record),
      0);
  Matrix result(4, 4);
  result(2, 3) = 42.0;
  EXPECT_EQ(getMInverse(result.view(), 30, 4, record), 0);
  EXPECT_EQ(result(2, 3), 42.0);  // untouched
  EXPECT_EQ(record_lines(record),
            (std::vector<std::string>{"Matrix apparently singular",
                                      "Design matrix doesn't have full rank.",
                                      "OCCURRED IN: getMInverse in MOD regression"}));
  clear_errors(record);
  // Asking for more columns than the decomposition has, or after it was released.
  EXPECT_EQ(getMInverse(Matrix(5, 5).view(), 1, 5, record), 0);
  EXPECT_EQ(record_lines(record),
            (std::vector<std::string>{"Dimensions of matrix arguments not conformable",
                                      "OCCURRED IN: getMInverse in MOD regression"}));
  clear_errors(record);
  EXPECT_EQ(nullify_data(record), 0);
  EXPECT_EQ(getMInverse(result.view(), 1, 4, record), 0);
  EXPECT_TRUE(error_occurred(record));
  EXPECT_EQ(result(2, 3), 42.0);
}

#ifdef KESTRION_FAULT_INJECTION
TEST(SvdrL2, AllocationFailureIsReportedWithItsOwnLines) {
  const Matrix x = random_matrix(10, 3, 81);
  std::vector<double> y(10, 1.0), beta(3);
  const char* descriptions[] = {"regression: sigma", "regression: u", "regression: u"};
  const char* labels[] = {"dbl1_alloc", "dbl2_alloc", "dbl2_alloc"};
  for (int nth = 1; nth <= 3; ++nth) {
    SCOPED_TRACE(nth);
    ErrorRecord record;
    fault::fail_nth_allocation(nth);
    EXPECT_EQ(svdr_l2(x.view(), 10, 3, make_view(y.data(), 10), kRankTolerance,
                      make_view(beta.data(), 3), record),
              -1);
    EXPECT_TRUE(record.memory_failure);
    EXPECT_EQ(record_lines(record),
              (std::vector<std::string>{
                  "Unable to allocate memory for object", descriptions[nth - 1],
                  std::string("OCCURRED IN: ") + labels[nth - 1] + " in MOD dynamic_allocation",
                  "Error occured.", "OCCURRED IN: svdr_l2 in MOD regression"}));
  }
  fault::fail_nth_allocation(0);
  ErrorRecord record;
  const int64_t before = fault::allocation_count();
  EXPECT_EQ(svdr_l2(x.view(), 10, 3, make_view(y.data(), 10), kRankTolerance,
                    make_view(beta.data(), 3), record),
            0);
  EXPECT_EQ(fault::allocation_count() - before, 3);  // sigma, u, v: nothing else counts
  EXPECT_EQ(nullify_data(record), 0);
}
#endif

}  // namespace
}  // namespace kestrion

namespace kestrion {
namespace {

// The fast path never forms u; it must still give the reference's coefficients, the very same
// singular values (so the same rank decisions) and the same reports.
TEST(SvdrL2, FastPathAgreesWithTheReferencePath) {
  struct Case {
    int32_t m, n;
    double log10_condition;  // 0: plain random
    bool duplicate_column;
  };
  const std::vector<Case> cases = {{1, 1, 0, false},   {5, 5, 0, false},   {40, 5, 0, false},
                                   {300, 9, 0, false}, {200, 6, 8, false}, {50, 4, 13, false},
                                   {30, 4, 0, true},   {3, 5, 0, false}};
  uint64_t seed = 900;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.m << "x" << c.n << " cond 1e" << c.log10_condition);
    Matrix x = c.log10_condition > 0 ? ill_conditioned(c.m, c.n, c.log10_condition, ++seed)
                                     : random_matrix(c.m, c.n, ++seed);
    if (c.duplicate_column) {
      for (int i = 1; i <= c.m; ++i) x(i, 2) = x(i, 1);
    }
    const Matrix y = random_matrix(c.m, 1, ++seed);
    std::vector<double> fast(c.n), reference(c.n);
    ErrorRecord fast_record, reference_record;
    const int32_t fast_result = svdr_l2(x.view(), c.m, c.n, make_view(y.data.data(), c.m),
                                        kRankTolerance, make_view(fast.data(), c.n), fast_record);
    std::vector<double> fast_sigma(regression_singular_values());
    const int32_t reference_result =
        svdr_l2_reference(x.view(), c.m, c.n, make_view(y.data.data(), c.m), kRankTolerance,
                          make_view(reference.data(), c.n), reference_record);
    EXPECT_EQ(fast_result, reference_result);
    EXPECT_EQ(record_lines(fast_record), record_lines(reference_record));
    EXPECT_EQ(fast_sigma, regression_singular_values());
    if (fast_result == 0) {
      for (int32_t k = 0; k < c.n; ++k) {
        EXPECT_LE(std::fabs(fast[k] - reference[k]), 1e-12 * std::max(1.0, std::fabs(reference[k])))
            << "coefficient " << k + 1;
      }
    }
  }
  ErrorRecord record;
  EXPECT_EQ(nullify_data(record), 0);
}

}  // namespace
}  // namespace kestrion

namespace kestrion {
namespace {

using testing_support::record_lines;

// A workspace serves many fits of different sizes and must give the module's bits every time:
// the threads of the interval engine fit with workspaces, the analysis of the data with the
// module state.
TEST(RegressionWorkspace, FitsInverseAndDependentColumnsAreTheModulesBitForBit) {
  RegressionWorkspace workspace;
  ErrorRecord record;
  WorkArrays arrays =
      workspace.list(300, 9, {"test: sigma", "test: u", "test: v", "test: scratch", "test: rot"});
  ASSERT_EQ(arrays.obtain(record), Status::kOk);
  const struct {
    int32_t m, n;
    bool duplicate_column;
  } cases[] = {{300, 9, false}, {40, 5, false}, {30, 4, true}, {3, 5, false}, {120, 1, false}};
  uint64_t seed = 77;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.m << "x" << c.n);
    Matrix x = random_matrix(c.m, c.n, ++seed);
    if (c.duplicate_column) {
      for (int i = 1; i <= c.m; ++i) x(i, 3) = x(i, 1);
    }
    const Matrix y = random_matrix(c.m, 1, ++seed);
    std::vector<double> in_module(c.n), in_workspace(c.n);
    ErrorRecord module_record, workspace_record;
    const int32_t module_result =
        svdr_l2(x.view(), c.m, c.n, make_view(y.data.data(), c.m), kRankTolerance,
                make_view(in_module.data(), c.n), module_record);
    const int32_t workspace_result =
        least_squares_in(workspace, x.view(), c.m, c.n, make_view(y.data.data(), c.m),
                         kRankTolerance, make_view(in_workspace.data(), c.n), workspace_record);
    EXPECT_EQ(module_result, workspace_result);
    EXPECT_EQ(record_lines(module_record), record_lines(workspace_record));
    EXPECT_EQ(dependent_columns(x.view(), c.m, c.n, kRankTolerance),
              dependent_columns_in(workspace, x.view(), c.m, c.n, kRankTolerance));
    if (module_result != 0) continue;
    EXPECT_EQ(in_module, in_workspace);
    Matrix inverse_module(c.n, c.n), inverse_workspace(c.n, c.n);
    EXPECT_EQ(getMInverse(inverse_module.view(), c.m, c.n, module_record), 0);
    EXPECT_EQ(
        inverse_cross_product_in(workspace, inverse_workspace.view(), c.m, c.n, workspace_record),
        0);
    EXPECT_EQ(inverse_module.data, inverse_workspace.data);
    EXPECT_FALSE(error_occurred(workspace_record));
  }
  // Larger than the workspace: refused, not written past its end.
  const Matrix big = random_matrix(301, 2, 5);
  std::vector<double> beta(2);
  EXPECT_EQ(least_squares_in(workspace, big.view(), 301, 2, make_view(big.data.data(), 301),
                             kRankTolerance, make_view(beta.data(), 2), record),
            -1);
  EXPECT_EQ(record_lines(record),
            (std::vector<std::string>{"Dimensions of matrix arguments not conformable",
                                      "OCCURRED IN: svdr_l2 in MOD regression"}));
  EXPECT_EQ(nullify_data(record), 0);
}

}  // namespace
}  // namespace kestrion
