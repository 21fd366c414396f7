#include "host/progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace host {
namespace {

TEST(Progress, Durations) {
  const struct {
    double seconds;
    const char* text;
  } cases[] = {{0, "0:00"},       {-3, "0:00"},      {59.99, "0:59"},
               {60, "1:00"},      {754, "12:34"},    {3599, "59:59"},
               {3600, "1:00:00"}, {3723, "1:02:03"}, {360000, "100:00:00"}};
  for (const auto& c : cases) EXPECT_EQ(format_duration(c.seconds), c.text) << c.seconds;
}

// A clock the test moves by hand, and the terminal as the text written to it.
struct Terminal {
  double now = 100.0;
  std::vector<std::string> writes;
  ProgressLine line{[this](std::string_view t) { writes.emplace_back(t); }, [this] { return now; },
                    100.0};
};

TEST(Progress, ShownAfterTwoSecondsWithTheRateOfTheReports) {
  Terminal t;
  t.now = 101.0;  // the computation's first report after a second of set-up
  t.line.update(1, 1000);
  t.now = 101.9;
  t.line.update(100, 1000);
  EXPECT_TRUE(t.writes.empty()) << "nothing in the first two seconds";
  t.now = 103.0;
  t.line.update(201, 1000);  // 200 replicates in 2 s: 799 left take 8 s
  ASSERT_EQ(t.writes.size(), 1u);
  EXPECT_EQ(t.writes[0], "\rBootstrap: 201/1000 replicates, 0:03 elapsed, about 0:08 left");
  t.now = 103.1;
  t.line.update(211, 1000);
  EXPECT_EQ(t.writes.size(), 1u) << "redrawn at most five times a second";
  t.now = 104.0;
  t.line.update(301, 1000);
  ASSERT_EQ(t.writes.size(), 2u);
  EXPECT_EQ(t.writes[1], "\rBootstrap: 301/1000 replicates, 0:04 elapsed, about 0:07 left");
  EXPECT_TRUE(t.line.shown());
}

TEST(Progress, ErasedWhenDoneOrAskedAndPaddedWhenShorter) {
  Terminal t;
  t.now = 103.0;
  t.line.update(0, 10);  // no rate yet: no estimate
  ASSERT_EQ(t.writes.size(), 1u);
  const std::string first = "\rBootstrap: 0/10 replicates, 0:03 elapsed";
  EXPECT_EQ(t.writes[0], first);
  t.now = 3700.0;
  t.line.update(9, 10);
  const std::string longer = "Bootstrap: 9/10 replicates, 1:00:00 elapsed, about 6:40 left";
  ASSERT_EQ(t.writes.size(), 2u);
  EXPECT_EQ(t.writes[1], "\r" + longer);
  t.line.clear();
  std::string erased(longer.size() + 2, ' ');
  erased.front() = erased.back() = '\r';
  EXPECT_EQ(t.writes.back(), erased);
  EXPECT_FALSE(t.line.shown());
  t.line.clear();
  EXPECT_EQ(t.writes.size(), 3u) << "nothing to erase twice";

  // A new computation in the same step measures its own rate; the end erases the line.
  t.now = 3701.0;
  t.line.update(1, 4);
  ASSERT_EQ(t.writes.size(), 4u);
  EXPECT_EQ(t.writes[3], "\rBootstrap: 1/4 replicates, 1:00:01 elapsed, about 3:00:03 left");
  t.now = 3702.0;
  t.line.update(4, 4);
  EXPECT_EQ(t.writes.back().find_first_not_of(" \r"), std::string::npos);
  EXPECT_FALSE(t.line.shown());
}

}  // namespace
}  // namespace host
