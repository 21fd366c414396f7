#include "numerics/dynamic_allocation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/record_lines.h"

namespace kestrion {
namespace {

using testing_support::record_lines;

TEST(DynamicAllocation, BoundsGiveExtentsAndEveryElementIsWritable) {
  ErrorRecord record;
  DblArray1 empty;
  ASSERT_EQ(alloc(empty, {0}, record), 0);
  EXPECT_TRUE(empty.allocated());
  EXPECT_EQ(empty.size(), 0);

  DblArray2 partly_empty;
  ASSERT_EQ(alloc(partly_empty, {3, 2}, record, {0, 5}), 0);
  EXPECT_TRUE(partly_empty.allocated());
  EXPECT_EQ(partly_empty.lower(0), 0);
  EXPECT_EQ(partly_empty.upper(0), 3);
  EXPECT_EQ(partly_empty.extent(0), 4);
  EXPECT_EQ(partly_empty.extent(1), 0);

  Array<Kind::Int, 3> cube;
  ASSERT_EQ(alloc(cube, {1, 3, 2}, record, {-2, 1, 2}, "test: cube"), 0);
  EXPECT_EQ(cube.extent(0), 4);
  EXPECT_EQ(cube.extent(1), 3);
  EXPECT_EQ(cube.extent(2), 1);
  // Column-major: the first index runs fastest. Out-of-range writes would trip the sanitizers.
  int32_t next = 0;
  for (int k = 2; k <= 2; ++k)
    for (int j = 1; j <= 3; ++j)
      for (int i = -2; i <= 1; ++i) cube(i, j, k) = next++;
  EXPECT_EQ(cube.data()[5], cube(-1, 2, 2));

  Array<Kind::Str, 1> names(8);
  ASSERT_EQ(alloc(names, {3}, record), 0);
  EXPECT_EQ(names.element(2) - names.element(1), 8);
  names.element(3)[7] = 'z';

  Array<Kind::Log, 2> flags;
  ASSERT_EQ(alloc_shape(flags, {2, -4}, record), 0);
  EXPECT_EQ(flags.extent(0), 2);
  EXPECT_EQ(flags.extent(1), 0);
  EXPECT_EQ(flags.lower(1), 1);
  EXPECT_FALSE(error_occurred(record));
}

TEST(DynamicAllocation, ReallocationReplacesAndReleaseIsIdempotent) {
  ErrorRecord record;
  DblArray1 a;
  EXPECT_EQ(dealloc(a, record, "test: a"), 0);  // never allocated: harmless
  ASSERT_EQ(alloc(a, {5}, record), 0);
  a(5) = 1.0;
  ASSERT_EQ(alloc(a, {12}, record, {3}), 0);
  EXPECT_EQ(a.lower(0), 3);
  EXPECT_EQ(a.extent(0), 10);
  a(12) = 2.0;
  EXPECT_EQ(dealloc(a, record), 0);
  EXPECT_FALSE(a.allocated());
  EXPECT_EQ(a.size(), 0);
  EXPECT_EQ(dealloc(a, record), 0);
  EXPECT_FALSE(error_occurred(record));
}

TEST(DynamicAllocation, LabelsFollowTheHistoricalNames) {
  struct Case {
    Kind kind;
    int rank;
    bool release;
    const char* label;
  };
  const Case cases[] = {
      {Kind::Int, 1, false, "int1_alloc in MOD dynamic_allocation"},
      {Kind::Dbl, 7, false, "dbl7_alloc in MOD dynamic_allocation"},
      {Kind::Str, 4, false, "str4_alloc in MOD dynamic_allocation"},
      {Kind::Log, 3, false, "log3_alloc in MOD dynamic_allocation"},
      {Kind::Int, 7, true, "int7_dealloc in MOD dynamic_allocation"},
      {Kind::Dbl, 1, true, "dbl1_dealloc in MOD dynamic_allocation"},
      {Kind::Dbl, 2, true, "dbl2_dealloc in MOD dynamic_allocation"},
      {Kind::Dbl, 3, true, "dbl3dealloc in MOD dynamic_allocation"},
      {Kind::Dbl, 7, true, "dbl7dealloc in MOD dynamic_allocation"},
      {Kind::Str, 3, true, "str3_dealloc in MOD dynamic_allocation"},
      {Kind::Log, 1, true, "log1_dealloc in MOD dynamic_allocation"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.release ? dealloc_label(c.kind, c.rank) : alloc_label(c.kind, c.rank), c.label);
  }
  EXPECT_EQ(alloc_label(Kind::Int, 1).size(), 36u);
}

TEST(DynamicAllocation, ImpossibleRequestsFailWithCode200) {
  const uint64_t limit = allocation_limit_bytes();
  ASSERT_GT(limit, 0u);
  // Just above physical memory: 4096 columns of doubles.
  const int64_t rows = static_cast<int64_t>(limit / 8 / 4096) + 1;
  ASSERT_LT(rows, int64_t{INT32_MAX});
  {
    ErrorRecord record;
    DblArray2 huge;
    EXPECT_EQ(alloc(huge, {static_cast<int32_t>(rows), 4096}, record, "test: huge"), -1);
    EXPECT_FALSE(huge.allocated());
    EXPECT_TRUE(record.memory_failure);
    EXPECT_EQ(record_lines(record),
              (std::vector<std::string>{"Unable to allocate memory for object", "test: huge",
                                        "OCCURRED IN: dbl2_alloc in MOD dynamic_allocation"}));
  }
  {
    // 2^31 to the 4th power of doubles overflows a 64-bit byte count.
    ErrorRecord record;
    Array<Kind::Dbl, 4> overflowing;
    const int32_t big = INT32_MAX;
    EXPECT_EQ(alloc(overflowing, {big, big, big, big}, record, {-big, -big, -big, -big}), -1);
    EXPECT_EQ(record_lines(record),
              (std::vector<std::string>{"Unable to allocate memory for object",
                                        "OCCURRED IN: dbl4_alloc in MOD dynamic_allocation"}));
  }
}

#ifdef KESTRION_FAULT_INJECTION
TEST(DynamicAllocation, InjectedFailureHitsExactlyTheNthAllocation) {
  ErrorRecord record;
  DblArray1 first;
  DblArray2 second;
  DblArray2 third;
  ASSERT_EQ(alloc(second, {2, 2}, record), 0);  // a failure must also discard old storage
  fault::reset_counter();
  fault::fail_nth_allocation(2);
  EXPECT_EQ(alloc(first, {3}, record), 0);
  EXPECT_EQ(dealloc(first, record), 0);  // releases do not count
  EXPECT_EQ(alloc(second, {4, 4}, record, "regression: u"), -1);
  EXPECT_FALSE(second.allocated());
  EXPECT_EQ(alloc(third, {4, 4}, record), 0);  // fires once only
  EXPECT_EQ(fault::allocation_count(), 3);
  EXPECT_EQ(record_lines(record),
            (std::vector<std::string>{"Unable to allocate memory for object", "regression: u",
                                      "OCCURRED IN: dbl2_alloc in MOD dynamic_allocation"}));
  EXPECT_TRUE(record.memory_failure);

  fault::fail_nth_allocation(1);
  fault::fail_nth_allocation(0);  // disarmed
  EXPECT_EQ(alloc(first, {3}, record), 0);
}

TEST(DynamicAllocation, EnvironmentVariableArmsTheSeamAtTheFirstAllocation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The child process starts afresh, so its first checked allocation reads the variable.
  ASSERT_EQ(setenv("KESTRION_FAIL_ALLOC", "3", 1), 0);
  EXPECT_EXIT(
      {
        ErrorRecord record;
        IntArray1 a;
        int failed_at = 0;
        for (int call = 1; call <= 5; ++call) {
          if (alloc(a, {10}, record) != 0 && failed_at == 0) failed_at = call;
        }
        std::exit(failed_at);
      },
      testing::ExitedWithCode(3), "");
  unsetenv("KESTRION_FAIL_ALLOC");
}
#endif

}  // namespace
}  // namespace kestrion
