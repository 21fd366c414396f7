#include "engine/calculate_ci.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/uniform_generator.h"
#include "numerics/dynamic_allocation.h"
#include "reference_engine.h"

namespace kestrion {
namespace {

using reference::CiOptions;
using reference::CiResult;
using reference::kUnwritten;
using reference::Study;
using reference::StudyShape;

class CalculateCi : public ::testing::Test {
 protected:
  void TearDown() override { set_analysis_seed(0); }

  static void seed(int32_t value) {
    set_analysis_seed(value);
    start_analysis_stream();
  }
  static Study study(const StudyShape& shape, uint64_t data_seed) {
    Study st;
    EXPECT_TRUE(reference::make_study(shape, data_seed, st)) << "full-data fit failed";
    return st;
  }
  static void expect_untouched(const CiResult& r) {
    for (double v : r.upper) EXPECT_EQ(v, kUnwritten);
    for (double v : r.lower) EXPECT_EQ(v, kUnwritten);
  }
  static void expect_ordered(const CiResult& r) {
    ASSERT_EQ(r.upper.size(), r.lower.size());
    for (size_t k = 0; k < r.upper.size(); ++k) {
      EXPECT_TRUE(std::isfinite(r.upper[k]) && std::isfinite(r.lower[k])) << k;
      EXPECT_GE(r.upper[k], r.lower[k]) << k;
    }
  }
};

TEST_F(CalculateCi, OrderStatisticRanks) {
  const struct {
    int32_t nKept, low, high;
  } cases[] = {{1000, 25, 975}, {999, 24, 975}, {990, 24, 966}, {500, 12, 488},
               {100, 2, 98},    {10, 1, 10},    {3, 1, 3}};
  for (const auto& c : cases) {
    const OrderStatisticRanks ranks = order_statistic_ranks(c.nKept, 0.05);
    EXPECT_EQ(ranks.low, c.low) << c.nKept;
    EXPECT_EQ(ranks.high, c.high) << c.nKept;
  }
}

TEST_F(CalculateCi, GridVariesFirstDimensionFastestAndEndsAtTheCentre) {
  // d2 = 2, nGrid = 3: G = 9. halfWidth 0.5, sqrt(n1) = 2, centre (2 * 0.25, 2 * -1).
  reference::Matrix gamma(10, 2, kUnwritten);
  const std::vector<double> beta2hat = {9.0, 9.0, 0.25, -1.0};
  build_grid(gamma.view(), 9, 2, 3, 0.5, 4, reference::cvview(beta2hat), 2);
  const struct {
    int row;
    double first, second;
  } rows[] = {{1, 0.0, -2.5}, {2, 0.5, -2.5}, {6, 1.0, -2.0}, {9, 1.0, -1.5}, {10, 0.5, -2.0}};
  for (const auto& r : rows) {
    EXPECT_DOUBLE_EQ(gamma(r.row, 1), r.first) << r.row;
    EXPECT_DOUBLE_EQ(gamma(r.row, 2), r.second) << r.row;
  }
  for (double v : gamma.data) EXPECT_NE(v, kUnwritten);
}

TEST_F(CalculateCi, RefusesArgumentsWithoutDefinedBehaviour) {
  const Study st = study(StudyShape{}, 7);  // one TAILOR2 variable: d2 = 2
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    int32_t nBootstrap2, nGrid;
    double alpha;
    const char* line;
  } cases[] = {
      {0, 3, 0.05, "NBOOTSTRAP2 must be positive."},
      {-4, 3, 0.05, "NBOOTSTRAP2 must be positive."},
      {10, 1, 0.05, "NGRID must be at least 2 when DERIVECI is specified."},
      {10, 0, 0.05, "NGRID must be at least 2 when DERIVECI is specified."},
      {10, 46341, 0.05, "The grid of NGRID**2 points is too large; lower NGRID."},
      {10, 3, 0.0, "ALPHA must be positive."},
      {10, 3, nan, "ALPHA must be positive."},
      {10, 3, 1.0, "ALPHA must be less than 1."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    CiOptions options;
    options.nBootstrap2 = c.nBootstrap2;
    options.nGrid = c.nGrid;
    options.alpha = c.alpha;
    std::vector<std::string> lines;
    const CiResult r = reference::run_fast_ci(st, options, &lines);
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(lines, std::vector<std::string>{c.line});
    EXPECT_EQ(r.nCollinear, 0);
    expect_untouched(r);
  }
}

// Terabytes of kept replicates: refused before anything is allocated, whatever the machine.
TEST_F(CalculateCi, ARunLargerThanTheMachineIsRefusedBeforeItAllocates) {
  const Study st = study(StudyShape{}, 7);
  CiOptions options;
  options.nBootstrap1 = 2147483647;
  seed(3);
  std::vector<std::string> lines;
  const CiResult r = reference::run_fast_ci(st, options, &lines);
  EXPECT_TRUE(r.failed);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Unable to allocate memory for object");
  EXPECT_EQ(lines[1].rfind("The intervals need about ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[1].substr(lines[1].size() - 14), " GB of memory;") << lines[1];
  EXPECT_EQ(lines[2].rfind("this machine has ", 0), 0u) << lines[2];
  expect_untouched(r);
}

TEST_F(CalculateCi, NeedsAtLeastThreeKeptReplicates) {
  const Study st = study(StudyShape{}, 11);
  for (int32_t nBootstrap1 : {0, 2, 3}) {
    SCOPED_TRACE(nBootstrap1);
    CiOptions options;
    options.nBootstrap1 = nBootstrap1;
    seed(4242);
    std::vector<std::string> lines;
    const CiResult r = reference::run_fast_ci(st, options, &lines);
    EXPECT_EQ(r.nCollinear, 0);
    if (nBootstrap1 < 3) {
      EXPECT_TRUE(r.failed);
      EXPECT_EQ(lines, (std::vector<std::string>{"Matrix apparently singular",
                                                 "Too many bootstrap loops have collinearity."}));
      expect_untouched(r);
    } else {
      EXPECT_FALSE(r.failed);
      EXPECT_TRUE(lines.empty());
      expect_ordered(r);
    }
  }
}

TEST_F(CalculateCi, CollinearReplicatesAreCountedAndLeftOut) {
  StudyShape shape;
  shape.rare_binary_main1 = true;
  const Study st = study(shape, 23);
  CiOptions options;
  options.nBootstrap1 = 40;
  seed(99);
  std::vector<std::string> lines;
  const CiResult fast = reference::run_fast_ci(st, options, &lines);
  seed(99);
  const CiResult slow = reference::calculate_ci(st, options);
  ASSERT_FALSE(fast.failed);
  EXPECT_TRUE(lines.empty());
  EXPECT_GT(fast.nCollinear, 0);
  EXPECT_EQ(fast.nCollinear, slow.nCollinear);
  for (size_t k = 0; k < fast.upper.size(); ++k) {
    EXPECT_NEAR(fast.upper[k], slow.upper[k], 1e-12 * std::max(1.0, std::fabs(slow.upper[k])));
    EXPECT_NEAR(fast.lower[k], slow.lower[k], 1e-12 * std::max(1.0, std::fabs(slow.lower[k])));
  }
  expect_ordered(fast);
}

TEST_F(CalculateCi, RankDeficientCovarianceReplicateEndsTheCall) {
  StudyShape shape;
  shape.rare_binary_main2 = true;
  const Study st = study(shape, 31);
  CiOptions options;
  options.nBootstrap2 = 80;
  seed(5);
  std::vector<std::string> lines;
  const CiResult r = reference::run_fast_ci(st, options, &lines);
  EXPECT_TRUE(r.failed);
  // The rare MAIN2 indicator (column 2) is all zeros in the failing replicate.
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Matrix apparently singular", "Design matrix doesn't have full rank.",
                       "OCCURRED IN: svdr_l2 in MOD regression",
                       "Rank-deficient fit: covariance replicate 9; dependent columns 2"}));
  EXPECT_EQ(r.nCollinear, 0);
  expect_untouched(r);
}

TEST_F(CalculateCi, SingleCovarianceReplicateLeavesSigma2nSingular) {
  const Study st = study(StudyShape{}, 13);
  CiOptions options;
  options.nBootstrap2 = 1;
  seed(17);
  std::vector<std::string> lines;
  const CiResult r = reference::run_fast_ci(st, options, &lines);
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(lines,
            (std::vector<std::string>{"Matrix apparently singular",
                                      "The denominator is zero when calculate indicator 1",
                                      "as sigma2n is singular, please try a larger NBOOTSTRAP2 !",
                                      "OCCURRED IN: svd in MOD calculateTerms"}));
  expect_untouched(r);
}

#ifdef KESTRION_FAULT_INJECTION
// Every checked allocation of a small analysis, made to fail in turn: the call ends with that
// allocation's report, nothing is counted as collinear (a fit that could not get memory is not a
// collinear resample), and the limits are not written. LeakSanitizer checks the releases.
// With one thread and with two, every checked allocation is made on the calling thread in one
// order, and each failing one ends the call with its own report.
TEST_F(CalculateCi, EveryAllocationFailureEndsTheCallCleanly) {
  StudyShape shape;
  shape.n1 = 30;
  shape.nC = 1;
  const Study st = study(shape, 3);
  std::vector<std::pair<std::string, std::string>> seen_with_one;
  for (const int32_t cores : {1, 2}) {
    SCOPED_TRACE(cores);
    CiOptions options;
    options.nBootstrap1 = 3;
    options.nBootstrap2 = 2;
    options.nGrid = 2;
    options.cores = cores;

    seed(8);
    fault::reset_counter();
    const CiResult clean = reference::run_fast_ci(st, options);
    const int64_t total = fault::allocation_count();
    ASSERT_FALSE(clean.failed);
    ASSERT_EQ(clean.nCollinear, 0);

    std::vector<std::pair<std::string, std::string>> first_seen;  // description, label
    for (int64_t n = 1; n <= total; ++n) {
      SCOPED_TRACE(n);
      seed(8);
      fault::fail_nth_allocation(n);
      std::vector<std::string> lines;
      const CiResult r = reference::run_fast_ci(st, options, &lines);
      fault::fail_nth_allocation(0);
      EXPECT_TRUE(r.failed);
      EXPECT_EQ(r.nCollinear, 0);
      expect_untouched(r);
      const auto at = std::find(lines.begin(), lines.end(), "Unable to allocate memory for object");
      ASSERT_TRUE(at != lines.end());
      const auto index = static_cast<size_t>(at - lines.begin());
      ASSERT_LT(index + 2, lines.size());
      const std::string& description = lines[index + 1];
      const std::string& label = lines[index + 2];
      if (description.rfind("calculateCI: ", 0) == 0 &&
          std::find(first_seen.begin(), first_seen.end(), std::make_pair(description, label)) ==
              first_seen.end()) {
        first_seen.emplace_back(description, label);
      }
    }
    if (cores == 1) {
      seen_with_one = first_seen;
    } else {
      // The second thread's arrays repeat the first one's, after them.
      EXPECT_EQ(first_seen, seen_with_one);
    }
  }

  const auto entry = [](const char* name, const char* routine) {
    return std::make_pair(std::string("calculateCI: ") + name,
                          std::string("OCCURRED IN: ") + routine + " in MOD dynamic_allocation");
  };
  const std::vector<std::pair<std::string, std::string>> expected = {
      // Covariance phase: its arrays, then each thread's fit.
      entry("btDesignM2", "dbl2_alloc"),
      entry("beta2", "dbl1_alloc"),
      entry("meanBeta2", "dbl1_alloc"),
      entry("betaArray", "dbl2_alloc"),
      entry("btY2", "dbl1_alloc"),
      entry("sigma2n", "dbl2_alloc"),
      entry("fitSigma", "dbl1_alloc"),
      entry("fitU", "dbl2_alloc"),
      entry("fitV", "dbl2_alloc"),
      entry("fitScratch", "dbl1_alloc"),
      entry("fitRotations", "int1_alloc"),
      // Main phase: the shared arrays, then each thread's.
      entry("term2", "dbl3_alloc"),
      entry("upper", "dbl2_alloc"),
      entry("lower", "dbl2_alloc"),
      entry("upperBound", "dbl1_alloc"),
      entry("lowerBound", "dbl1_alloc"),
      entry("gamma", "dbl2_alloc"),
      entry("iarr", "int1_alloc"),
      entry("btIsLinear", "log1_alloc"),
      entry("keptBeta2ndS", "dbl2_alloc"),
      entry("keptSigma1n", "dbl3_alloc"),
      entry("keptTerm1", "dbl2_alloc"),
      entry("subjectTerms", "dbl2_alloc"),
      entry("btY1", "dbl1_alloc"),
      entry("btH10", "dbl2_alloc"),
      entry("btH11", "dbl2_alloc"),
      entry("btA1", "int1_alloc"),
      entry("btRespStatus", "int1_alloc"),
      entry("btInputY2", "dbl1_alloc"),
      entry("btInputH20", "dbl2_alloc"),
      entry("btInputH21", "dbl2_alloc"),
      entry("btInputA2", "int1_alloc"),
      entry("btYhat", "dbl1_alloc"),
      entry("btTreatment1", "dbl2_alloc"),
      entry("btBeta1stS", "dbl1_alloc"),
      entry("btBeta2ndS", "dbl1_alloc"),
      entry("btDesignM1", "dbl2_alloc"),
      entry("sigma1n", "dbl2_alloc"),
      entry("term1", "dbl1_alloc"),
      entry("term2", "dbl2_alloc"),
      entry("btTreatment2", "dbl2_alloc"),
      entry("btH20", "dbl2_alloc"),
      entry("btH21", "dbl2_alloc"),
      entry("btA2", "int1_alloc"),
      entry("term2", "dbl1_alloc"),
  };
  EXPECT_EQ(seen_with_one, expected);
}
#endif

}  // namespace
}  // namespace kestrion
