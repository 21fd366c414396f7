#include "engine/calculate_terms.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "numerics/dynamic_allocation.h"
#include "numerics/error_record.h"
#include "reference_engine.h"
#include "tests/support/record_lines.h"

namespace kestrion {
namespace {

using reference::Matrix;

constexpr double kSentinel = -4.5e99;

// Defaults: the one-subject example (n1 = p1 = 1, n2 = 100, K2 = 2, no stage-2 covariates).
struct TermsInput {
  int32_t n1 = 1, p1 = 1, n2 = 100, p20 = 0, p21 = 0, K2 = 2, nGrid = 2;
  std::vector<double> btY1{0.0};
  std::vector<int32_t> status{0};
  Matrix H20{1, 0}, H21{1, 0}, levels2{1, 2}, designM1{1, 1, 1.0}, sigma1n{1, 1, 2.0},
      sigma2n{1, 1, 4.0}, gamma{3, 1};
  std::vector<double> beta1hat{1.0}, beta2hat{1.0, 0.5}, btBeta1stS{1.0}, btBeta2ndS{1.2, -0.25};
  int64_t term2_columns = 3;

  TermsInput() {
    levels2(1, 1) = -1.0;
    levels2(1, 2) = 1.0;
    gamma.data = {-1.0, 1.0, 0.5};
  }
  int32_t p2() const { return p20 + K2 * (p21 + 1); }
};

struct TermsOutput {
  int32_t result = 0;
  std::vector<double> term1;
  Matrix term2;
  std::vector<std::string> lines;
};

TermsOutput run(const TermsInput& in) {
  TermsOutput out;
  out.term1.assign(in.p1, kSentinel);
  out.term2 = Matrix(in.p1, in.term2_columns, kSentinel);
  ErrorRecord record;
  out.result = reference::fast_terms(
      in.n1, in.p1, in.n2, in.p20, in.p21, in.K2, in.nGrid, reference::cvview(in.btY1),
      in.H20.cview(), in.H21.cview(), in.levels2.cview(), reference::cvview(in.beta1hat),
      reference::cvview(in.beta2hat), in.designM1.cview(), reference::ciview(in.status),
      in.sigma1n.cview(), in.sigma2n.cview(), in.gamma.cview(), reference::cvview(in.btBeta1stS),
      reference::cvview(in.btBeta2ndS), reference::vview(out.term1), out.term2.view(), record);
  out.lines = testing_support::record_lines(record);
  return out;
}

void expect_close(double actual, double expected, double tol) {
  EXPECT_LE(std::fabs(actual - expected), tol * std::max(1.0, std::fabs(expected)))
      << actual << " vs " << expected;
}

void expect_untouched(const TermsOutput& out) {
  for (double v : out.term1) EXPECT_EQ(v, kSentinel);
  for (double v : out.term2.data) EXPECT_EQ(v, kSentinel);
}

const std::vector<std::string> kSingularLines = {
    "Matrix apparently singular", "The denominator is zero when calculate indicator 1",
    "as sigma2n is singular, please try a larger NBOOTSTRAP2 !",
    "OCCURRED IN: svd in MOD calculateTerms"};

TEST(CalculateTerms, WorkedExamples) {
  struct Case {
    double sigma2n;
    double term1;
    std::vector<double> term2;
  };
  // Hand-worked: M = 1.5, S1 = 0.5, S2 = 0.2, t = -0.25; T = 1.5625 with sigma2n 4 (above the
  // threshold 1.5272: S3 = -0.25) and 0.78125 with 8 (grid: S4 = 0.75, -0.75, -0.25).
  const Case cases[] = {{4.0, 0.9, {0.0, 0.0, 0.0}}, {8.0, 1.4, {1.5, -1.5, -0.5}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sigma2n);
    TermsInput in;
    in.sigma2n(1, 1) = c.sigma2n;
    const TermsOutput out = run(in);
    ASSERT_EQ(out.result, 0);
    EXPECT_TRUE(out.lines.empty());
    const double ulps = 4 * std::numeric_limits<double>::epsilon();
    expect_close(out.term1[0], c.term1, ulps);
    for (int g = 1; g <= 3; ++g) expect_close(out.term2(1, g), c.term2[g - 1], ulps);
  }
}

TEST(CalculateTerms, ThresholdIsLogLogOfStage2SizeInSinglePrecision) {
  const struct {
    int32_t n2;
    double approx;
  } cases[] = {{2, -0.3665129}, {3, 0.0940478}, {100, 1.5271796}, {1, 0.0}, {0, 0.0}, {-3, 0.0}};
  for (const auto& c : cases) {
    const double lambda = indicator_threshold(c.n2);
    EXPECT_NEAR(lambda, c.approx, 1e-6) << c.n2;
    EXPECT_EQ(static_cast<double>(static_cast<float>(lambda)), lambda) << c.n2;
  }
}

TEST(CalculateTerms, StatisticEqualToThresholdGoesToGrid) {
  TermsInput in;
  in.btBeta2ndS = {1.2, 1.0};  // t = 1, so T = N2 / sigma2n
  const double lambda = indicator_threshold(in.n2);
  const double N2 = in.n2;
  double equal = N2 / lambda;
  for (int step = 0; step < 64 && N2 / equal != lambda; ++step) {
    equal = std::nextafter(equal, N2 / equal > lambda ? 1e300 : 0.0);
  }
  ASSERT_EQ(N2 * 1.0 * 1.0 / equal, lambda) << "no denominator gives the threshold exactly";
  double above = equal;
  while (N2 / above <= lambda) above = std::nextafter(above, 0.0);

  in.sigma2n(1, 1) = equal;
  const TermsOutput on_grid = run(in);
  in.sigma2n(1, 1) = above;
  const TermsOutput screened_out = run(in);
  ASSERT_EQ(on_grid.result, 0);
  ASSERT_EQ(screened_out.result, 0);
  // S1 + S2 = 0.7 in both; S3 = max(-1, 1) - max(-0.5, 0.5) = 0.5 only above the threshold.
  expect_close(on_grid.term1[0], 2 * 0.7, 1e-15);
  expect_close(screened_out.term1[0], 2 * 1.2, 1e-15);
  bool any_grid_value = false;
  for (double v : on_grid.term2.data) any_grid_value = any_grid_value || v != 0.0;
  EXPECT_TRUE(any_grid_value);
  for (double v : screened_out.term2.data) EXPECT_EQ(v, 0.0);
}

TEST(CalculateTerms, DenominatorMustExceedFloor) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double denominator;
    bool fails;
  } cases[] = {
      {1e-15, true}, {std::nextafter(1e-15, 1.0), false}, {0.0, true}, {-2.0, true}, {nan, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.denominator);
    TermsInput in;
    in.sigma2n(1, 1) = c.denominator;
    const TermsOutput out = run(in);
    if (c.fails) {
      EXPECT_EQ(out.result, -1);
      EXPECT_EQ(out.lines, kSingularLines);
      expect_untouched(out);
    } else {
      EXPECT_EQ(out.result, 0);
      EXPECT_TRUE(out.lines.empty());
    }
  }
}

// Two subjects with a tailoring variable h: x = (h, 1) and with sigma2n = [[1, -1], [-1, 1]] the
// denominator is (h - 1)^2, so h = 1 fails whichever sample the subject is in.
TEST(CalculateTerms, EverySubjectsDenominatorIsChecked) {
  for (int32_t outside : {0, 1}) {
    SCOPED_TRACE(outside);
    TermsInput in;
    in.n1 = 2;
    in.p21 = 1;
    in.btY1 = {0.5, 0.7};
    in.status = {0, outside};
    in.H20 = Matrix(2, 0);
    in.H21 = Matrix(2, 1);
    in.H21.data = {3.0, 1.0};
    in.designM1 = Matrix(2, 1, 1.0);
    in.sigma2n = Matrix(2, 2);
    in.sigma2n.data = {1.0, -1.0, -1.0, 1.0};
    in.gamma = Matrix(5, 2, 0.1);
    in.term2_columns = 5;
    in.beta2hat = {1.0, 0.1, 0.2, 0.3};
    in.btBeta2ndS = {1.1, 0.0, 0.1, 0.2};
    const TermsOutput out = run(in);
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.lines, kSingularLines);
    expect_untouched(out);
  }
}

TEST(CalculateTerms, StageTwoSampleOfAtMostOneSkipsScreening) {
  for (int32_t n2 : {1, 0}) {
    SCOPED_TRACE(n2);
    TermsInput in;
    in.n2 = n2;
    in.sigma2n(1, 1) = 0.0;  // would fail if any statistic were computed
    const TermsOutput out = run(in);
    ASSERT_EQ(out.result, 0);
    expect_close(out.term1[0], 2 * 0.5, 1e-15);  // sigma1n * S1 only
    for (double v : out.term2.data) EXPECT_EQ(v, 0.0);
  }
}

TEST(CalculateTerms, SingleStageTwoTreatmentHasZeroDenominator) {
  TermsInput in;
  in.K2 = 1;  // d2 = 0: every x_i is empty
  in.levels2 = Matrix(0, 1);
  in.sigma2n = Matrix(0, 0);
  in.gamma = Matrix(3, 0);
  in.beta2hat = {1.0};
  in.btBeta2ndS = {1.2};
  in.term2_columns = 2;
  const TermsOutput out = run(in);
  EXPECT_EQ(out.result, -1);
  EXPECT_EQ(out.lines, kSingularLines);
}

// A subject outside the stage-2 sample enters only the first sum, with its own outcome; whatever
// its stage-2 covariates hold does not reach the result.
TEST(CalculateTerms, OutsideSubjectsStage2ValuesDoNotMatter) {
  TermsInput in;
  in.n1 = 3;
  in.p1 = 2;
  in.p20 = 1;
  in.p21 = 1;
  in.n2 = 40;
  in.btY1 = {1.0, -2.0, 0.5};
  in.status = {0, 1, 0};
  in.H20 = Matrix(3, 1);
  in.H20.data = {0.3, 0.0, -0.8};
  in.H21 = Matrix(3, 1);
  in.H21.data = {-0.4, 0.0, 1.3};
  in.designM1 = Matrix(3, 2);
  in.designM1.data = {1.0, 1.0, 1.0, 0.5, -1.0, 2.0};
  in.sigma1n = Matrix(2, 2);
  in.sigma1n.data = {2.0, 0.3, 0.3, 1.5};
  in.sigma2n = Matrix(2, 2);
  in.sigma2n.data = {3.0, 0.4, 0.4, 2.0};
  in.gamma = Matrix(5, 2);
  in.gamma.data = {-1.0, 1.0, -1.0, 1.0, 0.0, -0.5, -0.5, 0.5, 0.5, 0.2};
  in.term2_columns = 5;
  in.beta1hat = {0.2, -0.1};
  in.btBeta1stS = {0.25, -0.05};
  in.beta2hat = {1.0, 0.3, 0.1, 0.2, -0.1};
  in.btBeta2ndS = {1.1, 0.2, 0.15, 0.05, 0.3};
  const TermsOutput clean = run(in);
  ASSERT_EQ(clean.result, 0);

  in.H20(2, 1) = std::numeric_limits<double>::quiet_NaN();
  in.H21(2, 1) = 7.5;
  const TermsOutput dirty = run(in);
  ASSERT_EQ(dirty.result, 0);
  EXPECT_EQ(dirty.term1, clean.term1);
  EXPECT_EQ(dirty.term2.data, clean.term2.data);
}

TEST(CalculateTerms, GridCountIsWrapping32BitPower) {
  const struct {
    int32_t nGrid, d2, G;
    int64_t rows;
  } cases[] = {{10, 2, 100, 101}, {3, 2, 9, 10},
               {10, 0, 1, 2},     {1, 7, 1, 2},
               {0, 3, 0, 1},      {2, 31, std::numeric_limits<int32_t>::min(), 0},
               {2, 32, 0, 1},     {46341, 2, -2147479015, 0},
               {-1, 3, -1, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(grid_point_count(c.nGrid, c.d2), c.G) << c.nGrid << "^" << c.d2;
    EXPECT_EQ(grid_row_count(c.G), c.rows) << c.G;
  }
  EXPECT_EQ(grid_row_count(std::numeric_limits<int32_t>::max()), 0);
}

TEST(CalculateTerms, WrappedGridLeavesGridTermWithoutColumns) {
  TermsInput in;
  in.nGrid = 46341;  // 46341^1 is fine; give d2 = 2 through a tailoring variable
  in.p21 = 1;
  in.H21 = Matrix(1, 1, 0.5);
  in.sigma2n = Matrix(2, 2);
  in.sigma2n.data = {8.0, 0.0, 0.0, 8.0};
  in.gamma = Matrix(0, 2);
  in.beta2hat = {1.0, 0.0, 0.2, 0.5};
  in.btBeta2ndS = {1.2, 0.0, 0.1, -0.25};
  in.term2_columns = 0;
  const TermsOutput out = run(in);
  ASSERT_EQ(out.result, 0);
  // M = 1 + 0.6 and S1 = 0.6; S2 = 0.2; t = -0.2 and x' sigma2n x = 10 give T = 0.4, below the
  // threshold, so the subject belongs to the grid term, which has no columns.
  expect_close(out.term1[0], 2 * (0.6 + 0.2), 1e-15);
}

#ifdef KESTRION_FAULT_INJECTION
TEST(CalculateTerms, AllocationFailureOfEachWorkArray) {
  const struct {
    const char* description;
    const char* label;
  } arrays[] = {{"calculateTerms: indicator1", "dbl1_alloc"},
                {"calculateTerms: denominator", "dbl1_alloc"},
                {"calculateTerms: indicator2", "dbl1_alloc"},
                {"calculateTerms: btH2Matrix", "dbl2_alloc"},
                {"calculateTerms: term1TmpArray", "dbl1_alloc"},
                {"calculateTerms: term2TmpArray", "dbl1_alloc"},
                {"calculateTerms: term3TmpArray", "dbl1_alloc"},
                {"calculateTerms: term4TmpArray", "dbl2_alloc"},
                {"calculateTerms: betaDiff", "dbl1_alloc"}};
  int64_t n = 0;
  for (const auto& a : arrays) {
    SCOPED_TRACE(a.description);
    fault::fail_nth_allocation(++n);
    const TermsOutput out = run(TermsInput{});
    fault::fail_nth_allocation(0);
    EXPECT_EQ(out.result, -1);
    const std::vector<std::string> expected = {
        "Unable to allocate memory for object", a.description,
        std::string("OCCURRED IN: ") + a.label + " in MOD dynamic_allocation"};
    EXPECT_EQ(out.lines, expected);
    expect_untouched(out);
  }
}
#endif

}  // namespace
}  // namespace kestrion
