// The value table: embedded regimes' weighted values, their percentile intervals and differences,
// and the estimated regime's value, against a computation written apart from the engine.
#include "engine/regime_value.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/uniform_generator.h"
#include "kestrion.h"
#include "reference_engine.h"

namespace kestrion {
namespace {

using reference::Matrix;

// A K1 = K2 = 2 study from per-subject lists; one TAILOR1 column x.
reference::Study small_study(const std::vector<int32_t>& a1, const std::vector<int32_t>& status,
                             const std::vector<int32_t>& a2, const std::vector<double>& y) {
  reference::Study st;
  st.n1 = static_cast<int32_t>(a1.size());
  st.p11 = 1;
  st.p1 = 4;
  st.p2 = 2;
  st.A1 = a1;
  st.respStatus = status;
  st.inputA2 = a2;
  st.Y1 = y;
  st.inputY2 = y;
  st.n2 = static_cast<int32_t>(std::count(status.begin(), status.end(), 0));
  st.H10 = Matrix(st.n1, 0);
  st.H11 = Matrix(st.n1, 1);
  for (int32_t i = 1; i <= st.n1; ++i) st.H11(i, 1) = i - 1;
  st.inputH20 = Matrix(st.n1, 0);
  st.inputH21 = Matrix(st.n1, 0);
  st.levels1 = Matrix(1, 2);
  st.levels1(1, 1) = -1;
  st.levels1(1, 2) = 1;
  st.levels2 = st.levels1;
  st.beta1hat = {1.0, 0.2, 0.5, -0.25};
  st.beta2hat = {3.0, 0.5};
  return st;
}

// Written apart from the engine: per regime, the weights of the formula in long double.
struct Reference {
  std::vector<long double> value;  // NaN when not estimable
  std::vector<int32_t> followers;
};

Reference reference_values(const reference::Study& st, const std::vector<int32_t>& rows) {
  Reference out;
  const long double n = static_cast<long double>(rows.size());
  for (int32_t a1 = 1; a1 <= st.K1; ++a1) {
    for (int32_t a2 = 1; a2 <= st.K2; ++a2) {
      long double given_a1 = 0, in_stage2 = 0, given_a2 = 0;
      for (int32_t i : rows) {
        if (st.A1[i - 1] != a1) continue;
        given_a1 += 1;
        if (st.respStatus[i - 1] == 0) {
          in_stage2 += 1;
          if (st.inputA2[i - 1] == a2) given_a2 += 1;
        }
      }
      long double sw = 0, swy = 0;
      int32_t followers = 0;
      for (int32_t i : rows) {
        if (st.A1[i - 1] != a1) continue;
        const bool outside = st.respStatus[i - 1] != 0;
        if (!outside && st.inputA2[i - 1] != a2) continue;
        const long double w = (n / given_a1) * (outside ? 1.0L : in_stage2 / given_a2);
        sw += w;
        swy += w * (outside ? st.Y1[i - 1] : st.inputY2[i - 1]);
        ++followers;
      }
      const bool estimable = followers > 0 && !(in_stage2 > 0 && given_a2 == 0);
      out.value.push_back(estimable ? swy / sw : NAN);
      out.followers.push_back(followers);
    }
  }
  return out;
}

// The interval engine's ranks, restated: floor(k alpha / 2) and ceil(k (1 - alpha / 2)).
void reference_interval(std::vector<long double> v, double alpha, double* low, double* high) {
  std::sort(v.begin(), v.end());
  const auto k = static_cast<long double>(v.size());
  const auto lo = std::max<long>(1, static_cast<long>(std::floor(k * alpha / 2)));
  const auto hi = std::min<long>(static_cast<long>(v.size()),
                                 static_cast<long>(std::ceil(k * (1 - alpha / 2))));
  *low = static_cast<double>(v[static_cast<size_t>(lo - 1)]);
  *high = static_cast<double>(v[static_cast<size_t>(hi - 1)]);
}

// The listed resamples first, then the value bootstrap's own draws.
ResampleSource fixed(const std::vector<std::vector<int32_t>>& list) {
  auto next = std::make_shared<size_t>(0);
  const ResampleSource rest = value_resamples(1);
  return [list, next, rest](int32_t n, int32_t size, int32_t* rows) {
    if (*next >= list.size()) return rest(n, size, rows);
    const std::vector<int32_t>& r = list[(*next)++];
    ASSERT_EQ(static_cast<int32_t>(r.size()), size);
    std::copy(r.begin(), r.end(), rows);
  };
}

std::string record_text(const ErrorRecord& record) {
  std::string text;
  for (const ErrorLine* line = record.first_line; line != nullptr; line = line->next) {
    text.append(line->text, kErrorLineLength).append("\n");
  }
  return text;
}

ValueTable run_table(const reference::Study& st, const ValueOptions& o,
                     const ResampleSource& source) {
  ValueTable table;
  ErrorRecord record;
  const FullDataEstimates estimates{reference::cvview(st.beta1hat), reference::cvview(st.beta2hat)};
  EXPECT_EQ(value_table(reference::shape_of(st), reference::study_of(st), estimates, o, source,
                        table, record),
            Status::kOk)
      << record_text(record);
  return table;
}

bool near(double a, double b) {
  return std::fabs(a - b) <= 1e-10 * std::max(1.0, std::fabs(b));
}

// Subject 1 and 5 are outside the stage-2 sample and follow both regimes of their a1.
const std::vector<int32_t> kA1 = {1, 1, 1, 1, 2, 2, 2, 2};
const std::vector<int32_t> kStatus = {1, 0, 0, 0, 1, 0, 0, 0};
const std::vector<int32_t> kA2 = {1, 1, 2, 2, 1, 1, 2, 1};
const std::vector<double> kY = {4, 2, 6, 8, 1, 3, 5, 7};

TEST(RegimeValue, HandWorkedValuesWithSubjectsOutsideTheStage2Sample) {
  const reference::Study st = small_study(kA1, kStatus, kA2, kY);
  ValueOptions o;
  o.nBootValue = 10;
  o.optimalInterval = false;
  const ValueTable t = run_table(st, o, value_resamples(5));
  ASSERT_EQ(t.rows.size(), 11u);
  // (1,1): w 2 for subject 1, 2 x 3 for subject 2; (1,2): 2, 3, 3; (2,1): 2, 3, 3; (2,2): 2, 6.
  const struct {
    size_t row;
    double estimate;
    int32_t followers;
  } expected[] = {{1, 2.5, 2},   {2, 6.25, 3},  {3, 4.0, 3},   {4, 4.0, 2},   {5, -3.75, -1},
                  {6, -1.5, -1}, {7, -1.5, -1}, {8, 2.25, -1}, {9, 2.25, -1}, {10, 0.0, -1}};
  for (const auto& e : expected) {
    SCOPED_TRACE(e.row);
    EXPECT_NEAR(t.rows[e.row].estimate, e.estimate, 1e-14);
    EXPECT_EQ(t.rows[e.row].followers, e.followers);
  }
  // Q1 = 1 + 0.2 x +- (0.5 x - 0.25) at x = 0..7: the largest sum to 26.1, the smallest to 1.1.
  EXPECT_NEAR(t.rows[0].estimate, 26.1 / 8, 1e-14);
  EXPECT_EQ(t.rows[0].status, ValueStatus::kNoInterval);
  o.minimize = true;
  EXPECT_NEAR(run_table(st, o, value_resamples(5)).rows[0].estimate, 1.1 / 8, 1e-14);
}

TEST(RegimeValue, AgreesWithAnIndependentComputationOverFixedResamples) {
  reference::StudyShape shape;
  shape.n1 = 60;
  reference::Study st;
  ASSERT_TRUE(reference::make_study(shape, 7, st));
  // Resample 0 holds only a1 = 1 subjects: the a1 = 2 regimes and their differences skip it.
  std::vector<std::vector<int32_t>> list;
  std::vector<int32_t> only_first;
  for (int32_t i = 1; i <= st.n1; ++i) {
    if (st.A1[i - 1] == 1) only_first.push_back(i);
  }
  ASSERT_FALSE(only_first.empty());
  std::vector<int32_t> rows(static_cast<size_t>(st.n1));
  for (int32_t i = 0; i < st.n1; ++i) rows[i] = only_first[i % only_first.size()];
  list.push_back(rows);
  uint64_t state = 12345;
  for (int b = 1; b < 40; ++b) {
    for (int32_t& r : rows) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      r = 1 + static_cast<int32_t>((state >> 33) % static_cast<uint64_t>(st.n1));
    }
    list.push_back(rows);
  }
  ValueOptions o;
  o.nBootValue = 40;
  o.alpha = 0.1;
  o.optimalInterval = false;
  const ValueTable t = run_table(st, o, fixed(list));

  std::vector<int32_t> identity(static_cast<size_t>(st.n1));
  for (int32_t i = 0; i < st.n1; ++i) identity[i] = i + 1;
  const Reference full = reference_values(st, identity);
  std::vector<Reference> reps;
  for (const auto& r : list) reps.push_back(reference_values(st, r));
  const int32_t R = 4;
  auto check = [&](size_t row, long double estimate, auto replicate) {
    SCOPED_TRACE(row);
    std::vector<long double> kept;
    for (const Reference& rep : reps) {
      const long double v = replicate(rep);
      if (!std::isnan(static_cast<double>(v))) kept.push_back(v);
    }
    EXPECT_TRUE(near(t.rows[row].estimate, static_cast<double>(estimate)));
    EXPECT_EQ(t.rows[row].kept, static_cast<int32_t>(kept.size()));
    double low = 0, high = 0;
    reference_interval(kept, o.alpha, &low, &high);
    EXPECT_TRUE(near(t.rows[row].lower, low)) << t.rows[row].lower << " " << low;
    EXPECT_TRUE(near(t.rows[row].upper, high)) << t.rows[row].upper << " " << high;
    EXPECT_EQ(t.rows[row].status, ValueStatus::kOk);
  };
  for (int32_t r = 0; r < R; ++r) {
    check(static_cast<size_t>(1 + r), full.value[r],
          [&](const Reference& x) { return x.value[r]; });
    EXPECT_EQ(t.rows[static_cast<size_t>(1 + r)].followers, full.followers[r]);
  }
  EXPECT_EQ(t.rows[3].kept, 39);  // resample 0 has no a1 = 2 subject
  for (int32_t r = 0; r < R; ++r) {
    for (int32_t s = r + 1; s < R; ++s) {
      check(static_cast<size_t>(difference_row(R, r, s)), full.value[r] - full.value[s],
            [&](const Reference& x) { return x.value[r] - x.value[s]; });
    }
  }
}

TEST(RegimeValue, RegimesThatCannotBeEstimated) {
  const struct {
    const char* what;
    std::vector<int32_t> a1, status, a2;
    std::vector<ValueStatus> embedded;  // rows 1..4
    ValueStatus first_difference;       // (1,1) - (1,2)
  } cases[] = {
      {"the stage-2 sample given a1 = 2 is empty: one regime",
       {1, 1, 1, 1, 2, 2, 2, 2},
       {1, 0, 0, 0, 1, 1, 1, 1},
       {1, 1, 2, 2, 1, 1, 1, 1},
       {ValueStatus::kOk, ValueStatus::kOk, ValueStatus::kOk, ValueStatus::kMerged},
       ValueStatus::kOk},
      {"no one given a1 = 1 in the stage-2 sample received a2 = 2",
       {1, 1, 1, 1, 2, 2, 2, 2},
       {1, 0, 0, 0, 1, 0, 0, 0},
       {1, 1, 1, 1, 1, 1, 2, 1},
       {ValueStatus::kOk, ValueStatus::kNotEstimable, ValueStatus::kOk, ValueStatus::kOk},
       ValueStatus::kNotEstimable},
      {"no one given a1 = 2",
       {1, 1, 1, 1, 1, 1, 1, 1},
       {1, 0, 0, 0, 1, 0, 0, 0},
       {1, 1, 2, 2, 1, 1, 2, 1},
       {ValueStatus::kOk, ValueStatus::kOk, ValueStatus::kNotEstimable, ValueStatus::kMerged},
       ValueStatus::kOk},
  };
  std::vector<double> y = {4, 2, 6, 8, 1, 3, 5, 7};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const reference::Study st = small_study(c.a1, c.status, c.a2, y);
    ValueOptions o;
    o.nBootValue = 60;
    o.optimalInterval = false;
    const ValueTable t = run_table(st, o, value_resamples(11));
    for (size_t r = 0; r < 4; ++r) {
      // Tiny data leave some resamples without a regime's arm; the rows keep their statuses.
      const ValueStatus got = t.rows[1 + r].status == ValueStatus::kNoInterval
                                  ? ValueStatus::kOk
                                  : t.rows[1 + r].status;
      EXPECT_EQ(got, c.embedded[r]) << r;
      EXPECT_EQ(std::isnan(t.rows[1 + r].estimate),
                c.embedded[r] == ValueStatus::kNotEstimable || (r == 3 && c.a1[4] == 1));
    }
    EXPECT_EQ(t.rows[5].status, c.first_difference);
    EXPECT_LT(t.rows[2].kept + t.rows[3].kept, 120);
  }
  // The merged regime carries the values of its a2 code 1 row; their difference is 0.
  const reference::Study st = small_study(cases[0].a1, cases[0].status, cases[0].a2, y);
  ValueOptions o;
  o.nBootValue = 60;
  o.optimalInterval = false;
  const ValueTable t = run_table(st, o, value_resamples(11));
  EXPECT_EQ(t.rows[4].estimate, t.rows[3].estimate);
  EXPECT_EQ(t.rows[4].lower, t.rows[3].lower);
  EXPECT_EQ(t.rows[10].estimate, 0.0);
  EXPECT_EQ(t.rows[10].status, ValueStatus::kMerged);
}

// An independent L'Ecuyer generator: the seed words moved 2^50 draws ahead by the binary powers
// of the multipliers (a^(2^50) = a^(2^49) a^(2^49)), products below 2^62.
TEST(RegimeValue, DrawsFromItsOwnStreamLeavingTheAnalysisStreamAlone) {
  auto power = [](uint64_t a, uint64_t m) {
    uint64_t x = 1, base = a;
    for (uint64_t e = uint64_t{1} << 50; e != 0; e >>= 1) {
      if ((e & 1) != 0) x = x * base % m;
      base = base * base % m;
    }
    return x;
  };
  const uint64_t m1 = 2147483563, m2 = 2147483399;
  EXPECT_EQ(static_cast<int64_t>(power(40014, m1)), 2082007225);
  EXPECT_EQ(static_cast<int64_t>(power(40692, m2)), 784306273);
  for (const int32_t seed : {1, 977, 2147483562}) {
    SCOPED_TRACE(seed);
    int64_t s1 = static_cast<int64_t>(power(40014, m1) * (1 + (seed - 1) % 2147483562) % m1);
    int64_t s2 = static_cast<int64_t>(power(40692, m2) * (1 + (seed - 1) % 2147483398) % m2);
    std::vector<int32_t> expected(25);
    for (int32_t& row : expected) {
      s1 = 40014 * s1 % 2147483563;
      s2 = 40692 * s2 % 2147483399;
      int64_t z = s1 - s2;
      if (z < 1) z += 2147483562;
      row = static_cast<int32_t>(std::ceil(static_cast<double>(z) * 4.656613057e-10 * 25.0));
    }
    std::vector<int32_t> rows(25);
    value_resamples(seed)(25, 25, rows.data());
    EXPECT_EQ(rows, expected);
  }

  set_analysis_seed(31);
  start_analysis_stream();
  const int32_t s1 = resampling_generator().s1(), s2 = resampling_generator().s2();
  const reference::Study st = small_study(kA1, kStatus, kA2, kY);
  ValueOptions o;
  o.nBootValue = 20;
  o.optimalInterval = false;
  run_table(st, o, value_resamples(31));
  EXPECT_EQ(resampling_generator().s1(), s1);
  EXPECT_EQ(resampling_generator().s2(), s2);
  set_analysis_seed(0);
}

struct ExportedTable {
  std::vector<double> estimate, lower, upper;
  std::vector<int32_t> followers, kept, status;
  double m = 0, pHat = 0, mAlpha = 0;
  int32_t choice = -1;
  uint8_t flag = 0;
  std::string message;
};

ExportedTable call_export(const reference::Study& st, KestrionValueOptions o) {
  const size_t rows = KESTRION_VALUE_ROWS(st.K1, st.K2);
  ExportedTable t;
  t.estimate.resize(rows);
  t.lower.resize(rows);
  t.upper.resize(rows);
  t.followers.resize(rows);
  t.kept.resize(rows);
  t.status.resize(rows);
  const KestrionValueData d{st.n1,
                            st.n2,
                            st.Y1.data(),
                            st.inputY2.data(),
                            st.respStatus.data(),
                            st.A1.data(),
                            st.inputA2.data(),
                            st.H10.data.data(),
                            st.p10,
                            st.H11.data.data(),
                            st.p11,
                            st.inputH20.data.data(),
                            st.p20,
                            st.inputH21.data.data(),
                            st.p21,
                            st.levels1.data.data(),
                            st.K1,
                            st.levels2.data.data(),
                            st.K2,
                            st.beta1hat.data(),
                            st.beta2hat.data()};
  const KestrionValueTable table{
      t.estimate.data(), t.lower.data(), t.upper.data(), t.followers.data(), t.kept.data(),
      t.status.data(),   &t.m,           &t.pHat,        &t.mAlpha,          &t.choice};
  std::vector<int32_t> message(400);
  valuekestrion(&d, &o, &table, &t.flag, 400, message.data());
  for (int32_t c : message) {
    if (c == 0) break;
    t.message += static_cast<char>(c);
  }
  return t;
}

TEST(RegimeValue, SameBitsForEveryThreadCount) {
  reference::StudyShape shape;
  shape.n1 = 150;
  reference::Study st;
  ASSERT_TRUE(reference::make_study(shape, 3, st));
  KestrionValueOptions o{0.05, 100, 4242, 1, 0, 0.0, 20, 100, 0};
  const ExportedTable one = call_export(st, o);
  ASSERT_EQ(one.flag, 0) << one.message;
  EXPECT_EQ(one.status[0], KESTRION_VALUE_OK);
  for (const int32_t cores : {2, 3, 8}) {
    SCOPED_TRACE(cores);
    o.cores = cores;
    const ExportedTable other = call_export(st, o);
    ASSERT_EQ(other.flag, 0);
    const size_t bytes = one.estimate.size() * sizeof(double);
    EXPECT_EQ(std::memcmp(one.estimate.data(), other.estimate.data(), bytes), 0);
    EXPECT_EQ(std::memcmp(one.lower.data(), other.lower.data(), bytes), 0);
    EXPECT_EQ(std::memcmp(one.upper.data(), other.upper.data(), bytes), 0);
    EXPECT_EQ(one.kept, other.kept);
    EXPECT_EQ(one.status, other.status);
    EXPECT_EQ(std::memcmp(&one.pHat, &other.pHat, sizeof one.pHat), 0);
    EXPECT_EQ(one.m, other.m);
    EXPECT_EQ(one.mAlpha, other.mAlpha);
    EXPECT_EQ(one.choice, other.choice);
  }
  o.seed = 4243;
  EXPECT_NE(call_export(st, o).lower, one.lower);
}

TEST(RegimeValue, RefusesUnusableCalls) {
  reference::Study good = small_study(kA1, kStatus, kA2, kY);
  const KestrionValueOptions fine{0.05, 10, 1, 1, 0, 0.0, 20, 100, 255};
  const struct {
    const char* expected;
    void (*spoil)(reference::Study&, KestrionValueOptions&);
  } cases[] = {
      {"NBOOTVALUE must be at least 10.",
       [](reference::Study&, KestrionValueOptions& o) { o.nBootValue = 9; }},
      {"ALPHA must be less than 1.",
       [](reference::Study&, KestrionValueOptions& o) { o.alpha = 1; }},
      {"Stage-1 treatment code of subject 3 is 3; expected 1 to 2.",
       [](reference::Study& s, KestrionValueOptions&) { s.A1[2] = 3; }},
      {"Stage-2 treatment code of subject 2 is 0; expected 1 to 2.",
       [](reference::Study& s, KestrionValueOptions&) { s.inputA2[1] = 0; }},
      {"The outcome of subject 4 is not finite.",
       [](reference::Study& s, KestrionValueOptions&) { s.inputY2[3] = NAN; }},
      {"n2 is 5 but 6 subjects have respStatus 0.",
       [](reference::Study& s, KestrionValueOptions&) { s.n2 = 5; }},
      {"K1 and K2 must be at least 2 (got 1 and 2).",
       [](reference::Study& s, KestrionValueOptions&) { s.K1 = 1; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    reference::Study st = good;
    KestrionValueOptions o = fine;
    c.spoil(st, o);
    const ExportedTable t = call_export(st, o);
    EXPECT_EQ(t.flag, 255);
    EXPECT_NE(t.message.find("Invalid argument to valuekestrion:"), std::string::npos);
    EXPECT_NE(t.message.find(c.expected), std::string::npos) << t.message;
  }
  const ExportedTable ok = call_export(good, fine);
  EXPECT_EQ(ok.flag, 0) << ok.message;
}

}  // namespace
}  // namespace kestrion
