#include "engine/fit_two_stage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "numerics/regression.h"

namespace kestrion {
namespace {

using Matrix = std::vector<std::vector<long double>>;  // row-major, for the reference only

// Deterministic values in [-1, 1) that do not depend on the standard library's distributions.
struct SplitMix {
  uint64_t state;
  double next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-52 - 1.0;
  }
};

// Solves A x = b by Gaussian elimination with partial pivoting in long double.
std::vector<long double> solve(Matrix a, std::vector<long double> b) {
  const size_t n = b.size();
  for (size_t c = 0; c < n; ++c) {
    size_t pivot = c;
    for (size_t r = c + 1; r < n; ++r)
      if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
    std::swap(a[c], a[pivot]);
    std::swap(b[c], b[pivot]);
    for (size_t r = c + 1; r < n; ++r) {
      const long double f = a[r][c] / a[c][c];
      for (size_t k = c; k < n; ++k) a[r][k] -= f * a[c][k];
      b[r] -= f * b[c];
    }
  }
  std::vector<long double> x(n);
  for (size_t c = n; c-- > 0;) {
    long double s = b[c];
    for (size_t k = c + 1; k < n; ++k) s -= a[c][k] * x[k];
    x[c] = s / a[c][c];
  }
  return x;
}

Matrix cross_product(const Matrix& x) {
  const size_t p = x.empty() ? 0 : x[0].size();
  Matrix xtx(p, std::vector<long double>(p, 0.0L));
  for (const auto& row : x)
    for (size_t a = 0; a < p; ++a)
      for (size_t b = 0; b < p; ++b) xtx[a][b] += row[a] * row[b];
  return xtx;
}

std::vector<long double> least_squares(const Matrix& x, const std::vector<long double>& y) {
  const size_t p = x[0].size();
  std::vector<long double> xty(p, 0.0L);
  for (size_t i = 0; i < x.size(); ++i)
    for (size_t a = 0; a < p; ++a) xty[a] += x[i][a] * y[i];
  return solve(cross_product(x), xty);
}

// One design row written from the model: intercept, main, tailoring, interactions with each
// treatment column (tailoring variable fastest), treatment columns.
std::vector<long double> model_row(const std::vector<double>& main,
                                   const std::vector<double>& tailor,
                                   const std::vector<double>& treatment) {
  std::vector<long double> row{1.0L};
  for (double v : main) row.push_back(v);
  for (double v : tailor) row.push_back(v);
  for (double t : treatment)
    for (double v : tailor) row.push_back(static_cast<long double>(v * t));
  for (double t : treatment) row.push_back(t);
  return row;
}

bool close(double actual, long double expected, double tol) {
  return std::fabs(actual - static_cast<double>(expected)) <=
         tol * std::max(1.0, std::fabs(static_cast<double>(expected)));
}

// A generated study in the column-major layout that the fit reads.
struct Study {
  int32_t n1 = 0, n2 = 0, p10 = 0, p11 = 0, p20 = 0, p21 = 0, K1 = 2, K2 = 2;
  std::vector<double> Y1, inputY2, H10, H11, inputH20, inputH21, levels1, levels2;
  std::vector<int32_t> A1, respStatus, inputA2;
  int32_t p1() const { return p10 + K1 * (p11 + 1); }
  int32_t p2() const { return p20 + K2 * (p21 + 1); }
  double h(const std::vector<double>& m, int32_t i, int32_t j) const {
    return m[i + size_t(j) * n1];
  }
  double level(const std::vector<double>& table, int32_t K, int32_t t, int32_t code) const {
    return table[t + size_t(code) * (K - 1)];  // 0-based t and code
  }
};

// K = 2 with "pm" gives levels (-1, 1), with "01" gives (0, 1); K = 3 uses the tuples
// (0, 0), (1, 0), (0.5, 1).
std::vector<double> level_table(int32_t K, const std::string& coding) {
  if (K == 2) return coding == "pm" ? std::vector<double>{-1, 1} : std::vector<double>{0, 1};
  return {0, 0, 1, 0, 0.5, 1};
}

Study make_study(int32_t n1, int32_t p10, int32_t p11, int32_t p20, int32_t p21, int32_t K1,
                 int32_t K2, bool sample_marks, const std::string& coding, uint64_t seed) {
  SplitMix rng{seed};
  Study s;
  s.n1 = n1, s.p10 = p10, s.p11 = p11, s.p20 = p20, s.p21 = p21, s.K1 = K1, s.K2 = K2;
  auto fill = [&](std::vector<double>& m, int32_t p) {
    m.resize(size_t(n1) * p);
    for (double& v : m) v = 3.0 * rng.next();
  };
  fill(s.H10, p10);
  fill(s.H11, p11);
  fill(s.inputH20, p20);
  fill(s.inputH21, p21);
  s.levels1 = level_table(K1, coding);
  s.levels2 = level_table(K2, coding);
  for (int32_t i = 0; i < n1; ++i) {
    s.A1.push_back(1 + i % K1);
    const bool in_sample = !sample_marks || rng.next() < 0.2;
    s.respStatus.push_back(in_sample ? 0 : 1);
    s.inputA2.push_back(in_sample ? 1 + (i / 3) % K2 : 1);
    s.n2 += in_sample ? 1 : 0;
    const double y = 2.0 + 1.5 * rng.next() + (i % 5) * 0.3;
    s.Y1.push_back(y);
    s.inputY2.push_back(y);
  }
  return s;
}

// Output arrays of one fit, pre-filled so that untouched entries can be recognised.
struct Fit {
  static constexpr double kUntouched = -12345.5;
  std::vector<double> treatment1, treatment2, y2, h20, h21, designM1, designM2, beta1hat, beta2hat,
      yhat, sigma1n;
  std::vector<int32_t> a2;
  ErrorRecord record;
  Status status = Status::kOk;

  void run(const Study& s, bool want_sigma1n, bool explain = false) {
    const int32_t n1 = s.n1, n2 = s.n2, p1 = s.p1(), p2 = s.p2();
    auto sized = [](std::vector<double>& v, size_t n) { v.assign(n, kUntouched); };
    sized(treatment1, size_t(n1) * (s.K1 - 1));
    sized(treatment2, size_t(n2) * (s.K2 - 1));
    sized(y2, n2);
    sized(h20, size_t(n2) * s.p20);
    sized(h21, size_t(n2) * s.p21);
    sized(designM1, size_t(n1) * p1);
    sized(designM2, size_t(n2) * p2);
    sized(beta1hat, p1);
    sized(beta2hat, p2);
    sized(yhat, n1);
    sized(sigma1n, size_t(p1) * p1);
    a2.assign(n2, -1);
    const ModelShape shape{s.p10, s.p11, s.p20, s.p21, s.K1, s.K2};
    const SubjectArrays subjects{make_view<const double>(s.Y1.data(), n1),
                                 make_view<const double>(s.inputY2.data(), n1),
                                 make_view<const int32_t>(s.respStatus.data(), n1),
                                 make_view<const int32_t>(s.A1.data(), n1),
                                 make_view<const int32_t>(s.inputA2.data(), n1),
                                 make_view<const double>(s.H10.data(), n1, s.p10),
                                 make_view<const double>(s.H11.data(), n1, s.p11),
                                 make_view<const double>(s.inputH20.data(), n1, s.p20),
                                 make_view<const double>(s.inputH21.data(), n1, s.p21)};
    const StudyArrays study{n1, n2, subjects,
                            make_view<const double>(s.levels1.data(), s.K1 - 1, s.K1),
                            make_view<const double>(s.levels2.data(), s.K2 - 1, s.K2)};
    const FitArrays fit{make_view(treatment1.data(), n1, s.K1 - 1),
                        make_view(treatment2.data(), n2, s.K2 - 1),
                        make_view(y2.data(), n2),
                        make_view(h20.data(), n2, s.p20),
                        make_view(h21.data(), n2, s.p21),
                        make_view(a2.data(), n2),
                        make_view(designM1.data(), n1, p1),
                        make_view(designM2.data(), n2, p2),
                        make_view(yhat.data(), n1),
                        make_view(beta1hat.data(), p1),
                        make_view(beta2hat.data(), p2),
                        make_view(sigma1n.data(), p1, p1)};
    status = fitTwoStage(shape, study, fit, {kRankTolerance, want_sigma1n, explain}, record);
    EXPECT_EQ(status == Status::kOk, !error_occurred(record));
  }

  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    for (const ErrorLine* line = record.first_line; line; line = line->next) {
      std::string text(line->text, kErrorLineLength);
      out.push_back(text.substr(0, text.find_last_not_of(' ') + 1));
    }
    return out;
  }
};

// Everything the fit should produce, computed from the model in long double.
struct Reference {
  Matrix X1, X2;
  std::vector<double> y2;
  std::vector<long double> beta1, beta2, yhat;
};

std::vector<double> row_of(const std::vector<double>& m, int32_t n1, int32_t p, int32_t i) {
  std::vector<double> row;
  for (int32_t j = 0; j < p; ++j) row.push_back(m[i + size_t(j) * n1]);
  return row;
}

Reference reference_fit(const Study& s) {
  Reference r;
  auto treatment_of = [&](const std::vector<double>& table, int32_t K, int32_t code) {
    std::vector<double> t;
    for (int32_t k = 0; k < K - 1; ++k) t.push_back(s.level(table, K, k, code - 1));
    return t;
  };
  for (int32_t i = 0; i < s.n1; ++i) {
    if (s.respStatus[i] != 0) continue;
    r.X2.push_back(model_row(row_of(s.inputH20, s.n1, s.p20, i), row_of(s.inputH21, s.n1, s.p21, i),
                             treatment_of(s.levels2, s.K2, s.inputA2[i])));
    r.y2.push_back(s.inputY2[i]);
  }
  r.beta2 = least_squares(r.X2, std::vector<long double>(r.y2.begin(), r.y2.end()));
  for (int32_t i = 0; i < s.n1; ++i) {
    long double y = s.Y1[i];
    if (s.respStatus[i] == 0) {
      y = -1e15L;
      for (int32_t l = 1; l <= s.K2; ++l) {
        const auto x =
            model_row(row_of(s.inputH20, s.n1, s.p20, i), row_of(s.inputH21, s.n1, s.p21, i),
                      treatment_of(s.levels2, s.K2, l));
        long double q = 0.0L;
        for (size_t k = 0; k < x.size(); ++k) q += x[k] * r.beta2[k];
        y = std::max(y, q);
      }
    }
    r.yhat.push_back(y);
    r.X1.push_back(model_row(row_of(s.H10, s.n1, s.p10, i), row_of(s.H11, s.n1, s.p11, i),
                             treatment_of(s.levels1, s.K1, s.A1[i])));
  }
  r.beta1 = least_squares(r.X1, r.yhat);
  return r;
}

TEST(FitTwoStageTest, AgreesWithNormalEquationsOnGeneratedDesigns) {
  const struct {
    int32_t n1, p10, p11, p20, p21, K1, K2;
    bool sample_marks;
    const char* coding;
  } cases[] = {
      {40, 1, 1, 1, 1, 2, 2, false, "pm"},  {200, 1, 1, 1, 1, 2, 2, true, "pm"},
      {200, 0, 1, 0, 1, 2, 2, true, "01"},  {300, 3, 2, 2, 2, 2, 2, true, "01"},
      {150, 0, 0, 0, 0, 2, 2, false, "pm"}, {400, 2, 1, 1, 2, 3, 3, true, "tuples"},
      {90, 0, 2, 2, 0, 3, 2, false, "pm"},
  };
  uint64_t seed = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE("case n1=" + std::to_string(c.n1) + " K1=" + std::to_string(c.K1) + " coding " +
                 c.coding + (c.sample_marks ? " with" : " without") + " sample marks");
    const Study s =
        make_study(c.n1, c.p10, c.p11, c.p20, c.p21, c.K1, c.K2, c.sample_marks, c.coding, seed++);
    Fit fit;
    fit.run(s, false);
    ASSERT_FALSE(error_occurred(fit.record)) << testing::PrintToString(fit.lines());
    const Reference r = reference_fit(s);

    for (int32_t j = 0; j < s.p2(); ++j)
      EXPECT_PRED3(close, fit.beta2hat[j], r.beta2[j], 1e-10) << "beta2hat " << j + 1;
    for (int32_t j = 0; j < s.p1(); ++j)
      EXPECT_PRED3(close, fit.beta1hat[j], r.beta1[j], 1e-10) << "beta1hat " << j + 1;
    for (int32_t i = 0; i < s.n1; ++i) EXPECT_PRED3(close, fit.yhat[i], r.yhat[i], 1e-10) << i;

    // The designs and the stage-2 outcomes hold exactly the model's values; the treatment
    // columns are the designs' last columns.
    for (int32_t j = 0; j < s.p1(); ++j)
      for (int32_t i = 0; i < s.n1; ++i)
        ASSERT_EQ(fit.designM1[i + size_t(j) * s.n1], double(r.X1[i][j])) << i << "," << j;
    for (int32_t j = 0; j < s.p2(); ++j)
      for (int32_t r2 = 0; r2 < s.n2; ++r2)
        ASSERT_EQ(fit.designM2[r2 + size_t(j) * s.n2], double(r.X2[r2][j])) << r2 << "," << j;
    EXPECT_EQ(fit.y2, r.y2);
    EXPECT_TRUE(std::equal(fit.treatment1.begin(), fit.treatment1.end(),
                           fit.designM1.end() - fit.treatment1.size()));
    EXPECT_TRUE(std::equal(fit.treatment2.begin(), fit.treatment2.end(),
                           fit.designM2.end() - fit.treatment2.size()));
    EXPECT_EQ(fit.sigma1n, std::vector<double>(fit.sigma1n.size(), Fit::kUntouched));
  }
}

TEST(FitTwoStageTest, SubjectsOutsideTheStage2SampleKeepTheirOutcome) {
  Study s = make_study(120, 1, 1, 2, 1, 2, 2, true, "pm", 77);
  Fit clean;
  clean.run(s, false);
  ASSERT_FALSE(error_occurred(clean.record));

  // Whatever their stage-2 values hold, including values that overflow or are not numbers.
  const double wild[] = {std::numeric_limits<double>::quiet_NaN(),
                         std::numeric_limits<double>::infinity(), -1e308, 1e308};
  int32_t changed = 0;
  for (int32_t i = 0; i < s.n1; ++i) {
    if (s.respStatus[i] == 0) continue;
    const double v = wild[changed++ % 4];
    for (int32_t j = 0; j < s.p20; ++j) s.inputH20[i + size_t(j) * s.n1] = v;
    for (int32_t j = 0; j < s.p21; ++j) s.inputH21[i + size_t(j) * s.n1] = v;
    s.inputA2[i] = 99;  // not a code: must not be read
  }
  ASSERT_GT(changed, 4);
  Fit wild_fit;
  wild_fit.run(s, false);
  ASSERT_FALSE(error_occurred(wild_fit.record)) << testing::PrintToString(wild_fit.lines());
  for (int32_t i = 0; i < s.n1; ++i) {
    if (s.respStatus[i] != 0) {
      EXPECT_EQ(wild_fit.yhat[i], s.Y1[i]) << "subject " << i + 1;
    }
  }
  EXPECT_EQ(wild_fit.yhat, clean.yhat);
  EXPECT_EQ(wild_fit.beta1hat, clean.beta1hat);
  EXPECT_EQ(wild_fit.beta2hat, clean.beta2hat);
}

TEST(FitTwoStageTest, PseudoOutcomeIsFlooredAtMinusOneE15) {
  Study s = make_study(60, 1, 1, 1, 1, 2, 2, true, "pm", 5);
  for (int32_t i = 0; i < s.n1; ++i) s.inputY2[i] = -1e18 + 1e16 * s.h(s.inputH20, i, 0);
  Fit fit;
  fit.run(s, false);
  ASSERT_FALSE(error_occurred(fit.record)) << testing::PrintToString(fit.lines());
  for (int32_t i = 0; i < s.n1; ++i)
    EXPECT_EQ(fit.yhat[i], s.respStatus[i] == 0 ? -1e15 : s.Y1[i]) << "subject " << i + 1;
}

TEST(FitTwoStageTest, RankDeficientStage2StopsBeforeStage1) {
  const std::vector<std::string> rank_lines{"Matrix apparently singular",
                                            "Design matrix doesn't have full rank.",
                                            "OCCURRED IN: svdr_l2 in MOD regression"};
  // Two identical MAIN2 variables.
  Study twins = make_study(80, 1, 1, 2, 1, 2, 2, true, "pm", 11);
  for (int32_t i = 0; i < twins.n1; ++i) twins.inputH20[i + size_t(twins.n1)] = twins.inputH20[i];
  // Fewer stage-2 subjects than stage-2 coefficients.
  Study few = make_study(40, 1, 1, 1, 1, 2, 2, false, "pm", 12);
  few.n2 = 0;
  for (int32_t i = 0; i < few.n1; ++i) {
    few.respStatus[i] = i < 3 ? 0 : 1;
    few.n2 += i < 3 ? 1 : 0;
  }
  for (Study* s : {&twins, &few}) {
    Fit fit;
    append_error_line("left over from an earlier call", fit.record);
    fit.run(*s, true);
    EXPECT_EQ(fit.lines(), rank_lines);
    EXPECT_EQ(fit.beta1hat, std::vector<double>(fit.beta1hat.size(), Fit::kUntouched));
    EXPECT_EQ(fit.yhat, std::vector<double>(fit.yhat.size(), Fit::kUntouched));
    EXPECT_EQ(fit.sigma1n, std::vector<double>(fit.sigma1n.size(), Fit::kUntouched));
    EXPECT_NE(fit.designM1[0], Fit::kUntouched);  // the designs were built before the regression
  }
}

TEST(FitTwoStageTest, FitOfTheDataNamesTheStageAndTheDependentColumns) {
  const std::vector<std::string> rank_lines{"Matrix apparently singular",
                                            "Design matrix doesn't have full rank.",
                                            "OCCURRED IN: svdr_l2 in MOD regression"};
  struct Case {
    const char* name;
    Study study;
    std::string cause;
  };
  // MAIN1 and MAIN2 columns follow the intercept: columns 2 and 3 of their stage's design.
  Study main1 = make_study(80, 2, 1, 1, 1, 2, 2, true, "pm", 21);
  for (int32_t i = 0; i < main1.n1; ++i) main1.H10[i + size_t(main1.n1)] = 3.0 * main1.H10[i];
  Study main2 = make_study(80, 1, 1, 2, 1, 2, 2, true, "pm", 22);
  for (int32_t i = 0; i < main2.n1; ++i)
    main2.inputH20[i] = 1e6 * main2.inputH20[i + size_t(main2.n1)];
  // A TAILOR2 variable constant within the stage-2 sample: it repeats the intercept and its
  // interaction repeats the treatment column (design: 1, main, tailor, tailor:trt, trt).
  Study constant = make_study(80, 1, 1, 1, 1, 2, 2, true, "pm", 23);
  for (int32_t i = 0; i < constant.n1; ++i) {
    if (constant.respStatus[i] == 0) constant.inputH21[i] = 2.5;
  }
  // A stage-2 treatment column of zeros: its interaction is zero too.
  Study zeros = make_study(80, 1, 1, 1, 1, 2, 2, true, "01", 24);
  for (int32_t i = 0; i < zeros.n1; ++i) zeros.inputA2[i] = 1;
  const Case cases[] = {
      {"identical MAIN1 up to a factor", main1,
       "Rank-deficient fit: stage-1 fit of the data; dependent columns 2 3"},
      {"MAIN2 columns a million times apart", main2,
       "Rank-deficient fit: stage-2 fit of the data; dependent columns 2 3"},
      {"constant TAILOR2", constant,
       "Rank-deficient fit: stage-2 fit of the data; dependent columns 1 3-5"},
      {"treatment column of zeros", zeros,
       "Rank-deficient fit: stage-2 fit of the data; dependent columns 4 5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fit fit;
    fit.run(c.study, false, true);
    EXPECT_EQ(fit.status, Status::kFailed);
    std::vector<std::string> expected = rank_lines;
    expected.push_back(c.cause);
    EXPECT_EQ(fit.lines(), expected);
    // Without the request the report is the specified one alone (the replicates' case).
    Fit quiet;
    quiet.run(c.study, false, false);
    EXPECT_EQ(quiet.lines(), rank_lines);
  }
  ErrorRecord record;
  EXPECT_EQ(nullify_data(record), 0);
}

TEST(FitTwoStageTest, Sigma1nIsScaledInverseCrossProductAndRecordIsCleared) {
  const Study s = make_study(250, 2, 1, 1, 1, 2, 2, true, "01", 31);
  Fit fit;
  append_error_line("stale", fit.record);
  fit.run(s, true);
  ASSERT_FALSE(error_occurred(fit.record));
  EXPECT_EQ(fit.record.first_line, nullptr);
  EXPECT_TRUE(regression_state_allocated());  // the stage-1 decomposition stays for its callers
  const Reference r = reference_fit(s);
  const Matrix xtx = cross_product(r.X1);
  const int32_t p1 = s.p1();
  for (int32_t j = 0; j < p1; ++j) {
    std::vector<long double> unit(p1, 0.0L);
    unit[j] = 1.0L;
    const std::vector<long double> column = solve(xtx, unit);
    for (int32_t k = 0; k < p1; ++k)
      EXPECT_PRED3(close, fit.sigma1n[k + size_t(j) * p1], s.n1 * column[k], 1e-10)
          << "(" << k + 1 << ", " << j + 1 << ")";
  }
  ErrorRecord record;
  EXPECT_EQ(nullify_data(record), 0);
}

}  // namespace
}  // namespace kestrion
