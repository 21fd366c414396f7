// The study layer through its C interface, as the Python and R packages use it: whole columns and
// single observations give the same bits, the checks stop at the first problem with its message,
// memory failures stop cleanly and hand every block back, and the regime table of new data agrees
// with that of the data analysed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "frontend/regime.h"
#include "talven_frontend.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Frame {
  std::vector<std::string> names;
  std::vector<std::vector<double>> columns;

  int index(const std::string& name) const {
    for (std::size_t c = 0; c < names.size(); ++c) {
      if (names[c] == name) return static_cast<int>(c);
    }
    return -1;
  }
  std::vector<double>& operator[](const std::string& name) { return columns[index(name)]; }
  std::size_t rows() const { return columns.empty() ? 0 : columns[0].size(); }
};

// A SMART of n subjects: o11, age (stage 1), r (in the stage-2 sample), o21 (stage 2), a1 and a2
// coded -1/1, y. Values are quarters so that every reader sees the same doubles.
Frame smart(int n) {
  Frame f;
  f.names = {"age", "o11", "a1", "r", "o21", "a2", "y"};
  f.columns.assign(f.names.size(), {});
  for (int i = 0; i < n; ++i) {
    const double age = 20 + (i * 7) % 31;
    const double o11 = ((i * 13) % 9) * 0.25;
    const double a1 = (i * 5 + i / 3) % 2 == 0 ? 1 : -1;
    const double r = (i * 11) % 5 < 3 ? 1 : 0;
    const double o21 = ((i * 17) % 7) * 0.5;
    const double a2 = r == 1 ? ((i * 3 + i / 2) % 2 == 0 ? 1 : -1) : kNaN;
    const double y = 1 + 0.25 * o11 + 0.5 * a1 * (o11 - 1) +
                     (r == 1 ? 0.75 * a2 * (o21 - 1.5) : 0) + ((i * 29) % 11 - 5) * 0.125;
    const double row[] = {age, o11, a1, r, o21, a2, y};
    for (std::size_t c = 0; c < f.names.size(); ++c) f.columns[c].push_back(row[c]);
  }
  return f;
}

struct Messages {
  std::vector<std::pair<int32_t, std::string>> seen;
  static void record(int32_t severity, const char* text, void* context) {
    static_cast<Messages*>(context)->seen.emplace_back(severity, text);
  }
  std::string first_error() const {
    for (const auto& [severity, text] : seen) {
      if (severity == TALVEN_MESSAGE_ERROR) return text;
    }
    return "";
  }
  bool has(int32_t severity, const std::string& head) const {
    for (const auto& [s, text] : seen) {
      if (s == severity && text.rfind(head, 0) == 0) return true;
    }
    return false;
  }
};

using Options = std::map<std::string, double>;
using Lists = std::map<int32_t, std::vector<std::string>>;

Lists standard_lists() {
  return {{TALVEN_ROLE_MAIN1, {"age"}},   {TALVEN_ROLE_TAILOR1, {"o11"}},
          {TALVEN_ROLE_TAILOR2, {"o21"}}, {TALVEN_ROLE_RESPONSE, {"y"}},
          {TALVEN_ROLE_STG1TRT, {"a1"}},  {TALVEN_ROLE_STG2TRT, {"a2"}},
          {TALVEN_ROLE_STG2SAMPLE, {"r"}}};
}

// One study through every step; `by_row` feeds single observations in reading order.
class StudyRun {
 public:
  StudyRun(const Frame& data, const Lists& lists, const Options& options, bool by_row = false,
           const std::vector<std::vector<double>>& contrasts = {}) {
    study_ = talven_study_new();
    talven_study_on_message(study_, &Messages::record, &messages);
    for (const std::string& name : data.names) talven_study_add_column(study_, name.c_str());
    for (const auto& [role, names] : lists) {
      std::vector<int32_t> columns;
      // A name that is no column of the data is a term the layer reads: a product "x*y".
      for (const std::string& name : names) {
        columns.push_back(data.index(name) >= 0 ? data.index(name)
                                                : talven_study_add_term(study_, name.c_str()));
      }
      talven_study_set_list(study_, role, static_cast<int32_t>(columns.size()), columns.data());
    }
    for (const auto& [name, value] : options) talven_study_set_option(study_, name.c_str(), value);
    if (!contrasts.empty()) {
      talven_study_set_contrast_columns(study_, static_cast<int32_t>(contrasts[0].size()), nullptr,
                                        nullptr);
    }
    status = talven_study_check_options(study_) == 0 && talven_study_check_model(study_) == 0;
    if (!status) return;
    if (by_row) {
      std::vector<int32_t> order(
          static_cast<std::size_t>(talven_study_count(study_, TALVEN_COUNT_READ_WIDTH)));
      talven_study_reading_order(study_, order.data());
      std::vector<double> values(order.size());
      for (std::size_t i = 0; i < data.rows() && status; ++i) {
        for (std::size_t k = 0; k < order.size(); ++k) values[k] = data.columns[order[k]][i];
        status = talven_study_add_row(study_, values.data()) == 0;
      }
    } else {
      std::vector<const double*> columns;
      for (const auto& column : data.columns) columns.push_back(column.data());
      status =
          talven_study_add_columns(study_, static_cast<int64_t>(data.rows()), columns.data()) == 0;
    }
    status = status && talven_study_end_rows(study_) == 0;
    if (status && !contrasts.empty()) {
      std::vector<double> matrix;
      for (std::size_t j = 0; j < contrasts[0].size(); ++j) {
        for (const auto& row : contrasts) matrix.push_back(row[j]);
      }
      status = talven_study_set_contrasts(study_, static_cast<int64_t>(contrasts.size()),
                                          matrix.data()) == 0;
    }
    status = status && talven_study_prepare(study_) == 0 && talven_study_run(study_) == 0;
  }
  ~StudyRun() { talven_study_free(study_); }
  StudyRun(const StudyRun&) = delete;
  StudyRun& operator=(const StudyRun&) = delete;

  std::vector<double> values(int32_t which, int32_t count_kind) const {
    std::vector<double> out(static_cast<std::size_t>(talven_study_count(study_, count_kind)));
    EXPECT_EQ(talven_study_values(study_, which, out.data()), 0);
    return out;
  }
  std::vector<std::string> texts(int32_t which) const {
    std::vector<std::string> out;
    for (int64_t k = 0; k < talven_study_text_count(study_, which); ++k) {
      out.emplace_back(talven_study_text(study_, which, k, nullptr));
    }
    return out;
  }
  TalvenStudy* study() const { return study_; }

  Messages messages;
  bool status = false;

 private:
  TalvenStudy* study_ = nullptr;
};

int64_t steps_count(const StudyRun& run, int32_t which) {
  return talven_study_count(run.study(), which);
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

TEST(StudyLayer, ColumnsAndSingleObservationsGiveTheSameBitsAndMessages) {
  Frame data = smart(120);
  data["o11"][4] = kNaN;  // left out
  data["r"][9] = 2;       // neither 0 nor 1
  const Options options = {
      {"DERIVECI", 1}, {"SEED", 4242}, {"NBOOTSTRAP1", 60}, {"NBOOTSTRAP2", 40}, {"NGRID", 4}};
  const StudyRun columns(data, standard_lists(), options);
  const StudyRun rows(data, standard_lists(), options, true);
  ASSERT_TRUE(columns.status) << columns.messages.first_error();
  ASSERT_TRUE(rows.status) << rows.messages.first_error();
  for (int32_t which :
       {TALVEN_VALUES_TABLE_ESTIMATE, TALVEN_VALUES_TABLE_LOWER, TALVEN_VALUES_TABLE_UPPER}) {
    EXPECT_TRUE(same_bits(columns.values(which, TALVEN_COUNT_TABLE_ROWS),
                          rows.values(which, TALVEN_COUNT_TABLE_ROWS)));
  }
  EXPECT_EQ(columns.messages.seen, rows.messages.seen);
  EXPECT_TRUE(columns.messages.has(TALVEN_MESSAGE_NOTE, "2 of 120 observations were left out"));
  EXPECT_TRUE(columns.messages.has(TALVEN_MESSAGE_WARNING, "STG2SAMPLE variable r must be 0"));
  EXPECT_EQ(talven_study_count(columns.study(), TALVEN_COUNT_OBSERVATIONS), 120);
  EXPECT_EQ(talven_study_count(columns.study(), TALVEN_COUNT_STAGE1), 118);
  EXPECT_EQ(talven_study_count(columns.study(), TALVEN_COUNT_SEED), 4242);
  // Limits exist for the stage-1 rows only; the table names every term in full.
  EXPECT_EQ(columns.texts(TALVEN_TEXT_TABLE_TERM),
            (std::vector<std::string>{"intercept", "age", "o11", "o11:a1", "a1", "intercept", "o21",
                                      "o21:a2", "a2"}));
  const std::vector<double> lower =
      columns.values(TALVEN_VALUES_TABLE_LOWER, TALVEN_COUNT_TABLE_ROWS);
  for (std::size_t r = 0; r < lower.size(); ++r) EXPECT_EQ(std::isnan(lower[r]), r >= 5) << r;
}

// Without a count in advance the subject arrays grow; the analysis must not notice.
TEST(StudyLayer, ObservationsBeyondTheFirstRoomGiveTheSameEstimates) {
  const Frame data = smart(3000);
  const StudyRun columns(data, standard_lists(), {});
  const StudyRun rows(data, standard_lists(), {}, true);
  ASSERT_TRUE(columns.status && rows.status);
  EXPECT_TRUE(same_bits(columns.values(TALVEN_VALUES_BETA1, TALVEN_COUNT_P1),
                        rows.values(TALVEN_VALUES_BETA1, TALVEN_COUNT_P1)));
  EXPECT_TRUE(same_bits(columns.values(TALVEN_VALUES_BETA2, TALVEN_COUNT_P2),
                        rows.values(TALVEN_VALUES_BETA2, TALVEN_COUNT_P2)));
}

TEST(StudyLayer, TheFirstProblemStopsWithItsMessage) {
  struct Case {
    const char* name;
    std::function<void(Lists&, Options&)> change;
    std::string error;
  };
  const Case cases[] = {
      {"option out of range", [](Lists&, Options& o) { o["NBOOTSTRAP1"] = 1e10; },
       "The value of NBOOTSTRAP1= is out of range."},
      {"no replicates", [](Lists&, Options& o) { o["NBOOTSTRAP2"] = 0; },
       "NBOOTSTRAP2 must be positive."},
      {"too many treatments", [](Lists&, Options& o) { o["NTREATS1"] = 9; },
       "NTREATS1 must be between 2 and 8."},
      {"alpha", [](Lists&, Options& o) { o["ALPHA"] = 1; }, "ALPHA must be less than 1."},
      {"seed", [](Lists&, Options& o) { o["SEED"] = 0; }, "SEED must be between 1 and 2147483562."},
      {"no TAILOR1", [](Lists& l, Options&) { l.erase(TALVEN_ROLE_TAILOR1); },
       "TAILOR1 must be specified."},
      {"tailor also main",
       [](Lists& l, Options&) {
         l[TALVEN_ROLE_MAIN1] = {"age", "o11"};
       },
       "Please remove variable o11 from MAIN1 as TAYLOR1 variables are included as MAIN1 "
       "automatically in the model."},
      {"no response", [](Lists& l, Options&) { l[TALVEN_ROLE_RESPONSE] = {}; },
       "RESPONSE must be specified."},
      {"two stage-1 treatments",
       [](Lists& l, Options&) {
         l[TALVEN_ROLE_STG1TRT] = {"a1", "r"};
       },
       "Please specify 1 stage 1 treatment variable in STG1TRT."},
      {"response as covariate", [](Lists& l, Options&) { l[TALVEN_ROLE_MAIN2] = {"y"}; },
       "Variable y is the RESPONSE variable and cannot also be in MAIN2."},
      {"sample as treatment", [](Lists& l, Options&) { l[TALVEN_ROLE_STG2TRT] = {"r"}; },
       "Variable r is the STG2SAMPLE variable and cannot also be in STG2TRT."},
  };
  const Frame data = smart(40);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Lists lists = standard_lists();
    Options options;
    c.change(lists, options);
    const StudyRun run(data, lists, options);
    EXPECT_FALSE(run.status);
    EXPECT_EQ(run.messages.first_error(), c.error);
    // A failed study refuses every later step without a further message.
    const std::size_t said = run.messages.seen.size();
    EXPECT_EQ(talven_study_run(run.study()), -1);
    EXPECT_EQ(run.messages.seen.size(), said);
  }
}

TEST(StudyLayer, DataProblemsStopWithTheProceduresMessages) {
  struct Case {
    const char* name;
    std::function<void(Frame&)> change;
    std::string error;
  };
  const Case cases[] = {
      {"third stage-1 value", [](Frame& f) { f["a1"][39] = 0; },
       "Treatment variable in stage 1 has more than 2 treatments, this version of Proc TALVEN "
       "only allows 2 treatments."},
      {"almost no stage-2 sample",
       [](Frame& f) {
         for (std::size_t i = 3; i < f.rows(); ++i) f["r"][i] = 0;
       },
       "The stage-2 sample has 3 observations, fewer than the 4 coefficients of stage 2: 3 "
       "observations used have STG2SAMPLE r = 1; 37 have 0."},
      {"one stage-1 value",
       [](Frame& f) {
         for (double& a : f["a1"]) a = 1;
       },
       "STG1TRT variable a1 has only one value (1) among the 40 observations used; NTREATS1=2 "
       "treatments are expected."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Frame data = smart(40);
    c.change(data);
    const StudyRun run(data, standard_lists(), {});
    EXPECT_FALSE(run.status);
    EXPECT_EQ(run.messages.first_error(), c.error);
  }
}

TEST(StudyLayer, TheDiagnosticNamesTheDependentColumns) {
  Frame data = smart(60);
  data.names.push_back("age2");
  data.columns.push_back(data["age"]);
  Lists lists = standard_lists();
  lists[TALVEN_ROLE_MAIN2] = {"age", "age2"};
  const StudyRun run(data, lists, {});
  ASSERT_FALSE(run.status);
  EXPECT_EQ(run.messages.first_error(),
            "A problem occured during model estimation.  Diagnostic information is as follows:");
  const std::vector<std::string> diagnostic = run.texts(TALVEN_TEXT_DIAGNOSTIC);
  ASSERT_FALSE(diagnostic.empty());
  EXPECT_EQ(diagnostic.back(),
            "Rank-deficient fit: stage-2 fit of the data; dependent columns age, age2");
}

TEST(StudyLayer, AStopRequestEndsTheRunWithItsOwnErrorAndTheNextRunIsNormal) {
  const Frame data = smart(80);
  const Options options = {{"DERIVECI", 1}, {"SEED", 77}, {"NBOOTSTRAP1", 40}, {"NBOOTSTRAP2", 40}};
  const StudyRun before(data, standard_lists(), options);
  ASSERT_TRUE(before.status) << before.messages.first_error();
  EXPECT_EQ(talven_study_count(before.study(), TALVEN_COUNT_INTERRUPTED), 0);

  talven_request_stop(1);  // before the run starts: it is kept for the run
  const StudyRun stopped(data, standard_lists(), options);
  ASSERT_FALSE(stopped.status);
  EXPECT_EQ(stopped.messages.first_error(), "The analysis was interrupted.");
  EXPECT_EQ(talven_study_count(stopped.study(), TALVEN_COUNT_INTERRUPTED), 1);
  std::vector<double> none(8);
  EXPECT_EQ(talven_study_values(stopped.study(), TALVEN_VALUES_UPPER, none.data()), -1);

  talven_request_stop(1);
  talven_request_stop(0);
  const StudyRun after(data, standard_lists(), options);
  ASSERT_TRUE(after.status) << after.messages.first_error();
  EXPECT_EQ(talven_study_count(after.study(), TALVEN_COUNT_INTERRUPTED), 0);
  for (const int32_t which : {TALVEN_VALUES_BETA1, TALVEN_VALUES_UPPER, TALVEN_VALUES_LOWER}) {
    EXPECT_TRUE(
        same_bits(before.values(which, TALVEN_COUNT_P1), after.values(which, TALVEN_COUNT_P1)))
        << which;
  }
}

TEST(StudyLayer, MissingContrastCoefficientsCountAsZero) {
  const Frame data = smart(80);
  const StudyRun run(data, standard_lists(), {}, false, {{0, kNaN, 1, 0, 0}, {1, 0, 0, 0, -1}});
  ASSERT_TRUE(run.status) << run.messages.first_error();
  const std::vector<double> beta = run.values(TALVEN_VALUES_BETA1, TALVEN_COUNT_P1);
  const std::vector<double> contrasts = run.values(TALVEN_VALUES_CONTRASTS, TALVEN_COUNT_CONTRASTS);
  ASSERT_EQ(contrasts.size(), 2u);
  EXPECT_EQ(contrasts[0], 0 * beta[0] + 0 * beta[1] + 1 * beta[2] + 0 * beta[3] + 0 * beta[4]);
  EXPECT_EQ(contrasts[1], 1 * beta[0] + 0 * beta[1] + 0 * beta[2] + 0 * beta[3] + -1 * beta[4]);
  EXPECT_EQ(run.texts(TALVEN_TEXT_TABLE_TERM)[5], "Contrast1");
}

TEST(StudyLayer, RecommendationsOfTheDataEqualTheKeptRegimeTable) {
  Frame data = smart(50);
  data["y"][7] = kNaN;
  const StudyRun run(data, standard_lists(), {{"OUT", 1}});
  ASSERT_TRUE(run.status) << run.messages.first_error();
  const auto columns =
      static_cast<std::size_t>(talven_study_count(run.study(), TALVEN_COUNT_OUT_COLUMNS));
  ASSERT_EQ(run.texts(TALVEN_TEXT_OUT_COLUMN),
            (std::vector<std::string>{"_STAGE1", "_STAGE2", "Q1_M1", "Q1_1", "REC1", "Q2_M1",
                                      "Q2_1", "REC2", "VALUE1"}));
  std::vector<double> kept(50 * columns), again(50 * columns);
  ASSERT_EQ(talven_study_out_values(run.study(), kept.data()), 0);
  std::vector<const double*> pointers;
  for (const auto& column : data.columns) pointers.push_back(column.data());
  ASSERT_EQ(talven_study_recommend(run.study(), 50, pointers.data(), again.data()), 0);
  EXPECT_TRUE(same_bits(kept, again));
  EXPECT_EQ(kept[7], 0.0);  // y missing: not in the stage-1 fit

  // New subjects with only their covariates: Q-values, but no word on the fits.
  const std::size_t age = 0, o11 = 1, o21 = 4;
  std::vector<const double*> covariates(data.columns.size(), nullptr);
  covariates[age] = data.columns[age].data();
  covariates[o11] = data.columns[o11].data();
  covariates[o21] = data.columns[o21].data();
  std::vector<double> fresh(50 * columns);
  ASSERT_EQ(talven_study_recommend(run.study(), 50, covariates.data(), fresh.data()), 0);
  for (std::size_t i = 0; i < 50; ++i) {
    EXPECT_TRUE(std::isnan(fresh[i]) && std::isnan(fresh[50 + i]));
    for (std::size_t c = 2; c < columns; ++c) EXPECT_EQ(fresh[c * 50 + i], kept[c * 50 + i]);
  }
}

// Memory that fails at the N-th request: every request in turn.
struct FailingMemory {
  int64_t fail_at = 0;
  int64_t requests = 0;
  std::set<void*> live;
  static void* allocate(uint64_t bytes, void* context) {
    auto* m = static_cast<FailingMemory*>(context);
    if (++m->requests == m->fail_at) return nullptr;
    void* block = std::malloc(bytes);
    m->live.insert(block);
    return block;
  }
  static void release(void* block, void* context) {
    auto* m = static_cast<FailingMemory*>(context);
    EXPECT_EQ(m->live.erase(block), 1u);
    std::free(block);
  }
};

TEST(StudyLayer, EveryFailedAllocationStopsCleanlyAndReturnsEveryBlock) {
  const Frame data = smart(30);
  auto analyse = [&](FailingMemory& memory, Messages& messages) {
    TalvenStudy* study = talven_study_new();
    talven_study_on_message(study, &Messages::record, &messages);
    talven_study_use_memory(study, &FailingMemory::allocate, &FailingMemory::release, &memory);
    for (const std::string& name : data.names) talven_study_add_column(study, name.c_str());
    for (const auto& [role, names] : standard_lists()) {
      std::vector<int32_t> columns;
      for (const std::string& name : names) columns.push_back(data.index(name));
      talven_study_set_list(study, role, static_cast<int32_t>(columns.size()), columns.data());
    }
    talven_study_set_option(study, "OUT", 1);
    std::vector<const double*> pointers;
    for (const auto& column : data.columns) pointers.push_back(column.data());
    const bool ok = talven_study_check_options(study) == 0 &&
                    talven_study_check_model(study) == 0 &&
                    talven_study_add_columns(study, 30, pointers.data()) == 0 &&
                    talven_study_end_rows(study) == 0 && talven_study_prepare(study) == 0 &&
                    talven_study_run(study) == 0;
    talven_study_free(study);
    return ok;
  };
  FailingMemory counting;
  Messages clean;
  ASSERT_TRUE(analyse(counting, clean));
  ASSERT_GT(counting.requests, 10);
  for (int64_t n = 1; n <= counting.requests; ++n) {
    SCOPED_TRACE(n);
    FailingMemory memory;
    memory.fail_at = n;
    Messages messages;
    EXPECT_FALSE(analyse(memory, messages));
    EXPECT_EQ(messages.first_error().rfind("Unable to allocate memory for ", 0), 0u)
        << messages.first_error();
    EXPECT_TRUE(memory.live.empty());
  }
}

// Levels by first appearance with their observations, and every reason for a left-out
// observation, all counted here from the data.
TEST(StudyLayer, LevelsArmsAndLeftOutReasonsAreThoseOfTheData) {
  Frame data = smart(80);
  for (int i : {3, 17, 40}) data["age"][static_cast<std::size_t>(i)] = kNaN;
  for (int i : {5, 22}) data["r"][static_cast<std::size_t>(i)] = 2;
  data["o21"][17] = kNaN;  // with age: counts under both
  for (std::size_t i = 0; i < data.rows(); ++i) {
    if (data["r"][i] == 1 && i % 9 == 4) data["o21"][i] = kNaN;
  }
  const StudyRun run(data, standard_lists(), {});
  ASSERT_TRUE(run.status) << run.messages.first_error();

  std::map<std::string, double> reasons;
  std::vector<double> order1, order2;  // levels by first appearance
  std::map<double, double> arms1, arms2;
  for (std::size_t i = 0; i < data.rows(); ++i) {
    const bool bad_sample = data["r"][i] != 0 && data["r"][i] != 1;
    const bool sample = data["r"][i] == 1;
    bool used = !bad_sample;
    if (bad_sample) reasons["r neither 0 nor 1"] += 1;
    for (const char* v : {"age", "o11", "a1", "y", "o21", "a2"}) {
      const bool stage2 = std::string(v) == "o21" || std::string(v) == "a2";
      if (std::isnan(data[v][i]) && (sample || !stage2)) {
        reasons[std::string(v) + " missing"] += 1;
        used = false;
      }
    }
    if (!used) continue;
    if (std::find(order1.begin(), order1.end(), data["a1"][i]) == order1.end()) {
      order1.push_back(data["a1"][i]);
    }
    arms1[data["a1"][i]] += 1;
    if (!sample) continue;
    if (std::find(order2.begin(), order2.end(), data["a2"][i]) == order2.end()) {
      order2.push_back(data["a2"][i]);
    }
    arms2[data["a2"][i]] += 1;
  }
  EXPECT_EQ(run.values(TALVEN_VALUES_LEVELS1, TALVEN_COUNT_K1).size(), 2u);
  std::vector<double> levels1(2), levels2(2), counts1(2), counts2(2);
  ASSERT_EQ(talven_study_values(run.study(), TALVEN_VALUES_LEVELS1, levels1.data()), 0);
  ASSERT_EQ(talven_study_values(run.study(), TALVEN_VALUES_LEVELS2, levels2.data()), 0);
  ASSERT_EQ(talven_study_values(run.study(), TALVEN_VALUES_ARMS1, counts1.data()), 0);
  ASSERT_EQ(talven_study_values(run.study(), TALVEN_VALUES_ARMS2, counts2.data()), 0);
  EXPECT_EQ(levels1, order1);
  EXPECT_EQ(levels2, order2);
  EXPECT_EQ(counts1, (std::vector<double>{arms1[order1[0]], arms1[order1[1]]}));
  EXPECT_EQ(counts2, (std::vector<double>{arms2[order2[0]], arms2[order2[1]]}));
  EXPECT_EQ(counts1[0] + counts1[1],
            static_cast<double>(talven_study_count(run.study(), TALVEN_COUNT_STAGE1)));
  EXPECT_EQ(counts2[0] + counts2[1],
            static_cast<double>(talven_study_count(run.study(), TALVEN_COUNT_STAGE2)));

  const std::vector<std::string> shown = run.texts(TALVEN_TEXT_LEFT_OUT);
  std::vector<double> counts(shown.size());
  ASSERT_EQ(talven_study_values(run.study(), TALVEN_VALUES_LEFT_OUT, counts.data()), 0);
  std::map<std::string, double> got;
  for (std::size_t k = 0; k < shown.size(); ++k) {
    got[shown[k]] = counts[k];
    if (k > 0) {
      EXPECT_LE(counts[k], counts[k - 1]) << "most frequent first";
    }
  }
  EXPECT_EQ(got, reasons);

  // The same by name, for Python and R.
  std::map<std::string, int64_t> lengths;
  for (int64_t k = 0; k < talven_study_result_count(run.study()); ++k) {
    lengths[talven_study_result_name(run.study(), k)] = talven_study_result_length(run.study(), k);
  }
  for (const char* name : {"levels1", "levels2", "arms1", "arms2"}) {
    EXPECT_EQ(lengths[name], 2) << name;
  }
  EXPECT_EQ(lengths["left_out.Reason"], static_cast<int64_t>(reasons.size()));
  EXPECT_EQ(lengths["left_out.Observations"], static_cast<int64_t>(reasons.size()));
}

TEST(StudyLayer, RefusesStepsOutOfOrderAndNullStudies) {
  TalvenStudy* study = talven_study_new();
  Messages messages;
  talven_study_on_message(study, &Messages::record, &messages);
  EXPECT_EQ(talven_study_set_option(study, "NBOOT", 3), -1);
  EXPECT_EQ(messages.first_error(), "NBOOT is not an option of the analysis.");
  talven_study_free(study);

  study = talven_study_new();
  EXPECT_EQ(talven_study_run(study), -1);
  EXPECT_EQ(talven_study_text(study, TALVEN_TEXT_MESSAGE, 0, nullptr),
            std::string("The steps of the study were called out of order."));
  double value = 0;
  EXPECT_EQ(talven_study_values(study, TALVEN_VALUES_BETA1, &value), -1);
  talven_study_free(study);

  EXPECT_EQ(talven_study_check_options(nullptr), -1);
  EXPECT_EQ(talven_study_count(nullptr, TALVEN_COUNT_P1), -1);
  EXPECT_EQ(talven_study_text(nullptr, TALVEN_TEXT_MESSAGE, 0, nullptr), nullptr);
  talven_study_free(nullptr);
}

}  // namespace

namespace {

// Every named result of a study: numbers as doubles, texts as texts.
struct Named {
  std::map<std::string, std::string> types;
  std::map<std::string, std::vector<double>> numbers;
  std::map<std::string, std::vector<std::string>> texts;
};

Named named_results(const TalvenStudy* study) {
  Named out;
  const int64_t count = talven_study_result_count(study);
  for (int64_t r = 0; r < count; ++r) {
    const std::string name = talven_study_result_name(study, r);
    const std::string type = talven_study_result_type(study, r);
    const int64_t length = talven_study_result_length(study, r);
    EXPECT_TRUE(out.types.emplace(name, type).second) << name << " appears twice";
    if (type == "texts") {
      for (int64_t k = 0; k < length; ++k) {
        out.texts[name].emplace_back(talven_study_result_text(study, r, k));
      }
    } else {
      std::vector<double> values(static_cast<std::size_t>(length));
      EXPECT_EQ(talven_study_result_reals(study, r, values.data()), 0) << name;
      out.numbers[name] = values;
    }
  }
  return out;
}

}  // namespace

// The one-call analysis takes the steps in their order: its results are those of the steps one
// by one, and every result read by name is the one its numbered getter gives.
TEST(StudyLayer, OneCallAnalysisAndNamedResultsAgreeWithTheSteps) {
  const Frame data = smart(150);
  const Options options = {{"DERIVECI", 1},     {"SEED", 77}, {"NBOOTSTRAP1", 50},
                           {"NBOOTSTRAP2", 30}, {"NGRID", 4}, {"CORES", 2}};
  const std::vector<std::vector<double>> contrasts = {{0, 0, 1, 1, 0}};
  const StudyRun steps(data, standard_lists(), options, false, contrasts);
  ASSERT_TRUE(steps.status) << steps.messages.first_error();

  TalvenStudy* study = talven_study_new();
  for (const std::string& name : data.names) talven_study_add_column(study, name.c_str());
  const std::pair<const char*, std::vector<std::string>> roles[] = {
      {"main1", {"age"}},  {"TAILOR1", {"o11"}}, {"TAILOR2", {"o21"}}, {"RESPONSE", {"y"}},
      {"STG1TRT", {"a1"}}, {"STG2TRT", {"a2"}},  {"STG2SAMPLE", {"r"}}};
  for (const auto& [role, names] : roles) {
    std::vector<int32_t> columns;
    for (const std::string& name : names) columns.push_back(data.index(name));
    ASSERT_EQ(
        talven_study_set_role(study, role, static_cast<int32_t>(columns.size()), columns.data()),
        0);
  }
  for (const auto& [name, value] : options) talven_study_set_option(study, name.c_str(), value);
  talven_study_set_contrast_columns(study, 5, nullptr, nullptr);
  std::vector<const double*> columns;
  for (const auto& column : data.columns) columns.push_back(column.data());
  const double matrix[] = {0, 0, 1, 1, 0};
  ASSERT_EQ(
      talven_study_analyse(study, static_cast<int64_t>(data.rows()), columns.data(), 1, matrix), 0);

  const Named named = named_results(study);
  const std::pair<const char*, int32_t> counts[] = {{"n_observations", TALVEN_COUNT_OBSERVATIONS},
                                                    {"n_stage1", TALVEN_COUNT_STAGE1},
                                                    {"n_stage2", TALVEN_COUNT_STAGE2},
                                                    {"n_collinear", TALVEN_COUNT_COLLINEAR},
                                                    {"seed", TALVEN_COUNT_SEED},
                                                    {"nbootstrap1", TALVEN_COUNT_NBOOTSTRAP1},
                                                    {"nbootstrap2", TALVEN_COUNT_NBOOTSTRAP2},
                                                    {"ngrid", TALVEN_COUNT_NGRID},
                                                    {"cores", TALVEN_COUNT_CORES},
                                                    {"intervals", TALVEN_COUNT_INTERVALS},
                                                    {"ntreats1", TALVEN_COUNT_K1},
                                                    {"p1", TALVEN_COUNT_P1}};
  for (const auto& [name, which] : counts) {
    EXPECT_EQ(named.types.at(name), "count") << name;
    EXPECT_EQ(named.numbers.at(name), std::vector<double>{double(steps_count(steps, which))})
        << name;
  }
  EXPECT_EQ(named.numbers.at("alpha"), std::vector<double>{0.05});
  const std::pair<const char*, int32_t> columns_of_coef[] = {
      {"coef.Stage", TALVEN_VALUES_TABLE_STAGE},
      {"coef.Estimate", TALVEN_VALUES_TABLE_ESTIMATE},
      {"coef.Lower", TALVEN_VALUES_TABLE_LOWER},
      {"coef.Upper", TALVEN_VALUES_TABLE_UPPER}};
  for (const auto& [name, which] : columns_of_coef) {
    EXPECT_TRUE(same_bits(named.numbers.at(name), steps.values(which, TALVEN_COUNT_TABLE_ROWS)))
        << name;
  }
  EXPECT_EQ(named.texts.at("coef.Term"), steps.texts(TALVEN_TEXT_TABLE_TERM));
  EXPECT_EQ(named.texts.at("rules1"), steps.texts(TALVEN_TEXT_RULE1));
  EXPECT_EQ(named.texts.at("out_columns"), steps.texts(TALVEN_TEXT_OUT_COLUMN));
  // The options in force as the report lists them: intervals bring their options, CORES= shows
  // only when given, the seed given is not marked as drawn.
  const std::vector<std::string> shown = named.texts.at("settings.Option");
  EXPECT_EQ(shown, (std::vector<std::string>{"NTREATS1=", "NTREATS2=", "DERIVECI",
                                             "ALPHA=", "NBOOTSTRAP1=", "NBOOTSTRAP2=", "NGRID=",
                                             "GRID_SCALE=", "SEED=", "CORES="}));
  EXPECT_EQ(
      named.texts.at("settings.Value"),
      (std::vector<std::string>{"2", "2", "in force", "0.05", "50", "30", "4", "2.58", "77", "2"}));
  std::vector<std::string> severities = named.texts.at("messages.Severity");
  EXPECT_EQ(severities.size(), named.texts.at("messages.Text").size());
  EXPECT_NE(std::find(severities.begin(), severities.end(), "note"), severities.end());
  talven_study_free(study);
}

// Without intervals the report shows how DERIVECI stands; a failed step still reports why by name.
TEST(StudyLayer, NamedResultsWithoutIntervalsAndAfterAFailure) {
  const Frame data = smart(60);
  const StudyRun plain(data, standard_lists(), {{"NTREATS2", 3}, {"DERIVECI", 1}});
  // Three stage-2 treatments need two STG2TRT variables: the model check stops.
  EXPECT_FALSE(plain.status);
  const Named failed = named_results(plain.study());
  EXPECT_EQ(failed.texts.count("coef.Term"), 0u);
  const std::vector<std::string>& texts = failed.texts.at("messages.Text");
  const std::vector<std::string>& severities = failed.texts.at("messages.Severity");
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(severities.back(), "error");
  EXPECT_EQ(texts.back(), "Please specify 2 stage 2 treatment variable in STG2TRT.");

  const StudyRun given_off(data, standard_lists(), {{"MINIMIZE", 1}});
  ASSERT_TRUE(given_off.status) << given_off.messages.first_error();
  const Named named = named_results(given_off.study());
  EXPECT_EQ(named.texts.at("settings.Option"),
            (std::vector<std::string>{"NTREATS1=", "NTREATS2=", "DERIVECI", "MINIMIZE"}));
  EXPECT_EQ(named.texts.at("settings.Value"),
            (std::vector<std::string>{"2", "2", "not given (point estimates only)",
                                      "in force (smaller outcomes are better)"}));
  EXPECT_EQ(talven_study_result_name(given_off.study(), -1), nullptr);
  EXPECT_EQ(talven_study_result_length(nullptr, 0), -1);
}

namespace {

Named analyse_named(const Frame& data, const std::vector<std::pair<std::string, double>>& options) {
  TalvenStudy* study = talven_study_new();
  for (const std::string& name : data.names) talven_study_add_column(study, name.c_str());
  const std::pair<const char*, std::vector<std::string>> roles[] = {
      {"main1", {"age"}},  {"TAILOR1", {"o11"}}, {"TAILOR2", {"o21"}}, {"RESPONSE", {"y"}},
      {"STG1TRT", {"a1"}}, {"STG2TRT", {"a2"}},  {"STG2SAMPLE", {"r"}}};
  for (const auto& [role, names] : roles) {
    std::vector<int32_t> columns;
    for (const std::string& name : names) columns.push_back(data.index(name));
    talven_study_set_role(study, role, static_cast<int32_t>(columns.size()), columns.data());
  }
  for (const auto& [name, value] : options) talven_study_set_option(study, name.c_str(), value);
  std::vector<const double*> columns;
  for (const auto& column : data.columns) columns.push_back(column.data());
  EXPECT_EQ(
      talven_study_analyse(study, static_cast<int64_t>(data.rows()), columns.data(), 0, nullptr),
      0);
  Named named = named_results(study);
  talven_study_free(study);
  return named;
}

}  // namespace

// The value table: embedded regimes in ascending order of a1, then a2, each the normalised
// inverse-probability-weighted mean computed here apart from the library; differences of the
// rows as shown; the same bits on one thread and on two.
TEST(StudyLayer, ValueTableInPresentationOrderAgreesWithAnIndependentWeightedMean) {
  Frame data = smart(160);
  const std::vector<std::pair<std::string, double>> options = {
      {"VALUE", 1},        {"SEED", 4321},  {"NBOOTVALUE", 30}, {"NBOOTTUNE", 10},
      {"NBOOTSTRAP2", 30}, {"MALPHA", 0.5}, {"CORES", 1}};
  const Named one = analyse_named(data, options);
  std::vector<std::pair<std::string, double>> two_threads = options;
  two_threads.back().second = 2;
  const Named two = analyse_named(data, two_threads);
  for (const char* column : {"value.Estimate", "value.Lower", "value.Upper", "value.Kept",
                             "value.M", "value.PHat", "value.MAlpha"}) {
    EXPECT_TRUE(same_bits(one.numbers.at(column), two.numbers.at(column))) << column;
  }

  const std::vector<std::string>& kind = one.texts.at("value.Kind");
  const std::vector<std::string>& regime = one.texts.at("value.Regime");
  ASSERT_EQ(kind.size(), 11u);
  EXPECT_EQ(kind[0], "optimal");
  EXPECT_EQ(one.numbers.at("value.Estimate")[0], one.numbers.at("regime_value")[0]);
  EXPECT_EQ(one.numbers.at("value.MAlpha")[0], 0.5);

  const double order[4][2] = {{-1, -1}, {-1, 1}, {1, -1}, {1, 1}};
  const auto& a = data["a1"];
  const auto& b = data["a2"];
  const auto& r = data["r"];
  const auto& y = data["y"];
  const std::size_t n = data.rows();
  for (int k = 0; k < 4; ++k) {
    const std::size_t row = 1 + static_cast<std::size_t>(k);
    EXPECT_EQ(kind[row], "embedded");
    const std::string name = talven::short_number(order[k][0]) + ", then " +
                             talven::short_number(order[k][1]) + " if in stage 2";
    EXPECT_EQ(regime[row], name);
    EXPECT_EQ(one.numbers.at("value.A1")[row], order[k][0]);
    EXPECT_EQ(one.numbers.at("value.A2")[row], order[k][1]);
    long double given1 = 0, in_sample = 0, given2 = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != order[k][0]) continue;
      given1 += 1;
      if (r[i] == 1) {
        in_sample += 1;
        if (b[i] == order[k][1]) given2 += 1;
      }
    }
    const long double pi1 = given1 / n, pi2 = given2 / in_sample;
    long double sum_wy = 0, sum_w = 0, followers = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != order[k][0]) continue;
      const long double w = r[i] == 1 ? (b[i] == order[k][1] ? 1 / (pi1 * pi2) : 0) : 1 / pi1;
      if (w > 0) followers += 1;
      sum_wy += w * y[i];
      sum_w += w;
    }
    const double expected = static_cast<double>(sum_wy / sum_w);
    EXPECT_NEAR(one.numbers.at("value.Estimate")[row], expected,
                1e-10 * std::max(1.0, std::fabs(expected)));
    EXPECT_EQ(one.numbers.at("value.N")[row], static_cast<double>(followers));
  }
  std::size_t row = 5;
  for (int i = 0; i < 4; ++i) {
    for (int j = i + 1; j < 4; ++j, ++row) {
      EXPECT_EQ(kind[row], "difference");
      EXPECT_EQ(regime[row], regime[1 + i] + " - " + regime[1 + j]);
      const double expected =
          one.numbers.at("value.Estimate")[1 + i] - one.numbers.at("value.Estimate")[1 + j];
      EXPECT_NEAR(one.numbers.at("value.Estimate")[row], expected, 1e-12);
      EXPECT_LE(one.numbers.at("value.Lower")[row], one.numbers.at("value.Upper")[row]);
    }
  }
}
// A product term gives the bits of a column holding the product computed here, left to right, by
// whole columns and by single observations alike; a factor missing outside the stage-2 sample
// keeps the subject at stage 1 as a missing plain variable does.
TEST(StudyLayer, ProductTermsEqualPrecomputedColumnsBitForBit) {
  struct Case {
    int32_t role;
    std::vector<std::string> factors;
  };
  const Case cases[] = {
      {TALVEN_ROLE_MAIN2, {"o11", "a1"}},           {TALVEN_ROLE_MAIN2, {"age", "o11", "a1"}},
      {TALVEN_ROLE_TAILOR2, {"o21", "a1"}},         {TALVEN_ROLE_MAIN1, {"age", "o11"}},
      {TALVEN_ROLE_TAILOR1, {"o11", "age", "o11"}},
  };
  const Options options = {
      {"DERIVECI", 1}, {"SEED", 77}, {"NBOOTSTRAP1", 40}, {"NBOOTSTRAP2", 30}, {"NGRID", 3}};
  for (const Case& c : cases) {
    Frame plain = smart(150);
    plain["o21"][3] = kNaN;  // outside the stage-2 sample
    ASSERT_EQ(plain["r"][3], 0);
    plain["o11"][6] = kNaN;  // left out
    std::string term;
    for (const std::string& f : c.factors) term += (term.empty() ? "" : "*") + f;
    Frame product = plain;
    product.names.push_back(term);
    product.columns.emplace_back();
    for (std::size_t i = 0; i < plain.rows(); ++i) {
      double value = plain[c.factors[0]][i];
      for (std::size_t k = 1; k < c.factors.size(); ++k) value = value * plain[c.factors[k]][i];
      product.columns.back().push_back(value);
    }
    Lists lists = standard_lists();
    lists[c.role].push_back(term);
    const StudyRun precomputed(product, lists, options);
    const StudyRun written(plain, lists, options);
    const StudyRun by_row(plain, lists, options, true);
    ASSERT_TRUE(precomputed.status) << term << ": " << precomputed.messages.first_error();
    ASSERT_TRUE(written.status) << term << ": " << written.messages.first_error();
    ASSERT_TRUE(by_row.status) << term << ": " << by_row.messages.first_error();
    for (const StudyRun* run : {&written, &by_row}) {
      for (int32_t which :
           {TALVEN_VALUES_TABLE_ESTIMATE, TALVEN_VALUES_TABLE_LOWER, TALVEN_VALUES_TABLE_UPPER}) {
        EXPECT_TRUE(same_bits(precomputed.values(which, TALVEN_COUNT_TABLE_ROWS),
                              run->values(which, TALVEN_COUNT_TABLE_ROWS)))
            << term << " " << which;
      }
      EXPECT_EQ(precomputed.texts(TALVEN_TEXT_TABLE_TERM), run->texts(TALVEN_TEXT_TABLE_TERM));
      EXPECT_EQ(precomputed.texts(TALVEN_TEXT_OUT_COLUMN), run->texts(TALVEN_TEXT_OUT_COLUMN));
      // A column that merely holds a product with a1 is no stage-1 treatment term: only the
      // written product silences the NOTE on the stage-2 model.
      std::vector<std::pair<int32_t, std::string>> seen = precomputed.messages.seen;
      std::erase_if(seen, [](const auto& m) { return m.second.rfind("Neither MAIN2", 0) == 0; });
      const bool with_a1 = c.role >= TALVEN_ROLE_MAIN2;
      EXPECT_EQ(with_a1 ? seen : precomputed.messages.seen, run->messages.seen) << term;
      EXPECT_EQ(steps_count(*run, TALVEN_COUNT_STAGE1), 149) << term;
      EXPECT_EQ(steps_count(*run, TALVEN_COUNT_COLUMNS), 7) << term;
    }
    const std::vector<std::string> terms = written.texts(TALVEN_TEXT_TABLE_TERM);
    EXPECT_NE(std::find(terms.begin(), terms.end(), term), terms.end()) << term;
  }
}

// Products are covariate terms whose factors count as used variables: a factor with a role of its
// own is refused as the variable itself would be, and a product is no role variable.
TEST(StudyLayer, ProductTermsObeyTheRoleChecks) {
  struct Case {
    int32_t role;
    std::vector<std::string> add;
    std::string error;
  };
  const Case cases[] = {
      {TALVEN_ROLE_MAIN2,
       {"o21*y"},
       "Variable y is the RESPONSE variable and cannot also be in MAIN2."},
      {TALVEN_ROLE_MAIN2,
       {"a2*o11"},
       "Variable a2 is the STG2TRT variable and cannot also be in MAIN2."},
      {TALVEN_ROLE_MAIN1,
       {"age*a1"},
       "Variable a1 is the STG1TRT variable and cannot also be in MAIN1."},
      {TALVEN_ROLE_TAILOR2,
       {"r*o11"},
       "Variable r is the STG2SAMPLE variable and cannot also be in TAILOR2."},
      {TALVEN_ROLE_MAIN1, {"O11*age"}, ""},
      {TALVEN_ROLE_MAIN2, {"o11 * a1", "o21*age*a1"}, ""},
  };
  for (const Case& c : cases) {
    Lists lists = standard_lists();
    for (const std::string& term : c.add) lists[c.role].push_back(term);
    const StudyRun run(smart(80), lists, {});
    EXPECT_EQ(run.status, c.error.empty()) << c.add[0];
    EXPECT_EQ(run.messages.first_error(), c.error) << c.add[0];
  }
  // The same factors in another order are the same term.
  Lists overlap = standard_lists();
  overlap[TALVEN_ROLE_MAIN1] = {"age*o11"};
  overlap[TALVEN_ROLE_TAILOR1] = {"o11*age"};
  const StudyRun twice(smart(80), overlap, {});
  EXPECT_EQ(twice.messages.first_error(),
            "Please remove variable o11*age from MAIN1 as TAYLOR1 variables are included as MAIN1 "
            "automatically in the model.");
  Lists response = standard_lists();
  response[TALVEN_ROLE_RESPONSE] = {"y*age"};
  const StudyRun role(smart(80), response, {});
  EXPECT_EQ(role.messages.first_error(),
            "RESPONSE names the product y*age; products are terms of MAIN1, TAILOR1, MAIN2 and "
            "TAILOR2 only.");
}

// A written term is a variable or a product of variables of the data; anything else is an error
// that names it, and the study refuses further steps.
TEST(StudyLayer, TermsThatAreNoProductOfVariablesAreRefused) {
  const std::pair<const char*, const char*> cases[] = {
      {"age*zz", "Variable zz of the term age*zz is not in data set DATA."},
      {"age**o11", "The term \"age**o11\" is not a variable or a product of variables (x*y)."},
      {"age*", "The term \"age*\" is not a variable or a product of variables (x*y)."},
      {"", "The term \"\" is not a variable or a product of variables (x*y)."},
      {"log(age)", "Variable log(age) of the term log(age) is not in data set DATA."},
  };
  for (const auto& [term, error] : cases) {
    TalvenStudy* study = talven_study_new();
    Messages messages;
    talven_study_on_message(study, &Messages::record, &messages);
    talven_study_add_column(study, "age");
    talven_study_add_column(study, "o11");
    EXPECT_EQ(talven_study_add_term(study, term), -1) << term;
    EXPECT_EQ(messages.first_error(), error);
    EXPECT_EQ(talven_study_check_options(study), -1);
    talven_study_free(study);
  }
  // Same factors, same order: one term. Variables come first, then products.
  TalvenStudy* study = talven_study_new();
  talven_study_add_column(study, "age");
  talven_study_add_column(study, "o11");
  EXPECT_EQ(talven_study_add_term(study, "O11"), 1);
  EXPECT_EQ(talven_study_add_term(study, "age*o11"), 2);
  EXPECT_EQ(talven_study_add_term(study, " AGE * o11 "), 2);
  EXPECT_EQ(talven_study_add_term(study, "o11*age"), 3);
  const int32_t factors[] = {0, 1, 0};
  EXPECT_EQ(talven_study_add_product(study, 3, factors), 4);
  EXPECT_EQ(talven_study_count(study, TALVEN_COUNT_COLUMNS), 2);
  EXPECT_EQ(talven_study_add_column(study, "late"), -1);
  talven_study_free(study);
}

// The stage-2 model should carry the stage-1 treatment: a NOTE says so when neither stage-2 list
// holds it or a product with it; the analysis is the same either way.
TEST(StudyLayer, NotesAStage2ModelWithoutTheStage1Treatment) {
  const char* const note = "Neither MAIN2 nor TAILOR2 holds the stage-1 treatment a1";
  const std::pair<std::vector<std::string>, bool> cases[] = {
      {{}, true},
      {{"age"}, true},
      {{"a1"}, false},
      {{"age", "o11*a1"}, false},
  };
  for (const auto& [main2, noted] : cases) {
    Lists lists = standard_lists();
    if (!main2.empty()) lists[TALVEN_ROLE_MAIN2] = main2;
    const StudyRun run(smart(80), lists, {});
    ASSERT_TRUE(run.status) << run.messages.first_error();
    EXPECT_EQ(run.messages.has(TALVEN_MESSAGE_NOTE, note), noted) << main2.size();
  }
  Lists tailored = standard_lists();
  tailored[TALVEN_ROLE_TAILOR2] = {"o21", "a1*o11"};
  const StudyRun run(smart(80), tailored, {});
  EXPECT_FALSE(run.messages.has(TALVEN_MESSAGE_NOTE, note));
}

namespace {

// Sum over the rows of residual * column, in long double, relative to the column's scale.
long double normal_equation(const std::vector<double>& residuals,
                            const std::vector<double>& column) {
  long double sum = 0, scale = 1;
  for (std::size_t i = 0; i < residuals.size(); ++i) {
    sum += static_cast<long double>(residuals[i]) * column[i];
    scale += std::fabs(static_cast<long double>(residuals[i]) * column[i]);
  }
  return sum / scale;
}

}  // namespace

// Least-squares residuals are orthogonal to every design column of their stage; fitted plus
// residual gives back the outcome (stage 2) or the pseudo-outcome (stage 1), which is the
// outcome outside the stage-2 sample and at least the fitted stage-2 value inside it; the
// observation numbers skip a left-out observation. Under MINIMIZE the same holds for y itself.
TEST(StudyLayer, FittedValuesAndResidualsOfBothStages) {
  for (const bool minimize : {false, true}) {
    Frame data = smart(90);
    data["y"][3] = kNaN;
    const StudyRun run(data, standard_lists(), minimize ? Options{{"MINIMIZE", 1}} : Options{});
    ASSERT_TRUE(run.status) << run.messages.first_error();
    const Named named = named_results(run.study());
    const std::vector<double>& rows1 = named.numbers.at("rows1");
    const std::vector<double>& rows2 = named.numbers.at("rows2");
    ASSERT_EQ(rows1.size(), 89u);
    EXPECT_EQ(rows1[2], 3);
    EXPECT_EQ(rows1[3], 5);
    ASSERT_EQ(named.numbers.at("fitted1").size(), rows1.size());
    ASSERT_EQ(named.numbers.at("residuals2").size(), rows2.size());

    std::vector<std::vector<double>> design1(5), design2(4);
    std::vector<double> pseudo;
    for (std::size_t k = 0; k < rows1.size(); ++k) {
      const auto i = static_cast<std::size_t>(rows1[k] - 1);
      const double a1 = data["a1"][i], o11 = data["o11"][i];
      const double row[] = {1, data["age"][i], o11, a1, a1 * o11};
      for (std::size_t c = 0; c < 5; ++c) design1[c].push_back(row[c]);
      pseudo.push_back(named.numbers.at("fitted1")[k] + named.numbers.at("residuals1")[k]);
    }
    std::size_t in_stage2 = 0;
    for (std::size_t k = 0; k < rows1.size(); ++k) {
      const auto i = static_cast<std::size_t>(rows1[k] - 1);
      if (data["r"][i] != 1) {
        EXPECT_NEAR(pseudo[k], data["y"][i], 1e-12 * std::max(1.0, std::fabs(data["y"][i])));
        continue;
      }
      ASSERT_EQ(rows2[in_stage2], rows1[k]);
      const double fitted2 = named.numbers.at("fitted2")[in_stage2];
      EXPECT_NEAR(fitted2 + named.numbers.at("residuals2")[in_stage2], data["y"][i], 1e-12);
      EXPECT_TRUE(minimize ? pseudo[k] <= fitted2 + 1e-12 : pseudo[k] >= fitted2 - 1e-12);
      const double a2 = data["a2"][i], o21 = data["o21"][i];
      const double row[] = {1, o21, a2, a2 * o21};
      for (std::size_t c = 0; c < 4; ++c) design2[c].push_back(row[c]);
      ++in_stage2;
    }
    EXPECT_EQ(in_stage2, rows2.size());
    for (const auto& column : design1) {
      EXPECT_LT(std::fabs(normal_equation(named.numbers.at("residuals1"), column)), 1e-12L);
    }
    for (const auto& column : design2) {
      EXPECT_LT(std::fabs(normal_equation(named.numbers.at("residuals2"), column)), 1e-12L);
    }
  }
}
