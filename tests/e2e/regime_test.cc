// The estimated regime through the talven command: OUT= and RULES checked against the OUTEST=
// coefficients by a formula of their own, recommendations against the true optimal regime of a
// study built for it, and MINIMIZE against a minimising fit written here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "examples/study/study.h"
#include "host/csv_reader.h"
#include "tests/e2e/e2e_support.h"

namespace {

using e2e::Folder;
using e2e::TalvenRun;

// A data set read back by the host's CSV reader, its columns by name.
class Table {
 public:
  explicit Table(const std::filesystem::path& path) {
    auto read = host::read_csv_file(path);
    EXPECT_TRUE(read.ok()) << read.error();
    if (read.ok()) table_ = *read;
  }
  bool ok() const { return table_ != nullptr; }
  int64_t rows() const { return table_->rows; }
  bool has(const std::string& name) const { return find(name) != nullptr; }
  double operator()(const std::string& name, int64_t i) const {
    const host::Column* c = find(name);
    EXPECT_TRUE(c != nullptr) << name;
    return c == nullptr ? NAN : c->numbers[static_cast<size_t>(i)];
  }
  std::string text(const std::string& name, int64_t i) const {
    const host::Column* c = find(name);
    return c == nullptr ? "" : c->texts[static_cast<size_t>(i)];
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const host::Column& c : table_->columns) out.push_back(c.name);
    return out;
  }

 private:
  const host::Column* find(const std::string& name) const {
    for (const host::Column& c : table_->columns) {
      if (c.name == name) return &c;
    }
    return nullptr;
  }
  std::shared_ptr<const host::DataTable> table_;
};

std::string list(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += " " + n;
  return out;
}

std::string program(const smart::AnalysisSpec& spec, const std::string& options) {
  std::string text = "PROC TALVEN DATA=study NTREATS1=" + std::to_string(spec.k1) +
                     " NTREATS2=" + std::to_string(spec.k2) + " " + options + ";\n";
  if (!spec.main1.empty()) text += "  MAIN1" + list(spec.main1) + ";\n";
  text += "  TAILOR1" + list(spec.tailor1) + "; STG1TRT" + list(spec.stg1trt) + ";\n";
  if (!spec.stg2sample.empty()) text += "  STG2SAMPLE " + spec.stg2sample + ";\n";
  if (!spec.main2.empty()) text += "  MAIN2" + list(spec.main2) + ";\n";
  text += "  TAILOR2" + list(spec.tailor2) + "; STG2TRT" + list(spec.stg2trt) + ";\n";
  return text + "  RESPONSE " + spec.response + ";\nRUN;\n";
}

std::string csv(const smart::Study& study) {
  std::ostringstream out;
  smart::write_csv(study, out);
  return out.str();
}

// Estimates of one stage by Term, from OUTEST=.
std::map<std::string, double> coefficients(const Table& est, int stage) {
  std::map<std::string, double> out;
  for (int64_t i = 0; i < est.rows(); ++i) {
    if (est("Stage", i) == stage) out[est.text("Term", i)] = est("Estimate", i);
  }
  return out;
}

// Q-value of row i of `data` with the stage's treatments set to `level`: each term's
// coefficient times the product of the values it names ("o11:a1" is o11 times a1).
double q_by_terms(const std::map<std::string, double>& beta, const Table& data, int64_t i,
                  const std::map<std::string, double>& level) {
  double q = 0;
  for (const auto& [term, coefficient] : beta) {
    double value = 1;
    if (term != "intercept") {
      std::stringstream parts(term);
      for (std::string name; std::getline(parts, name, ':');) {
        const auto treatment = level.find(name);
        value *= treatment != level.end() ? treatment->second : data(name, i);
      }
    }
    q += coefficient * value;
  }
  return q;
}

// The levels of a stage as users see them: tuples of treatment values among the observations of
// that stage's fit, ascending, compared variable by variable in the order of the list.
std::vector<std::map<std::string, double>> levels_of(const Table& out,
                                                     const std::vector<std::string>& treatments,
                                                     const char* fit_flag) {
  std::map<std::vector<double>, std::map<std::string, double>> sorted;
  for (int64_t i = 0; i < out.rows(); ++i) {
    if (out(fit_flag, i) != 1) continue;
    std::vector<double> key;
    std::map<std::string, double> level;
    for (const std::string& t : treatments) {
      key.push_back(std::trunc(out(t, i)));
      level[t] = key.back();
    }
    sorted[key] = level;
  }
  std::vector<std::map<std::string, double>> levels;
  for (const auto& [key, level] : sorted) levels.push_back(level);
  return levels;
}

// The OUT= column of a level's Q-value: after the value of a single treatment variable ("Q1_M1"
// for -1, "Q1_1" for 1), numbered with several.
std::string q_column(int stage, const std::map<std::string, double>& level, int number) {
  const std::string prefix = "Q" + std::to_string(stage) + "_";
  if (level.size() > 1) return prefix + "L" + std::to_string(number);
  const double v = level.begin()->second;
  return prefix + (v < 0 ? "M" : "") + std::to_string(static_cast<int>(std::fabs(v)));
}

bool close(double a, double b) {
  return std::fabs(a - b) <= 1e-9 * std::max(1.0, std::fabs(b));
}

std::string listing_value(const TalvenRun& run, const std::string& listing,
                          const std::string& label) {
  const size_t at = listing.find(label);
  if (at == std::string::npos) return "(no line " + label + ")\n" + run.all();
  return listing.substr(at + label.size(), listing.find('\n', at) - at - label.size());
}

TEST(Regime, OutAndRulesAgreeWithTheCoefficientsInEveryCoding) {
  struct Case {
    const char* name;
    smart::TreatmentCoding coding;
    int k;
    bool one_two;  // recode -1/1 as 1/2
  };
  const Case cases[] = {
      {"-1/1", smart::TreatmentCoding::kMinusOnePlusOne, 2, false},
      {"0/1", smart::TreatmentCoding::kZeroOne, 2, false},
      {"1/2", smart::TreatmentCoding::kMinusOnePlusOne, 2, true},
      {"K=3", smart::TreatmentCoding::kZeroOne, 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    smart::StudyOptions options;
    options.n = 400;
    options.seed = 77;
    options.k1 = options.k2 = c.k;
    options.coding = c.coding;
    options.n_main2 = 2;
    options.missing_stage1 = 0.03;
    options.missing_response = 0.02;
    smart::Study study = smart::generate_study(options);
    const smart::AnalysisSpec analysis = smart::default_spec(options);
    if (c.one_two) {
      for (smart::Column& column : study.columns) {
        if (column.name != "a1" && column.name != "a2") continue;
        for (double& v : column.values) {
          if (!std::isnan(v)) v = v < 0 ? 1 : 2;
        }
      }
    }
    Folder folder("regime");
    folder.write("study.csv", csv(study));
    const TalvenRun run = folder.talven(program(analysis, "RULES OUT=rec OUTEST=est"));
    ASSERT_LE(run.status, 1) << run.all();
    const Table out(folder.path() / "rec.csv");
    const Table est(folder.path() / "est.csv");
    ASSERT_TRUE(out.ok() && est.ok());
    ASSERT_EQ(out.rows(), options.n);

    const char* digits[] = {"1", "2"};
    const std::vector<std::string>* treatments[] = {&analysis.stg1trt, &analysis.stg2trt};
    const char* flags[] = {"_STAGE1", "_STAGE2"};
    double value_sum = 0;
    int64_t in_stage1 = 0;
    for (int s = 0; s < 2; ++s) {
      const auto beta = coefficients(est, s + 1);
      const auto levels = levels_of(out, *treatments[s], flags[s]);
      ASSERT_EQ(static_cast<int>(levels.size()), c.k);
      int64_t computed = 0;
      for (int64_t i = 0; i < out.rows(); ++i) {
        // A Q-value exists exactly when the stage's covariates are all present.
        bool complete = true;
        for (const auto& [term, coefficient] : beta) {
          std::stringstream parts(term);
          for (std::string name; std::getline(parts, name, ':');) {
            if (name != "intercept" && !levels[0].count(name)) {
              complete = complete && !std::isnan(out(name, i));
            }
          }
        }
        if (!complete) {
          EXPECT_TRUE(std::isnan(out(q_column(s + 1, levels[0], 1), i))) << i;
          EXPECT_TRUE(std::isnan(out(std::string("REC") + digits[s], i))) << i;
          continue;
        }
        ++computed;
        int best = 0;
        std::vector<double> qs;
        for (int l = 0; l < c.k; ++l) {
          qs.push_back(q_by_terms(beta, out, i, levels[static_cast<size_t>(l)]));
          if (qs.back() > qs[static_cast<size_t>(best)]) best = l;
          EXPECT_TRUE(close(out(q_column(s + 1, levels[static_cast<size_t>(l)], l + 1), i),
                            qs.back()))
              << i << " " << l;
        }
        const std::string rec = std::string("REC") + digits[s];
        if (c.k == 2) {
          EXPECT_EQ(out(rec, i), levels[static_cast<size_t>(best)].begin()->second) << i;
        } else {
          EXPECT_EQ(out(rec, i), best + 1) << i;
          for (const std::string& t : *treatments[s]) {
            EXPECT_EQ(out(rec + "_" + t, i), levels[static_cast<size_t>(best)].at(t)) << i;
          }
        }
        if (s == 0) {
          EXPECT_TRUE(close(out("VALUE1", i), qs[static_cast<size_t>(best)])) << i;
          if (out("_STAGE1", i) == 1) {
            value_sum += out("VALUE1", i);
            ++in_stage1;
          }
        }
      }
      EXPECT_GT(computed, options.n / 2);
    }
    const std::string listing = e2e::read_file(folder.path() / "out.txt");
    char mean[32];
    std::snprintf(mean, sizeof mean, "%10.4f", value_sum / static_cast<double>(in_stage1));
    EXPECT_EQ(listing_value(run, listing, "Estimated value (mean of VALUE1):             "), mean);
  }
}

// A study whose optimal regime is known: large, clear effects, n = 2000.
//   y = 1 + 0.5 o11 + a1 (0.2 + o11) + [non-responder] (0.3 o21 + a2 (-0.3 + 1.2 o21)) + noise
// The stage-2 part's best value does not depend on a1, so the optimal a1 is sign(0.2 + o11) and
// the optimal a2 sign(-0.3 + 1.2 o21).
struct KnownStudy {
  std::string csv;
  std::vector<double> best1, best2;  // true optimal treatments (0 for responders at stage 2)
};

KnownStudy known_study(int n, double direction) {
  uint64_t state = 4242;
  auto uniform = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (static_cast<double>(state >> 11) + 0.5) / 9007199254740992.0;
  };
  KnownStudy s;
  std::ostringstream out;
  out.precision(17);
  out << "o11,a1,stage2,o21,a2,y\n";
  for (int i = 0; i < n; ++i) {
    const double o11 = 2 * uniform() - 1;
    const double a1 = uniform() < 0.5 ? -1 : 1;
    const bool second = uniform() < 0.7;
    const double o21 = 2 * uniform() - 1;
    const double a2 = uniform() < 0.5 ? -1 : 1;
    const double noise =
        0.5 * std::sqrt(-2 * std::log(uniform())) * std::cos(6.283185307179586 * uniform());
    const double y = 1 + 0.5 * o11 + a1 * (0.2 + o11) +
                     (second ? 0.3 * o21 + a2 * (-0.3 + 1.2 * o21) : 0.0) + noise;
    // direction -1: smaller is better, the outcome mirrored so the best arm is the same.
    out << o11 << ',' << a1 << ',' << (second ? 1 : 0) << ',';
    if (second)
      out << o21 << ',' << a2;
    else
      out << ',';
    out << ',' << direction * y << '\n';
    s.best1.push_back(0.2 + o11 >= 0 ? 1 : -1);
    s.best2.push_back(second ? (-0.3 + 1.2 * o21 >= 0 ? 1 : -1) : 0);
  }
  s.csv = out.str();
  return s;
}

constexpr const char* kKnownModel =
    "  TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2; TAILOR2 o21; STG2TRT a2; RESPONSE y;\nRUN;\n";

// Agreement of REC1 (every subject) and REC2 (the stage-2 sample) with the true optimum.
std::pair<double, double> agreement(const Table& out, const KnownStudy& s) {
  int64_t right1 = 0, right2 = 0, n2 = 0;
  for (int64_t i = 0; i < out.rows(); ++i) {
    right1 += out("REC1", i) == s.best1[static_cast<size_t>(i)];
    if (s.best2[static_cast<size_t>(i)] != 0) {
      ++n2;
      right2 += out("REC2", i) == s.best2[static_cast<size_t>(i)];
    }
  }
  return {static_cast<double>(right1) / static_cast<double>(out.rows()),
          static_cast<double>(right2) / static_cast<double>(n2)};
}

TEST(Regime, RecommendationsFindTheTrueOptimalRegime) {
  for (const double direction : {1.0, -1.0}) {
    SCOPED_TRACE(direction > 0 ? "larger is better" : "MINIMIZE: smaller is better");
    const KnownStudy s = known_study(2000, direction);
    Folder folder("known");
    folder.write("study.csv", s.csv);
    const std::string options = direction > 0 ? "" : " MINIMIZE";
    const TalvenRun run =
        folder.talven("PROC TALVEN DATA=study OUT=rec" + options + ";\n" + kKnownModel);
    ASSERT_EQ(run.status, 0) << run.all();
    const Table out(folder.path() / "rec.csv");
    ASSERT_EQ(out.rows(), 2000);
    const auto [stage1, stage2] = agreement(out, s);
    std::printf("[ agreement ] %s: stage 1 %.4f, stage 2 %.4f\n",
                direction > 0 ? "maximise" : "minimise", stage1, stage2);
    RecordProperty(direction > 0 ? "agreement_stage1" : "minimize_agreement_stage1",
                   std::to_string(stage1));
    RecordProperty(direction > 0 ? "agreement_stage2" : "minimize_agreement_stage2",
                   std::to_string(stage2));
    EXPECT_GE(stage1, 0.95);
    EXPECT_GE(stage2, 0.95);
  }
}

// Least squares by the normal equations, small p: an independent solver for the test.
std::vector<double> least_squares(const std::vector<std::vector<double>>& x,
                                  const std::vector<double>& y) {
  const size_t p = x[0].size();
  std::vector<std::vector<double>> a(p, std::vector<double>(p + 1, 0.0));
  for (size_t i = 0; i < x.size(); ++i) {
    for (size_t r = 0; r < p; ++r) {
      for (size_t c = 0; c < p; ++c) a[r][c] += x[i][r] * x[i][c];
      a[r][p] += x[i][r] * y[i];
    }
  }
  for (size_t k = 0; k < p; ++k) {
    for (size_t r = k + 1; r < p; ++r) {
      const double f = a[r][k] / a[k][k];
      for (size_t c = k; c <= p; ++c) a[r][c] -= f * a[k][c];
    }
  }
  std::vector<double> b(p);
  for (size_t k = p; k-- > 0;) {
    double s = a[k][p];
    for (size_t c = k + 1; c < p; ++c) s -= a[k][c] * b[c];
    b[k] = s / a[k][k];
  }
  return b;
}

TEST(Regime, MinimizeIsAMinimisingQLearningFit) {
  const KnownStudy s = known_study(500, -1);
  Folder folder("minimize");
  folder.write("study.csv", s.csv);
  const TalvenRun run =
      folder.talven("PROC TALVEN DATA=study MINIMIZE OUTEST=est;\n" + std::string(kKnownModel));
  ASSERT_EQ(run.status, 0) << run.all();
  EXPECT_TRUE(
      run.has("NOTE: MINIMIZE: smaller values of y are better. The analysis maximises -y; "
              "every estimate and limit is reported for y."))
      << run.all();
  const Table data(folder.path() / "study.csv");
  const Table est(folder.path() / "est.csv");

  // Stage 2 on the stage-2 sample; the pseudo-outcome takes the smaller Q-value.
  std::vector<std::vector<double>> x2, x1;
  std::vector<double> y2, y1;
  for (int64_t i = 0; i < data.rows(); ++i) {
    if (data("stage2", i) != 1) continue;
    const double o21 = data("o21", i), a2 = data("a2", i);
    x2.push_back({1, o21, o21 * a2, a2});
    y2.push_back(data("y", i));
  }
  const std::vector<double> b2 = least_squares(x2, y2);
  for (int64_t i = 0; i < data.rows(); ++i) {
    const double o11 = data("o11", i), a1 = data("a1", i);
    x1.push_back({1, o11, o11 * a1, a1});
    double pseudo = data("y", i);
    if (data("stage2", i) == 1) {
      const double o21 = data("o21", i);
      const double base = b2[0] + b2[1] * o21;
      pseudo = std::min(base + b2[2] * o21 + b2[3], base - b2[2] * o21 - b2[3]);
    }
    y1.push_back(pseudo);
  }
  const std::vector<double> b1 = least_squares(x1, y1);
  const std::vector<double> expected[] = {b1, b2};
  for (int s2 = 0; s2 < 2; ++s2) {
    int k = 0;
    for (int64_t i = 0; i < est.rows(); ++i) {
      if (est("Stage", i) != s2 + 1) continue;
      EXPECT_NEAR(est("Estimate", i), expected[s2][static_cast<size_t>(k)], 1e-9)
          << "stage " << s2 + 1 << " " << est.text("Term", i);
      ++k;
    }
    EXPECT_EQ(k, 4);
  }
}

// MINIMIZE of y is the maximising analysis of -y read back: estimates negated, limits negated
// and exchanged, to the last bit, contrasts included.
TEST(Regime, MinimizeMirrorsTheAnalysisOfTheNegatedOutcome) {
  std::string study = e2e::small_study(80);
  std::string mirrored;
  std::istringstream in(study);
  for (std::string line; std::getline(in, line);) {
    const size_t comma = line.rfind(',');
    const std::string y = line.substr(comma + 1);
    mirrored += line + "," + (y == "y" ? "ny" : y[0] == '-' ? y.substr(1) : "-" + y) + "\n";
  }
  Folder folder("mirror");
  folder.write("study.csv", mirrored);
  folder.write("con.csv", e2e::kContrasts);
  const std::string options =
      "DATA=study CONTRAST1=con DERIVECI NBOOTSTRAP1=100 NBOOTSTRAP2=40 NGRID=4 SEED=99";
  const std::string model =
      "  MAIN1 age; TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2;\n"
      "  MAIN2 age; TAILOR2 o21; STG2TRT a2;\n";
  const TalvenRun minimised = folder.talven("PROC TALVEN " + options + " MINIMIZE OUTEST=mine;\n" +
                                            model + "  RESPONSE y;\nRUN;\n");
  const TalvenRun negated =
      folder.talven("PROC TALVEN " + options + " OUTEST=neg;\n" + model + "  RESPONSE ny;\nRUN;\n");
  ASSERT_EQ(minimised.status, 0) << minimised.all();
  ASSERT_EQ(negated.status, 0) << negated.all();
  const Table mine(folder.path() / "mine.csv");
  const Table neg(folder.path() / "neg.csv");
  ASSERT_EQ(mine.rows(), neg.rows());
  int64_t limits = 0;
  for (int64_t i = 0; i < mine.rows(); ++i) {
    EXPECT_EQ(mine("Estimate", i), -neg("Estimate", i)) << mine.text("Term", i);
    if (std::isnan(neg("Lower", i))) continue;
    ++limits;
    EXPECT_EQ(mine("Lower", i), -neg("Upper", i)) << mine.text("Term", i);
    EXPECT_EQ(mine("Upper", i), -neg("Lower", i)) << mine.text("Term", i);
  }
  EXPECT_EQ(limits, 5 + 2);
}

TEST(Regime, OutKeepsEveryDataVariableAndTheOrderOfObservations) {
  Folder folder("outrows");
  std::string study = e2e::small_study(40);
  folder.write("study.csv", study);
  const TalvenRun run =
      folder.talven("PROC TALVEN DATA=study OUT=rec;\n" + std::string(e2e::kModel));
  ASSERT_LE(run.status, 1) << run.all();
  EXPECT_TRUE(run.has("NOTE: OUT= levels of stage 1: Q1_M1 is a1 = -1; Q1_1 is a1 = 1."))
      << run.all();
  const Table data(folder.path() / "study.csv");
  const Table out(folder.path() / "rec.csv");
  const std::vector<std::string> added = {"_STAGE1", "_STAGE2", "Q1_M1", "Q1_1", "REC1",
                                          "Q2_M1",   "Q2_1",    "REC2", "VALUE1"};
  std::vector<std::string> names = data.names();
  names.insert(names.end(), added.begin(), added.end());
  EXPECT_EQ(out.names(), names);
  ASSERT_EQ(out.rows(), data.rows());
  for (int64_t i = 0; i < data.rows(); ++i) {
    EXPECT_EQ(out.text("site", i), data.text("site", i));
    EXPECT_EQ(out("id", i), data("id", i));
    EXPECT_EQ(out("_STAGE2", i), data("stage2", i));  // no observation is left out here
  }
}

}  // namespace

namespace {

TEST(Regime, TheShippedRegimeExampleRuns) {
  e2e::Folder folder("example_regime");
  const std::filesystem::path examples = std::filesystem::path(TALVEN_SOURCE_DIR) / "examples";
  folder.write("smart_study.csv", e2e::read_file(examples / "smart_study.csv"));
  const TalvenRun run = folder.talven(e2e::read_file(examples / "smart_regime.sas"));
  ASSERT_EQ(run.status, 0) << run.all();
  const Table out(folder.path() / "smart_regime.csv");
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(out.rows(), 300);
  const std::string listing = e2e::read_file(folder.path() / "out.txt");
  EXPECT_NE(listing.find("Stage 1 Decision Rule\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find("Give a2 = "), std::string::npos) << listing;
}

// The rule's lines of both stages as the listing prints them.
std::vector<std::string> rule_lines(const std::string& listing) {
  std::vector<std::string> out;
  std::istringstream lines(listing);
  bool inside = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.find(" Decision Rule") != std::string::npos) {
      inside = true;
    } else if (line.empty()) {
      inside = false;
    } else if (inside && line[0] != '-') {
      out.push_back(line);
    }
  }
  return out;
}

// What users read must not depend on the order of the rows: a text treatment whose first
// observation is MED in one file and BMOD in the other (the library numbers levels by first
// appearance) gives the same columns, rules, coding and recommendations, and the same numbers.
TEST(Regime, ShuffledRowsShowTheSameRegime) {
  const std::string data =
      e2e::read_file(std::filesystem::path(TALVEN_SOURCE_DIR) / "tests/golden/data/study_text.csv");
  std::istringstream in(data);
  std::string header;
  std::getline(in, header);
  std::vector<std::string> rows;
  for (std::string line; std::getline(in, line);) rows.push_back(line);
  // Reversed, then the first BMOD observation moved to the front.
  std::vector<std::string> shuffled(rows.rbegin(), rows.rend());
  const auto bmod = std::find_if(shuffled.begin(), shuffled.end(), [](const std::string& r) {
    return r.find(",BMOD,") != std::string::npos;
  });
  ASSERT_NE(bmod, shuffled.end());
  std::rotate(shuffled.begin(), bmod, bmod + 1);
  ASSERT_NE(rows.front().find(",MED,"), std::string::npos);
  std::string reversed = header + "\n";
  for (const std::string& r : shuffled) reversed += r + "\n";

  const std::string program =
      "PROC TALVEN DATA=study RULES OUT=rec OUTEST=est;\n"
      "  MAIN1 age; TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2;\n"
      "  MAIN2 age sidefx a1; TAILOR2 o21; STG2TRT a2; RESPONSE y;\nRUN;\n";
  Folder first("shuffle_a"), second("shuffle_b");
  first.write("study.csv", data);
  second.write("study.csv", reversed);
  const TalvenRun a = first.talven(program);
  const TalvenRun b = second.talven(program);
  ASSERT_LE(a.status, 1) << a.all();
  ASSERT_LE(b.status, 1) << b.all();
  EXPECT_TRUE(a.has("NOTE: STG1TRT a1: 'BMOD' is coded -1 and 'MED' 1.")) << a.all();
  EXPECT_TRUE(b.has("NOTE: STG1TRT a1: 'BMOD' is coded -1 and 'MED' 1.")) << b.all();
  EXPECT_TRUE(a.has("NOTE: OUT= levels of stage 1: Q1_BMOD is a1 = BMOD; Q1_MED is a1 = MED."));
  EXPECT_TRUE(b.has("NOTE: OUT= levels of stage 1: Q1_BMOD is a1 = BMOD; Q1_MED is a1 = MED."));
  const std::vector<std::string> rules = rule_lines(a.listing);
  ASSERT_EQ(rules.size(), 2U) << a.listing;
  EXPECT_EQ(rules[0].rfind("Give BMOD when o11 ", 0), 0U) << rules[0];
  EXPECT_EQ(rule_lines(b.listing), rules);

  const Table out_a(first.path() / "rec.csv"), out_b(second.path() / "rec.csv");
  ASSERT_TRUE(out_a.ok() && out_b.ok());
  EXPECT_EQ(out_a.names(), out_b.names());
  const int64_t n = out_a.rows();
  ASSERT_EQ(out_b.rows(), n);
  const auto near = [](double x, double y) {
    return (std::isnan(x) && std::isnan(y)) || std::fabs(x - y) <= 1e-12 * std::fabs(y);
  };
  std::map<double, int64_t> row_of_id;
  for (int64_t j = 0; j < n; ++j) row_of_id[out_b("id", j)] = j;
  for (int64_t i = 0; i < n; ++i) {
    const int64_t j = row_of_id.at(out_a("id", i));
    EXPECT_EQ(out_a.text("REC1", i), out_b.text("REC1", j)) << i;
    EXPECT_TRUE(near(out_a("REC2", i), out_b("REC2", j))) << i;
    for (const char* q : {"Q1_BMOD", "Q1_MED", "Q2_M1", "Q2_1", "VALUE1"}) {
      EXPECT_TRUE(near(out_a(q, i), out_b(q, j))) << q << " " << i;
    }
  }
  const Table est_a(first.path() / "est.csv"), est_b(second.path() / "est.csv");
  ASSERT_EQ(est_a.rows(), est_b.rows());
  for (int64_t k = 0; k < est_a.rows(); ++k) {
    EXPECT_EQ(est_a.text("Term", k), est_b.text("Term", k));
    EXPECT_TRUE(near(est_a("Estimate", k), est_b("Estimate", k))) << est_a.text("Term", k);
  }
}

}  // namespace

namespace {

struct ThresholdRule {
  double first = NAN, second = NAN;  // the treatment before "when" and after "otherwise give"
  bool at_most = false;
  std::string threshold;
  std::string everyone;  // the remark of a threshold outside the observed values, if any
};

// "Give a1 = -1 when o11 <= -0.2125; otherwise give a1 = 1 (...)"
ThresholdRule parse_threshold_rule(const std::string& line) {
  ThresholdRule r;
  char op[3] = {};
  char threshold[64] = {};
  if (std::sscanf(line.c_str(), "Give a1 = %lf when o11 %2s %63[^;]; otherwise give a1 = %lf",
                  &r.first, op, threshold, &r.second) != 4) {
    return r;
  }
  r.at_most = std::string(op) == "<=";
  r.threshold = threshold;
  const size_t gets = line.find("everyone in the data gets a1 = ");
  if (gets != std::string::npos) r.everyone = line.substr(gets + 31, line.size() - gets - 32);
  return r;
}

}  // namespace

// The printed threshold is -(treatment term)/(interaction term) of OUTEST= to its digits, and
// every observation's REC1 is the treatment the sentence gives it: both sides of the inequality,
// and a threshold below every observed value.
TEST(Regime, TheThresholdRuleIsTheFitsAndGivesEveryRecommendation) {
  const KnownStudy known = known_study(600, 1);
  std::string
      above;  // only subjects with o11 > 0.3, for whom the threshold near -0.2 is out of range
  {
    std::istringstream in(known.csv);
    std::string line;
    std::getline(in, line);
    above = line + "\n";
    while (std::getline(in, line)) {
      if (std::stod(line.substr(0, line.find(','))) > 0.3) above += line + "\n";
    }
  }
  const struct {
    const char* name;
    const std::string* data;
    const char* options;
    bool out_of_range;
  } cases[] = {
      {"positive slope", &known.csv, "", false},
      {"negative slope (MINIMIZE)", &known.csv, "MINIMIZE", false},
      {"threshold below every value", &above, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Folder folder("threshold");
    folder.write("study.csv", *c.data);
    const TalvenRun run = folder.talven(std::string("PROC TALVEN DATA=study RULES OUT=rec "
                                                    "OUTEST=est ") +
                                        c.options + ";\n" + kKnownModel);
    ASSERT_LE(run.status, 1) << run.all();
    const Table out(folder.path() / "rec.csv");
    const Table est(folder.path() / "est.csv");
    ASSERT_TRUE(out.ok() && est.ok());
    const std::string listing = e2e::read_file(folder.path() / "out.txt");
    const size_t at = listing.find("Give a1 = ");
    ASSERT_NE(at, std::string::npos) << listing;
    const std::string line = listing.substr(at, listing.find('\n', at) - at);
    const ThresholdRule rule = parse_threshold_rule(line);
    ASSERT_FALSE(rule.threshold.empty()) << line;

    const auto beta = coefficients(est, 1);
    const double exact = -beta.at("a1") / beta.at("o11:a1");
    bool same_digits = false;
    for (int digits = 1; digits <= 17 && !same_digits; ++digits) {
      char text[64];
      std::snprintf(text, sizeof text, "%.*g", digits, exact);
      same_digits = rule.threshold == text;
    }
    EXPECT_TRUE(same_digits) << line << " against " << exact;
    // The data favour a1 = 1 above o11 = -0.2; minimising favours the other treatment there.
    const bool minimize = std::string(c.options) == "MINIMIZE";
    EXPECT_EQ(rule.at_most, (rule.first == -1) != minimize) << line;
    const double threshold = std::stod(rule.threshold);
    for (int64_t i = 0; i < out.rows(); ++i) {
      if (std::isnan(out("REC1", i))) continue;
      const double x = out("o11", i);
      const bool first = rule.at_most ? x <= threshold : x >= threshold;
      EXPECT_EQ(out("REC1", i), first ? rule.first : rule.second) << line << " o11 = " << x;
    }
    EXPECT_EQ(!rule.everyone.empty(), c.out_of_range) << line;
    if (c.out_of_range) {
      for (int64_t i = 0; i < out.rows(); ++i) {
        EXPECT_EQ(out("REC1", i), std::stod(rule.everyone)) << line;
      }
    }
  }
}
