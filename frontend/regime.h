// The estimated regime: each subject's Q-values under every treatment level of a stage, the
// recommended level, and the decision rule in words. Plain C++ over coefficient vectors, level
// tables and covariate rows, independent of the host, so that every front end computes them
// the same way.
#ifndef TALVEN_FRONTEND_REGIME_H
#define TALVEN_FRONTEND_REGIME_H

#include <cstdint>
#include <string>
#include <vector>

#include "frontend/stage_model.h"

namespace talven {

// One stage's fitted Q-function.
struct StageFit {
  int32_t p_main = 0;
  int32_t p_tailor = 0;
  int32_t k = 2;               // treatments (levels)
  std::vector<double> beta;    // p_main + k (p_tailor + 1) coefficients, in the fit's order
  std::vector<double> levels;  // (k - 1) x k, column-major: column l holds level l's values
  bool minimize = false;       // smaller outcomes are better

  double level_value(int32_t t, int32_t l) const {
    return levels[static_cast<std::size_t>(t) + static_cast<std::size_t>(l) * (k - 1)];
  }
};

// The Q-value of a subject with these covariates (p_main and p_tailor values) under each level,
// into q[0 .. k-1]: the subject's design row for that level times the coefficients.
void q_values(const StageFit& fit, const double* main, const double* tailor, double* q);

// The recommended level (0-based): the largest Q-value, or the smallest under MINIMIZE; a tie
// goes to the level numbered first.
int32_t recommended_level(const StageFit& fit, const double* q);

// The order in which a stage's treatments are shown to the user: ascending by value, several
// treatment variables by their value tuples compared in turn. The library numbers levels by first
// appearance instead, which would make what users read depend on the order of the rows.
std::vector<int32_t> presentation_order(const StageFit& fit);

// The same fit with its levels renumbered in presentation order. Q-values depend on a level's
// values only, so they are unchanged; ties now go to the level listed first.
StageFit in_presentation_order(const StageFit& fit);

// What a rule may say beyond the fit: the observed values of a stage's single tailoring variable,
// and the values of a treatment coded from text (for -1 and for 1).
struct RuleContext {
  std::vector<double> observed;
  std::string minus, plus;
};

// The decision rule in words, one line per element. With two treatments one sentence in which the
// first-numbered level takes the inclusive side, as it takes ties. With one tailoring variable a
// threshold printed with enough digits to classify every observed value as the fit does, and a
// remark when it lies outside the observed values:
//   "Give a1 = -1 when o11 <= -0.2127; otherwise give a1 = 1"
// with none "Give a1 = 1 to everyone", with several the linear form:
//   "Give a1 = 1 when 0.0761 + 0.3578*o11 - 0.1*o12 >= 0, otherwise a1 = -1"
// With more treatments, a heading and the treatment part of each level.
std::vector<std::string> describe_rule(const StageFit& fit, const StageNames& names,
                                       const RuleContext& context = {});

// The shortest threshold text (at least four significant digits) that puts every observed value
// on the same side as `threshold` does; `at_most` when the chosen side is x <= threshold.
std::string threshold_text(double threshold, const std::vector<double>& observed, bool at_most);

// "1" for one variable's level; "a1 = 1, b1 = 0" for several; a text treatment's own value when
// `minus` (the text coded -1) and `plus` are given.
std::string level_text(const StageFit& fit, const StageNames& names, int32_t l,
                       const std::string& minus = {}, const std::string& plus = {});

// The variables OUT= adds after those of DATA=, in order: _STAGE1, _STAGE2, the stage-1 Q-value
// columns Q1_<suffix> (suffixes as given, Q1_L1 ... Q1_LK1 when none are), REC1 (and
// REC1_<variable> per stage-1 treatment variable when K1 > 2), the same for stage 2, VALUE1.
std::vector<std::string> out_column_names(const StageNames& stage1, int32_t k1,
                                          const StageNames& stage2, int32_t k2,
                                          const std::vector<std::string>& suffixes1 = {},
                                          const std::vector<std::string>& suffixes2 = {});

// The suffixes of a stage's Q-value columns for a fit in presentation order, after the
// treatments' own values when a single treatment variable has two: the text of a text treatment
// (`minus`, `plus` for -1 and 1) with characters other than letters, digits and underscores
// written '_'; a number with '-' written 'M' and '.' written 'P' ("M1", "1", "0P5"). When that
// gives an empty, too long (the column name over 32 characters) or repeated (case aside) name,
// and with several treatment variables: "L1" ... "LK" in presentation order.
std::vector<std::string> q_column_suffixes(const StageFit& fit, int stage,
                                           const std::string& minus = {},
                                           const std::string& plus = {});

// One observation of DATA= as OUT= needs it: covariates (NaN when missing) and whether it
// entered each fit.
struct ObservationCovariates {
  const double* main1;
  const double* tailor1;
  const double* main2;
  const double* tailor2;
  bool stage1;
  bool stage2;
};

// The added values of observation i into out[i + c * n] for each column c of
// out_column_names(). A Q-value, recommendation or VALUE1 whose covariates are not all present
// is missing (NaN).
void out_values(const StageFit& stage1, const StageFit& stage2, const ObservationCovariates& row,
                int64_t i, int64_t n, double* out);

// A number as the rules print it: shortest form, at most 10 significant digits.
std::string short_number(double value);

}  // namespace talven

#endif  // TALVEN_FRONTEND_REGIME_H
