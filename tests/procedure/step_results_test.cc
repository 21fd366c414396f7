// The results the module hands the host for its reports: the same rows as OUTEST=, the counts and
// settings of the run, the decision rules as the listing words them, and nothing that changes
// the listing or the log. The fake library's estimates are 1.5, 2.5, ... at stage 1 and -0.25,
// -1.25, ... at stage 2; interval k is (10 + k, -10 - k).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "procedure/statement_items.h"
#include "tests/procedure/fake_host.h"

namespace talven_test {
namespace {

using talven::kOutest;
using Settings = std::vector<std::pair<std::string, std::string>>;

bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || a == b;
}

// DATA=STUDY with MAIN1 x1, TAILOR1 t1, MAIN2 m2 and one contrast; OUTEST= always.
void model(FakeHost& host, bool intervals) {
  minimal_statement(host, study(8));
  host.list(7, {"x1"});
  host.list(9, {"m2"});
  host.output(kOutest);
  host.data_set(2,
                FakeDataSet{"WORK.CON", {"c1", "c2", "c3", "c4", "c5"}, {}, {{0, 0, 0, 2, 2}}, {}});
  if (intervals) {
    host.flag(talven::kDeriveCiFlag);
    host.number(kSeed, 77);
    host.number(kNbootstrap1, 40);
    host.number(kNbootstrap2, 40);
  }
}

TEST(StepResults, AreTheRowsOfOutestWithTheCountsAndSettingsOfTheRun) {
  for (const bool ci : {false, true}) {
    SCOPED_TRACE(ci ? "with intervals" : "point estimates only");
    FakeHost host;
    FakeLibrary library;
    library.collinear = ci ? 3 : 0;
    model(host, ci);
    host.run();
    ASSERT_EQ(host.end_code(), 0);
    ASSERT_EQ(host.results.size(), 1u);
    ASSERT_EQ(host.written.size(), 1u);
    const FakeHost::Results& r = host.results.front();
    const FakeHost::Written& w = host.written.front();
    EXPECT_EQ(r.observations, 8);
    EXPECT_EQ(r.stage1, 8);
    EXPECT_EQ(r.stage2, 8);
    EXPECT_EQ(r.collinear, ci ? 3 : 0);
    EXPECT_EQ(r.alpha, ci ? std::optional<double>(0.05) : std::nullopt);
    // Row for row what OUTEST= holds; the contrast is marked as one.
    const auto n = static_cast<size_t>(w.observations);
    ASSERT_EQ(r.terms.size(), n);
    for (size_t i = 0; i < n; ++i) {
      SCOPED_TRACE("row " + std::to_string(i + 1));
      EXPECT_EQ(r.terms[i].stage, w.numbers[i]);
      EXPECT_EQ(r.terms[i].term, w.texts[n + i]);
      EXPECT_EQ(r.terms[i].estimate, w.numbers[2 * n + i]);
      EXPECT_TRUE(same(r.terms[i].lower, w.numbers[3 * n + i]));
      EXPECT_TRUE(same(r.terms[i].upper, w.numbers[4 * n + i]));
      EXPECT_EQ(r.terms[i].contrast, r.terms[i].term == "Contrast1");
    }
    EXPECT_TRUE(r.rules.empty());
    EXPECT_TRUE(r.regime_values.empty());
    const Settings expected = ci ? Settings{{"DATA=", "WORK.STUDY"},  {"CONTRAST1=", "WORK.CON"},
                                            {"NTREATS1=", "2"},       {"NTREATS2=", "2"},
                                            {"DERIVECI", "in force"}, {"ALPHA=", "0.05"},
                                            {"NBOOTSTRAP1=", "40"},   {"NBOOTSTRAP2=", "40"},
                                            {"NGRID=", "10"},         {"GRID_SCALE=", "2.58"},
                                            {"SEED=", "77"}}
                                 : Settings{{"DATA=", "WORK.STUDY"},
                                            {"CONTRAST1=", "WORK.CON"},
                                            {"NTREATS1=", "2"},
                                            {"NTREATS2=", "2"},
                                            {"DERIVECI", "not given (point estimates only)"}};
    EXPECT_EQ(r.settings, expected);
  }
}

TEST(StepResults, SettingsSayWhatTheUserDidNotWrite) {
  const talven::SeedClock saved = talven::seed_clock();
  talven::seed_clock() = [] { return uint64_t{41}; };
  FakeHost host;
  FakeLibrary library;
  minimal_statement(host, study(8));
  host.flag(talven::kDeriveCiFlag);
  host.flag(talven::kRulesFlag);
  host.flag(kMinimizeFlag);
  host.number(kCores, 2);
  host.run();
  talven::seed_clock() = saved;
  ASSERT_EQ(host.results.size(), 1u);
  const Settings& s = host.results.front().settings;
  auto value = [&](const std::string& name) {
    const auto it =
        std::find_if(s.begin(), s.end(), [&](const auto& kv) { return kv.first == name; });
    return it == s.end() ? std::string("(absent)") : it->second;
  };
  EXPECT_EQ(value("SEED="), "42 (drawn from the clock)");
  EXPECT_EQ(value("CORES="), "2");
  EXPECT_EQ(value("RULES"), "in force");
  EXPECT_EQ(value("MINIMIZE"), "in force (smaller outcomes are better)");
  EXPECT_EQ(value("CONTRAST1="), "(absent)");
}

TEST(StepResults, RulesAndTheRegimeValueAreWordedAsInTheListing) {
  FakeHost host;
  FakeLibrary library;
  model(host, false);
  host.flag(talven::kRulesFlag);
  host.run();
  ASSERT_EQ(host.results.size(), 1u);
  const FakeHost::Results& r = host.results.front();
  auto listed_after = [&](const std::string& heading, size_t offset) {
    const auto at = std::find(host.listing.begin(), host.listing.end(), heading);
    EXPECT_NE(at, host.listing.end()) << heading;
    return at == host.listing.end() ? std::string() : *(at + static_cast<long>(offset));
  };
  ASSERT_EQ(r.rules.size(), 2u);
  EXPECT_EQ(r.rules[0], "Stage 1: " + listed_after("Stage 1 Decision Rule", 2));
  EXPECT_EQ(r.rules[1], "Stage 2: " + listed_after("Stage 2 Decision Rule", 2));
  // The same numbers as the listing's, label and value with one blank between them.
  ASSERT_EQ(r.regime_values.size(), 3u);
  for (size_t k = 0; k < 3; ++k) {
    std::string listed = listed_after("Value of the Estimated Regime", 2 + k);
    const size_t colon = listed.find(':');
    const size_t value = listed.find_first_not_of(' ', colon + 1);
    EXPECT_EQ(r.regime_values[k], listed.substr(0, colon + 1) + " " + listed.substr(value));
  }
}

TEST(StepResults, LeaveListingAndLogAsTheyWereAndNeedNoHostSupport) {
  std::vector<std::string> logs[2];
  std::vector<std::string> listings[2];
  for (const bool takes : {true, false}) {
    FakeHost host;
    FakeLibrary library;
    host.has_output_routines = takes;
    minimal_statement(host, study(8));
    host.flag(talven::kDeriveCiFlag);
    host.flag(talven::kRulesFlag);
    host.number(kSeed, 5);
    host.run();
    EXPECT_EQ(host.end_code(), 0);
    EXPECT_EQ(host.results.size(), takes ? 1u : 0u);
    logs[takes] = host.log;
    listings[takes] = host.listing;
  }
  EXPECT_EQ(logs[0], logs[1]);
  EXPECT_EQ(listings[0], listings[1]);
}

// The model, coding, contrasts and left-out observations, against the statement and the data.
TEST(StepResults, CarryTheModelTheArmsTheContrastsAndWhyObservationsWereLeftOut) {
  FakeDataSet data = study(10);
  data.rows[3][0] = std::nan("");  // x1
  data.rows[6][8] = std::nan("");  // y
  data.rows[8][0] = std::nan("");  // x1 and y
  data.rows[8][8] = std::nan("");
  FakeHost host;
  FakeLibrary library;
  model(host, false);
  host.data_set(1, data);
  host.flag(kMinimizeFlag);
  host.run();
  ASSERT_EQ(host.end_code(), 0);
  ASSERT_EQ(host.results.size(), 1u);
  const FakeHost::Results& r = host.results.front();
  EXPECT_EQ(r.roles,
            (std::vector<std::string>{"MAIN1: x1", "TAILOR1: t1", "STG1TRT: a1", "MAIN2: m2",
                                      "TAILOR2: t2", "STG2TRT: a2", "RESPONSE: y"}));
  EXPECT_TRUE(r.minimize);
  // Arms counted here over the complete observations, in ascending order of the values.
  int arms1[2] = {0, 0};
  int arms2[2] = {0, 0};
  for (const auto& row : data.rows) {
    if (std::isnan(row[0]) || std::isnan(row[8])) continue;
    ++arms1[row[3] > 0 ? 1 : 0];
    ++arms2[row[7] > 0 ? 1 : 0];
  }
  const auto level = [](int stage, int value, int count) {
    return std::to_string(stage) + ": " + std::to_string(value) + " (" + std::to_string(count) +
           ")";
  };
  EXPECT_EQ(r.levels, (std::vector<std::string>{level(1, -1, arms1[0]), level(1, 1, arms1[1]),
                                                level(2, -1, arms2[0]), level(2, 1, arms2[1])}));
  EXPECT_EQ(r.contrasts, std::vector<std::string>{"Contrast1 = 2 t1:a1 + 2 a1"});
  EXPECT_EQ(r.left_out, (std::vector<std::string>{"x1 missing: 2", "y missing: 2"}));
}

TEST(StepResults, ContrastsReadAsTheCombinationsTheyAre) {
  FakeHost host;
  FakeLibrary library;
  model(host, false);
  host.data_set(2, FakeDataSet{"WORK.CON",
                               {"c1", "c2", "c3", "c4", "c5"},
                               {},
                               {{0, 0, 0, 2, 2},
                                {1, -0.5, 0, 0, -1},
                                {-1, 0, 0, 0.25, 0},
                                {0, 0, 0, 0, 0},
                                {0, 1e-12, 0, 0, 3}},
                               {}});
  host.run();
  ASSERT_EQ(host.end_code(), 0);
  ASSERT_EQ(host.results.size(), 1u);
  EXPECT_EQ(
      host.results.front().contrasts,
      (std::vector<std::string>{"Contrast1 = 2 t1:a1 + 2 a1", "Contrast2 = intercept - 0.5 x1 - a1",
                                "Contrast3 = -intercept + 0.25 t1:a1", "Contrast4 = 0",
                                "Contrast5 = 1e-12 x1 + 3 a1"}));
}

}  // namespace
}  // namespace talven_test
