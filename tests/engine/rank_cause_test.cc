#include "engine/rank_cause.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrion {
namespace {

std::vector<int32_t> every_other(int32_t from, int32_t count) {
  std::vector<int32_t> columns;
  for (int32_t k = 0; k < count; ++k) columns.push_back(from + 2 * k);
  return columns;
}

TEST(RankCause, ColumnsAsNumbersAndRuns) {
  const std::string head = "Rank-deficient fit: stage-2 fit of the data; dependent columns";
  const struct {
    std::vector<int32_t> columns;
    std::vector<std::string> lines;
  } cases[] = {
      {{3, 5}, {head + " 3 5"}},
      {{1, 2}, {head + " 1 2"}},
      {{1, 3, 4, 5}, {head + " 1 3-5"}},
      {{1, 3, 4, 5, 9, 10, 12, 13, 14, 15},
       {head + " 1 3-5 9", "Rank-deficient fit, continued: 10 12-15"}},  // 70 and 40
      {{}, {head + " unknown"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rank_cause_lines("stage-2 fit of the data", c.columns), c.lines);
  }
}

TEST(RankCause, LongListsGoOnInLinesOfSeventyAndEndWithAnEllipsis) {
  const std::vector<std::string> some =
      rank_cause_lines("covariance replicate 2147483647", every_other(101, 20));
  ASSERT_EQ(some.size(), 3u);
  EXPECT_EQ(some[0], "Rank-deficient fit: covariance replicate 2147483647; dependent columns");
  EXPECT_EQ(some[1], "Rank-deficient fit, continued: 101 103 105 107 109 111 113 115 117 119");
  EXPECT_EQ(some[2], "Rank-deficient fit, continued: 121 123 125 127 129 131 133 135 137 139");

  const std::vector<std::string> many =
      rank_cause_lines("stage-1 fit of the data", every_other(1000, 500));
  ASSERT_EQ(many.size(), static_cast<size_t>(kRankCauseLines));
  for (const std::string& line : many) EXPECT_LE(line.size(), 70u) << line;
  EXPECT_EQ(many.back().substr(many.back().size() - 4), " ...");
  EXPECT_EQ(many[1].rfind("Rank-deficient fit, continued: ", 0), 0u);
}

}  // namespace
}  // namespace kestrion
