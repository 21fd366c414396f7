// The option ranges that the procedure and runkestrion share.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "kestrion_options.h"
#include "kestrion_plan.h"

namespace kestrion {
namespace {

std::string text(const char* problem) {
  return problem == nullptr ? "" : problem;
}

TEST(IntervalOptions, GridRowsCountInThirtyTwoBitsAndSaturate) {
  const struct {
    int32_t nGrid, d2;
    int64_t rows;
    bool too_large;
  } cases[] = {
      {10, 2, 101, false},
      {46340, 2, 2147395601, false},  // the largest square below the limit
      {46341, 2, kLargestGridRows + 1, true},
      {2147483646, 1, kLargestGridRows, false},
      {2147483647, 1, kLargestGridRows + 1, true},
      {2, 31, kLargestGridRows + 1, true},  // 2**31 + 1 rows
      {2, 30, 1073741825, false},
      {1, 1000, 2, false},
      {3, 0, 2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.nGrid) + "**" + std::to_string(c.d2));
    EXPECT_EQ(grid_rows(c.nGrid, c.d2), c.rows);
    EXPECT_EQ(grid_too_large(c.nGrid, c.d2), c.too_large);
  }
}

TEST(IntervalOptions, EachRangeHasOneBoundaryAndOneMessage) {
  EXPECT_EQ(text(nbootstrap1_problem(1)), "");
  EXPECT_EQ(text(nbootstrap1_problem(0)), "NBOOTSTRAP1 must be positive.");
  EXPECT_EQ(text(nbootstrap2_problem(-5)), "NBOOTSTRAP2 must be positive.");
  EXPECT_EQ(text(ngrid_problem(1)), "");
  EXPECT_EQ(text(ngrid_problem(0)), "NGRID must be positive.");
  EXPECT_EQ(text(ngrid_for_intervals_problem(1)),
            "NGRID must be at least 2 when DERIVECI is specified.");
  EXPECT_EQ(text(ngrid_for_intervals_problem(2)), "");
  EXPECT_EQ(text(alpha_problem(0.0)), "ALPHA must be positive.");
  EXPECT_EQ(text(alpha_problem(1.0)), "ALPHA must be less than 1.");
  EXPECT_EQ(text(alpha_problem(0.999)), "");
  EXPECT_EQ(text(grid_scale_problem(0.0)), "GRID_SCALE must be positive.");
  EXPECT_TRUE(seed_in_range(1) && seed_in_range(kLargestSeed));
  EXPECT_FALSE(seed_in_range(0) || seed_in_range(kLargestSeed + 1.0));
}

TEST(IntervalOptions, TheLibraryRefusesInItsOwnOrderAndKeepsSmallReplicateCounts) {
  IntervalOptions o;
  EXPECT_EQ(text(interval_arguments_problem(o, 2)), "");
  o.nBootstrap1 = 0;  // ends in "Too many bootstrap loops have collinearity." instead
  o.gridScale = -1.0;
  EXPECT_EQ(text(interval_arguments_problem(o, 2)), "");
  o.alpha = 2.0;
  EXPECT_EQ(text(interval_arguments_problem(o, 2)), "ALPHA must be less than 1.");
  o.nGrid = 46341;
  EXPECT_EQ(text(interval_arguments_problem(o, 2)), kGridTooLargeFormat);
  o.nGrid = 0;
  EXPECT_EQ(text(interval_arguments_problem(o, 2)),
            "NGRID must be at least 2 when DERIVECI is specified.");
  o.nBootstrap2 = 0;
  EXPECT_EQ(text(interval_arguments_problem(o, 2)), "NBOOTSTRAP2 must be positive.");
}

}  // namespace
}  // namespace kestrion

namespace kestrion {
namespace {

IntervalSizes sizes(int32_t n1, int32_t p21, int32_t nB1, int32_t nC) {
  IntervalSizes s;
  s.n1 = n1;
  s.n2 = n1 / 2;
  s.p10 = 1;
  s.p11 = 1;
  s.p20 = 1;
  s.p21 = p21;
  s.nC = nC;
  s.nBootstrap1 = nB1;
  s.nBootstrap2 = 1000;
  s.nGrid = 10;
  s.threads = 2;
  return s;
}

TEST(IntervalPlan, LargeGridsGoInBlocksThatFillTheBudget) {
  // W2: 7 targets x 1000 replicates x 1001 rows is 56 MB, over the 48 MB budget: two blocks.
  const IntervalPlan w2 = plan_intervals(sizes(300, 2, 1000, 2));
  EXPECT_EQ(w2.rows, 1001);
  EXPECT_TRUE(w2.blocks);
  EXPECT_EQ(w2.block_rows, static_cast<int64_t>(kStoreBudget / (1000 * 7 * 8)));
  // W1: 101 rows fit at once.
  const IntervalPlan w1 = plan_intervals(sizes(300, 1, 1000, 0));
  EXPECT_FALSE(w1.blocks);
  EXPECT_EQ(w1.block_rows, 101);
  // Four TAILOR2 variables: 100001 rows in blocks, and far less memory than the store of all.
  const IntervalPlan w5 = plan_intervals(sizes(400, 4, 1000, 0));
  EXPECT_TRUE(w5.blocks);
  EXPECT_LT(w5.bytes, 256.0 * 1024 * 1024);
  EXPECT_GT(1000.0 * 5 * 100001 * 8, 10 * w5.bytes);
  // A million subjects: keeping every resample would cost more than the whole store.
  const IntervalPlan big = plan_intervals(sizes(1000000, 2, 1000, 0));
  EXPECT_FALSE(big.blocks);
  EXPECT_EQ(big.block_rows, 1001);
  EXPECT_GE(big.batch, 2);
  EXPECT_LE(big.batch * 4.0 * 1000000, kBatchIndexBudget);
}

TEST(IntervalPlan, ThreadsFollowCoresWithinTheirCaps) {
  const int32_t usable = usable_cores();
  EXPECT_GE(usable, 1);
  EXPECT_EQ(interval_threads(0, 1000), std::min(usable, 1000));
  EXPECT_EQ(interval_threads(-3, 1000), std::min(usable, 1000));
  EXPECT_EQ(interval_threads(1, 1000), 1);
  EXPECT_EQ(interval_threads(3, 2), 2);  // no more threads than replicates
  EXPECT_EQ(interval_threads(1000000, 1000000), 4 * usable);
}

}  // namespace
}  // namespace kestrion
