// The option ranges that the procedure and runkestrion share.
#include <gtest/gtest.h>

#include <string>

#include "kestrion_options.h"

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
