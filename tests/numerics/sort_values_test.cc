// The sort without the permutation must leave the values in exactly the order that the sort with
// the permutation gives them: the interval limits are read from fixed positions of that order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "numerics/dynamic_allocation.h"
#include "numerics/sort.h"

namespace kestrion {
namespace {

std::vector<uint64_t> bits_of(const std::vector<double>& values) {
  std::vector<uint64_t> bits(values.size());
  if (!values.empty()) std::memcpy(bits.data(), values.data(), values.size() * sizeof(double));
  return bits;
}

TEST(QsortDoubleValues, SameOrderAsTheSortWithThePermutation) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::mt19937_64 engine(11);
  const auto random = [&](int n, int distinct, bool signed_zeros, bool nans) {
    std::vector<double> v(n);
    for (double& x : v) {
      const uint64_t r = engine();
      x = static_cast<double>(r % distinct) - distinct / 2;
      if (signed_zeros && x == 0.0 && (r >> 20) % 2 == 1) x = -0.0;
      if (nans && (r >> 30) % 9 == 0) x = nan;
    }
    return v;
  };
  struct Case {
    const char* name;
    std::vector<double> values;
  };
  std::vector<Case> cases = {
      {"empty", {}},
      {"one", {2.5}},
      {"seven", {3, 7, 1, 6, 2, 5, 4}},
      {"eight", {8, 3, 7, 1, 6, 2, 5, 4}},
      {"ties and signed zeros", random(999, 5, true, false)},
      {"with NaNs", random(500, 50, false, true)},
      {"distinct values", random(1000, 1 << 30, false, false)},
  };
  std::vector<double> ascending(1000);
  for (int i = 0; i < 1000; ++i) ascending[i] = i;
  cases.push_back({"sorted", ascending});
  cases.push_back({"reverse", std::vector<double>(ascending.rbegin(), ascending.rend())});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int32_t n = static_cast<int32_t>(c.values.size());
    std::vector<double> with = c.values;
    std::vector<double> without = c.values;
    std::vector<int32_t> permutation(c.values.size());
    ErrorRecord record;
    ASSERT_EQ(
        qsort_double(make_view(with.data(), n), make_view(permutation.data(), n), n, true, record),
        0);
    ASSERT_EQ(qsort_double(make_view(without.data(), n), n, record), 0);
    EXPECT_EQ(bits_of(without), bits_of(with));
    EXPECT_FALSE(error_occurred(record));
  }
}

TEST(SelectRanks, GivesTheValuesTheSortLeavesAtBothPositions) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::mt19937_64 engine(29);
  for (int trial = 0; trial < 300; ++trial) {
    const int n = 1 + static_cast<int>(engine() % 1200);
    const int distinct = trial % 3 == 0 ? 7 : 1 << 20;
    const bool nans = trial % 5 == 0;
    std::vector<double> values(n);
    for (double& x : values) {
      const uint64_t r = engine();
      x = nans && (r >> 40) % 11 == 0 ? nan : static_cast<double>(r % distinct) - distinct / 2;
    }
    std::vector<double> sorted = values;
    ErrorRecord record;
    ASSERT_EQ(qsort_double(make_view(sorted.data(), n), n, record), 0);
    const int low = 1 + static_cast<int>(engine() % n);
    const int high = low + static_cast<int>(engine() % (n - low + 1));
    std::vector<double> work = values;
    const RankValues r = select_ranks(work.data(), n, low, high);
    SCOPED_TRACE(std::to_string(n) + " " + std::to_string(low) + " " + std::to_string(high));
    EXPECT_EQ(bits_of({r.low, r.high}), bits_of({sorted[low - 1], sorted[high - 1]}));
  }
}

TEST(QsortDoubleValues, StridedViewsAndShortViews) {
  // Every other element of a buffer: the values in between stay as they are.
  std::vector<double> buffer = {5, -1, 3, -1, 4, -1, 1, -1, 2, -1, 9, -1, 0, -1, 8, -1, 7};
  const DblVec strided(buffer.data(), {1}, {9}, {2});
  ErrorRecord record;
  ASSERT_EQ(qsort_double(strided, 9, record), 0);
  EXPECT_EQ(buffer,
            (std::vector<double>{0, -1, 1, -1, 2, -1, 3, -1, 4, -1, 5, -1, 7, -1, 8, -1, 9}));

  std::vector<double> three = {3, 2, 1};
  ASSERT_EQ(qsort_double(make_view(three.data(), 3), 4, record), -1);
  EXPECT_TRUE(error_occurred(record));
  EXPECT_EQ(three, (std::vector<double>{3, 2, 1}));
}

}  // namespace
}  // namespace kestrion
