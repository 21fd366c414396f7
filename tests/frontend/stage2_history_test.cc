// The user guide's example of the stage-2 model: data drawn with a stage-1 interaction o11:a1 of
// 0.40 that holds for responders and non-responders alike. A stage-2 model without the product
// o11*a1 loses that interaction from the non-responders' pseudo-outcomes, so the stage-1 estimate
// is biased and its interval misses 0.40; with the product it recovers it. The point estimates
// are checked against two-stage least squares solved here by the normal equations in long double.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "talven_frontend.h"

namespace {

constexpr int kSubjects = 400;
constexpr double kInteraction = 0.40;

// splitmix64: the same stream on every machine.
class Stream {
 public:
  explicit Stream(uint64_t seed) : state_(seed) {}
  double uniform() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return (static_cast<double>(z >> 11) + 0.5) * 0x1.0p-53;
  }
  double normal() {
    const double u = uniform();
    const double v = uniform();
    return std::sqrt(-2 * std::log(u)) * std::cos(6.283185307179586 * v);
  }

 private:
  uint64_t state_;
};

double round4(double x) {
  return std::round(x * 1e4) / 1e4;
}

struct Data {
  std::vector<std::string> names = {"age", "o11", "a1", "r", "o21", "a2", "y"};
  std::vector<std::vector<double>> columns = std::vector<std::vector<double>>(7);
};

// Responders (r = 0, 30 %) leave the trial after stage 1; non-responders (r = 1) are
// re-randomised.
Data generate() {
  Stream s(2018);
  Data d;
  for (int i = 0; i < kSubjects; ++i) {
    const double age = std::round(20 + 40 * s.uniform());
    const double o11 = round4(s.normal());
    const double a1 = s.uniform() < 0.5 ? -1 : 1;
    const double r = s.uniform() < 0.7 ? 1 : 0;
    const double o21 = r == 1 ? round4(s.normal()) : NAN;
    const double a2 = r == 1 ? (s.uniform() < 0.5 ? -1 : 1) : NAN;
    const double stage2 = r == 1 ? -0.5 + 0.5 * a2 * o21 : 0.0;
    const double y =
        round4(1 + 0.01 * age + 0.3 * o11 + a1 * (0.2 + kInteraction * o11) + stage2 + s.normal());
    const double row[] = {age, o11, a1, r, o21, a2, y};
    for (std::size_t c = 0; c < 7; ++c) d.columns[c].push_back(row[c]);
  }
  return d;
}

struct Fit {
  std::vector<std::string> terms;
  std::vector<double> estimate, lower, upper;
  std::vector<std::string> notes;
};

Fit analyse(const Data& d, const std::vector<std::string>& main2) {
  TalvenStudy* study = talven_study_new();
  for (const std::string& name : d.names) talven_study_add_column(study, name.c_str());
  auto role = [&](const char* name, const std::vector<std::string>& terms) {
    std::vector<int32_t> columns;
    for (const std::string& t : terms) columns.push_back(talven_study_add_term(study, t.c_str()));
    talven_study_set_role(study, name, static_cast<int32_t>(columns.size()), columns.data());
  };
  role("MAIN1", {"age"});
  role("TAILOR1", {"o11"});
  role("STG1TRT", {"a1"});
  role("STG2SAMPLE", {"r"});
  role("MAIN2", main2);
  role("TAILOR2", {"o21"});
  role("STG2TRT", {"a2"});
  role("RESPONSE", {"y"});
  const std::pair<const char*, double> options[] = {{"DERIVECI", 1},       {"SEED", 2018},
                                                    {"NBOOTSTRAP1", 1000}, {"NBOOTSTRAP2", 500},
                                                    {"NGRID", 10},         {"CORES", 2}};
  for (const auto& [name, value] : options) talven_study_set_option(study, name, value);
  std::vector<const double*> columns;
  for (const auto& c : d.columns) columns.push_back(c.data());
  Fit fit;
  EXPECT_EQ(talven_study_analyse(study, kSubjects, columns.data(), 0, nullptr), 0);
  const int64_t rows = talven_study_count(study, TALVEN_COUNT_TABLE_ROWS);
  fit.estimate.resize(static_cast<std::size_t>(rows));
  fit.lower.resize(fit.estimate.size());
  fit.upper.resize(fit.estimate.size());
  talven_study_values(study, TALVEN_VALUES_TABLE_ESTIMATE, fit.estimate.data());
  talven_study_values(study, TALVEN_VALUES_TABLE_LOWER, fit.lower.data());
  talven_study_values(study, TALVEN_VALUES_TABLE_UPPER, fit.upper.data());
  for (int64_t k = 0; k < rows; ++k) {
    fit.terms.emplace_back(talven_study_text(study, TALVEN_TEXT_TABLE_TERM, k, nullptr));
  }
  for (int64_t k = 0; k < talven_study_text_count(study, TALVEN_TEXT_MESSAGE); ++k) {
    int32_t severity = 0;
    const char* text = talven_study_text(study, TALVEN_TEXT_MESSAGE, k, &severity);
    if (severity == TALVEN_MESSAGE_NOTE) fit.notes.emplace_back(text);
  }
  talven_study_free(study);
  return fit;
}

using Row = std::vector<long double>;

// Least squares by the normal equations, Gauss-Jordan with partial pivoting, in long double.
std::vector<long double> least_squares(const std::vector<Row>& x,
                                       const std::vector<long double>& y) {
  const std::size_t p = x[0].size();
  std::vector<Row> a(p, Row(p + 1, 0.0L));
  for (std::size_t i = 0; i < x.size(); ++i) {
    for (std::size_t j = 0; j < p; ++j) {
      for (std::size_t k = 0; k < p; ++k) a[j][k] += x[i][j] * x[i][k];
      a[j][p] += x[i][j] * y[i];
    }
  }
  for (std::size_t c = 0; c < p; ++c) {
    std::size_t pivot = c;
    for (std::size_t r = c + 1; r < p; ++r) {
      if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
    }
    std::swap(a[c], a[pivot]);
    for (std::size_t r = 0; r < p; ++r) {
      if (r == c) continue;
      const long double f = a[r][c] / a[c][c];
      for (std::size_t k = c; k <= p; ++k) a[r][k] -= f * a[c][k];
    }
  }
  std::vector<long double> beta(p);
  for (std::size_t j = 0; j < p; ++j) beta[j] = a[j][p] / a[j][j];
  return beta;
}

// Two-stage Q-learning written out: stage 2 on the non-responders, the pseudo-outcome (the best
// stage-2 treatment's fitted value for non-responders, y for responders), stage 1 on everyone.
std::vector<long double> reference_stage1(const Data& d, bool with_product) {
  const auto& c = d.columns;
  std::vector<Row> x2;
  std::vector<long double> y2;
  auto history = [&](std::size_t i) {
    Row h = {1.0L, c[0][i], c[1][i], c[2][i]};
    if (with_product) h.push_back(static_cast<long double>(c[1][i] * c[2][i]));
    return h;
  };
  for (std::size_t i = 0; i < kSubjects; ++i) {
    if (c[3][i] != 1) continue;
    Row row = history(i);
    row.insert(row.end(), {c[4][i], c[4][i] * c[5][i], c[5][i]});
    x2.push_back(row);
    y2.push_back(c[6][i]);
  }
  const std::vector<long double> b2 = least_squares(x2, y2);
  std::vector<Row> x1;
  std::vector<long double> pseudo;
  for (std::size_t i = 0; i < kSubjects; ++i) {
    long double value = c[6][i];
    if (c[3][i] == 1) {
      const Row h = history(i);
      long double main = 0;
      for (std::size_t j = 0; j < h.size(); ++j) main += b2[j] * h[j];
      const std::size_t t = h.size();
      main += b2[t] * c[4][i];
      value = main + std::fabs(b2[t + 1] * c[4][i] + b2[t + 2]);
    }
    x1.push_back({1.0L, c[0][i], c[1][i], c[1][i] * c[2][i], c[2][i]});
    pseudo.push_back(value);
  }
  return least_squares(x1, pseudo);
}

TEST(StageTwoHistory, TheProductWithTheStage1TreatmentRecoversTheStage1Interaction) {
  const Data d = generate();
  const Fit partial = analyse(d, {"age", "o11", "a1"});
  const Fit full = analyse(d, {"age", "o11", "a1", "o11*a1"});
  ASSERT_EQ(partial.terms[3], "o11:a1");
  ASSERT_EQ(full.terms[3], "o11:a1");
  for (const bool with_product : {false, true}) {
    const Fit& fit = with_product ? full : partial;
    const std::vector<long double> reference = reference_stage1(d, with_product);
    for (std::size_t j = 0; j < 5; ++j) {
      EXPECT_NEAR(fit.estimate[j], static_cast<double>(reference[j]), 1e-10) << j;
    }
  }
  // The guide's table: estimate and limits of o11:a1, to three decimals.
  const auto shown = [](const Fit& fit) {
    char line[64];
    std::snprintf(line, sizeof line, "%.3f %.3f %.3f", fit.estimate[3], fit.lower[3], fit.upper[3]);
    return std::string(line);
  };
  EXPECT_EQ(shown(partial), "0.157 0.058 0.249");
  EXPECT_EQ(shown(full), "0.436 0.312 0.560");
  EXPECT_FALSE(partial.lower[3] <= kInteraction && kInteraction <= partial.upper[3]);
  EXPECT_TRUE(full.lower[3] <= kInteraction && kInteraction <= full.upper[3]);
}

}  // namespace
