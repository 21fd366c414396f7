// The estimated regime's arithmetic against formulas written out by hand: Q-values, the
// recommendation and its ties, the rule in words for every coding, the OUT= columns.
#include "frontend/regime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace talven {
namespace {

using Lines = std::vector<std::string>;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// MAIN1 age; TAILOR1 o11 x; K = 2: intercept, age, o11, x, o11:a1, x:a1, a1.
StageFit two_treatments(double first, double second, bool minimize = false) {
  StageFit fit;
  fit.p_main = 1;
  fit.p_tailor = 2;
  fit.k = 2;
  fit.beta = {1.5, 0.02, 0.3, -0.1, 0.4, -0.25, 0.08};
  fit.levels = {first, second};
  fit.minimize = minimize;
  return fit;
}

const StageNames kNames = {{"age"}, {"o11", "x"}, {"a1"}};

TEST(Regime, QValuesFollowTheModelFormula) {
  const double age = 40, o11 = 0.7, x = -1.2;
  for (const auto& [first, second] : {std::pair{-1.0, 1.0}, {1.0, 0.0}, {2.0, 1.0}}) {
    const StageFit fit = two_treatments(first, second);
    const double main[] = {age};
    const double tailor[] = {o11, x};
    double q[2];
    q_values(fit, main, tailor, q);
    for (int l = 0; l < 2; ++l) {
      const double a = fit.levels[static_cast<std::size_t>(l)];
      const double expected =
          1.5 + 0.02 * age + 0.3 * o11 - 0.1 * x + 0.4 * o11 * a - 0.25 * x * a + 0.08 * a;
      EXPECT_NEAR(q[l], expected, 1e-12) << first << " " << l;
    }
  }
}

TEST(Regime, TheBestLevelWinsAndTiesGoToTheFirst) {
  StageFit fit;
  fit.k = 3;
  const struct {
    std::vector<double> q;
    bool minimize;
    int32_t best;
  } cases[] = {
      {{1, 3, 2}, false, 1}, {{1, 3, 2}, true, 0},  {{2, 2, 1}, false, 0},
      {{3, 1, 1}, true, 1},  {{0, 0, 0}, false, 0}, {{0, 0, 0}, true, 0},
  };
  for (const auto& c : cases) {
    fit.minimize = c.minimize;
    EXPECT_EQ(recommended_level(fit, c.q.data()), c.best) << ::testing::PrintToString(c.q);
  }
}

// The sentence must be true exactly when level 1 is recommended, whatever the coding and the
// direction: checked on a grid of covariate values against the Q-values.
TEST(Regime, TheRuleHoldsForTheFirstLevelInEveryCoding) {
  const struct {
    double first, second;
    bool minimize;
    double sign;  // of the treatment term 0.08 + 0.4 o11 - 0.25 x in the sentence
    const char* rule;
  } cases[] = {
      {1, -1, false, 1, "Give a1 = 1 when 0.0800 + 0.4000*o11 - 0.2500*x >= 0, otherwise a1 = -1"},
      {-1, 1, false, -1,
       "Give a1 = -1 when -0.0800 - 0.4000*o11 + 0.2500*x >= 0, otherwise a1 = 1"},
      {0, 1, false, -1, "Give a1 = 0 when -0.0800 - 0.4000*o11 + 0.2500*x >= 0, otherwise a1 = 1"},
      {2, 1, false, 1, "Give a1 = 2 when 0.0800 + 0.4000*o11 - 0.2500*x >= 0, otherwise a1 = 1"},
      {1, 2, true, 1, "Give a1 = 1 when 0.0800 + 0.4000*o11 - 0.2500*x >= 0, otherwise a1 = 2"},
      {1, -1, true, -1, "Give a1 = 1 when -0.0800 - 0.4000*o11 + 0.2500*x >= 0, otherwise a1 = -1"},
  };
  for (const auto& c : cases) {
    const StageFit fit = two_treatments(c.first, c.second, c.minimize);
    EXPECT_EQ(describe_rule(fit, kNames), Lines{c.rule});
    const double sign = c.sign;
    for (double o11 = -2; o11 <= 2; o11 += 0.25) {
      for (double x = -2; x <= 2; x += 0.5) {
        const double main[] = {50};
        const double tailor[] = {o11, x};
        double q[2];
        q_values(fit, main, tailor, q);
        const double expression = sign * (0.08 + 0.4 * o11 - 0.25 * x);
        EXPECT_EQ(recommended_level(fit, q) == 0, expression >= 0 || q[0] == q[1])
            << c.rule << " at o11=" << o11 << " x=" << x;
      }
    }
  }
}

TEST(Regime, ALinearRuleNamesATextTreatmentByItsValues) {
  const StageFit fit = in_presentation_order(two_treatments(1, -1));
  RuleContext context;
  context.minus = "BMOD";
  context.plus = "MED";
  EXPECT_EQ(describe_rule(fit, kNames, context),
            Lines{"Give BMOD when -0.0800 - 0.4000*o11 + 0.2500*x >= 0, otherwise MED"});
}

TEST(Regime, MoreThanTwoTreatmentsListEachLevelsPart) {
  // a1 b1 one-hot over three levels: (1, 0), (0, 1), (0, 0); TAILOR1 o11.
  StageFit fit;
  fit.p_tailor = 1;
  fit.k = 3;
  // intercept, o11, o11:a1, o11:b1, a1, b1
  fit.beta = {1, 0.5, 0.2, -0.3, 0.7, 0.1};
  fit.levels = {1, 0, 0, 1, 0, 0};
  const StageNames names = {{}, {"o11"}, {"a1", "b1"}};
  EXPECT_EQ(
      describe_rule(fit, names),
      (Lines{"Give the level whose treatment part is the largest (the first listed on a tie):",
             "  Level 1 (a1 = 1, b1 = 0): 0.7000 + 0.2000*o11",
             "  Level 2 (a1 = 0, b1 = 1): 0.1000 - 0.3000*o11",
             "  Level 3 (a1 = 0, b1 = 0): 0.0000 + 0.0000*o11"}));
  fit.minimize = true;
  EXPECT_EQ(describe_rule(fit, names)[0],
            "Give the level whose treatment part is the smallest (the first listed on a tie):");
}

// Whatever order the rows put the levels in, users see them ascending, and every Q-value stays
// that of the same treatment values.
TEST(Regime, LevelsAreShownInAscendingOrderOfTheirValues) {
  StageFit fit;
  fit.p_tailor = 1;
  fit.k = 3;
  fit.beta = {1, 0.5, 0.2, -0.3, 0.7, 0.1};
  fit.levels = {1, 0, 0, 0, 0, 1};  // (1, 0), (0, 0), (0, 1) by first appearance
  EXPECT_EQ(presentation_order(fit), (std::vector<int32_t>{1, 2, 0}));
  const StageFit shown = in_presentation_order(fit);
  EXPECT_EQ(shown.levels, (std::vector<double>{0, 0, 0, 1, 1, 0}));
  const double tailor[] = {0.4};
  double q[3], q_shown[3];
  q_values(fit, nullptr, tailor, q);
  q_values(shown, nullptr, tailor, q_shown);
  EXPECT_EQ(q_shown[0], q[1]);
  EXPECT_EQ(q_shown[1], q[2]);
  EXPECT_EQ(q_shown[2], q[0]);
  // A tie goes to the level listed first, not to the one the data showed first.
  StageFit tie = two_treatments(1, -1);
  tie.beta = {1.5, 0.02, 0.3, -0.1, 0, 0, 0};
  double q_tie[2];
  const double main[] = {40};
  const double tailor2[] = {0.1, 0.2};
  const StageFit tie_shown = in_presentation_order(tie);
  q_values(tie_shown, main, tailor2, q_tie);
  EXPECT_EQ(tie_shown.level_value(0, recommended_level(tie_shown, q_tie)), -1);
}

TEST(Regime, QColumnsAreNamedAfterTheTreatmentsValues) {
  const struct {
    double first, second;  // level values, any order
    const char* minus;
    const char* plus;
    Lines suffixes;
  } cases[] = {
      {1, -1, "", "", {"M1", "1"}},
      {1, 0, "", "", {"0", "1"}},
      {0.5, -0.5, "", "", {"M0P5", "0P5"}},
      {1, -1, "BMOD", "MED", {"BMOD", "MED"}},
      {-1, 1, "high-dose", "low dose", {"high_dose", "low_dose"}},
      {-1, 1, "caf\xc3\xa9", "tea", {"caf__", "tea"}},
      // Names that would not be unique (case aside) or would be too long are numbered.
      {-1, 1, "a b", "a-b", {"L1", "L2"}},
      {-1, 1, "med", "MED", {"L1", "L2"}},
      {-1, 1, "behavioural modification therapy", "x", {"L1", "L2"}},
      {-1, 1, "behavioural modification", "x", {"behavioural_modification", "x"}},
  };
  for (const auto& c : cases) {
    const StageFit fit = in_presentation_order(two_treatments(c.first, c.second));
    EXPECT_EQ(q_column_suffixes(fit, 1, c.minus, c.plus), c.suffixes) << c.suffixes[0];
  }
  StageFit three;
  three.k = 3;
  three.levels = {1, 0, 0, 1, 0, 0};
  EXPECT_EQ(q_column_suffixes(three, 2), (Lines{"L1", "L2", "L3"}));
  EXPECT_EQ(out_column_names({{}, {"o"}, {"a1"}}, 2, {{}, {"o"}, {"a2"}}, 2, {"BMOD", "MED"},
                             {"M1", "1"}),
            (Lines{"_STAGE1", "_STAGE2", "Q1_BMOD", "Q1_MED", "REC1", "Q2_M1", "Q2_1", "REC2",
                   "VALUE1"}));
}

TEST(Regime, OutColumnsAndMissingCovariates) {
  const StageNames stage1 = {{}, {"o11"}, {"a1", "b1"}};
  const StageNames stage2 = {{"sidefx"}, {"o21"}, {"a2"}};
  EXPECT_EQ(out_column_names(stage1, 3, stage2, 2),
            (Lines{"_STAGE1", "_STAGE2", "Q1_L1", "Q1_L2", "Q1_L3", "REC1", "REC1_a1", "REC1_b1",
                   "Q2_L1", "Q2_L2", "REC2", "VALUE1"}));

  StageFit fit1;
  fit1.p_tailor = 1;
  fit1.k = 3;
  fit1.beta = {1, 0.5, 0.2, -0.3, 0.7, 0.1};
  fit1.levels = {1, 0, 0, 1, 0, 0};
  StageFit fit2 = two_treatments(1, -1);
  fit2.beta = {0.5, 0.1, 0.6, 0.7, 0.05};
  fit2.p_tailor = 1;

  const double o11 = -3, sidefx = 1, o21 = 0.5;
  const double main2[] = {sidefx};
  const double missing_main2[] = {kNaN};
  const double tailor1[] = {o11};
  const double tailor2[] = {o21};
  const int n = 2;
  std::vector<double> out(12 * n, -7);
  out_values(fit1, fit2, {nullptr, tailor1, main2, tailor2, true, true}, 0, n, out.data());
  out_values(fit1, fit2, {nullptr, tailor1, missing_main2, tailor2, true, false}, 1, n, out.data());
  auto cell = [&](int i, int c) { return out[static_cast<std::size_t>(i + c * n)]; };
  // Stage 1: parts 0.7 + 0.2 o11 = 0.1, 0.1 - 0.3 o11 = 1.0, 0: level 2 wins.
  const double base1 = 1 + 0.5 * o11;
  EXPECT_NEAR(cell(0, 2), base1 + 0.1, 1e-12);
  EXPECT_NEAR(cell(0, 3), base1 + 1.0, 1e-12);
  EXPECT_NEAR(cell(0, 4), base1, 1e-12);
  EXPECT_EQ(cell(0, 5), 2);
  EXPECT_EQ(cell(0, 6), 0);  // a1 of level 2
  EXPECT_EQ(cell(0, 7), 1);  // b1 of level 2
  // Stage 2: 0.5 + 0.1 + 0.3 + a2 (0.35 + 0.05) → a2 = 1 wins.
  EXPECT_NEAR(cell(0, 8), 0.5 + 0.1 * sidefx + 0.6 * o21 + 0.7 * o21 + 0.05, 1e-12);
  EXPECT_NEAR(cell(0, 9), 0.5 + 0.1 * sidefx + 0.6 * o21 - 0.7 * o21 - 0.05, 1e-12);
  EXPECT_EQ(cell(0, 10), 1);
  EXPECT_EQ(cell(0, 11), cell(0, 3));  // VALUE1: the best stage-1 Q-value
  EXPECT_EQ(cell(0, 0), 1);
  EXPECT_EQ(cell(0, 1), 1);
  // A missing stage-2 covariate leaves stage 2 missing, never invented; stage 1 stands.
  EXPECT_EQ(cell(1, 1), 0);
  EXPECT_EQ(cell(1, 5), 2);
  for (int c = 8; c <= 10; ++c) EXPECT_TRUE(std::isnan(cell(1, c))) << c;
  EXPECT_EQ(cell(1, 11), cell(0, 11));
}

// One tailoring variable: o11 with intercept, o11, o11:a1, a1. The threshold is worked out by
// hand as -(treatment term)/(interaction term), the side by the sign of the slope after the
// levels' order and the direction are taken into account; every observed value that the sentence
// puts on the first level's side must be recommended the first level, and no other.
TEST(Regime, OneTailoringVariableGivesAThresholdThatClassifiesEveryObservedValue) {
  const std::vector<double> observed = {-1.5, -0.2, 0.1, 0.1999, 0.2001, 0.9, 1.7};
  const struct {
    double interaction, treatment;
    double first, second;
    bool minimize;
    RuleContext context;
    const char* rule;
  } cases[] = {
      // 0.4 o11 - 0.08 >= 0 for a1 = 1: o11 >= 0.2; needs digits between 0.1999 and 0.2001.
      {0.4,
       -0.08,
       1,
       -1,
       false,
       {observed, "", ""},
       "Give a1 = 1 when o11 >= 0.2; otherwise give a1 = -1"},
      // Negative slope: -0.4 o11 + 0.08 >= 0 for a1 = 1, that is o11 <= 0.2.
      {-0.4,
       0.08,
       1,
       -1,
       false,
       {observed, "", ""},
       "Give a1 = 1 when o11 <= 0.2; otherwise give a1 = -1"},
      // Level -1 first: its side is -(0.4 o11 - 0.08) >= 0, o11 <= 0.2; text values named.
      {0.4,
       -0.08,
       -1,
       1,
       false,
       {observed, "BMOD", "MED"},
       "Give BMOD when o11 <= 0.2; otherwise give MED"},
      // Minimising turns the side around.
      {0.4,
       -0.08,
       1,
       -1,
       true,
       {observed, "", ""},
       "Give a1 = 1 when o11 <= 0.2; otherwise give a1 = -1"},
      // 0.1 o11 - 0.3 >= 0: o11 >= 3, above every observed value: everyone gets a1 = -1.
      {0.1,
       -0.3,
       1,
       -1,
       false,
       {observed, "", ""},
       "Give a1 = 1 when o11 >= 3; otherwise give a1 = -1 (the threshold lies above every "
       "observed o11: everyone in the data gets a1 = -1)"},
      // -0.1 o11 - 0.3 >= 0: o11 <= -3, below every observed value: everyone gets a1 = -1.
      {-0.1,
       -0.3,
       1,
       -1,
       false,
       {observed, "", ""},
       "Give a1 = 1 when o11 <= -3; otherwise give a1 = -1 (the threshold lies below every "
       "observed o11: everyone in the data gets a1 = -1)"},
      {0.0, 0.3, 1, -1, false, {observed, "", ""}, "Give a1 = 1 to everyone"},
      {0.0, 0.3, -1, 1, false, {observed, "BMOD", "MED"}, "Give MED to everyone"},
  };
  const StageNames names = {{}, {"o11"}, {"a1"}};
  for (const auto& c : cases) {
    StageFit fit;
    fit.p_main = 0;
    fit.p_tailor = 1;
    fit.k = 2;
    fit.beta = {1.0, 0.5, c.interaction, c.treatment};
    fit.levels = {c.first, c.second};
    fit.minimize = c.minimize;
    EXPECT_EQ(describe_rule(fit, names, c.context), Lines{c.rule}) << c.rule;
  }
  // Digits enough to separate the observed values nearest the threshold, no more.
  const struct {
    double threshold;
    std::vector<double> observed;
    bool at_most;
    const char* text;
  } thresholds[] = {
      {0.123456789, {0.0, 1.0}, false, "0.1235"},
      {0.123456789, {0.12345, 0.12346}, false, "0.12346"},
      {0.123456789, {0.1234567, 0.1234568}, true, "0.12345679"},
      {-2.5e-7, {}, false, "-2.5e-07"},
  };
  for (const auto& t : thresholds) {
    EXPECT_EQ(threshold_text(t.threshold, t.observed, t.at_most), t.text) << t.text;
  }
}

}  // namespace
}  // namespace talven
