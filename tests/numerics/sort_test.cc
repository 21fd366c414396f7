#include "numerics/sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "numerics/dynamic_allocation.h"
#include "tests/support/record_lines.h"

namespace kestrion {
namespace {

using testing_support::record_lines;

// Checks that `sorted` is ascending and that permutation maps it back onto `input`.
template <typename T>
void expect_sorted_permutation(const std::vector<T>& input, const std::vector<T>& sorted,
                               const std::vector<int32_t>& permutation) {
  ASSERT_EQ(sorted.size(), input.size());
  EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end()));
  std::vector<int32_t> seen(input.size(), 0);
  for (size_t i = 0; i < input.size(); ++i) {
    ASSERT_GE(permutation[i], 1);
    ASSERT_LE(permutation[i], static_cast<int32_t>(input.size()));
    EXPECT_EQ(input[permutation[i] - 1], sorted[i]) << i;
    ++seen[permutation[i] - 1];
  }
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int32_t s) { return s == 1; }));
}

TEST(QsortDouble, SmallAndStructuredInputs) {
  std::vector<double> ascending(1000), descending(1000), organ(1000);
  std::iota(ascending.begin(), ascending.end(), 0.0);
  std::reverse_copy(ascending.begin(), ascending.end(), descending.begin());
  for (int i = 0; i < 1000; ++i) organ[i] = std::abs(500 - i);
  struct Case {
    const char* name;
    std::vector<double> values;
  };
  const std::vector<Case> cases = {
      {"empty", {}},
      {"one", {4.0}},
      {"seven, insertion only", {3, 7, 1, 6, 2, 5, 4}},
      {"eight, one partition", {8, 3, 7, 1, 6, 2, 5, 4}},
      {"all equal", std::vector<double>(50, 1.5)},
      {"sorted 1000", ascending},
      {"reverse 1000", descending},
      {"organ pipe 1000", organ},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> values = c.values;
    std::vector<int32_t> permutation(values.size(), -7);
    const int32_t n = static_cast<int32_t>(values.size());
    ErrorRecord record;
    ASSERT_EQ(qsort_double(make_view(values.data(), n), make_view(permutation.data(), n), n, true,
                           record),
              0);
    EXPECT_FALSE(error_occurred(record));
    expect_sorted_permutation(c.values, values, permutation);
  }
}

TEST(QsortDouble, EqualValuesKeepInputOrderAndSortInPlaceIsOptional) {
  const std::vector<double> input = {2, 1, 2, 1};
  for (const bool in_place : {true, false}) {
    std::vector<double> values = input;
    std::vector<int32_t> permutation(4);
    ErrorRecord record;
    ASSERT_EQ(qsort_double(make_view(values.data(), 4), make_view(permutation.data(), 4), 4,
                           in_place, record),
              0);
    EXPECT_EQ(permutation, (std::vector<int32_t>{2, 4, 1, 3}));
    EXPECT_EQ(values, in_place ? std::vector<double>({1, 1, 2, 2}) : input);
  }
}

TEST(QsortDouble, RandomInputsAgreeWithStdSort) {
  std::mt19937_64 engine(2024);
  for (int trial = 0; trial < 60; ++trial) {
    const int32_t n = static_cast<int32_t>(engine() % 3000);
    std::vector<double> values(n);
    // Few distinct values in some trials, to exercise runs of ties in the partition.
    const int distinct = trial % 3 == 0 ? 5 : 1 << 30;
    for (double& v : values) v = static_cast<double>(engine() % distinct) - distinct / 2.0;
    const std::vector<double> input = values;
    std::vector<double> expected = values;
    std::sort(expected.begin(), expected.end());
    std::vector<int32_t> permutation(n);
    ErrorRecord record;
    ASSERT_EQ(qsort_double(make_view(values.data(), n), make_view(permutation.data(), n), n, true,
                           record),
              0);
    EXPECT_EQ(values, expected);
    expect_sorted_permutation(input, values, permutation);
  }
}

TEST(QsortDouble, NaNsGoLastInsteadOfRunningOffTheArray) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::mt19937_64 engine(5);
  std::vector<double> values(200);
  for (double& v : values) v = engine() % 7 == 0 ? nan : static_cast<double>(engine() % 100);
  const size_t nans =
      std::count_if(values.begin(), values.end(), [](double v) { return std::isnan(v); });
  std::vector<int32_t> permutation(200);
  ErrorRecord record;
  ASSERT_EQ(qsort_double(make_view(values.data(), 200), make_view(permutation.data(), 200), 200,
                         true, record),
            0);
  EXPECT_TRUE(std::is_sorted(values.begin(), values.end() - nans));
  EXPECT_TRUE(
      std::all_of(values.end() - nans, values.end(), [](double v) { return std::isnan(v); }));
}

TEST(QsortDouble, ViewsShorterThanTheCountAreRefused) {
  std::vector<double> values(3, 1.0);
  std::vector<int32_t> permutation(3);
  ErrorRecord record;
  EXPECT_EQ(
      qsort_double(make_view(values.data(), 3), make_view(permutation.data(), 3), 4, true, record),
      -1);
  EXPECT_EQ(record_lines(record),
            (std::vector<std::string>{"Sort array size does not match index array size.",
                                      "OCCURRED IN: qsort_double in MOD sort"}));
}

#ifdef KESTRION_FAULT_INJECTION
TEST(QsortDouble, StackAllocationFailureLeavesValuesUnchanged) {
  std::vector<double> values = {3, 1, 2};
  std::vector<int32_t> permutation(3);
  ErrorRecord record;
  fault::fail_nth_allocation(1);
  EXPECT_EQ(
      qsort_double(make_view(values.data(), 3), make_view(permutation.data(), 3), 3, true, record),
      -1);
  EXPECT_EQ(values, (std::vector<double>{3, 1, 2}));
  EXPECT_EQ(record_lines(record),
            (std::vector<std::string>{"Unable to allocate memory for object",
                                      "OCCURRED IN: int1_alloc in MOD dynamic_allocation",
                                      "Unable to allocate memory for object",
                                      "Unable to allocate sort stack.",
                                      "OCCURRED IN: qsort_double in MOD sort"}));
}
#endif

TEST(QsortInt, RandomInputsAgreeWithStdSort) {
  std::mt19937 engine(77);
  for (const int32_t n : {0, 1, 7, 8, 9, 100, 2500}) {
    std::vector<int32_t> values(n);
    for (int32_t& v : values) v = static_cast<int32_t>(engine()) % 50;
    const std::vector<int32_t> input = values;
    std::vector<int32_t> permutation(n);
    ErrorRecord record;
    ASSERT_EQ(
        qsort_int(make_view(values.data(), n), make_view(permutation.data(), n), n, true, record),
        0);
    expect_sorted_permutation(input, values, permutation);
  }
}

TEST(QsortStrings, OrderByKeysAndKeepEachStringsCase) {
  // Ten blank-padded 3-character strings.
  const std::string input = "b  A  a  C  c  B  ab aB Ab a  ";
  const int32_t n = 10;
  for (const bool ignore_case : {false, true}) {
    SCOPED_TRACE(ignore_case);
    std::string strings = input;
    std::vector<int32_t> permutation(n);
    ErrorRecord record;
    ASSERT_EQ(qsort_strings(strings.data(), 3, make_view(permutation.data(), n), n, true,
                            ignore_case, record),
              0);
    auto key = [&](int32_t p) {
      std::string s = input.substr((p - 1) * 3, 3);
      if (ignore_case) to_lower(s.data(), 3);
      return s;
    };
    std::vector<int32_t> reference(n);
    std::iota(reference.begin(), reference.end(), 1);
    std::stable_sort(reference.begin(), reference.end(),
                     [&](int32_t a, int32_t b) { return key(a) < key(b); });
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(key(permutation[i]), key(reference[i])) << i;
      // Sorted in place, each string keeps its own case.
      EXPECT_EQ(strings.substr(i * 3, 3), input.substr((permutation[i] - 1) * 3, 3));
    }
  }
  // Ignoring case, "a" and "A" are equal keys: insertion keeps their input order.
  std::string strings = "a  A  ";
  std::vector<int32_t> permutation(2);
  ErrorRecord record;
  ASSERT_EQ(
      qsort_strings(strings.data(), 3, make_view(permutation.data(), 2), 2, false, true, record),
      0);
  EXPECT_EQ(permutation, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(strings, "a  A  ");
}

TEST(IndexSort, AnyStrideAndLengthCheck) {
  std::mt19937_64 engine(9);
  for (const int64_t n : {0, 1, 15, 16, 17, 1000, 20000}) {
    SCOPED_TRACE(n);
    // Values in every third element, index in every second.
    std::vector<double> storage(3 * n + 1, -1.0);
    for (int64_t i = 0; i < n; ++i) storage[3 * i] = static_cast<double>(engine() % 500);
    std::vector<int32_t> index_storage(2 * n + 1, 0);
    const View<const double, 1> values(storage.data(), {1}, {n}, {3});
    const IntVec index(index_storage.data(), {1}, {n}, {2});
    ErrorRecord record;
    ASSERT_EQ(indexx_dble(values, index, record), 0);
    std::vector<double> input(n), sorted(n);
    std::vector<int32_t> permutation(n);
    for (int64_t i = 0; i < n; ++i) {
      input[i] = values(i + 1);
      permutation[i] = index(i + 1);
      sorted[i] = values(index(i + 1));
    }
    expect_sorted_permutation(input, sorted, permutation);

    std::vector<int32_t> ints(n);
    for (int64_t i = 0; i < n; ++i) ints[i] = static_cast<int32_t>(input[i]);
    ASSERT_EQ(indexx_int(make_view<const int32_t>(ints.data(), n), index, record), 0);
    std::vector<int32_t> sorted_ints(n);
    for (int64_t i = 0; i < n; ++i) {
      permutation[i] = index(i + 1);
      sorted_ints[i] = ints[index(i + 1) - 1];
    }
    expect_sorted_permutation(ints, sorted_ints, permutation);
  }
  std::vector<double> five(5);
  std::vector<int32_t> four(4);
  ErrorRecord record;
  EXPECT_EQ(indexx_dble(make_view<const double>(five.data(), 5), make_view(four.data(), 4), record),
            -1);
  EXPECT_EQ(record_lines(record),
            (std::vector<std::string>{"Sort array size does not match index array size.",
                                      "OCCURRED IN: indexx_dble in MOD sort"}));
}

TEST(SortHelpers, SwapsAndCaseConversion) {
  std::vector<double> d = {1, 2, 3};
  swap_double(make_view(d.data(), 3), 1, 3);
  EXPECT_EQ(d, (std::vector<double>{3, 2, 1}));
  std::vector<int32_t> k = {1, 2, 3};
  swap_int(make_view(k.data(), 3), 2, 3);
  EXPECT_EQ(k, (std::vector<int32_t>{1, 3, 2}));
  std::string s = "abcXYZ12";
  swap_string(s.data(), 3, 1, 2);
  EXPECT_EQ(s, "XYZabc12");
  std::string mixed = "Az[`@{ 09zA";
  to_lower(mixed.data(), static_cast<int64_t>(mixed.size()));
  EXPECT_EQ(mixed, "az[`@{ 09za");
  to_upper(mixed.data(), static_cast<int64_t>(mixed.size()));
  EXPECT_EQ(mixed, "AZ[`@{ 09ZA");
}

}  // namespace
}  // namespace kestrion
