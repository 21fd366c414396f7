// OUTEST=, the seed note and the progress reports, as the module hands them to the host. The fake
// library's estimates are 1.5, 2.5, ... at stage 1 and -0.25, -1.25, ... at stage 2; interval k
// is (10 + k, -10 - k).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "procedure/statement_items.h"
#include "tests/procedure/fake_host.h"

namespace talven_test {
namespace {

using talven::kOutest;

struct Row {
  double stage;
  std::string term;
  double estimate, lower, upper;
};

std::vector<Row> rows_of(const FakeHost::Written& w) {
  std::vector<Row> rows;
  const auto n = static_cast<size_t>(w.observations);
  for (size_t i = 0; i < n; ++i) {
    rows.push_back({w.numbers[i], w.texts[n + i], w.numbers[2 * n + i], w.numbers[3 * n + i],
                    w.numbers[4 * n + i]});
  }
  return rows;
}

bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || a == b;
}

void expect_rows(const std::vector<Row>& got, const std::vector<Row>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i + 1));
    EXPECT_EQ(got[i].stage, want[i].stage);
    EXPECT_EQ(got[i].term, want[i].term);
    EXPECT_EQ(got[i].estimate, want[i].estimate);
    EXPECT_TRUE(same(got[i].lower, want[i].lower)) << got[i].lower;
    EXPECT_TRUE(same(got[i].upper, want[i].upper)) << got[i].upper;
  }
}

TEST(Outest, RowsFollowTheListingWithLimitsOnlyWhereItHasThem) {
  const double na = kMissing;
  for (const bool ci : {false, true}) {
    SCOPED_TRACE(ci ? "with intervals" : "without intervals");
    FakeHost host;
    FakeLibrary library;
    minimal_statement(host, study(8));
    host.list(7, {"x1"});
    host.list(8, {"t1", "x2"});
    host.list(9, {"m2"});
    host.output(kOutest);
    if (ci) host.flag(1);
    // p1 = 1 + 2 * 3 = 7; the second contrast is 2 * intercept + the last coefficient.
    host.data_set(2, FakeDataSet{"WORK.CON",
                                 {"c1", "c2", "c3", "c4", "c5", "c6", "c7"},
                                 {},
                                 {{0, 0, 1, 0, 0, 0, 0}, {2, 0, 0, 0, 0, 0, 1}},
                                 {}});
    host.run();
    ASSERT_EQ(host.end_code(), 0) << host.errors().front();
    ASSERT_EQ(host.written.size(), 1u);
    const FakeHost::Written& w = host.written.front();
    EXPECT_EQ(w.item, kOutest);
    EXPECT_EQ(w.names, (std::vector<std::string>{"Stage", "Term", "Estimate", "Lower", "Upper"}));
    EXPECT_EQ(w.types, (std::vector<int32_t>{1, 2, 1, 1, 1}));
    auto lo = [&](int k) { return ci ? -10.0 - k : na; };
    auto up = [&](int k) { return ci ? 10.0 + k : na; };
    expect_rows(rows_of(w), {
                                {1, "intercept", 1.5, lo(0), up(0)},
                                {1, "x1", 2.5, lo(1), up(1)},
                                {1, "t1", 3.5, lo(2), up(2)},
                                {1, "x2", 4.5, lo(3), up(3)},
                                {1, "t1:a1", 5.5, lo(4), up(4)},
                                {1, "x2:a1", 6.5, lo(5), up(5)},
                                {1, "a1", 7.5, lo(6), up(6)},
                                {1, "Contrast1", 3.5, lo(7), up(7)},
                                {1, "Contrast2", 2 * 1.5 + 7.5, lo(8), up(8)},
                                {2, "intercept", -0.25, na, na},
                                {2, "m2", -1.25, na, na},
                                {2, "t2", -2.25, na, na},
                                {2, "t2:a2", -3.25, na, na},
                                {2, "a2", -4.25, na, na},
                            });
    // Its blocks are released: nothing of it is left to the host.
    EXPECT_EQ(host.live_blocks(), 0);
  }
}

TEST(Outest, LabelsOfLongNamesAndManyContrasts) {
  FakeHost host;
  FakeLibrary library;
  FakeDataSet data = study(8);
  // Two names that the listing cuts to the same 12 characters keep their own Terms.
  data.variables[1] = "a_very_long_tailoring_name";
  data.variables[0] = "a_very_long_main_name";
  minimal_statement(host, data);
  host.list(8, {"a_very_long_tailoring_name"});
  host.list(7, {"a_very_long_main_name"});
  host.output(kOutest);
  // p1 = 5; twelve contrasts, so that the two-place numbers of the listing show.
  FakeDataSet contrasts{"WORK.CON", {"c1", "c2", "c3", "c4", "c5"}, {}, {}, {}};
  for (int m = 0; m < 12; ++m) contrasts.rows.push_back({1, 0, 0, 0, 0});
  host.data_set(2, contrasts);
  host.run();
  ASSERT_EQ(host.written.size(), 1u);
  const std::vector<Row> rows = rows_of(host.written.front());
  ASSERT_EQ(rows.size(), 5u + 12u + 4u);
  EXPECT_EQ(rows[1].term, "a_very_long_main_name");
  EXPECT_EQ(rows[2].term, "a_very_long_tailoring_name");
  EXPECT_EQ(rows[3].term, "a_very_long_tailoring_name:a1");
  EXPECT_EQ(rows[5].term, "Contrast1");
  EXPECT_EQ(rows[16].term, "Contrast12");
  // The listing keeps its 12-character labels.
  EXPECT_EQ(std::count_if(host.listing.begin(), host.listing.end(),
                          [](const std::string& l) { return l.rfind("a_very_long_ ", 0) == 0; }),
            2);
}

TEST(Outest, FailuresStopTheStep) {
  {
    SCOPED_TRACE("the host could not write it");
    FakeHost host;
    FakeLibrary library;
    minimal_statement(host, study(8));
    host.output(kOutest);
    host.write_result = 1;
    host.run();
    EXPECT_EQ(host.end_code(), 3000);
  }
  {
    SCOPED_TRACE("a host without the routine: refused before any data are read");
    FakeHost host;
    FakeLibrary library;
    host.has_output_routines = false;
    minimal_statement(host, study(8));
    host.output(kOutest);
    host.run();
    EXPECT_EQ(host.end_code(), 3000);
    EXPECT_EQ(host.errors(),
              std::vector<std::string>{"This host cannot write output data sets; remove OUTEST=."});
    EXPECT_FALSE(library.called);
  }
}

TEST(SeedNoteAndProgress, FollowTheIntervalRequest) {
  const struct {
    bool ci;
    int seed;
    bool host_progress;
    const char* note;  // null: no seed note at all
  } cases[] = {
      {false, 0, true, nullptr},
      {false, 5, true, nullptr},
      {true, 0, true,
       "NOTE: The bootstrap was seeded from the clock: SEED=123456789 repeats this run."},
      {true, 2147483562, true, "NOTE: The bootstrap used SEED=2147483562."},
      {true, 9, false, "NOTE: The bootstrap used SEED=9."},
  };
  const talven::SeedClock saved = talven::seed_clock();
  // 123456788 ticks map to seed 123456789; 2147483562 more ticks map to the same seed.
  talven::seed_clock() = [] { return uint64_t{123456788} + 3 * uint64_t{2147483562}; };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.ci ? "DERIVECI" : "no DERIVECI") +
                 " SEED=" + std::to_string(c.seed));
    FakeHost host;
    FakeLibrary library;
    host.has_output_routines = c.host_progress;
    minimal_statement(host, study(8));
    if (c.ci) host.flag(1);
    if (c.seed != 0) host.number(23, c.seed);
    host.number(17, 4);  // NBOOTSTRAP1
    host.run();
    ASSERT_EQ(host.end_code(), 0);
    const auto notes = host.lines_with("NOTE: The bootstrap");
    if (c.note == nullptr) {
      EXPECT_TRUE(notes.empty());
    } else {
      const auto note = std::find(host.log.begin(), host.log.end(), c.note);
      const auto before =
          std::find(host.log.begin(), host.log.end(), "NOTE: Before runkestrion......");
      ASSERT_NE(note, host.log.end());
      EXPECT_EQ(note + 1, before);
    }
    // A clock seed is used exactly as SEED= would be.
    if (c.ci) {
      EXPECT_EQ(library.seeds, std::vector<int32_t>{c.seed != 0 ? c.seed : 123456789});
    }
    // Reports reach the host only when there is a computation to report and a host to show it;
    // the callback is withdrawn when the library returns.
    const bool reports = c.ci && c.host_progress;
    using Reports = std::vector<std::pair<int32_t, int32_t>>;
    const Reports expected = reports ? Reports{{1, 4}, {2, 4}, {3, 4}, {4, 4}} : Reports{};
    EXPECT_EQ(host.progress, expected);
    EXPECT_EQ(library.progress_callbacks.size(), reports ? 2u : 0u);
    if (reports) {
      EXPECT_EQ(library.progress_callbacks.back(), nullptr);
    }
  }
  talven::seed_clock() = saved;
}

}  // namespace
}  // namespace talven_test
