#include "numerics/array.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace kestrion {
namespace {

TEST(View, IndicesCountFromEachDimensionsLowerBound) {
  std::vector<double> data(4 * 3);
  std::iota(data.begin(), data.end(), 0.0);
  // Rows -1..2, columns 5..7, column-major.
  const DblMat m(data.data(), {-1, 5}, {4, 3}, {1, 4});
  EXPECT_EQ(m(-1, 5), 0.0);
  EXPECT_EQ(m(2, 5), 3.0);
  EXPECT_EQ(m(0, 6), 5.0);
  EXPECT_EQ(m(2, 7), 11.0);
  EXPECT_EQ(m.upper(0), 2);
  EXPECT_EQ(m.upper(1), 7);

  const DblVec column = m.column(6);
  EXPECT_EQ(column.lower(0), -1);
  EXPECT_EQ(column(-1), 4.0);
  EXPECT_EQ(column(2), 7.0);

  const DblMat same = m.one_based();
  EXPECT_EQ(same(1, 1), 0.0);
  EXPECT_EQ(same(4, 3), 11.0);
  const ConstDblMat readable = m;
  EXPECT_EQ(readable(0, 6), 5.0);
}

TEST(View, StridesNeedNotBeContiguous) {
  std::vector<double> data(20);
  std::iota(data.begin(), data.end(), 0.0);
  // Every second row of a 10 x 2 block, as a 5 x 2 matrix.
  const DblMat rows = DblMat(data.data(), {1, 1}, {5, 2}, {2, 10});
  EXPECT_EQ(rows(3, 2), 14.0);
  EXPECT_EQ(rows.column(2)(5), 18.0);
  EXPECT_EQ(rows.size(), 10);
}

TEST(View, ColumnOfAMatrixWithoutRowsKeepsItsPointer) {
  double one = 0.0;
  const DblMat empty(&one, {1, 1}, {0, 4}, {1, 0});
  EXPECT_EQ(empty.column(3).data(), &one);
  EXPECT_EQ(empty.column(3).extent(0), 0);
  EXPECT_EQ(DblMat().column(2).data(), nullptr);
}

}  // namespace
}  // namespace kestrion
