// The statement's options: defaults, every check with its message, and the order of the checks.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "procedure/statement_items.h"
#include "tests/procedure/fake_host.h"

namespace talven_test {
namespace {

using namespace talven;  // the grammar's item numbers
constexpr int32_t kDeriveCi = kDeriveCiFlag;

TEST(Options, DefaultsReachTheLibrary) {
  FakeHost host;
  FakeLibrary library;
  minimal_statement(host, study());
  host.run();
  EXPECT_TRUE(host.errors().empty());
  EXPECT_TRUE(host.warnings().empty());
  EXPECT_EQ(library.nBootstrap1, 1000);
  EXPECT_EQ(library.nBootstrap2, 1000);
  EXPECT_EQ(library.nGrid, 10);
  EXPECT_EQ(library.alpha, 0.05);
  EXPECT_EQ(library.grid_scale, 2.58);
  EXPECT_EQ(library.cores, 0);  // CORES= absent: every usable core
  EXPECT_EQ(library.K1, 2);
  EXPECT_EQ(library.K2, 2);
  EXPECT_EQ(library.derive_ci, 0);
  EXPECT_EQ(library.nC, 0);
  EXPECT_EQ(library.p10, 0);
  EXPECT_EQ(library.p20, 0);
  EXPECT_EQ(library.seeds, std::vector<int32_t>{0});
}

TEST(Options, ValuesAreTruncatedAndHandedOver) {
  FakeHost host;
  FakeLibrary library;
  minimal_statement(host, study());
  host.number(kNgrid, 2.9);
  host.number(kNbootstrap1, 250.99);
  host.number(kNbootstrap2, 40);
  host.number(kCores, 4);
  host.number(kAlpha, 0.1);
  host.number(kGridScale, 1.5);
  host.flag(kDeriveCi);
  host.run();
  EXPECT_TRUE(host.errors().empty());
  EXPECT_EQ(library.nGrid, 2);
  EXPECT_EQ(library.nBootstrap1, 250);
  EXPECT_EQ(library.nBootstrap2, 40);
  EXPECT_EQ(library.cores, 4);
  EXPECT_EQ(library.alpha, 0.1);
  EXPECT_EQ(library.grid_scale, 1.5);
  EXPECT_EQ(library.derive_ci, 255);
}

// Each problem is applied on top of all later ones; the run must report exactly the first, after
// the banner. Removing it must reveal the next.
TEST(Options, ChecksRunInOrderAndTheBannerComesFirst) {
  struct Problem {
    std::function<void(FakeHost&)> apply;
    std::string error;
  };
  const FakeDataSet contrasts{"WORK.C", {"c1", "c2", "c3", "c4", "c5"}, {}, {{0, 0, 1, 0, 0}}, {}};
  const std::vector<Problem> problems = {
      {[](FakeHost& h) { h.clear_item(kData); }, "DATA= must be specified."},
      {[](FakeHost& h) { h.number(kCores, 3e9); }, "The value of CORES= is out of range."},
      {[](FakeHost& h) { h.number(kNbootstrap1, 0); }, "NBOOTSTRAP1 must be positive."},
      {[](FakeHost& h) { h.number(kNbootstrap2, -4); }, "NBOOTSTRAP2 must be positive."},
      {[](FakeHost& h) { h.number(kNgrid, 0.5); }, "NGRID must be positive."},
      {[](FakeHost& h) { h.number(kNtreats1, 1); }, "NTREATS1 must be between 2 and 10."},
      {[](FakeHost& h) { h.number(kNtreats2, 11); }, "NTREATS2 must be between 2 and 10."},
      {[](FakeHost& h) {
         h.flag(kDeriveCi);
         h.number(kNgrid, 1);
       },
       "NGRID must be at least 2 when DERIVECI is specified."},
      {[](FakeHost& h) { h.number(kAlpha, 0); }, "ALPHA must be positive."},
      {[](FakeHost& h) { h.number(kAlpha, 1); }, "ALPHA must be less than 1."},
      {[](FakeHost& h) { h.number(kGridScale, -2); }, "GRID_SCALE must be positive."},
      {[](FakeHost& h) { h.number(kSeed, 0); }, "SEED must be between 1 and 2147483562."},
      {[](FakeHost& h) { h.number(talven::option_row("NBOOTVALUE").item, 5); },
       "NBOOTVALUE must be at least 10."},
      {[](FakeHost& h) { h.number(talven::option_row("MALPHA").item, 0); },
       "MALPHA must be positive."},
      {[](FakeHost& h) { h.number(talven::option_row("MALPHA").item, -0.5); },
       "MALPHA must be positive."},
      {[](FakeHost& h) { h.number(talven::option_row("NBOOTTUNE").item, 9.9); },
       "NBOOTTUNE must be at least 10."},
      {[](FakeHost& h) { h.clear_item(kTailor1); }, "TAILOR1 must be specified."},
      {[](FakeHost& h) {
         h.list(kMain1, {"x1", "t1"});
       },
       "Please remove variable t1 from MAIN1 as TAYLOR1 variables are included as MAIN1 "
       "automatically in the model."},
      {[](FakeHost& h) { h.clear_item(kTailor2); }, "TAILOR2 must be specified."},
      {[](FakeHost& h) { h.list(kMain2, {"t2"}); },
       "Please remove variable t2 from MAIN2 as TAYLOR2 variables are included as MAIN2 "
       "automatically in the model."},
      {[](FakeHost& h) { h.clear_item(kResponse); }, "RESPONSE must be specified."},
      {[](FakeHost& h) {
         h.list(kStg1Trt, {"a1", "a2"});
       },
       "Please specify 1 stage 1 treatment variable in STG1TRT."},
      {[](FakeHost& h) { h.clear_item(kStg1Trt); }, "STG1TRT must be specified."},
      {[](FakeHost& h) { h.list(kStg2Trt, {}); },
       "Please specify 1 stage 2 treatment variable in STG2TRT."},
      {[](FakeHost& h) { h.clear_item(kStg2Trt); }, "STG2TRT must be specified."},
      {[](FakeHost& h) { h.list(kMain2, {"y"}); },
       "Variable y is the RESPONSE variable and cannot also be in MAIN2."},
      {[&](FakeHost& h) { h.data_set(kContrast1, contrasts); },
       "Contrast1 Dataset should have 4 columns."},
  };
  for (std::size_t first = 0; first <= problems.size(); ++first) {
    FakeHost host;
    FakeLibrary library;
    minimal_statement(host, study());
    for (std::size_t k = problems.size(); k-- > first;) problems[k].apply(host);
    host.run();
    if (first == problems.size()) {
      EXPECT_TRUE(host.errors().empty());
      EXPECT_TRUE(library.called);
      break;
    }
    SCOPED_TRACE(problems[first].error);
    EXPECT_EQ(host.errors().front(), problems[first].error);
    ASSERT_GE(host.log.size(), 8u);
    EXPECT_EQ(host.log[0], " *** SAS PROC TALVEN ***");
    // Only the wrong contrast width explains itself on a second line.
    EXPECT_EQ(host.errors().size(), first + 1 == problems.size() ? 2u : 1u);
    EXPECT_EQ(host.log[host.log.size() - host.errors().size()], "ERROR: " + problems[first].error);
    EXPECT_EQ(host.end_codes, std::vector<int32_t>{3000});
    EXPECT_TRUE(host.declared.empty());  // no data read
    EXPECT_FALSE(library.called);
  }
}

TEST(Options, IntegerOutsideThirtyTwoBitsNamesTheOption) {
  const std::pair<int32_t, const char*> options[] = {
      {kNtreats1, "NTREATS1"},       {kNtreats2, "NTREATS2"}, {kNbootstrap1, "NBOOTSTRAP1"},
      {kNbootstrap2, "NBOOTSTRAP2"}, {kNgrid, "NGRID"},       {kCores, "CORES"}};
  for (auto [item, name] : options) {
    for (double value : {1e10, -2147483649.0, 2147483648.0}) {
      FakeHost host;
      FakeLibrary library;
      minimal_statement(host, study());
      host.number(item, value);
      host.run();
      EXPECT_EQ(host.errors(), std::vector<std::string>{std::string("The value of ") + name +
                                                        "= is out of range."});
    }
  }
}

TEST(Options, ExtremeRealsAreRefused) {
  for (auto [item, error] : {std::pair{kAlpha, "The value of ALPHA= is out of range."},
                             std::pair{kGridScale, "The value of GRID_SCALE= is out of range."}}) {
    FakeHost host;
    FakeLibrary library;
    minimal_statement(host, study());
    host.number(item, HUGE_VAL);
    host.run();
    EXPECT_EQ(host.errors(), std::vector<std::string>{error});
  }
}

TEST(Options, GridSizeWarningAndLimit) {
  const char* slow =
      "The total number of grid points is greater than 10000. The run will take a long time to "
      "finish.";
  struct Case {
    std::vector<std::string> tailor2;
    double ngrid;
    bool derive_ci;
    std::vector<std::string> warnings;
    std::vector<std::string> errors;
  };
  const Case cases[] = {
      {{"t2"}, 10, true, {}, {}},                         // e = 2: 101 points
      {{"t2", "m2", "x1", "x2"}, 10, false, {slow}, {}},  // e = 5
      {{"t2", "m2", "x1", "x2"}, 10, true, {slow}, {}},
      {{"t2"}, 46340, true, {slow}, {}},  // 46340**2 + 1 fits
      {{"t2"}, 46341, true, {}, {"The grid of NGRID**2 points is too large; lower NGRID."}},
      {{"t2"}, 46341, false, {slow}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ngrid);
    FakeHost host;
    FakeLibrary library;
    minimal_statement(host, study(12));
    host.list(kTailor2, c.tailor2);
    host.number(kNgrid, c.ngrid);
    if (c.derive_ci) host.flag(kDeriveCi);
    host.run();
    EXPECT_EQ(host.warnings(), c.warnings);
    EXPECT_EQ(host.errors(), c.errors);
  }
}

TEST(Options, DeriveCiNeedsTwoTreatmentsInEachStage) {
  FakeDataSet data;
  data.name = "WORK.THREE";
  data.variables = {"t1", "b1", "c1", "t2", "a2", "y"};
  const double arms[][2] = {{1, 0}, {0, 1}, {0, 0}};
  for (int i = 0; i < 9; ++i) {
    data.rows.push_back(
        {i * 0.5, arms[i % 3][0], arms[i % 3][1], i % 2 * 1.0, i % 2 == 0 ? 1.0 : 0.0, i * 1.0});
  }
  FakeHost host;
  FakeLibrary library;
  host.data_set(kData, data);
  host.list(kTailor1, {"t1"});
  host.list(kTailor2, {"t2"});
  host.list(kResponse, {"y"});
  host.list(kStg2Trt, {"a2"});
  host.list(kStg1Trt, {"b1", "c1"});
  host.number(kNtreats1, 3);
  host.number(kNgrid, 1);  // would be refused if intervals were in force
  host.flag(kDeriveCi);
  host.run();
  EXPECT_TRUE(host.errors().empty());
  EXPECT_EQ(library.derive_ci, 0);
  EXPECT_EQ(library.K1, 3);
}

TEST(Options, OverlapComparesVariablesNotTruncatedNames) {
  FakeDataSet data = study();
  data.variables[0] = "treatment_score_a";
  data.variables[2] = "treatment_score_b";
  FakeHost host;
  FakeLibrary library;
  minimal_statement(host, study());
  host.data_set(kData, data);
  host.list(kMain1, {"treatment_score_a"});
  host.list(kTailor1, {"treatment_score_b"});
  host.list(kTailor2, {"treatment_score_a"});  // MAIN1 and TAILOR2 may share a variable
  host.run();
  EXPECT_TRUE(host.errors().empty());
  EXPECT_TRUE(library.called);
}

TEST(Options, ContrastVariablesMustBeNumeric) {
  FakeHost host;
  FakeLibrary library;
  minimal_statement(host, study());
  host.data_set(kContrast1, FakeDataSet{"WORK.C",
                                        {"c1", "label", "c3", "c4"},
                                        {TALVEN_VAR_NUMERIC, TALVEN_VAR_CHARACTER,
                                         TALVEN_VAR_NUMERIC, TALVEN_VAR_NUMERIC},
                                        {},
                                        {}});
  host.run();
  EXPECT_EQ(host.errors(), std::vector<std::string>{
                               "Variable label of the CONTRAST1= data set is character; contrast "
                               "coefficients must be numeric."});
  EXPECT_EQ(host.explained, std::vector<int32_t>{2});  // the host says why, when it knows
  EXPECT_TRUE(host.declared.empty());
}

}  // namespace
}  // namespace talven_test
