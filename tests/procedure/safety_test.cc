// Mistakes that used to give a silent or unexplained result: variables in two roles, values a
// role cannot take, observations left out, settings that make the limits doubtful, contrast
// columns in the wrong order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "frontend/stage_model.h"
#include "procedure/statement_items.h"
#include "tests/procedure/fake_host.h"

namespace talven_test {
namespace {

using namespace talven;  // item numbers
using Lines = std::vector<std::string>;
const double M = kMissing;

TEST(Roles, AVariableHasOneRoleOnly) {
  struct Case {
    const char* name;
    std::function<void(FakeHost&)> apply;
    const char* error;  // null: the run goes on
  };
  const std::vector<Case> cases = {
      {"response as a covariate",
       [](FakeHost& h) {
         h.list(kMain1, {"x1", "y"});
       },
       "Variable y is the RESPONSE variable and cannot also be in MAIN1."},
      {"response as a stage-2 tailoring variable", [](FakeHost& h) { h.list(kTailor2, {"y"}); },
       "Variable y is the RESPONSE variable and cannot also be in TAILOR2."},
      {"stage-1 treatment as its own tailoring variable",
       [](FakeHost& h) { h.list(kTailor1, {"a1"}); },
       "Variable a1 is the STG1TRT variable and cannot also be in TAILOR1."},
      {"stage-2 treatment as a stage-2 covariate", [](FakeHost& h) { h.list(kMain2, {"a2"}); },
       "Variable a2 is the STG2TRT variable and cannot also be in MAIN2."},
      {"stage-2 treatment as a stage-1 covariate", [](FakeHost& h) { h.list(kMain1, {"a2"}); },
       "Variable a2 is the STG2TRT variable and cannot also be in MAIN1."},
      {"sample indicator as a covariate",
       [](FakeHost& h) {
         h.list(kStg2Sample, {"r"});
         h.list(kMain2, {"r"});
       },
       "Variable r is the STG2SAMPLE variable and cannot also be in MAIN2."},
      {"sample indicator is the response", [](FakeHost& h) { h.list(kStg2Sample, {"y"}); },
       "Variable y is the RESPONSE variable and cannot also be in STG2SAMPLE."},
      {"one treatment for both stages", [](FakeHost& h) { h.list(kStg2Trt, {"a1"}); },
       "Variable a1 is the STG1TRT variable and cannot also be in STG2TRT."},
      {"treatment is the response", [](FakeHost& h) { h.list(kStg1Trt, {"y"}); },
       "Variable y is the RESPONSE variable and cannot also be in STG1TRT."},
      {"one variable twice among three treatments",
       [](FakeHost& h) {
         h.number(kNtreats2, 3);
         h.list(kStg2Trt, {"a2", "a2"});
       },
       "Variable a2 is the STG2TRT variable and cannot also be in STG2TRT."},
      // Only the first variable of RESPONSE and STG2SAMPLE is used, so only it has the role.
      {"extra response variables are not used",
       [](FakeHost& h) {
         h.list(kResponse, {"y", "t1"});
       },
       nullptr},
      {"stage-1 treatment as a stage-2 covariate", [](FakeHost& h) { h.list(kMain2, {"a1"}); },
       nullptr},
      {"stage-1 treatment as a stage-2 tailoring variable",
       [](FakeHost& h) {
         h.list(kTailor2, {"t2", "a1"});
         h.list(kStg2Sample, {"r", "a2"});
       },
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    FakeLibrary library;
    minimal_statement(host, study(12));
    c.apply(host);
    host.run();
    if (c.error == nullptr) {
      EXPECT_TRUE(host.errors().empty()) << host.errors().front();
      EXPECT_TRUE(library.called);
    } else {
      EXPECT_EQ(host.errors(), Lines{c.error});
      EXPECT_EQ(host.end_code(), 3000);
      EXPECT_TRUE(host.declared.empty());  // before any data are read
    }
  }
}

TEST(Roles, LongNamesSharingTwelveCharactersAreDifferentVariables) {
  FakeDataSet data = study(12);
  data.variables.push_back("outcome_at_week_12");
  data.variables.push_back("outcome_at_week_4");
  for (auto& row : data.rows) {
    row.push_back(row[8]);
    row.push_back(row[1]);
  }
  FakeHost host;
  FakeLibrary library;
  minimal_statement(host, data);
  host.list(kResponse, {"outcome_at_week_12"});
  host.list(kMain2, {"outcome_at_week_4"});
  host.run();
  EXPECT_TRUE(host.errors().empty());
  EXPECT_TRUE(library.called);
}

// Columns t1 a1 r t2 a2 y with the sample indicator, or t1 a1 t2 a2 y without it.
FakeDataSet trial(const std::vector<std::vector<double>>& rows, bool with_sample) {
  FakeDataSet data;
  data.name = "WORK.TRIAL";
  data.variables =
      with_sample ? Lines{"t1", "a1", "r", "t2", "a2", "y"} : Lines{"t1", "a1", "t2", "a2", "y"};
  data.rows = rows;
  return data;
}

void run_trial(FakeHost& host, const FakeDataSet& data, bool with_sample) {
  host.data_set(kData, data);
  host.list(kTailor1, {"t1"});
  host.list(kStg1Trt, {"a1"});
  if (with_sample) host.list(kStg2Sample, {"r"});
  host.list(kTailor2, {"t2"});
  host.list(kStg2Trt, {"a2"});
  host.list(kResponse, {"y"});
  host.run();
}

// Eight complete subjects in the stage-2 sample, then the rows under test.
std::vector<std::vector<double>> complete_rows() {
  std::vector<std::vector<double>> rows;
  for (int i = 0; i < 8; ++i) {
    rows.push_back(
        {double(i), i % 2 ? 1.0 : -1.0, 1, double(i % 3), i / 2 % 2 ? 1.0 : -1.0, double(i * i)});
  }
  return rows;
}

TEST(LeftOut, TheNoteCountsEachVariableMostFirst) {
  struct Case {
    const char* name;
    std::vector<std::vector<double>> extra;  // t1 a1 r t2 a2 y
    const char* note;                        // null: no note
  };
  const std::vector<Case> cases = {
      {"nothing left out", {}, nullptr},
      {"a responder without stage-2 values is kept", {{1, 1, 0, M, M, 3}}, nullptr},
      {"stage-2 values missing in the sample",
       {{1, 1, 1, M, M, 3}, {1, 1, 1, 2, M, 3}},
       "NOTE: 2 of 10 observations were left out: a2 missing in 2, t2 missing in 1."},
      // Outside the stage-2 sample, missing stage-2 values are neither a reason nor counted.
      {"a responder left out for its response",
       {{1, 1, 0, M, M, M}},
       "NOTE: 1 of 9 observations were left out: y missing in 1."},
      {"unknown sample membership",
       {{1, 1, M, M, 1, 3}, {M, 1, 3, 1, 1, 3}},
       "NOTE: 2 of 10 observations were left out: r missing in 1, r neither 0 nor 1 in 1, t1 "
       "missing in 1."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::vector<double>> rows = complete_rows();
    rows.insert(rows.end(), c.extra.begin(), c.extra.end());
    FakeHost host;
    FakeLibrary library;
    run_trial(host, trial(rows, true), true);
    std::vector<std::string> notes;
    for (const std::string& line : host.log) {
      if (line.find("observations were left out") != std::string::npos) notes.push_back(line);
    }
    EXPECT_EQ(notes, c.note == nullptr ? Lines{} : Lines{c.note});
  }
}

TEST(LeftOut, AtMostTenVariablesAreNamed) {
  FakeDataSet data;
  data.name = "WORK.WIDE";
  std::vector<std::string> main1;
  for (int j = 0; j < 12; ++j) {
    data.variables.push_back("m" + std::to_string(j));
    main1.push_back(data.variables.back());
  }
  for (const char* v : {"t1", "a1", "t2", "a2", "y"}) data.variables.push_back(v);
  for (int i = 0; i < 40; ++i) {
    std::vector<double> row;
    for (int j = 0; j < 12; ++j) row.push_back(std::sin(i * (j + 1.0)));
    for (double v :
         {double(i % 5), i % 2 ? 1.0 : -1.0, double(i % 3), i / 2 % 2 ? 1.0 : -1.0, double(i)}) {
      row.push_back(v);
    }
    // Observation i misses m0 .. m(i-28) for the last twelve: m0 most often, m11 once.
    if (i >= 28) {
      for (int j = 0; j <= 39 - i; ++j) row[static_cast<std::size_t>(j)] = M;
    }
    data.rows.push_back(row);
  }
  FakeHost host;
  FakeLibrary library;
  host.data_set(kData, data);
  host.list(kMain1, main1);
  host.list(kTailor1, {"t1"});
  host.list(kStg1Trt, {"a1"});
  host.list(kTailor2, {"t2"});
  host.list(kStg2Trt, {"a2"});
  host.list(kResponse, {"y"});
  host.run();
  EXPECT_EQ(host.lines_with("NOTE: 12 of 40 observations were left out: "),
            Lines{"m0 missing in 12, m1 missing in 11, m2 missing in 10, m3 missing in 9, m4 "
                  "missing in 8, m5 missing in 7, m6 missing in 6, m7 missing in 5, m8 missing in "
                  "4, m9 missing in 3."});
}

TEST(LeftOut, SampleValuesThatAreNotZeroOrOneAreNamed) {
  struct Case {
    std::vector<double> r;
    const char* warning;
  };
  const std::vector<Case> cases = {
      {{1, 0, 1.9, -0.5}, nullptr},  // integer parts 1, 0, 1, 0
      {{2, 2, 2},
       "STG2SAMPLE variable r must be 0 (outside the stage-2 sample) or 1 (in it); 3 "
       "observations with the value 2 were left out."},
      {{2, 3, 3, -1, 2.5, 7, 9, 3},
       "STG2SAMPLE variable r must be 0 (outside the stage-2 sample) or 1 (in it); 3 "
       "observations with the value 3, 1 observation with the value -1, 1 observation with the "
       "value 2, 1 observation with the value 2.5, 1 observation with the value 7 and 1 "
       "observation with other values were left out."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.r));
    std::vector<std::vector<double>> rows = complete_rows();
    for (double r : c.r) rows.push_back({1, 1, r, 1, 1, 1});
    FakeHost host;
    FakeLibrary library;
    run_trial(host, trial(rows, true), true);
    const Lines warnings = host.lines_with("WARNING: STG2SAMPLE");
    EXPECT_EQ(warnings.size(), c.warning == nullptr ? 0u : 1u);
    if (c.warning != nullptr && !warnings.empty()) {
      EXPECT_EQ("STG2SAMPLE" + warnings[0], c.warning);
    }
  }
}

TEST(LeftOut, WithoutTheSampleStatementMissingStageTwoValuesAreWarnedOf) {
  // 30 complete subjects, then `missing` whose stage-2 values are absent, as for responders.
  for (int missing : {2, 3, 4, 10}) {
    SCOPED_TRACE(missing);
    std::vector<std::vector<double>> rows;
    for (int i = 0; i < 27 + missing; ++i) {
      const bool absent = i >= 27;
      rows.push_back({double(i % 4), i % 2 ? 1.0 : -1.0, absent ? M : double(i % 3),
                      absent ? M : (i / 2 % 2 ? 1.0 : -1.0), double(i)});
    }
    FakeHost host;
    FakeLibrary library;
    run_trial(host, trial(rows, false), false);
    const Lines warnings = host.warnings();
    const std::string expected =
        "Without STG2SAMPLE every observation is in the stage-2 sample, and t2 is missing in " +
        std::to_string(missing) + " of " + std::to_string(27 + missing) +
        " observations, which were therefore left out of both stages. If only some subjects "
        "entered stage 2, mark them with a STG2SAMPLE statement.";
    // 10% of 29 is 2.9 observations: 3 or more are warned of.
    if (missing * 10 >= 27 + missing) {
      ASSERT_EQ(warnings.size(), 2u);
      EXPECT_EQ(warnings[0], expected);
    } else {
      EXPECT_EQ(warnings.size(), 1u);  // the missing-data warning alone
    }
  }
}

TEST(Levels, ATreatmentWithTooFewValuesIsExplainedBeforeTheAnalysis) {
  struct Case {
    const char* name;
    int k2;
    std::vector<std::vector<double>> a2;  // one row per stage-2 subject
    const char* error;
  };
  const std::vector<Case> cases = {
      {"two treatments, one value",
       2,
       {{1}, {1}, {1}, {1}, {1}, {1}, {1}, {1}},
       "STG2TRT variable a2 has only one value (1) among the 8 observations used; NTREATS2=2 "
       "treatments are expected."},
      {"three treatments, two tuples",
       3,
       {{1, 0}, {0, 1}, {1, 0}, {0, 1}, {1, 0}, {0, 1}, {1, 0}, {0, 1}},
       "STG2TRT variables a2, b2 have only 2 combinations of values ((1, 0), (0, 1)) among the 8 "
       "observations used; NTREATS2=3 treatments are expected."},
      {"three treatments, all present",
       3,
       {{1, 0}, {0, 1}, {0, 0}, {0, 1}, {1, 0}, {0, 1}, {1, 0}, {0, 1}},
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDataSet data;
    data.name = "WORK.T";
    data.variables = {"t1", "a1", "t2", "a2", "b2", "y"};
    for (std::size_t i = 0; i < c.a2.size(); ++i) {
      const double b2 = c.a2[i].size() > 1 ? c.a2[i][1] : 0;
      data.rows.push_back({double(i), i % 2 ? 1.0 : -1.0, double(i % 3), c.a2[i][0], b2, 1.0 * i});
    }
    FakeHost host;
    FakeLibrary library;
    host.data_set(kData, data);
    host.list(kTailor1, {"t1"});
    host.list(kStg1Trt, {"a1"});
    host.list(kTailor2, {"t2"});
    host.list(kStg2Trt, c.k2 == 2 ? Lines{"a2"} : Lines{"a2", "b2"});
    host.list(kResponse, {"y"});
    host.number(kNtreats2, c.k2);
    host.run();
    EXPECT_EQ(host.errors(), c.error == nullptr ? Lines{} : Lines{c.error});
    // Logged right before the analysis, which then ends as it would have.
    EXPECT_TRUE(library.called);
    if (c.error != nullptr) {
      const auto at = std::find(host.log.begin(), host.log.end(), "ERROR: " + std::string(c.error));
      ASSERT_NE(at, host.log.end());
      EXPECT_EQ(*(at + 1), "NOTE: Before runkestrion......");
    }
  }
}

TEST(Settings, DoubtfulIntervalsAreWarnedOf) {
  struct Case {
    bool derive_ci;
    double k1, nb1, nb2, alpha;
    Lines messages;  // the warnings, and the NOTE about DERIVECI
  };
  const char* kNoEffect =
      "NOTE: Confidence intervals need two treatments at each stage; DERIVECI has no effect.";
  const std::vector<Case> cases = {
      {true, 2, 40, 20, 0.05, {}},
      {false, 2, 5, 5, 0.05, {}},
      {true,
       2,
       39,
       20,
       0.05,
       {"WARNING: NBOOTSTRAP1=39 is too small for ALPHA=0.05: the limits are the extreme "
        "replicates; use NBOOTSTRAP1=40 or more."}},
      {true,
       2,
       6,
       20,
       0.3,
       {"WARNING: NBOOTSTRAP1=6 is too small for ALPHA=0.3: the limits are the extreme "
        "replicates; use NBOOTSTRAP1=7 or more."}},
      {true,
       2,
       10,
       5,
       0.1,
       {"WARNING: NBOOTSTRAP1=10 is too small for ALPHA=0.1: the limits are the extreme "
        "replicates; use NBOOTSTRAP1=20 or more.",
        "WARNING: NBOOTSTRAP2=5 is too small for a stable covariance of the stage-2 estimates; "
        "use NBOOTSTRAP2=20 or more."}},
      {true, 3, 5, 5, 0.05, {kNoEffect}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::vector<double>{c.k1, c.nb1, c.nb2, c.alpha}));
    FakeDataSet data = study(12);
    data.variables.push_back("b1");
    for (std::size_t i = 0; i < data.rows.size(); ++i) {
      data.rows[i].push_back(i % 3 == 0 ? 1 : 0);
      data.rows[i][3] = i % 3 == 1 ? 1 : 0;
    }
    FakeHost host;
    FakeLibrary library;
    minimal_statement(host, data);
    if (c.k1 == 3) host.list(kStg1Trt, {"a1", "b1"});
    host.number(kNtreats1, c.k1);
    host.number(kNbootstrap1, c.nb1);
    host.number(kNbootstrap2, c.nb2);
    host.number(kAlpha, c.alpha);
    if (c.derive_ci) host.flag(kDeriveCiFlag);
    host.run();
    Lines messages;
    for (const std::string& line : host.log) {
      if (line.rfind("WARNING: ", 0) == 0 || line.find("DERIVECI") != std::string::npos) {
        messages.push_back(line);
      }
    }
    EXPECT_EQ(messages, c.messages);
    EXPECT_TRUE(library.called);
  }
}

TEST(Contrasts, ColumnsNamedInAnotherOrderAreWarnedOf) {
  const std::vector<std::string> labels = coefficient_labels({{"age"}, {"o11"}, {"a1"}});
  EXPECT_EQ(join(labels), "intercept, age, o11, o11:a1, a1");
  struct Case {
    std::vector<std::string> columns;
    int misplaced;
  };
  const std::vector<Case> cases = {
      {{"intercept", "age", "o11", "o11:a1", "a1"}, -1},
      {{"Intercept", "AGE", "o11", "o11_a1", "a1"}, -1},
      {{"c1", "c2", "c3", "c4", "c5"}, -1},
      {{"intercept", "age", "o11", "a1", "o11_a1"}, 3},
      {{"age", "intercept", "o11", "o11:a1", "a1"}, 0},
      {{"intercept", "age", "o11", "a1", "a1"}, -1},  // not a permutation
      {{"intercept", "age", "o11", "o11:a1"}, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(first_misplaced_column(c.columns, labels), c.misplaced)
        << ::testing::PrintToString(c.columns);
  }

  // Through the procedure: the warning, and the analysis goes on by position.
  FakeHost host;
  FakeLibrary library;
  minimal_statement(host, study(12));
  host.data_set(kContrast1, {"WORK.C", {"intercept", "t1", "a1", "t1_a1"}, {}, {{0, 0, 1, 1}}, {}});
  host.run();
  EXPECT_EQ(host.warnings(),
            Lines{"The columns of the CONTRAST1= data set are used by position, but their names "
                  "suggest another order: column 3 is named a1. The order is intercept, t1, "
                  "t1:a1, a1."});
  EXPECT_EQ(library.contrasts, (std::vector<double>{0, 0, 1, 1}));
}

TEST(Contrasts, AWrongWidthListsTheCoefficientOrder) {
  FakeDataSet data = study(12);
  data.variables[0] = "age_at_entry_years";
  FakeHost host;
  FakeLibrary library;
  minimal_statement(host, data);
  host.list(kMain1, {"age_at_entry_years"});
  host.data_set(kContrast1, {"WORK.C", {"c1", "c2"}, {}, {{0, 1}}, {}});
  host.run();
  EXPECT_EQ(host.errors(),
            (Lines{"Contrast1 Dataset should have 5 columns.",
                   "The columns are used in this order: intercept, age_at_entry_years, t1, "
                   "t1:a1, a1."}));
  EXPECT_EQ(host.end_code(), 3000);
  EXPECT_FALSE(library.called);
}

}  // namespace
}  // namespace talven_test

namespace talven_test {
namespace {

TEST(Out, IsRefusedBeforeTheDataWhenItCannotBeWritten) {
  {
    SCOPED_TRACE("a host without the routine");
    FakeHost host;
    FakeLibrary library;
    host.has_output_routines = false;
    minimal_statement(host, study(8));
    host.output(talven::kOut);
    host.run();
    EXPECT_EQ(host.errors(), Lines{"This host cannot write output data sets; remove OUT=."});
    EXPECT_TRUE(host.declared.empty());
  }
  {
    SCOPED_TRACE("a DATA= variable with the name of an added one");
    FakeDataSet data = study(8);
    data.variables[1] = "Rec2";
    FakeHost host;
    FakeLibrary library;
    minimal_statement(host, data);
    host.output(talven::kOut);
    host.run();
    EXPECT_EQ(host.errors(), Lines{"OUT= adds the variable REC2, and data set WORK.STUDY already "
                                   "has a variable of that name; rename it."});
    EXPECT_TRUE(host.declared.empty());
  }
  {
    SCOPED_TRACE("the host fails to write it");
    FakeHost host;
    FakeLibrary library;
    minimal_statement(host, study(8));
    host.output(talven::kOut);
    host.write_result = 1;
    host.run();
    EXPECT_EQ(host.end_code(), 3000);
    EXPECT_EQ(host.written.size(), 1u);
  }
}

TEST(Minimize, TheLibraryAnalysesTheNegatedResponse) {
  FakeHost host;
  FakeLibrary library;
  const FakeDataSet data = study(8);
  minimal_statement(host, data);
  host.flag(kMinimizeFlag);
  host.run();
  ASSERT_EQ(library.Y1.size(), 8u);
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(library.Y1[i], -data.rows[i][8]);
    EXPECT_EQ(library.Y2[i], -data.rows[i][8]);
  }
  // The fake's stage-1 estimates are 1.5, 2.5, ...: reported for y, so negated.
  EXPECT_NE(
      std::find(host.listing.begin(), host.listing.end(), "intercept                  -1.5000"),
      host.listing.end());
}

}  // namespace
}  // namespace talven_test
