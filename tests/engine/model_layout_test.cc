// The public model layout: the sizes every layer takes from one shape, and the design's columns.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kestrion_model.h"
#include "kestrion_plan.h"

namespace kestrion {
namespace {

TEST(ModelShape, SizesMatchHandCountedCoefficients) {
  // p1 counts intercept + MAIN1 + TAILOR1 + (K1-1) x TAILOR1 + (K1-1) treatment columns.
  const struct {
    ModelShape shape;
    int32_t p1, p2, d2, offset;
  } cases[] = {
      {{}, 2, 2, 1, 1},                     // intercept and treatment only
      {{1, 1, 1, 1, 2, 2}, 5, 5, 2, 3},     // the one-variable-per-list study
      {{3, 2, 0, 4, 4, 3}, 15, 15, 10, 5},  // 1+3+2+3*2+3 and 1+0+4+2*4+2
      {{0, 0, 5, 0, 2, 2}, 2, 7, 1, 6},     // MAIN2 only
  };
  for (const auto& c : cases) {
    const ModelShape& s = c.shape;
    SCOPED_TRACE(std::to_string(s.p10) + "," + std::to_string(s.p11) + "," + std::to_string(s.p20) +
                 "," + std::to_string(s.p21) + "," + std::to_string(s.K1) + "," +
                 std::to_string(s.K2));
    EXPECT_EQ(s.p1(), c.p1);
    EXPECT_EQ(s.p2(), c.p2);
    EXPECT_EQ(s.d2(), c.d2);
    EXPECT_EQ(s.stage2_offset(), c.offset);
    EXPECT_EQ(s.stage2_offset() + s.d2(), s.p2());  // the d2 entries end the stage-2 vector
    EXPECT_EQ(s.p1<double>(), c.p1);
  }
  // A shape whose sizes do not fit 32 bits is still counted exactly in the plan's type.
  constexpr ModelShape huge{.p10 = 7, .p11 = 60000, .p20 = 0, .p21 = 70000, .K1 = 60000, .K2 = 3};
  EXPECT_EQ(huge.p1<double>(), 3600060007.0);
  EXPECT_EQ(huge.p1<int64_t>(), 3600060007);
  EXPECT_EQ(huge.p2<double>(), 210003.0);
  EXPECT_EQ(huge.d2<int64_t>(), 140002);
  static_assert(ModelShape{.p10 = 1, .p11 = 1}.p1() == 5, "usable in constant expressions");
}

TEST(ModelShape, MemoryPlanReadsTheShapeOfItsSizes) {
  IntervalSizes sizes;
  static_cast<ModelShape&>(sizes) = ModelShape{.p10 = 1, .p11 = 1, .p20 = 1, .p21 = 2};
  sizes.n1 = 300;
  sizes.n2 = 150;
  sizes.nBootstrap1 = 1000;
  sizes.nBootstrap2 = 1000;
  sizes.nGrid = 10;
  // d2 = 3: 10**3 grid points and the centre.
  EXPECT_EQ(plan_intervals(sizes).rows, 1001);
  sizes.K2 = 3;  // d2 = 6
  EXPECT_EQ(plan_intervals(sizes).rows, 1000001);
}

TEST(DesignRow, ColumnsFollowThePublishedOrder) {
  const std::vector<double> main = {2.0, 3.0};
  const std::vector<double> tailor = {5.0, 7.0};
  const std::vector<double> treatment = {-1.0, 11.0};
  const struct {
    int32_t p_main, p_tailor, columns;
    std::vector<double> row;
  } cases[] = {
      {2, 2, 2, {1, 2, 3, 5, 7, -5, -7, 55, 77, -1, 11}},
      {2, 2, 1, {1, 2, 3, 5, 7, -5, -7, -1}},
      {0, 1, 2, {1, 5, -5, 55, -1, 11}},
      {1, 0, 1, {1, 2, -1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.p_main) + " main, " + std::to_string(c.p_tailor) + " tailor, " +
                 std::to_string(c.columns) + " treatment columns");
    std::vector<double> row;
    design_row(
        c.p_main, [&](int32_t k) { return main[k]; }, c.p_tailor,
        [&](int32_t j) { return tailor[j]; }, c.columns, [&](int32_t t) { return treatment[t]; },
        [&](int64_t column, double value) {
          EXPECT_EQ(column, static_cast<int64_t>(row.size()));
          row.push_back(value);
        });
    EXPECT_EQ(row, c.row);
    const ModelShape stage{.p10 = c.p_main, .p11 = c.p_tailor, .K1 = c.columns + 1};
    EXPECT_EQ(static_cast<int32_t>(row.size()), stage.p1());
  }
}

}  // namespace
}  // namespace kestrion
