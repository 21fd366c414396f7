// The module against the real compute library: a stage-2 model without noise must come back
// exactly in the listing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/procedure/fake_host.h"

namespace talven_test {
namespace {

TEST(RealLibrary, NoiselessStageTwoModelIsRecovered) {
  FakeDataSet data;
  data.name = "WORK.EXACT";
  data.variables = {"t1", "a1", "t2", "a2", "y"};
  for (int i = 0; i < 16; ++i) {
    const double t1 = (i * 7 % 11) * 0.25;
    const double a1 = i % 2 == 0 ? 1 : -1;
    const double t2 = (i * 5 % 13) * 0.5 - 1;
    const double a2 = (i / 2) % 2 == 0 ? 1 : -1;
    data.rows.push_back({t1, a1, t2, a2, 1 + 2 * t2 + 0.5 * t2 * a2 - a2});
  }
  FakeHost host;
  host.data_set(1, data);
  host.list(8, {"t1"});
  host.list(13, {"a1"});
  host.list(10, {"t2"});
  host.list(14, {"a2"});
  host.list(12, {"y"});
  host.run();
  ASSERT_TRUE(host.errors().empty()) << host.errors()[0];
  ASSERT_EQ(host.end_codes, std::vector<int32_t>{0});
  const std::vector<std::string> stage2 = {
      "intercept                 "
      "  1.0000",
      "          t2              "
      "  2.0000",
      "      t2:        a2       "
      "  0.5000",
      "        a2                "
      " -1.0000",
  };
  ASSERT_GE(host.listing.size(), 5u);
  const std::vector<std::string> tail(host.listing.end() - 5, host.listing.end() - 1);
  EXPECT_EQ(tail, stage2);
  EXPECT_EQ(host.live_blocks(), 0);
}

}  // namespace
}  // namespace talven_test
