#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "examples/study/study.h"

namespace {

using smart::AnalysisArrays;
using smart::AnalysisSpec;
using smart::Study;
using smart::StudyOptions;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string csv_of(const StudyOptions& options) {
  std::ostringstream out;
  smart::write_csv(smart::generate_study(options), out);
  return out.str();
}

const std::vector<double>& column(const Study& study, const std::string& name) {
  const smart::Column* found = study.find(name);
  if (found == nullptr) throw std::runtime_error("no column " + name);
  return found->values;
}

TEST(StudyGenerator, SameOptionsGiveSameBytesAndSeedMatters) {
  StudyOptions three_arms;
  three_arms.k1 = three_arms.k2 = 3;
  three_arms.layout = smart::ArmLayout::kTuple;
  StudyOptions gappy;
  gappy.missing_stage1 = gappy.missing_stage2 = gappy.missing_response = 0.1;
  for (const StudyOptions& options : {StudyOptions{}, three_arms, gappy}) {
    const std::string first = csv_of(options);
    EXPECT_EQ(first, csv_of(options));
    StudyOptions reseeded = options;
    reseeded.seed += 1;
    EXPECT_NE(first, csv_of(reseeded));
  }
}

// The shipped example must stay what the generator writes; a difference here also means the
// generator draws differently on this machine.
TEST(StudyGenerator, ReproducesShippedExample) {
  std::ifstream file(std::string(TALVEN_SOURCE_DIR) + "/examples/smart_study.csv",
                     std::ios::binary);
  ASSERT_TRUE(file) << "examples/smart_study.csv is missing";
  std::stringstream shipped;
  shipped << file.rdbuf();
  EXPECT_EQ(shipped.str(), csv_of(StudyOptions{}));
}

TEST(StudyGenerator, StageTwoValuesOnlyForTheStageTwoSample) {
  const Study study = smart::generate_study(StudyOptions{});
  const auto& stage2 = column(study, "stage2");
  int in_sample = 0;
  for (std::size_t i = 0; i < study.rows(); ++i) {
    ASSERT_TRUE(stage2[i] == 0.0 || stage2[i] == 1.0);
    in_sample += stage2[i] == 1.0;
    for (const char* name : {"sidefx", "o21", "a2"}) {
      EXPECT_EQ(std::isnan(column(study, name)[i]), stage2[i] == 0.0) << name << " row " << i;
    }
  }
  EXPECT_GT(in_sample, 100);  // about half of 300
  EXPECT_LT(in_sample, 200);

  StudyOptions everyone;
  everyone.stage2_indicator = false;
  const Study all = smart::generate_study(everyone);
  EXPECT_EQ(all.find("stage2"), nullptr);
  for (double a2 : column(all, "a2")) EXPECT_FALSE(std::isnan(a2));
}

// Coding and layout change the treatment columns only, never the outcome.
TEST(StudyGenerator, TreatmentColumnsFollowCodingAndLayout) {
  struct Case {
    smart::TreatmentCoding coding;
    smart::ArmLayout layout;
    std::set<std::vector<double>> arms;
  };
  using enum smart::TreatmentCoding;
  using enum smart::ArmLayout;
  const Case cases[] = {
      {kMinusOnePlusOne, kOneHot, {{-1, -1}, {1, -1}, {-1, 1}}},
      {kZeroOne, kOneHot, {{0, 0}, {1, 0}, {0, 1}}},
      {kMinusOnePlusOne, kTuple, {{-1, -1}, {1, -1}, {1, 1}}},
      {kZeroOne, kTuple, {{0, 0}, {1, 0}, {1, 1}}},
  };
  std::vector<double> first_y;
  for (const Case& c : cases) {
    StudyOptions options;
    options.k1 = 3;
    options.coding = c.coding;
    options.layout = c.layout;
    const Study study = smart::generate_study(options);
    std::set<std::vector<double>> seen;
    for (std::size_t i = 0; i < study.rows(); ++i) {
      seen.insert({column(study, "a1_1")[i], column(study, "a1_2")[i]});
    }
    EXPECT_EQ(seen, c.arms);
    if (first_y.empty()) first_y = column(study, "y");
    EXPECT_EQ(column(study, "y"), first_y);
  }
}

TEST(StudyGenerator, MissingRatesAsAskedAndOtherValuesKept) {
  StudyOptions options;
  options.n = 20000;
  options.n_main1 = options.n_main2 = 2;
  const Study complete = smart::generate_study(options);
  options.missing_stage1 = 0.1;
  options.missing_stage2 = 0.2;
  options.missing_response = 0.05;
  const Study gappy = smart::generate_study(options);

  const std::vector<std::string> stage1 = {"age", "x1_2", "o11", "a1"};
  const std::vector<std::string> stage2 = {"sidefx", "x2_2", "o21", "a2"};
  auto any_missing = [&](const std::vector<std::string>& names, std::size_t i) {
    bool missing = false;
    for (const auto& name : names) missing |= std::isnan(column(gappy, name)[i]);
    return missing;
  };
  int missing1 = 0, missing2 = 0, missing_y = 0, sample = 0;
  for (std::size_t i = 0; i < gappy.rows(); ++i) {
    missing1 += any_missing(stage1, i);
    missing_y += std::isnan(column(gappy, "y")[i]);
    if (column(gappy, "stage2")[i] == 1.0) {
      ++sample;
      missing2 += any_missing(stage2, i);
    }
    for (const smart::Column& c : gappy.columns) {
      const double value = c.values[i];
      if (!std::isnan(value)) {
        EXPECT_EQ(value, column(complete, c.name)[i]) << c.name;
      }
    }
  }
  EXPECT_NEAR(missing1 / 20000.0, 0.1, 0.01);
  EXPECT_NEAR(missing_y / 20000.0, 0.05, 0.01);
  EXPECT_NEAR(static_cast<double>(missing2) / sample, 0.2, 0.015);
}

TEST(StudyGenerator, RefusesBadOptionsNamingThem) {
  struct Case {
    void (*apply)(StudyOptions&);
    const char* fragment;
  };
  const Case cases[] = {
      {[](StudyOptions& o) { o.n = 0; }, "number of subjects"},
      {[](StudyOptions& o) { o.n_tailor1 = 0; }, "TAILOR1"},
      {[](StudyOptions& o) { o.n_main2 = -1; }, "MAIN2"},
      {[](StudyOptions& o) { o.k2 = 1; }, "stage-2 treatments"},
      {[](StudyOptions& o) { o.missing_stage2 = 1.5; }, "stage-2 variables"},
      {[](StudyOptions& o) { o.missing_response = kNaN; }, "response"},
      {[](StudyOptions& o) { o.stage2_effect = kNaN; }, "effect"},
  };
  for (const Case& c : cases) {
    StudyOptions options;
    c.apply(options);
    EXPECT_NE(options.validate().find(c.fragment), std::string::npos) << options.validate();
    EXPECT_THROW(smart::generate_study(options), std::invalid_argument);
  }
}

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> fields(1);
  for (char ch : line) {
    if (ch == ',') {
      fields.emplace_back();
    } else {
      fields.back() += ch;
    }
  }
  return fields;
}

TEST(StudyCsv, ValuesRoundTripExactly) {
  Study study;
  study.columns = {{"tiny", {5e-324, -0.0, kNaN}},
                   {"big", {1.7976931348623157e308, 0.1 + 0.2, 1.0 / 3.0}},
                   {"plain", {1.0, -2.5, 123456789012345678.0}}};
  StudyOptions options;
  options.missing_stage1 = 0.2;
  for (const Study& s : {study, smart::generate_study(options)}) {
    std::ostringstream out;
    smart::write_csv(s, out);
    std::istringstream in(out.str());
    std::string line;
    std::getline(in, line);
    ASSERT_EQ(split(line).size(), s.columns.size());
    for (std::size_t i = 0; i < s.rows(); ++i) {
      ASSERT_TRUE(std::getline(in, line));
      const auto fields = split(line);
      ASSERT_EQ(fields.size(), s.columns.size());
      for (std::size_t c = 0; c < fields.size(); ++c) {
        const double want = s.columns[c].values[i];
        if (std::isnan(want)) {
          EXPECT_EQ(fields[c], "");
        } else {
          const double got = std::strtod(fields[c].c_str(), nullptr);
          EXPECT_EQ(std::signbit(got), std::signbit(want));
          EXPECT_EQ(got, want) << fields[c];
        }
      }
    }
    EXPECT_FALSE(std::getline(in, line));
  }
}

TEST(StudyCsv, QuotesNamesThatNeedIt) {
  Study study;
  study.columns = {{"a,b", {1.0}}, {"say \"hi\"", {2.0}}};
  std::ostringstream out;
  smart::write_csv(study, out);
  EXPECT_EQ(out.str(), "\"a,b\",\"say \"\"hi\"\"\"\n1,2\n");
}

// TAILOR1 o11, STG1TRT a1, TAILOR2 o21, STG2TRT a2, RESPONSE y and the given STG2SAMPLE.
AnalysisSpec minimal_spec(const std::string& stg2sample) {
  AnalysisSpec spec;
  spec.tailor1 = {"o11"};
  spec.stg1trt = {"a1"};
  spec.stg2sample = stg2sample;
  spec.tailor2 = {"o21"};
  spec.stg2trt = {"a2"};
  spec.response = "y";
  return spec;
}

// A hand-worked study of eleven observations. Rows (s = stage-2 status given to the library):
//  0: kept, s=0, a1=1 (first: code 1), a2=1.8 -> 1 (code 1)
//  1: a2=-3 for a responder: not a stage-2 level; sidefx missing -> 0, code 1
//  2: stage2=2: dropped
//  3: kept, s=0, a1=0 (code 2), a2=1.2 -> 1 (code 1)
//  4: stage2=1.7 -> s=0, a1=5e-9 (same arm as 0: code 2), a2=-1 (code 2)
//  5: stage2=0.5 -> s=1, a1=1
//  6: in the sample with a missing stage-2 value: dropped
//  7: responder with missing stage-2 values: kept, zeros, code 1
//  8: missing response: dropped
//  9: kept, s=0, a2=-1.9 -> -1 (code 2)
// 10: kept, s=0, a1=0 (code 2), a2=1 (code 1)
TEST(StudyAnalysisArrays, HandWorkedStudy) {
  Study study;
  study.columns = {
      {"age", {30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40}},
      {"sex", {0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0}},
      {"o11", {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0, 1.1}},
      {"a1", {1, 0, 1, 0, 5e-9, 1, 1, 1, 0, 1, 0}},
      {"stage2", {1, 0, 2, 1, 1.7, 0.5, 1, 0, 1, 1, 1}},
      {"sidefx", {1.5, kNaN, 0, 2.5, 3.5, 4.5, kNaN, kNaN, 8.5, 9.5, 10.5}},
      {"o21", {-1, -2, -3, -4, -5, -6, -7, kNaN, -9, -10, -11}},
      {"a2", {1.8, -3, 1, 1.2, -1, 1, 1, kNaN, 1, -1.9, 1}},
      {"y", {10, 11, 12, 13, 14, 15, 16, 17, kNaN, 19, 20}},
  };
  AnalysisSpec spec = minimal_spec("stage2");
  spec.main1 = {"age", "sex"};
  spec.main2 = {"sidefx"};

  AnalysisArrays a;
  std::string error;
  ASSERT_TRUE(smart::build_analysis_arrays(study, spec, &a, &error)) << error;
  // Kept rows: 0, 1, 3, 4, 5, 7, 9, 10.
  EXPECT_EQ(a.n1, 8);
  EXPECT_EQ(a.dropped, 3);
  EXPECT_EQ(a.n2, 5);
  EXPECT_EQ(a.respStatus, (std::vector<std::int32_t>{0, 1, 0, 0, 1, 1, 0, 0}));
  EXPECT_EQ(a.A1, (std::vector<std::int32_t>{1, 2, 2, 2, 1, 1, 1, 2}));
  EXPECT_EQ(a.inputA2, (std::vector<std::int32_t>{1, 1, 1, 2, 1, 1, 2, 1}));
  EXPECT_EQ(a.levels1, (std::vector<double>{1, 0}));
  EXPECT_EQ(a.levels2, (std::vector<double>{1, -1}));
  EXPECT_EQ(a.H10, (std::vector<double>{30, 31, 33, 34, 35, 37, 39, 40, 0, 1, 1, 0, 1, 1, 1, 0}));
  EXPECT_EQ(a.inputH20, (std::vector<double>{1.5, 0, 2.5, 3.5, 4.5, 0, 9.5, 10.5}));
  EXPECT_EQ(a.inputH21, (std::vector<double>{-1, -2, -4, -5, -6, 0, -10, -11}));
  EXPECT_EQ(a.inputY2, (std::vector<double>{10, 11, 13, 14, 15, 17, 19, 20}));
  EXPECT_EQ(a.Y1, a.inputY2);
  EXPECT_EQ(a.p1(), 6);
  EXPECT_EQ(a.p2(), 5);
}

// A value within 1e-8 of two arms takes the later one.
TEST(StudyAnalysisArrays, CodeOfTheLastMatchingArm) {
  Study study;
  study.columns = {{"o11", {1, 2, 3, 4}},
                   {"a1", {0, 1.5e-8, 0.8e-8, 4e-9}},
                   {"o21", {1, 3, 2, 5}},
                   {"a2", {1, -1, 1, -1}},
                   {"y", {1, 2, 3, 4}}};
  const AnalysisSpec spec = minimal_spec("");
  AnalysisArrays a;
  std::string error;
  ASSERT_TRUE(smart::build_analysis_arrays(study, spec, &a, &error)) << error;
  EXPECT_EQ(a.levels1, (std::vector<double>{0, 1.5e-8}));
  EXPECT_EQ(a.A1, (std::vector<std::int32_t>{1, 2, 2, 1}));
  EXPECT_EQ(a.respStatus, (std::vector<std::int32_t>{0, 0, 0, 0}));
  EXPECT_EQ(a.n2, 4);
}

// Three arms given by two columns where the first column alone does not tell them apart.
TEST(StudyAnalysisArrays, ArmsAreTuplesOfTreatmentColumns) {
  StudyOptions options;
  options.k1 = options.k2 = 3;
  options.coding = smart::TreatmentCoding::kZeroOne;
  for (auto layout : {smart::ArmLayout::kOneHot, smart::ArmLayout::kTuple}) {
    options.layout = layout;
    const Study study = smart::generate_study(options);
    AnalysisArrays a;
    std::string error;
    ASSERT_TRUE(smart::build_analysis_arrays(study, smart::default_spec(options), &a, &error))
        << error;
    ASSERT_EQ(a.n1, options.n);
    ASSERT_EQ(a.levels1.size(), 6u);
    std::set<std::vector<double>> arms;
    for (int k = 0; k < 3; ++k) arms.insert({a.levels1[2 * k], a.levels1[2 * k + 1]});
    EXPECT_EQ(arms.size(), 3u);
    for (int i = 0; i < a.n1; ++i) {
      const int k = a.A1[i] - 1;
      EXPECT_EQ(column(study, "a1_1")[i], a.levels1[2 * k]);
      EXPECT_EQ(column(study, "a1_2")[i], a.levels1[2 * k + 1]);
    }
  }
}

TEST(StudyAnalysisArrays, RefusesWhatTheProcedureRefuses) {
  Study study;
  study.columns = {{"o11", {1, 2, 3, 4, 5, 6}},  {"a1", {1, -1, 1, -1, 1, 0}},
                   {"s", {1, 1, 1, 1, 0, 1}},    {"o21", {1, 2, 3, 5, 8, 13}},
                   {"a2", {1, -1, 1, -1, 7, 1}}, {"y", {1, 2, 3, 4, 5, 6}}};
  struct Case {
    void (*apply)(AnalysisSpec&, Study&);
    const char* fragment;
  };
  const Case cases[] = {
      {[](AnalysisSpec& s, Study&) { s.main1 = {"nope"}; }, "nope in MAIN1"},
      {[](AnalysisSpec& s, Study&) { s.main2 = {"o21"}; }, "remove variable o21 from MAIN2"},
      {[](AnalysisSpec& s, Study&) { s.stg1trt.push_back("o11"); }, "STG1TRT"},
      {[](AnalysisSpec& s, Study&) { s.k2 = 1; }, "between 2 and"},
      // a1 = 0 in the last row is a third stage-1 arm.
      {[](AnalysisSpec&, Study&) {}, "stage 1 has more than 2"},
      // Within the stage-2 sample a third stage-2 arm; a2 = 7 of the responder does not count.
      {[](AnalysisSpec&, Study& d) {
         d.columns[1].values[5] = 1;
         d.columns[4].values[3] = 0;
       },
       "stage 2 has more than 2"},
      // Four stage-2 coefficients: three stage-2 subjects are too few (four are enough, below).
      {[](AnalysisSpec&, Study& d) {
         d.columns[1].values[5] = 1;
         d.columns[2].values[0] = d.columns[2].values[1] = 0;
       },
       "not enough data at stage 2"},
  };
  for (const Case& c : cases) {
    AnalysisSpec spec = minimal_spec("s");
    Study data = study;
    c.apply(spec, data);
    AnalysisArrays a;
    std::string error;
    EXPECT_FALSE(smart::build_analysis_arrays(data, spec, &a, &error)) << c.fragment;
    EXPECT_NE(error.find(c.fragment), std::string::npos) << error;
  }
  // Without the faults, the same data build.
  const AnalysisSpec spec = minimal_spec("s");
  study.columns[1].values[5] = 1;
  study.columns[2].values[0] = 0;
  AnalysisArrays a;
  std::string error;
  EXPECT_TRUE(smart::build_analysis_arrays(study, spec, &a, &error)) << error;
  EXPECT_EQ(a.n2, 4);
  EXPECT_EQ(a.p2(), 4);
}

}  // namespace
