#include "examples/study/study.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace smart {
namespace {

constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();
constexpr int kMaxCovariates = 1000;
constexpr int kMaxArms = 10;
// Values of two treatments closer than this are the same treatment.
constexpr double kLevelTolerance = 1e-8;

// Uniforms and normals computed from the raw 64-bit engine output only, so every platform
// draws the same numbers (std::normal_distribution may differ between libraries).
class Draws {
 public:
  explicit Draws(std::uint64_t seed) : engine_(seed) {}

  // In [0, 1), with 53 random bits.
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

  // Box-Muller; the second normal of each pair is kept for the next call.
  double normal() {
    if (has_spare_) {
      has_spare_ = false;
      return spare_;
    }
    const double u1 = 1.0 - uniform();  // (0, 1]: log stays finite
    const double u2 = uniform();
    const double radius = std::sqrt(-2.0 * std::log(u1));
    const double angle = 2.0 * std::numbers::pi * u2;
    spare_ = radius * std::sin(angle);
    has_spare_ = true;
    return radius * std::cos(angle);
  }

  int arm(int arms) { return static_cast<int>(uniform() * arms); }

 private:
  std::mt19937_64 engine_;
  bool has_spare_ = false;
  double spare_ = 0.0;
};

// Four decimals keep the shipped file readable; the rounded value is what the study holds.
double round4(double x) {
  return std::round(x * 1e4) / 1e4;
}

// Position of arm k on a scale from -1 to 1: the model's treatment effects are defined on the
// arm, so the coding and layout of the treatment columns do not change the outcome.
double arm_scale(int arm, int arms) {
  return -1.0 + 2.0 * arm / (arms - 1);
}

double treatment_value(int arm, int column, const StudyOptions& options) {
  const bool high =
      options.layout == ArmLayout::kOneHot ? (arm >= 1 && column == arm - 1) : column < arm;
  const double low = options.coding == TreatmentCoding::kZeroOne ? 0.0 : -1.0;
  return high ? 1.0 : low;
}

std::vector<std::string> numbered(std::string_view first, std::string_view prefix, int count) {
  std::vector<std::string> names;
  for (int j = 1; j <= count; ++j) {
    std::string name(j == 1 && !first.empty() ? first : prefix);
    if (j > 1 || first.empty()) name.append(std::to_string(j));
    names.push_back(std::move(name));
  }
  return names;
}

std::vector<std::string> treatment_names(std::string_view base, int arms) {
  if (arms == 2) return {std::string(base)};
  std::string prefix(base);
  prefix.push_back('_');
  return numbered({}, prefix, arms - 1);
}

std::string check_count(const char* what, int value, int low, int high) {
  if (value >= low && value <= high) return {};
  return "the number of " + std::string(what) + " must be between " + std::to_string(low) +
         " and " + std::to_string(high) + " (got " + std::to_string(value) + ")";
}

std::string check_rate(const char* what, double value) {
  if (value >= 0.0 && value <= 1.0) return {};  // false for NaN too
  return "the missing-value rate of " + std::string(what) + " must be between 0 and 1 (got " +
         std::to_string(value) + ")";
}

// Blanks one value, chosen at random, of a group of columns in row i of a fraction `rate` of
// the subjects. Both draws are made for every subject so the stream does not depend on the data.
void maybe_blank(Draws& draws, double rate, bool eligible, const std::vector<Column*>& group,
                 std::size_t i) {
  const double u = draws.uniform();
  const double pick = draws.uniform();
  if (!eligible || group.empty() || !(u < rate)) return;
  const auto k = std::min(group.size() - 1, static_cast<std::size_t>(pick * group.size()));
  group[k]->values[i] = kMissing;
}

}  // namespace

std::string StudyOptions::validate() const {
  if (n < 1) return "the number of subjects must be at least 1 (got " + std::to_string(n) + ")";
  for (const std::string& message :
       {check_count("MAIN1 covariates", n_main1, 0, kMaxCovariates),
        check_count("TAILOR1 covariates", n_tailor1, 1, kMaxCovariates),
        check_count("MAIN2 covariates", n_main2, 0, kMaxCovariates),
        check_count("TAILOR2 covariates", n_tailor2, 1, kMaxCovariates),
        check_count("stage-1 treatments", k1, 2, kMaxArms),
        check_count("stage-2 treatments", k2, 2, kMaxArms),
        check_rate("stage-1 variables", missing_stage1),
        check_rate("stage-2 variables", missing_stage2),
        check_rate("the response", missing_response)}) {
    if (!message.empty()) return message;
  }
  if (!std::isfinite(stage2_effect)) return "the stage-2 treatment effect size must be finite";
  return {};
}

const Column* Study::find(std::string_view name) const {
  for (const Column& column : columns) {
    if (column.name == name) return &column;
  }
  return nullptr;
}

AnalysisSpec default_spec(const StudyOptions& options) {
  AnalysisSpec spec;
  spec.main1 = numbered("age", "x1_", options.n_main1);
  spec.tailor1 = numbered("", "o1", options.n_tailor1);
  spec.stg1trt = treatment_names("a1", options.k1);
  if (options.stage2_indicator) spec.stg2sample = std::string("stage2");
  spec.main2 = numbered("sidefx", "x2_", options.n_main2);
  spec.tailor2 = numbered("", "o2", options.n_tailor2);
  spec.stg2trt = treatment_names("a2", options.k2);
  spec.response = std::string("y");
  spec.k1 = options.k1;
  spec.k2 = options.k2;
  return spec;
}

Study generate_study(const StudyOptions& options) {
  if (std::string problem = options.validate(); !problem.empty()) {
    throw std::invalid_argument(problem);
  }
  const AnalysisSpec spec = default_spec(options);
  const auto n = static_cast<std::size_t>(options.n);

  // Column order of the file: id, stage-1 history and treatment, stage2, stage-2 history and
  // treatment, const1, y.
  Study study;
  auto add_columns = [&](const std::vector<std::string>& names) {
    std::vector<std::size_t> positions;
    for (const std::string& name : names) {
      positions.push_back(study.columns.size());
      study.columns.push_back({name, std::vector<double>(n, kMissing)});
    }
    return positions;
  };
  const auto id = add_columns({"id"}).front();
  const auto main1 = add_columns(spec.main1);
  const auto tailor1 = add_columns(spec.tailor1);
  const auto trt1 = add_columns(spec.stg1trt);
  const auto stage2 =
      options.stage2_indicator ? add_columns({"stage2"}) : std::vector<std::size_t>{};
  const auto main2 = add_columns(spec.main2);
  const auto tailor2 = add_columns(spec.tailor2);
  const auto trt2 = add_columns(spec.stg2trt);
  const auto constant =
      options.constant_covariate ? add_columns({"const1"}) : std::vector<std::size_t>{};
  const auto response = add_columns({"y"}).front();
  auto at = [&](std::size_t column) -> std::vector<double>& {
    return study.columns[column].values;
  };

  Draws draws(options.seed);
  for (std::size_t i = 0; i < n; ++i) {
    at(id)[i] = static_cast<double>(i + 1);
    double outcome = 2.0;

    for (std::size_t j = 0; j < main1.size(); ++j) {
      const double z = draws.normal();
      if (j == 0) {
        const double age = std::clamp(std::round(45.0 + 12.0 * z), 18.0, 85.0);
        at(main1[j])[i] = age;
        outcome += 0.5 * (age - 45.0) / 12.0;
      } else {
        at(main1[j])[i] = round4(z);
        outcome += 0.3 * at(main1[j])[i];
      }
    }
    for (std::size_t j = 0; j < tailor1.size(); ++j) {
      at(tailor1[j])[i] = round4(draws.normal());
      outcome += (j == 0 ? 0.5 : 0.2) * at(tailor1[j])[i];
    }
    const double severity = at(tailor1[0])[i];

    const int arm1 = draws.arm(options.k1);
    for (std::size_t t = 0; t < trt1.size(); ++t) {
      at(trt1[t])[i] = treatment_value(arm1, static_cast<int>(t), options);
    }
    const double scale1 = arm_scale(arm1, options.k1);
    // The best stage-1 treatment changes sign at severity -0.5.
    outcome += (0.3 + 0.6 * severity) * scale1;

    // Response is less likely with higher severity. The draw is made even when everyone goes
    // on to stage 2, so the other values do not depend on that option.
    const double logit = 0.1 - 0.9 * severity + 0.3 * scale1;
    const bool responder = draws.uniform() < 1.0 / (1.0 + std::exp(-logit));
    const bool in_stage2 = !options.stage2_indicator || !responder;
    if (options.stage2_indicator) at(stage2.front())[i] = in_stage2 ? 1.0 : 0.0;

    // Stage-2 values are drawn for everyone and recorded for the stage-2 sample only.
    const double adherence_noise = draws.normal();
    std::vector<double> stage2_main;
    for (std::size_t j = 0; j < main2.size(); ++j) stage2_main.push_back(round4(draws.normal()));
    std::vector<double> stage2_tailor;
    for (std::size_t j = 0; j < tailor2.size(); ++j) {
      // Adherence is lower for more severe subjects.
      const double z =
          j == 0 ? -0.4 * severity + std::sqrt(1.0 - 0.16) * adherence_noise : draws.normal();
      stage2_tailor.push_back(round4(z));
    }
    const int arm2 = draws.arm(options.k2);
    const double noise = draws.normal();

    if (in_stage2) {
      for (std::size_t j = 0; j < main2.size(); ++j) {
        at(main2[j])[i] = stage2_main[j];
        outcome += 0.3 * stage2_main[j];
      }
      for (std::size_t j = 0; j < tailor2.size(); ++j) {
        at(tailor2[j])[i] = stage2_tailor[j];
        outcome += (j == 0 ? 0.5 : 0.2) * stage2_tailor[j];
      }
      for (std::size_t t = 0; t < trt2.size(); ++t) {
        at(trt2[t])[i] = treatment_value(arm2, static_cast<int>(t), options);
      }
      outcome +=
          options.stage2_effect * (0.2 + 0.7 * stage2_tailor[0]) * arm_scale(arm2, options.k2);
    } else {
      outcome += 1.0;
    }
    if (!constant.empty()) at(constant.front())[i] = 1.0;
    at(response)[i] = round4(outcome + noise);
  }

  // A stream of its own, so the values left are those of the same study without missing ones.
  std::vector<Column*> group1, group2;
  for (const auto* positions : {&main1, &tailor1, &trt1}) {
    for (std::size_t c : *positions) group1.push_back(&study.columns[c]);
  }
  for (const auto* positions : {&main2, &tailor2, &trt2}) {
    for (std::size_t c : *positions) group2.push_back(&study.columns[c]);
  }
  const std::vector<Column*> group_y = {&study.columns[response]};
  Draws gaps(options.seed ^ 0x9E3779B97F4A7C15ULL);
  for (std::size_t i = 0; i < n; ++i) {
    const bool has_stage2 = !options.stage2_indicator || at(stage2.front())[i] == 1.0;
    maybe_blank(gaps, options.missing_stage1, true, group1, i);
    maybe_blank(gaps, options.missing_stage2, has_stage2, group2, i);
    maybe_blank(gaps, options.missing_response, true, group_y, i);
  }
  return study;
}

void write_csv(const Study& study, std::ostream& out) {
  auto write_name = [&](const std::string& name) {
    if (name.find_first_of(",\"\r\n") == std::string::npos) {
      out << name;
      return;
    }
    out << '"';
    for (char c : name) {
      if (c == '"') out << '"';
      out << c;
    }
    out << '"';
  };
  for (std::size_t c = 0; c < study.columns.size(); ++c) {
    if (c > 0) out << ',';
    write_name(study.columns[c].name);
  }
  out << '\n';

  std::string line;
  char text[64];
  for (std::size_t i = 0; i < study.rows(); ++i) {
    line.clear();
    for (std::size_t c = 0; c < study.columns.size(); ++c) {
      if (c > 0) line += ',';
      const double value = study.columns[c].values[i];
      if (std::isnan(value)) continue;
      // Shortest round-trip form, independent of the locale.
      const auto result = std::to_chars(text, text + sizeof text, value);
      line.append(text, result.ptr);
    }
    line += '\n';
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
  }
}

namespace {

// The columns of one variable list, or an error naming the first unknown variable.
bool resolve(const Study& study, const std::vector<std::string>& names, const char* list,
             std::vector<const std::vector<double>*>* columns, std::string* error) {
  columns->clear();
  for (const std::string& name : names) {
    const Column* column = study.find(name);
    if (column == nullptr) {
      *error = "Variable " + name + " in " + list + " is not in the study.";
      return false;
    }
    columns->push_back(&column->values);
  }
  return true;
}

bool all_present(const std::vector<const std::vector<double>*>& columns, std::size_t i) {
  return std::none_of(columns.begin(), columns.end(),
                      [&](const std::vector<double>* column) { return std::isnan((*column)[i]); });
}

// Arms of one stage: tuples of K-1 values, numbered by first appearance.
class ArmTable {
 public:
  explicit ArmTable(int arms) : arms_(arms), width_(arms - 1) {}

  // 1-based code of the last known arm matching the tuple, or 0.
  int code(const std::vector<double>& tuple) const {
    int found = 0;
    for (std::size_t k = 0; k < known_.size(); ++k) {
      bool same = true;
      for (int t = 0; t < width_; ++t) {
        same = same && std::fabs(tuple[t] - known_[k][t]) < kLevelTolerance;
      }
      if (same) found = static_cast<int>(k) + 1;
    }
    return found;
  }

  // False when the tuple would be arm K+1.
  bool add(const std::vector<double>& tuple) {
    if (code(tuple) != 0) return true;
    if (static_cast<int>(known_.size()) == arms_) return false;
    known_.push_back(tuple);
    return true;
  }

  // (K-1) x K column-major, arm k in column k; places of arms never seen hold 0.
  std::vector<double> levels() const {
    std::vector<double> table(static_cast<std::size_t>(width_) * arms_, 0.0);
    for (std::size_t k = 0; k < known_.size(); ++k) {
      std::copy(known_[k].begin(), known_[k].end(), table.begin() + k * width_);
    }
    return table;
  }

 private:
  int arms_;
  int width_;
  std::vector<std::vector<double>> known_;
};

std::string too_many_arms(int stage, int arms) {
  return "Treatment variable in stage " + std::to_string(stage) + " has more than " +
         std::to_string(arms) + " treatments.";
}

}  // namespace

bool build_analysis_arrays(const Study& study, const AnalysisSpec& spec, AnalysisArrays* out,
                           std::string* error) {
  auto fail = [&](std::string message) {
    *error = std::move(message);
    return false;
  };
  if (spec.k1 < 2 || spec.k1 > kMaxArms || spec.k2 < 2 || spec.k2 > kMaxArms) {
    return fail("The number of treatments per stage must be between 2 and " +
                std::to_string(kMaxArms) + ".");
  }
  if (spec.tailor1.empty()) return fail("TAILOR1 must be specified.");
  if (spec.tailor2.empty()) return fail("TAILOR2 must be specified.");
  if (spec.response.empty()) return fail("RESPONSE must be specified.");
  if (static_cast<int>(spec.stg1trt.size()) != spec.k1 - 1) {
    return fail("Please specify " + std::to_string(spec.k1 - 1) +
                " stage 1 treatment variable in STG1TRT.");
  }
  if (static_cast<int>(spec.stg2trt.size()) != spec.k2 - 1) {
    return fail("Please specify " + std::to_string(spec.k2 - 1) +
                " stage 2 treatment variable in STG2TRT.");
  }
  for (const std::string& name : spec.tailor1) {
    if (std::find(spec.main1.begin(), spec.main1.end(), name) != spec.main1.end()) {
      return fail("Please remove variable " + name + " from MAIN1: TAILOR1 variables are " +
                  "included as MAIN1 automatically in the model.");
    }
  }
  for (const std::string& name : spec.tailor2) {
    if (std::find(spec.main2.begin(), spec.main2.end(), name) != spec.main2.end()) {
      return fail("Please remove variable " + name + " from MAIN2: TAILOR2 variables are " +
                  "included as MAIN2 automatically in the model.");
    }
  }
  if (study.rows() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    return fail("The study has more subjects than the library can take.");
  }

  std::vector<const std::vector<double>*> main1, tailor1, trt1, main2, tailor2, trt2, response,
      sample;
  if (!resolve(study, spec.main1, "MAIN1", &main1, error) ||
      !resolve(study, spec.tailor1, "TAILOR1", &tailor1, error) ||
      !resolve(study, spec.stg1trt, "STG1TRT", &trt1, error) ||
      !resolve(study, spec.main2, "MAIN2", &main2, error) ||
      !resolve(study, spec.tailor2, "TAILOR2", &tailor2, error) ||
      !resolve(study, spec.stg2trt, "STG2TRT", &trt2, error) ||
      !resolve(study, {spec.response}, "RESPONSE", &response, error)) {
    return false;
  }
  const bool has_sample = !spec.stg2sample.empty();
  if (has_sample && !resolve(study, {spec.stg2sample}, "STG2SAMPLE", &sample, error)) {
    return false;
  }

  // Complete cases and their stage-2 status (0 = in the stage-2 sample).
  std::vector<std::size_t> kept;
  std::vector<std::int32_t> status;
  for (std::size_t i = 0; i < study.rows(); ++i) {
    if (std::isnan((*response[0])[i])) continue;
    std::int32_t s = 0;
    if (has_sample) {
      const double v = std::trunc((*sample[0])[i]);  // NaN stays NaN and matches neither
      if (v == 1.0) {
        s = 0;
      } else if (v == 0.0) {
        s = 1;
      } else {
        continue;
      }
    }
    const bool stage1 = all_present(main1, i) && all_present(tailor1, i) && all_present(trt1, i);
    const bool stage2 = all_present(main2, i) && all_present(tailor2, i) && all_present(trt2, i);
    if (!stage1 || (s == 0 && !stage2)) continue;
    kept.push_back(i);
    status.push_back(s);
  }

  AnalysisArrays& a = *out;
  a = AnalysisArrays{};
  a.n1 = static_cast<std::int32_t>(kept.size());
  a.dropped = static_cast<std::int32_t>(study.rows() - kept.size());
  a.p10 = static_cast<std::int32_t>(main1.size());
  a.p11 = static_cast<std::int32_t>(tailor1.size());
  a.p20 = static_cast<std::int32_t>(main2.size());
  a.p21 = static_cast<std::int32_t>(tailor2.size());
  a.K1 = spec.k1;
  a.K2 = spec.k2;
  a.respStatus = status;
  a.n2 = static_cast<std::int32_t>(std::count(status.begin(), status.end(), 0));

  const std::size_t n1 = kept.size();
  // Column-major block of the kept rows; a missing value (possible only outside the stage-2
  // sample) becomes 0 so that no NaN reaches the library.
  auto block = [&](const std::vector<const std::vector<double>*>& columns) {
    std::vector<double> values(n1 * columns.size());
    for (std::size_t j = 0; j < columns.size(); ++j) {
      for (std::size_t r = 0; r < n1; ++r) {
        const double v = (*columns[j])[kept[r]];
        values[r + j * n1] = std::isnan(v) ? 0.0 : v;
      }
    }
    return values;
  };
  a.H10 = block(main1);
  a.H11 = block(tailor1);
  a.inputH20 = block(main2);
  a.inputH21 = block(tailor2);
  a.inputY2 = block(response);
  a.Y1 = a.inputY2;

  auto tuple_of = [&](const std::vector<const std::vector<double>*>& columns, std::size_t i,
                      bool truncate) {
    std::vector<double> tuple;
    for (const auto* column : columns) {
      tuple.push_back(truncate ? std::trunc((*column)[i]) : (*column)[i]);
    }
    return tuple;
  };

  ArmTable arms1(spec.k1), arms2(spec.k2);
  for (std::size_t r = 0; r < n1; ++r) {
    if (!arms1.add(tuple_of(trt1, kept[r], false))) return fail(too_many_arms(1, spec.k1));
    if (status[r] == 0 && !arms2.add(tuple_of(trt2, kept[r], true))) {
      return fail(too_many_arms(2, spec.k2));
    }
  }
  if (a.n2 < a.p2()) return fail("There is not enough data at stage 2 for the method to work.");

  a.levels1 = arms1.levels();
  a.levels2 = arms2.levels();
  a.A1.resize(n1);
  a.inputA2.resize(n1);
  for (std::size_t r = 0; r < n1; ++r) {
    a.A1[r] = arms1.code(tuple_of(trt1, kept[r], false));
    // Outside the stage-2 sample the code is never used; an arm not in the table gets 1.
    a.inputA2[r] = std::max(1, arms2.code(tuple_of(trt2, kept[r], true)));
  }
  return true;
}

}  // namespace smart
