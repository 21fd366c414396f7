// Reading DATA=: complete cases, the stage-2 sample, treatment levels and codes, and what reaches
// the library.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/procedure/fake_host.h"

namespace talven_test {
namespace {

using Doubles = std::vector<double>;
using Ints = std::vector<int32_t>;
using Lines = std::vector<std::string>;

const double M = kMissing;
const char* kMoreThanTwo1 =
    "Treatment variable in stage 1 has more than 2 treatments, this version of Proc TALVEN only "
    "allows 2 treatments.";
const char* kMoreThanTwo2 =
    "Treatment variable in stage 2 has more than 2 treatments, this version of Proc TALVEN only "
    "allows 2 treatments.";
const char* kMissingData =
    "There are missing data in the dataset, complete case analysis was used.";
const char* kOneLevel1 = "STG1TRT variable a1 has only one value ";
const char* kAmong = " among the 6 observations used; NTREATS1=2 treatments are expected.";

// Columns t1 a1 r t2 a2 y; p2 = 4, so four stage-2 subjects are needed.
struct Row {
  double t1, a1, r, t2, a2, y;
};

void run(FakeHost& host, const std::vector<Row>& rows, bool with_sample = true) {
  FakeDataSet data;
  data.name = "WORK.TRIAL";
  data.variables = {"t1", "a1", "r", "t2", "a2", "y"};
  for (const Row& r : rows) data.rows.push_back({r.t1, r.a1, r.r, r.t2, r.a2, r.y});
  host.data_set(1, data);
  host.list(8, {"t1"});
  host.list(13, {"a1"});
  if (with_sample) host.list(15, {"r"});
  host.list(10, {"t2"});
  host.list(14, {"a2"});
  host.list(12, {"y"});
  host.run();
}

std::vector<Row> with_stage1(const Doubles& a1) {
  std::vector<Row> rows;
  for (std::size_t i = 0; i < a1.size(); ++i) {
    rows.push_back({double(i), a1[i], 1, double(i % 3), double(i % 2), double(i)});
  }
  return rows;
}

TEST(Data, StageOneLevelsAndCodes) {
  struct Case {
    Doubles a1;
    Doubles levels;
    Ints codes;
    Lines errors = {};
  };
  // The analysis of a single level fails as rank deficient; before it, the cause is logged.
  const std::vector<Case> cases = {
      {{1, 0, 1, 0, 0, 1}, {1, 0}, {1, 2, 1, 2, 2, 1}},
      {{-1, 1, 1, -1, 1, 1}, {-1, 1}, {1, 2, 2, 1, 2, 2}},
      {{0, 2e-8, 0, 2e-8, 0, 0}, {0, 2e-8}, {1, 2, 1, 2, 1, 1}},
      {{1, 1 + 5e-9, 0, 1, 0, 0}, {1, 0}, {1, 1, 2, 1, 2, 2}},
      // A single level leaves the second place at 0, and the last matching place gives the code.
      {{1, 1, 1, 1, 1, 1}, {1, 0}, {1, 1, 1, 1, 1, 1}, {kOneLevel1 + std::string("(1)") + kAmong}},
      {{0, 5e-9, 0, 5e-9, 0, 0},
       {0, 0},
       {2, 2, 2, 2, 2, 2},
       {kOneLevel1 + std::string("(0)") + kAmong}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.a1));
    FakeHost host;
    FakeLibrary library;
    run(host, with_stage1(c.a1));
    EXPECT_EQ(host.errors(), c.errors);
    EXPECT_TRUE(library.called);
    EXPECT_TRUE(host.warnings().empty());
    EXPECT_EQ(library.levels1, c.levels);
    EXPECT_EQ(library.A1, c.codes);
  }
}

TEST(Data, ExtraLevelStopsOnlyInACompleteCase) {
  struct Case {
    std::vector<Row> rows;
    Lines errors;
    Lines warnings;
  };
  std::vector<Row> last_complete = with_stage1({1, 0, 1, 0, 1, 0, 5});
  std::vector<Row> last_dropped = last_complete;
  last_dropped.back().y = M;
  std::vector<Row> stage2_extra = with_stage1({1, 0, 1, 0, 1, 0});
  stage2_extra[5].a2 = 7;
  std::vector<Row> stage2_outside = stage2_extra;
  stage2_outside[5].r = 0;  // outside the stage-2 sample: its treatment is not a level
  const Case cases[] = {
      {last_complete, {kMoreThanTwo1}, {}},
      {last_dropped, {}, {kMissingData}},
      {stage2_extra, {kMoreThanTwo2}, {}},
      {stage2_outside, {}, {}},
  };
  for (const Case& c : cases) {
    FakeHost host;
    FakeLibrary library;
    run(host, c.rows);
    EXPECT_EQ(host.errors(), c.errors);
    EXPECT_EQ(host.warnings(), c.warnings);
    EXPECT_EQ(library.called, c.errors.empty());
  }
}

// With three treatments a level is the pair of treatment values: (0, 1) and (0, 0) share their
// first value yet are different treatments.
TEST(Data, ThreeTreatmentsAreCodedByTheirTuple) {
  FakeDataSet data;
  data.name = "WORK.THREE";
  data.variables = {"t1", "b1", "c1", "t2", "a2", "y"};
  const double arms[][2] = {{1, 0}, {0, 1}, {0, 0}, {1 + 5e-9, 0}, {0, 1}, {0, 0}, {1, 0}};
  for (int i = 0; i < 7; ++i) {
    data.rows.push_back({i * 0.5, arms[i][0], arms[i][1], i % 2 * 1.0, i % 2 * 1.0, i * 1.0});
  }
  for (bool fourth_level : {false, true}) {
    FakeHost host;
    FakeLibrary library;
    if (fourth_level) data.rows.push_back({1, 1, 1, 1, 1, 1});
    host.data_set(1, data);
    host.list(8, {"t1"});
    host.list(13, {"b1", "c1"});
    host.list(10, {"t2"});
    host.list(14, {"a2"});
    host.list(12, {"y"});
    host.number(5, 3);
    host.run();
    if (fourth_level) {
      EXPECT_EQ(host.errors(), Lines{kMoreThanTwo1});
      continue;
    }
    EXPECT_TRUE(host.errors().empty());
    EXPECT_EQ(library.levels1, (Doubles{1, 0, 0, 1, 0, 0}));  // column k is level k
    EXPECT_EQ(library.A1, (Ints{1, 2, 3, 1, 2, 3, 1}));
  }
}

TEST(Data, StageTwoSampleMembership) {
  const Doubles r = {1, 0.5, 1.7, 2, 0, -0.5, 1, 1, M, 1};
  std::vector<Row> rows;
  for (std::size_t i = 0; i < r.size(); ++i) {
    rows.push_back({double(i), double(i % 2), r[i], double(i % 3), double(i % 2), double(i)});
  }
  FakeHost host;
  FakeLibrary library;
  run(host, rows);
  // 2 and the missing value are dropped, and each is explained.
  EXPECT_EQ(host.warnings(),
            (Lines{"STG2SAMPLE variable r must be 0 (outside the stage-2 sample) or 1 (in it); 1 "
                   "observation with the value 2 was left out.",
                   kMissingData}));
  EXPECT_EQ(host.lines_with("NOTE: 2 of"),
            Lines{" 10 observations were left out: r missing in 1, r neither 0 nor 1 in 1."});
  EXPECT_EQ(library.n1, 8);
  EXPECT_EQ(library.resp_status, (Ints{0, 1, 0, 1, 1, 0, 0, 0}));
  EXPECT_EQ(library.n2, 5);
}

TEST(Data, SubjectsOutsideStageTwoGetDefinedStageTwoValues) {
  std::vector<Row> rows = with_stage1({1, 0, 1, 0, 1, 0});
  rows.push_back({6, 1, 0, 77, 1, M});   // dropped: no response; its row is reused
  rows.push_back({7, 1, 0, M, M, 7});    // outside, nothing at stage 2
  rows.push_back({8, 0, 0, 3.5, 9, 8});  // outside, unknown stage-2 treatment
  rows.push_back({9, 0, 0, 2.5, 1, 9});  // outside, a known stage-2 treatment
  rows.push_back({10, 0, 1, M, 1, 10});  // inside with a missing value: dropped
  FakeHost host;
  FakeLibrary library;
  run(host, rows);
  EXPECT_EQ(host.warnings(), Lines{kMissingData});
  ASSERT_EQ(library.n1, 9);
  EXPECT_EQ(library.n2, 6);
  EXPECT_EQ(library.levels2, (Doubles{0, 1}));
  const Doubles tail_h21(library.H21.end() - 3, library.H21.end());
  EXPECT_EQ(tail_h21, (Doubles{0, 3.5, 2.5}));
  const Ints tail_a2(library.A2.end() - 3, library.A2.end());
  EXPECT_EQ(tail_a2, (Ints{1, 1, 2}));
  const Ints tail_status(library.resp_status.end() - 3, library.resp_status.end());
  EXPECT_EQ(tail_status, (Ints{1, 1, 1}));
}

TEST(Data, StageTwoTreatmentsAreTruncated) {
  std::vector<Row> rows = with_stage1({1, 0, 1, 0, 1, 0});
  const Doubles a2 = {1.2, 1.8, 0.3, -0.7, 1.0, 0.0};
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].a2 = a2[i];
  FakeHost host;
  FakeLibrary library;
  run(host, rows);
  EXPECT_TRUE(host.errors().empty());
  EXPECT_EQ(library.levels2, (Doubles{1, 0}));
  EXPECT_EQ(library.A2, (Ints{1, 1, 2, 2, 1, 2}));
}

TEST(Data, StageTwoNeedsAsManySubjectsAsCoefficients) {
  for (int inside : {3, 4}) {
    std::vector<Row> rows = with_stage1({1, 0, 1, 0, 1, 0});
    for (int i = 0; i < 6; ++i) rows[i].r = i < inside ? 1 : 0;
    FakeHost host;
    FakeLibrary library;
    run(host, rows);
    const Lines expected =
        inside == 3 ? Lines{"The stage-2 sample has 3 observations, fewer than the 4 "
                            "coefficients of stage 2: 3 observations used have STG2SAMPLE r = 1; "
                            "3 have 0.",
                            "There is not enough data at stage 2 for the method to work."}
                    : Lines{};
    EXPECT_EQ(host.errors(), expected);
  }
}

TEST(Data, MatricesAreColumnMajorInReadingOrder) {
  FakeHost host;
  FakeLibrary library;
  FakeDataSet data = study(6);
  minimal_statement(host, data);
  host.list(7, {"x1", "x2"});
  host.list(9, {"m2"});
  host.list(15, {"r"});
  host.run();
  ASSERT_EQ(library.n1, 6);
  for (int i = 0; i < 6; ++i) {
    const std::vector<double>& row = data.rows[static_cast<std::size_t>(i)];
    EXPECT_EQ(library.H10[i], row[0]);
    EXPECT_EQ(library.H10[i + 6], row[1]);
    EXPECT_EQ(library.H11[i], row[2]);
    EXPECT_EQ(library.H20[i], row[5]);
    EXPECT_EQ(library.H21[i], row[6]);
    EXPECT_EQ(library.Y2[i], row[8]);
  }
  EXPECT_EQ(library.Y1, library.Y2);
  // MAIN1, TAILOR1, STG1TRT, STG2SAMPLE, MAIN2, TAILOR2, STG2TRT, RESPONSE; exactly the values
  // read.
  ASSERT_EQ(host.declared.size(), 1u);
  EXPECT_EQ(host.declared[0], (Ints{1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(Data, ObservationCountBoundsWhatIsStored) {
  struct Case {
    int64_t claimed;
    int32_t n1;
    Lines warnings;
  };
  const Case cases[] = {
      {5,
       5,
       {"Data set WORK.STUDY delivered more than its 5 observations; the others were not read."}},
      {10, 8, {kMissingData}},
      {8, 8, {}},
  };
  for (const Case& c : cases) {
    FakeHost host;
    FakeLibrary library;
    FakeDataSet data = study(8);
    data.claimed_observations = c.claimed;
    minimal_statement(host, data);
    host.run();
    EXPECT_EQ(library.n1, c.n1);
    EXPECT_EQ(host.warnings(), c.warnings);
  }
}

}  // namespace
}  // namespace talven_test
