// The subject arrays handed to the library hold the kept observations in file order, column after
// column with n1 rows, however many observations were dropped and wherever they were.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "tests/procedure/fake_host.h"

namespace talven_test {
namespace {

using Doubles = std::vector<double>;

TEST(SubjectLayout, KeptObservationsFillColumnsOfN1Rows) {
  struct Case {
    const char* name;
    std::set<int> dropped;  // observations with a missing MAIN1 or RESPONSE value
  };
  const Case cases[] = {
      {"none dropped", {}},
      {"first and last", {0, 9}},
      {"scattered", {2, 5, 6}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDataSet data;
    data.name = "WORK.WIDE";
    data.variables = {"x1", "x2", "t1", "a1", "r", "m1", "m2", "t2", "a2", "y"};
    Doubles x1, x2, m1, m2, y;
    for (int i = 0; i < 10; ++i) {
      const bool drop = c.dropped.count(i) > 0;
      const double main1_second = drop && i % 2 == 0 ? kMissing : 100.0 + i;
      const double response = drop && i % 2 == 1 ? kMissing : 0.5 * i;
      data.rows.push_back({double(i), main1_second, double(i % 3), double(i % 2), 1, 10.0 * i,
                           -1.0 * i, double(i % 4), double((i / 2) % 2), response});
      if (drop) continue;
      x1.push_back(i);
      x2.push_back(100.0 + i);
      m1.push_back(10.0 * i);
      m2.push_back(-1.0 * i);
      y.push_back(0.5 * i);
    }
    FakeHost host;
    FakeLibrary library;
    host.data_set(1, data);
    host.list(7, {"x1", "x2"});
    host.list(8, {"t1"});
    host.list(13, {"a1"});
    host.list(15, {"r"});
    host.list(9, {"m1", "m2"});
    host.list(10, {"t2"});
    host.list(14, {"a2"});
    host.list(12, {"y"});
    host.run();
    ASSERT_TRUE(host.errors().empty());
    ASSERT_EQ(library.n1, static_cast<int32_t>(10 - c.dropped.size()));
    Doubles h10 = x1, h20 = m1;
    h10.insert(h10.end(), x2.begin(), x2.end());
    h20.insert(h20.end(), m2.begin(), m2.end());
    EXPECT_EQ(library.H10, h10);
    EXPECT_EQ(library.H20, h20);
    EXPECT_EQ(library.Y1, y);
    EXPECT_EQ(library.Y2, y);
  }
}

}  // namespace
}  // namespace talven_test
