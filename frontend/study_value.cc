// The value of the regimes: the call into libKestrion after the analysis, and the value table in
// the presentation order of the treatments.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "frontend/kestrion_library.h"
#include "frontend/study.h"

namespace talven {

// The library's table, one slot per row of KESTRION_VALUE_ROWS.
struct ValueOutput {
  std::vector<double> estimate, lower, upper;
  std::vector<int32_t> followers, kept, status;
  double m = 0.0, p_hat = 0.0, m_alpha = 0.0;
  int32_t m_alpha_choice = 0;
  int32_t k1 = 2, k2 = 2;
};

namespace {

constexpr int kMessageLength = 3001;
const double kMissing = std::numeric_limits<double>::quiet_NaN();
const double kEmpty[1] = {0.0};

const double* or_empty(const std::vector<double>& v) {
  return v.empty() ? kEmpty : v.data();
}

// A treatment's value in the table: its own value with one treatment variable, else the level's
// place in the presentation order.
double level_column(const StageFit& fit, const std::vector<int32_t>& order, int32_t code) {
  if (fit.k == 2) return fit.level_value(0, code);
  const auto at = std::find(order.begin(), order.end(), code) - order.begin();
  return static_cast<double>(at + 1);
}

// The library's row of the difference of embedded regimes r < s (0-based).
std::size_t difference_row(int32_t r, int32_t s, int32_t regimes) {
  const int64_t before = int64_t{r} * regimes - int64_t{r} * (r + 1) / 2;
  return static_cast<std::size_t>(1 + regimes + before + (s - r - 1));
}

}  // namespace

bool Study::run_value() {
  const KestrionLibrary& library = kestrion_library();
  if (library.valuekestrion == nullptr) return fail("The value of the regimes cannot be computed.");
  ValueOutput out;
  out.k1 = options_.K1;
  out.k2 = options_.K2;
  const auto rows = static_cast<std::size_t>(KESTRION_VALUE_ROWS(out.k1, out.k2));
  out.estimate.assign(rows, kMissing);
  out.lower.assign(rows, kMissing);
  out.upper.assign(rows, kMissing);
  out.followers.assign(rows, -1);
  out.kept.assign(rows, 0);
  out.status.assign(rows, KESTRION_VALUE_NOT_ESTIMABLE);

  KestrionValueData data{};
  data.n1 = static_cast<int32_t>(n1_);
  data.n2 = n2_;
  data.Y1 = Y1_.data();
  data.inputY2 = inputY2_.data();
  data.respStatus = respStatus_.data();
  data.A1 = A1_.data();
  data.inputA2 = inputA2_.data();
  data.H10 = H10_.size() > 0 ? H10_.data() : kEmpty;
  data.p10 = p10_;
  data.H11 = H11_.size() > 0 ? H11_.data() : kEmpty;
  data.p11 = p11_;
  data.inputH20 = inputH20_.size() > 0 ? inputH20_.data() : kEmpty;
  data.p20 = p20_;
  data.inputH21 = inputH21_.size() > 0 ? inputH21_.data() : kEmpty;
  data.p21 = p21_;
  data.levels1 = or_empty(levels1_);
  data.K1 = options_.K1;
  data.levels2 = or_empty(levels2_);
  data.K2 = options_.K2;
  data.beta1hat = beta1hat_.data();
  data.beta2hat = beta2hat_.data();

  KestrionValueOptions settings{};
  settings.alpha = options_.alpha;
  settings.nBootValue = options_.nBootValue;
  settings.seed = options_.seed;
  settings.cores = options_.cores;
  settings.minimize = options_.minimize ? 1 : 0;
  settings.mAlpha = options_.mAlpha;
  settings.nBootTune = options_.nBootTune;
  settings.nBootstrap2 = options_.nBootstrap2;
  settings.embeddedOnly = 0;

  KestrionValueTable table{
      out.estimate.data(), out.lower.data(),   out.upper.data(), out.followers.data(),
      out.kept.data(),     out.status.data(),  &out.m,           &out.p_hat,
      &out.m_alpha,        &out.m_alpha_choice};
  std::vector<int32_t> message(kMessageLength, ' ');
  uint8_t error_flag = 0;
  say_text(TALVEN_MESSAGE_PROGRESS, "Before valuekestrion......");
  const bool progress = progress_callback_ != nullptr && library.progresskestrion != nullptr;
  if (progress) library.progresskestrion(progress_callback_, progress_context_);
  library.valuekestrion(&data, &settings, &table, &error_flag, kMessageLength, message.data());
  if (progress) library.progresskestrion(nullptr, nullptr);
  say_text(TALVEN_MESSAGE_PROGRESS, "After valuekestrion......");
  if (error_flag != 0) {
    report_run_failure(message);
    return false;
  }
  gather_value(out);
  note_value_rows(out);
  return true;
}

void Study::add_value_row(const char* kind, const std::string& regime, double a1, double a2,
                          const ValueOutput& out, std::size_t row, double sign) {
  const bool interval = out.status[row] == KESTRION_VALUE_OK;
  double lower = interval ? out.lower[row] : kMissing;
  double upper = interval ? out.upper[row] : kMissing;
  // A difference shown the other way round: the negated estimate, its limits swapped.
  if (sign < 0) std::swap(lower, upper);
  value_.kind.emplace_back(kind);
  value_.regime.push_back(regime);
  value_.a1.push_back(a1);
  value_.a2.push_back(a2);
  value_.estimate.push_back(sign * out.estimate[row]);
  value_.lower.push_back(sign * lower);
  value_.upper.push_back(sign * upper);
  value_.n.push_back(out.followers[row] >= 0 ? out.followers[row] : kMissing);
  value_.kept.push_back(out.kept[row]);
  const bool optimal = row == 0;
  value_.m.push_back(optimal ? out.m : kMissing);
  value_.p_hat.push_back(optimal ? out.p_hat : kMissing);
  value_.m_alpha.push_back(optimal ? out.m_alpha : kMissing);
}

std::string Study::value_level_name(bool first, const StageFit& fit, int32_t code) const {
  std::string minus, plus;
  treatment_texts(first ? 1 : 2, &minus, &plus);
  const std::string text =
      level_text(fit, first ? stage1_names_ : stage2_names_, code, minus, plus);
  return fit.k == 2 ? text : std::string("(").append(text).append(")");
}

void Study::gather_value(const ValueOutput& out) {
  value_ = {};
  const StageFit fit1 = stage_fit(1);
  const StageFit fit2 = stage_fit(2);
  const std::vector<int32_t> order1 = presentation_order(fit1);
  const std::vector<int32_t> order2 = presentation_order(fit2);
  add_value_row("optimal", "Estimated optimal regime", kMissing, kMissing, out, 0, 1.0);

  struct Shown {
    int32_t regime;  // 0-based embedded regime of the library
    std::string name;
  };
  std::vector<Shown> shown;
  for (int32_t c1 : order1) {
    const std::string first = value_level_name(true, fit1, c1);
    const auto row_of = [&](int32_t c2) {
      return std::size_t{1} + static_cast<std::size_t>(c1) * static_cast<std::size_t>(out.k2) +
             static_cast<std::size_t>(c2);
    };
    if (out.status[row_of(out.k2 - 1)] == KESTRION_VALUE_MERGED) {
      const std::string name = first + ", then any treatment if in stage 2";
      shown.push_back({c1 * out.k2, name});
      add_value_row("embedded", name, level_column(fit1, order1, c1), kMissing, out, row_of(0),
                    1.0);
      continue;
    }
    for (int32_t c2 : order2) {
      const std::string name =
          first + ", then " + value_level_name(false, fit2, c2) + " if in stage 2";
      shown.push_back({c1 * out.k2 + c2, name});
      add_value_row("embedded", name, level_column(fit1, order1, c1),
                    level_column(fit2, order2, c2), out, row_of(c2), 1.0);
    }
  }
  const int32_t regimes = out.k1 * out.k2;
  for (std::size_t i = 0; i < shown.size(); ++i) {
    for (std::size_t j = i + 1; j < shown.size(); ++j) {
      const int32_t r = std::min(shown[i].regime, shown[j].regime);
      const int32_t s = std::max(shown[i].regime, shown[j].regime);
      const double sign = shown[i].regime == r ? 1.0 : -1.0;
      add_value_row("difference", shown[i].name + " - " + shown[j].name, kMissing, kMissing, out,
                    difference_row(r, s, regimes), sign);
    }
  }
}

// Why a row has no interval, or no estimate, in the log.
void Study::note_value_rows(const ValueOutput& out) {
  for (std::size_t k = 0; k < value_.kind.size(); ++k) {
    if (value_.kind[k] == "optimal") continue;
    const std::string& regime = value_.regime[k];
    if (std::isnan(value_.estimate[k])) {
      say(TALVEN_MESSAGE_NOTE, "The value of %s cannot be estimated: no observation follows it.",
          regime.c_str());
    } else if (std::isnan(value_.lower[k])) {
      say(TALVEN_MESSAGE_NOTE,
          "The value of %s has no interval: only %d of NBOOTVALUE=%d replicates could estimate it.",
          regime.c_str(), static_cast<int>(value_.kept[k]), options_.nBootValue);
    }
    if (value_.kind[k] == "embedded" && regime.find(", then any treatment") != std::string::npos) {
      say(TALVEN_MESSAGE_NOTE,
          "No observation that started with %s entered stage 2: the regimes that start with it "
          "are one regime, listed once.",
          regime.substr(0, regime.find(", then any treatment")).c_str());
    }
  }
  switch (out.m_alpha_choice) {
    case KESTRION_MALPHA_TREATMENTS:
      say(TALVEN_MESSAGE_NOTE,
          "The estimated regime's value has no interval: it needs two treatments at each stage.");
      break;
    case KESTRION_MALPHA_FALLBACK:
      say(TALVEN_MESSAGE_NOTE,
          "No MALPHA of the double bootstrap reached the confidence level; the largest eligible, "
          "%g, was used.",
          out.m_alpha);
      break;
    case KESTRION_MALPHA_NONE_ELIGIBLE:
      say(TALVEN_MESSAGE_NOTE,
          "The estimated regime's value has no interval: too few resamples of the double bootstrap "
          "could be refitted for any MALPHA.");
      break;
    default:
      break;
  }
}

}  // namespace talven
