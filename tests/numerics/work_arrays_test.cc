#include "numerics/work_arrays.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/record_lines.h"

namespace kestrion {
namespace {

using testing_support::record_lines;

struct Three {
  DblArray1 first;
  IntArray1 second;
  DblArray3 third;

  WorkArrays list(int32_t n) {
    return {{first, {n}, "test: first"},
            {second, {n + 1}, "test: second"},
            {third, {n, 2, 3}, "test: third"}};
  }
  std::vector<bool> held() const {
    return {first.allocated(), second.allocated(), third.allocated()};
  }
};

TEST(WorkArrays, ObtainsEveryEntryWithItsBounds) {
  Three t;
  WorkArrays work = t.list(4);
  ErrorRecord record;
  ASSERT_EQ(work.obtain(record), Status::kOk);
  EXPECT_EQ(t.held(), (std::vector<bool>{true, true, true}));
  EXPECT_EQ(t.first.extent(0), 4);
  EXPECT_EQ(t.second.extent(0), 5);
  EXPECT_EQ(t.third.extent(1), 2);
  EXPECT_EQ(t.third.extent(2), 3);
  EXPECT_FALSE(error_occurred(record));
}

TEST(WorkArrays, ReleasesChosenArraysThenTheRest) {
  struct Case {
    const char* name;
    std::vector<bool> after_first_call;
  };
  const Case cases[] = {{"subset", {true, false, true}},
                        {"all but", {false, true, false}},
                        {"order", {false, false, false}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Three t;
    WorkArrays work = t.list(2);
    ErrorRecord record;
    ASSERT_EQ(work.obtain(record), Status::kOk);
    const std::string name = c.name;
    static constexpr int kOrder[] = {2, 0};
    const Status status = name == "subset"    ? work.release(record, {&t.second})
                          : name == "all but" ? work.release_all_but(record, {&t.second})
                                              : work.release(record, kOrder);
    EXPECT_EQ(status, Status::kOk);
    EXPECT_EQ(t.held(), c.after_first_call);
    // Whatever is still held goes with the last release; released arrays are not touched again.
    EXPECT_EQ(work.release(record), Status::kOk);
    EXPECT_EQ(t.held(), (std::vector<bool>{false, false, false}));
    EXPECT_FALSE(error_occurred(record));
  }
}

// One entry beyond the capacity: nothing is obtained, and the failure comes back as a report in
// the error record rather than ending the process that loaded the library.
TEST(WorkArrays, RefusesAListBeyondItsCapacityThroughTheErrorRecord) {
  std::vector<DblArray1> arrays(WorkArrays::kCapacity + 1);
  auto entry = [&](int k) { return WorkArrays::Entry(arrays[k], {2}, "test: entry"); };
  WorkArrays work = [&]<int... K>(std::integer_sequence<int, K...>) {
    return WorkArrays{entry(K)...};
  }
  (std::make_integer_sequence<int, WorkArrays::kCapacity + 1>{});
  ErrorRecord record;
  EXPECT_EQ(work.obtain(record), Status::kFailed);
  EXPECT_EQ(record_lines(record),
            (std::vector<std::string>{"Internal error: a list of work arrays exceeds its capacity.",
                                      "OCCURRED IN: WorkArrays in MOD work_arrays"}));
  for (const DblArray1& array : arrays) EXPECT_FALSE(array.allocated());
  EXPECT_EQ(work.release(record), Status::kOk);
}

#ifdef KESTRION_FAULT_INJECTION
TEST(WorkArrays, StopsAtTheFirstFailedAllocationWithItsDescription) {
  for (int failing = 1; failing <= 3; ++failing) {
    SCOPED_TRACE(failing);
    Three t;
    WorkArrays work = t.list(3);
    ErrorRecord record;
    fault::fail_nth_allocation(failing);
    EXPECT_EQ(work.obtain(record), Status::kFailed);
    fault::fail_nth_allocation(0);
    const char* descriptions[] = {"test: first", "test: second", "test: third"};
    const char* labels[] = {"dbl1_alloc", "int1_alloc", "dbl3_alloc"};
    EXPECT_EQ(
        record_lines(record),
        (std::vector<std::string>{
            "Unable to allocate memory for object", descriptions[failing - 1],
            std::string("OCCURRED IN: ") + labels[failing - 1] + " in MOD dynamic_allocation"}));
    const std::vector<bool> held = t.held();
    for (int k = 0; k < 3; ++k) EXPECT_EQ(held[k], k + 1 < failing) << k;
  }
}
#endif

}  // namespace
}  // namespace kestrion
