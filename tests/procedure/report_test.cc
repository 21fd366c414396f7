// The listing, line for line. The fake library's estimates are 1.5, 2.5, ... at stage 1 and
// -0.25, -1.25, ... at stage 2; interval k is (10 + k, -10 - k).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/procedure/fake_host.h"

namespace talven_test {
namespace {

using Lines = std::vector<std::string>;

const std::string kRule(62, '-');

TEST(Report, WithoutIntervals) {
  FakeHost host;
  FakeLibrary library;
  minimal_statement(host, study(8));
  host.list(9, {"m2"});
  host.run();
  ASSERT_EQ(host.titles, Lines{"PROC TALVEN -- Q-Learning and Adaptive Confidence Intervals"});
  const Lines expected = {
      " ",
      "",
      "Number of observations in dataset:            "
      "      8",
      "Number of observations in stage 1:            "
      "      8",
      "Number of observations in stage 2:            "
      "      8",
      "",
      "First Stage Regression Result                     ",
      kRule,
      "                            Parameter   ",
      "Variable                    Estimates   ",
      "intercept                 "
      "  1.5000",
      "          t1              "
      "  2.5000",
      "      t1:        a1       "
      "  3.5000",
      "        a1                "
      "  4.5000",
      "",
      "Second Stage Regression Result                    ",
      kRule,
      "                            Parameter      ",
      "Variable                    Estimates   ",
      "intercept                 "
      " -0.2500",
      "          m2              "
      " -1.2500",
      "          t2              "
      " -2.2500",
      "      t2:        a2       "
      " -3.2500",
      "        a2                "
      " -4.2500",
      "",
  };
  EXPECT_EQ(host.listing, expected);
  EXPECT_TRUE(host.warnings().empty());
}

TEST(Report, WithIntervalsContrastsAndCollinearSamples) {
  FakeHost host;
  FakeLibrary library;
  library.collinear = 3;
  minimal_statement(host, study(8));
  host.list(7, {"x1"});
  host.list(8, {"t1", "x2"});
  host.flag(1);
  // p1 = 1 + 2 * 3 = 7 coefficients; the second contrast has a missing value, counted as 0.
  host.data_set(2, FakeDataSet{"WORK.CON",
                               {"c1", "c2", "c3", "c4", "c5", "c6", "c7"},
                               {},
                               {{0, 0, 1, 0, 0, 0, 0}, {1, kMissing, 0, 0, 0, 0, 2}},
                               {}});
  host.run();
  const std::string ci = "     ";
  const Lines expected = {
      " ",
      "",
      "Number of observations in dataset:            "
      "      8",
      "Number of observations in stage 1:            "
      "      8",
      "Number of observations in stage 2:            "
      "      8",
      "Number of collinear cases:                    "
      "      3",
      "",
      "First Stage Regression Result                     ",
      kRule,
      "                            Parameter   "
      "   Confidence Interval ",
      "Variable                    Estimates   "
      "   Upper       Lower   ",
      "intercept                 "
      "  1.5000" +
          ci +
          "   10.0000"
          "  "
          "  -10.0000",
      "          x1              "
      "  2.5000" +
          ci +
          "   11.0000"
          "  "
          "  -11.0000",
      "          t1              "
      "  3.5000" +
          ci +
          "   12.0000"
          "  "
          "  -12.0000",
      "          x2              "
      "  4.5000" +
          ci +
          "   13.0000"
          "  "
          "  -13.0000",
      "      t1:        a1       "
      "  5.5000" +
          ci +
          "   14.0000"
          "  "
          "  -14.0000",
      "      x2:        a1       "
      "  6.5000" +
          ci +
          "   15.0000"
          "  "
          "  -15.0000",
      "        a1                "
      "  7.5000" +
          ci +
          "   16.0000"
          "  "
          "  -16.0000",
      "",
      "                            Parameter      "
      "Confidence Interval",
      "Contrasts                   Estimates      "
      "Upper       Lower   ",
      "Contrast 1                "
      "  3.5000" +
          ci +
          "   17.0000"
          "  "
          "  -17.0000",
      "Contrast 2                "
      " 16.5000" +
          ci +
          "   18.0000"
          "  "
          "  -18.0000",
      "",
      "Second Stage Regression Result                    ",
      kRule,
      "                            Parameter      ",
      "Variable                    Estimates   ",
      "intercept                 "
      " -0.2500",
      "          t2              "
      " -1.2500",
      "      t2:        a2       "
      " -2.2500",
      "        a2                "
      " -3.2500",
      "",
  };
  EXPECT_EQ(host.listing, expected);
  EXPECT_EQ(host.warnings(),
            Lines{"Out of    1000 bootstrap samples,       3 were discarded due to collinearity."});
  EXPECT_EQ(library.nC, 2);
  EXPECT_EQ(library.contrasts, (std::vector<double>{0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 2}));
}

TEST(Report, ContrastFileWithoutObservationsGivesNoContrastTable) {
  FakeHost host;
  FakeLibrary library;
  minimal_statement(host, study(8));
  host.data_set(2, FakeDataSet{"WORK.CON", {"c1", "c2", "c3", "c4"}, {}, {}, {}});
  host.flag(1);
  host.run();
  ASSERT_TRUE(host.errors().empty());
  EXPECT_EQ(library.nC, 0);
  EXPECT_EQ(library.derive_ci, 255);
  int with_interval = 0;
  for (const std::string& line : host.listing) {
    EXPECT_EQ(line.find("Contrast"), std::string::npos) << line;
    if (line.ends_with(".0000")) ++with_interval;
  }
  EXPECT_EQ(with_interval, 4);  // the four stage-1 rows
}

}  // namespace
}  // namespace talven_test
