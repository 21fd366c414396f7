#include "frontend/regime.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <numeric>

#include "kestrion_model.h"

namespace talven {
namespace {

std::string fixed4(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.4f", value);
  return text;
}

// "c0 + c1*x1 - c2*x2" with four decimals, as the listing prints coefficients.
std::string linear_text(double constant, const std::vector<double>& slopes,
                        const std::vector<std::string>& names) {
  std::string text = fixed4(constant);
  for (std::size_t j = 0; j < slopes.size(); ++j) {
    text += slopes[j] < 0 ? " - " : " + ";
    text += fixed4(std::fabs(slopes[j]));
    text += "*";
    text += names[j];
  }
  return text;
}

// The coefficient of treatment column t and its interactions with the tailoring covariates.
void column_part(const StageFit& fit, int32_t t, double* constant, std::vector<double>* slopes) {
  const std::size_t first_interaction = 1 + static_cast<std::size_t>(fit.p_main + fit.p_tailor) +
                                        static_cast<std::size_t>(t) * fit.p_tailor;
  const std::size_t first_treatment =
      1 + static_cast<std::size_t>(fit.p_main) + static_cast<std::size_t>(fit.k) * fit.p_tailor;
  *constant = fit.beta[first_treatment + static_cast<std::size_t>(t)];
  slopes->assign(fit.beta.begin() + static_cast<std::ptrdiff_t>(first_interaction),
                 fit.beta.begin() + static_cast<std::ptrdiff_t>(first_interaction) + fit.p_tailor);
}

// Level l's treatment part: its value of each treatment column times that column's part.
void level_part(const StageFit& fit, int32_t l, double* constant, std::vector<double>* slopes) {
  *constant = 0.0;
  slopes->assign(static_cast<std::size_t>(fit.p_tailor), 0.0);
  for (int32_t t = 0; t < fit.k - 1; ++t) {
    double c = 0.0;
    std::vector<double> s;
    column_part(fit, t, &c, &s);
    const double value = fit.level_value(t, l);
    *constant += value * c;
    for (std::size_t j = 0; j < s.size(); ++j) (*slopes)[j] += value * s[j];
  }
}

}  // namespace

void q_values(const StageFit& fit, const double* main, const double* tailor, double* q) {
  for (int32_t l = 0; l < fit.k; ++l) {
    double sum = 0.0;
    kestrion::design_row(
        fit.p_main, [&](int32_t m) { return main[m]; }, fit.p_tailor,
        [&](int32_t j) { return tailor[j]; }, fit.k - 1,
        [&](int32_t t) { return fit.level_value(t, l); },
        [&](int64_t c, double value) { sum += value * fit.beta[static_cast<std::size_t>(c)]; });
    q[l] = sum;
  }
}

int32_t recommended_level(const StageFit& fit, const double* q) {
  int32_t best = 0;
  for (int32_t l = 1; l < fit.k; ++l) {
    if (fit.minimize ? q[l] < q[best] : q[l] > q[best]) best = l;
  }
  return best;
}

std::vector<int32_t> presentation_order(const StageFit& fit) {
  std::vector<int32_t> order(static_cast<std::size_t>(fit.k));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&fit](int32_t a, int32_t b) {
    for (int32_t t = 0; t < fit.k - 1; ++t) {
      if (fit.level_value(t, a) != fit.level_value(t, b)) {
        return fit.level_value(t, a) < fit.level_value(t, b);
      }
    }
    return false;
  });
  return order;
}

StageFit in_presentation_order(const StageFit& fit) {
  StageFit shown = fit;
  const std::vector<int32_t> order = presentation_order(fit);
  for (int32_t l = 0; l < fit.k; ++l) {
    for (int32_t t = 0; t < fit.k - 1; ++t) {
      shown.levels[static_cast<std::size_t>(t) + static_cast<std::size_t>(l) * (fit.k - 1)] =
          fit.level_value(t, order[static_cast<std::size_t>(l)]);
    }
  }
  return shown;
}

namespace {

// A value as part of a variable name: letters, digits and underscores only.
std::string name_part(const std::string& value, bool number) {
  std::string part;
  for (const char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (number && c == '-') {
      part += 'M';
    } else if (number && c == '.') {
      part += 'P';
    } else if (number && c == '+') {
      continue;  // of an exponent
    } else {
      part += u < 0x80 && (std::isalnum(u) != 0 || c == '_') ? c : '_';
    }
  }
  return part;
}

std::vector<std::string> numbered_suffixes(int32_t k) {
  std::vector<std::string> suffixes;
  // Appended, not "L" + string: GCC 12 warns falsely on a literal plus a string at -O2.
  for (int32_t l = 1; l <= k; ++l) suffixes.push_back(std::string("L").append(std::to_string(l)));
  return suffixes;
}

}  // namespace

std::vector<std::string> q_column_suffixes(const StageFit& fit, int stage,
                                           const std::string& minus, const std::string& plus) {
  if (fit.k != 2) return numbered_suffixes(fit.k);
  std::vector<std::string> suffixes;
  for (int32_t l = 0; l < 2; ++l) {
    const double value = fit.level_value(0, l);
    const std::string part = minus.empty() ? name_part(short_number(value), true)
                                           : name_part(value < 0 ? minus : plus, false);
    const std::size_t length = 2 + std::to_string(stage).size() + part.size();
    if (part.empty() || length > 32) return numbered_suffixes(fit.k);
    suffixes.push_back(part);
  }
  std::string a = suffixes[0], b = suffixes[1];
  for (std::string* s : {&a, &b}) {
    for (char& c : *s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return a == b ? numbered_suffixes(fit.k) : suffixes;
}

std::vector<std::string> out_column_names(const StageNames& stage1, int32_t k1,
                                          const StageNames& stage2, int32_t k2,
                                          const std::vector<std::string>& suffixes1,
                                          const std::vector<std::string>& suffixes2) {
  std::vector<std::string> names = {"_STAGE1", "_STAGE2"};
  auto stage = [&](const char* digit, const StageNames& stage_names, int32_t k,
                   const std::vector<std::string>& suffixes) {
    const std::vector<std::string> shown = suffixes.empty() ? numbered_suffixes(k) : suffixes;
    for (const std::string& suffix : shown) names.push_back(std::string("Q") + digit + "_" + suffix);
    names.push_back(std::string("REC") + digit);
    if (k > 2) {
      for (const std::string& variable : stage_names.treatments) {
        names.push_back(std::string("REC") + digit + "_" + variable);
      }
    }
  };
  stage("1", stage1, k1, suffixes1);
  stage("2", stage2, k2, suffixes2);
  names.push_back("VALUE1");
  return names;
}

// A stage's recommendation needs every one of its covariates; otherwise its columns stay missing.
bool covariates_complete(const StageFit& fit, const double* main, const double* tailor) {
  for (int32_t m = 0; m < fit.p_main; ++m) {
    if (std::isnan(main[m])) return false;
  }
  for (int32_t j = 0; j < fit.p_tailor; ++j) {
    if (std::isnan(tailor[j])) return false;
  }
  return true;
}

void out_values(const StageFit& stage1, const StageFit& stage2, const ObservationCovariates& row,
                int64_t i, int64_t n, double* out) {
  const double missing = std::numeric_limits<double>::quiet_NaN();
  int64_t c = 0;
  auto put = [&](double value) { out[i + n * c++] = value; };
  put(row.stage1 ? 1.0 : 0.0);
  put(row.stage2 ? 1.0 : 0.0);
  double value1 = missing;
  auto stage = [&](const StageFit& fit, const double* main, const double* tailor, bool first) {
    const bool complete = covariates_complete(fit, main, tailor);
    std::vector<double> q(static_cast<std::size_t>(fit.k), missing);
    int32_t best = -1;
    if (complete) {
      q_values(fit, main, tailor, q.data());
      best = recommended_level(fit, q.data());
      if (first) value1 = q[static_cast<std::size_t>(best)];
    }
    for (double value : q) put(value);
    if (fit.k == 2) {
      put(best < 0 ? missing : fit.level_value(0, best));
      return;
    }
    put(best < 0 ? missing : best + 1.0);
    for (int32_t t = 0; t < fit.k - 1; ++t) put(best < 0 ? missing : fit.level_value(t, best));
  };
  stage(stage1, row.main1, row.tailor1, true);
  stage(stage2, row.main2, row.tailor2, false);
  put(value1);
}

std::string short_number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

std::string level_text(const StageFit& fit, const StageNames& names, int32_t l,
                       const std::string& minus, const std::string& plus) {
  if (fit.k == 2 && !minus.empty()) return fit.level_value(0, l) < 0 ? minus : plus;
  if (fit.k == 2) return short_number(fit.level_value(0, l));
  std::string text;
  for (int32_t t = 0; t < fit.k - 1; ++t) {
    if (t > 0) text += ", ";
    text.append(names.treatments[static_cast<std::size_t>(t)])
        .append(" = ")
        .append(short_number(fit.level_value(t, l)));
  }
  return text;
}

std::string threshold_text(double threshold, const std::vector<double>& observed, bool at_most) {
  char text[64];
  for (int digits = 4; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, threshold);
    const double printed = std::strtod(text, nullptr);
    bool same = true;
    for (double x : observed) {
      if (at_most ? (x <= threshold) != (x <= printed) : (x >= threshold) != (x >= printed)) {
        same = false;
        break;
      }
    }
    if (same) break;
  }
  return text;
}

namespace {

std::string two_level_text(const StageFit& fit, const StageNames& names, const RuleContext& context,
                           int32_t l) {
  const std::string text = level_text(fit, names, l, context.minus, context.plus);
  return context.minus.empty() ? names.treatments[0] + " = " + text : text;
}

// One tailoring variable: the level numbered first wins when sign * (constant + slope * x) >= 0.
std::string threshold_rule(const StageFit& fit, const StageNames& names, const RuleContext& context,
                           double constant, double slope) {
  const std::string first = two_level_text(fit, names, context, 0);
  const std::string second = two_level_text(fit, names, context, 1);
  if (slope == 0.0) return "Give " + (constant >= 0 ? first : second) + " to everyone";
  const double threshold = -constant / slope + 0.0;  // never -0
  const bool at_most = slope < 0;
  const std::string& x = names.tailor[0];
  std::string text = "Give " + first + " when " + x + (at_most ? " <= " : " >= ") +
                     threshold_text(threshold, context.observed, at_most) + "; otherwise give " +
                     second;
  if (context.observed.empty()) return text;
  const auto [low, high] = std::minmax_element(context.observed.begin(), context.observed.end());
  if (threshold < *low || threshold > *high) {
    const bool first_for_all = (threshold < *low) != at_most;
    text += std::string(" (the threshold lies ") + (threshold < *low ? "below" : "above") +
            " every observed " + x + ": everyone in the data gets " +
            (first_for_all ? first : second) + ")";
  }
  return text;
}

}  // namespace

std::vector<std::string> describe_rule(const StageFit& fit, const StageNames& names,
                                       const RuleContext& context) {
  if (fit.k == 2 && fit.p_tailor <= 1) {
    double constant = 0.0;
    std::vector<double> slopes;
    column_part(fit, 0, &constant, &slopes);
    const double sign = (fit.level_value(0, 0) < fit.level_value(0, 1)) != fit.minimize ? -1 : 1;
    return {threshold_rule(fit, names, context, sign * constant,
                           slopes.empty() ? 0.0 : sign * slopes[0])};
  }
  if (fit.k == 2) {
    // Level 1 wins when Q1 - Q2 = (v1 - v2) x (the column's part) >= 0 (<= 0 when minimising):
    // the sign of v1 - v2 and the direction decide the sign of the expression printed.
    double constant = 0.0;
    std::vector<double> slopes;
    column_part(fit, 0, &constant, &slopes);
    const double sign = (fit.level_value(0, 0) < fit.level_value(0, 1)) != fit.minimize ? -1 : 1;
    for (double& slope : slopes) slope *= sign;
    return {"Give " + two_level_text(fit, names, context, 0) + " when " +
            linear_text(sign * constant, slopes, names.tailor) + " >= 0, otherwise " +
            two_level_text(fit, names, context, 1)};
  }
  std::vector<std::string> lines = {std::string("Give the level whose treatment part is the ") +
                                    (fit.minimize ? "smallest" : "largest") +
                                    " (the first listed on a tie):"};
  for (int32_t l = 0; l < fit.k; ++l) {
    double constant = 0.0;
    std::vector<double> slopes;
    level_part(fit, l, &constant, &slopes);
    lines.push_back("  Level " + std::to_string(l + 1) + " (" + level_text(fit, names, l) +
                    "): " + linear_text(constant, slopes, names.tailor));
  }
  return lines;
}

}  // namespace talven
