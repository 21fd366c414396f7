#include "examples/study/study.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
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
  const auto k = std::min(group.size() - 1,
                          static_cast<std::size_t>(pick * static_cast<double>(group.size())));
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

namespace {

// Where each variable group sits in Study::columns, in the order of the file: id, stage-1
// history and treatment, stage2, stage-2 history and treatment, const1, y.
struct Layout {
  std::size_t id = 0;
  std::vector<std::size_t> main1, tailor1, trt1, stage2, main2, tailor2, trt2, constant;
  std::size_t response = 0;
};

Layout add_study_columns(const AnalysisSpec& spec, const StudyOptions& options, std::size_t n,
                         Study* study) {
  auto add_columns = [&](const std::vector<std::string>& names) {
    std::vector<std::size_t> positions;
    for (const std::string& name : names) {
      positions.push_back(study->columns.size());
      study->columns.push_back({name, std::vector<double>(n, kMissing)});
    }
    return positions;
  };
  Layout layout;
  layout.id = add_columns({"id"}).front();
  layout.main1 = add_columns(spec.main1);
  layout.tailor1 = add_columns(spec.tailor1);
  layout.trt1 = add_columns(spec.stg1trt);
  if (options.stage2_indicator) layout.stage2 = add_columns({"stage2"});
  layout.main2 = add_columns(spec.main2);
  layout.tailor2 = add_columns(spec.tailor2);
  layout.trt2 = add_columns(spec.stg2trt);
  if (options.constant_covariate) layout.constant = add_columns({"const1"});
  layout.response = add_columns({"y"}).front();
  return layout;
}

// One subject while it is drawn. The outcome gathers its terms in drawing order: summing them
// in another order could change the last bit, and with it the rounded response.
struct Subject {
  Study& study;
  std::size_t row;
  double outcome = 2.0;

  void set(std::size_t column, double value) { study.columns[column].values[row] = value; }
  double get(std::size_t column) const { return study.columns[column].values[row]; }
};

// Age and the further MAIN1 and TAILOR1 covariates; returns the severity score o11.
double draw_baseline(Draws& draws, const Layout& layout, Subject& subject) {
  for (std::size_t j = 0; j < layout.main1.size(); ++j) {
    const double z = draws.normal();
    if (j == 0) {
      const double age = std::clamp(std::round(45.0 + 12.0 * z), 18.0, 85.0);
      subject.set(layout.main1[j], age);
      subject.outcome += 0.5 * (age - 45.0) / 12.0;
    } else {
      subject.set(layout.main1[j], round4(z));
      subject.outcome += 0.3 * subject.get(layout.main1[j]);
    }
  }
  for (std::size_t j = 0; j < layout.tailor1.size(); ++j) {
    subject.set(layout.tailor1[j], round4(draws.normal()));
    subject.outcome += (j == 0 ? 0.5 : 0.2) * subject.get(layout.tailor1[j]);
  }
  return subject.get(layout.tailor1[0]);
}

// Randomises stage 1; returns the arm's position on the treatment scale.
double draw_stage1_treatment(Draws& draws, const Layout& layout, const StudyOptions& options,
                             double severity, Subject& subject) {
  const int arm = draws.arm(options.k1);
  for (std::size_t t = 0; t < layout.trt1.size(); ++t) {
    subject.set(layout.trt1[t], treatment_value(arm, static_cast<int>(t), options));
  }
  const double scale = arm_scale(arm, options.k1);
  // The best stage-1 treatment changes sign at severity -0.5.
  subject.outcome += (0.3 + 0.6 * severity) * scale;
  return scale;
}

// Response is less likely with higher severity. The draw is made even when everyone goes on to
// stage 2, so the other values do not depend on that option. Returns whether the subject is in
// the stage-2 sample.
bool draw_response(Draws& draws, const Layout& layout, const StudyOptions& options, double severity,
                   double scale1, Subject& subject) {
  const double logit = 0.1 - 0.9 * severity + 0.3 * scale1;
  const bool responder = draws.uniform() < 1.0 / (1.0 + std::exp(-logit));
  const bool in_stage2 = !options.stage2_indicator || !responder;
  if (options.stage2_indicator) subject.set(layout.stage2.front(), in_stage2 ? 1.0 : 0.0);
  return in_stage2;
}

struct Stage2Values {
  std::vector<double> main, tailor;
  int arm = 0;
};

// Stage-2 values are drawn for everyone, so a subject's draws do not depend on its response.
Stage2Values draw_stage2_values(Draws& draws, const Layout& layout, const StudyOptions& options,
                                double severity) {
  Stage2Values values;
  const double adherence_noise = draws.normal();
  values.main.resize(layout.main2.size());
  for (double& value : values.main) value = round4(draws.normal());
  values.tailor.resize(layout.tailor2.size());
  for (std::size_t j = 0; j < values.tailor.size(); ++j) {
    // Adherence is lower for more severe subjects.
    const double z =
        j == 0 ? -0.4 * severity + std::sqrt(1.0 - 0.16) * adherence_noise : draws.normal();
    values.tailor[j] = round4(z);
  }
  values.arm = draws.arm(options.k2);
  return values;
}

// Only the stage-2 sample is measured again; responders get a bonus instead.
void record_stage2(const Stage2Values& values, const Layout& layout, const StudyOptions& options,
                   bool in_stage2, Subject& subject) {
  if (!in_stage2) {
    subject.outcome += 1.0;
    return;
  }
  for (std::size_t j = 0; j < layout.main2.size(); ++j) {
    subject.set(layout.main2[j], values.main[j]);
    subject.outcome += 0.3 * values.main[j];
  }
  for (std::size_t j = 0; j < layout.tailor2.size(); ++j) {
    subject.set(layout.tailor2[j], values.tailor[j]);
    subject.outcome += (j == 0 ? 0.5 : 0.2) * values.tailor[j];
  }
  for (std::size_t t = 0; t < layout.trt2.size(); ++t) {
    subject.set(layout.trt2[t], treatment_value(values.arm, static_cast<int>(t), options));
  }
  subject.outcome +=
      options.stage2_effect * (0.2 + 0.7 * values.tailor[0]) * arm_scale(values.arm, options.k2);
}

void draw_subject(Draws& draws, const Layout& layout, const StudyOptions& options,
                  Subject& subject) {
  subject.set(layout.id, static_cast<double>(subject.row + 1));
  const double severity = draw_baseline(draws, layout, subject);
  const double scale1 = draw_stage1_treatment(draws, layout, options, severity, subject);
  const bool in_stage2 = draw_response(draws, layout, options, severity, scale1, subject);
  const Stage2Values stage2 = draw_stage2_values(draws, layout, options, severity);
  const double noise = draws.normal();
  record_stage2(stage2, layout, options, in_stage2, subject);
  if (!layout.constant.empty()) subject.set(layout.constant.front(), 1.0);
  subject.set(layout.response, round4(subject.outcome + noise));
}

// A stream of its own, so the values left are those of the same study without missing ones.
void blank_missing_values(const Layout& layout, const StudyOptions& options, Study& study) {
  std::vector<Column*> group1, group2;
  for (const auto* positions : {&layout.main1, &layout.tailor1, &layout.trt1}) {
    for (std::size_t c : *positions) group1.push_back(&study.columns[c]);
  }
  for (const auto* positions : {&layout.main2, &layout.tailor2, &layout.trt2}) {
    for (std::size_t c : *positions) group2.push_back(&study.columns[c]);
  }
  const std::vector<Column*> group_y = {&study.columns[layout.response]};
  Draws gaps(options.seed ^ 0x9E3779B97F4A7C15ULL);
  for (std::size_t i = 0; i < study.rows(); ++i) {
    const bool has_stage2 =
        !options.stage2_indicator || study.columns[layout.stage2.front()].values[i] == 1.0;
    maybe_blank(gaps, options.missing_stage1, true, group1, i);
    maybe_blank(gaps, options.missing_stage2, has_stage2, group2, i);
    maybe_blank(gaps, options.missing_response, true, group_y, i);
  }
}

}  // namespace

Study generate_study(const StudyOptions& options) {
  if (std::string problem = options.validate(); !problem.empty()) {
    throw std::invalid_argument(problem);
  }
  const auto n = static_cast<std::size_t>(options.n);
  Study study;
  const Layout layout = add_study_columns(default_spec(options), options, n, &study);
  Draws draws(options.seed);
  for (std::size_t i = 0; i < n; ++i) {
    Subject subject{study, i};
    draw_subject(draws, layout, options, subject);
  }
  blank_missing_values(layout, options, study);
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
      std::copy(known_[k].begin(), known_[k].end(),
                table.begin() + static_cast<std::ptrdiff_t>(k * width_));
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

namespace {

// Empty when the lists fit the treatments' number of arms, else the procedure's message.
std::string check_spec(const AnalysisSpec& spec) {
  if (spec.k1 < 2 || spec.k1 > kMaxArms || spec.k2 < 2 || spec.k2 > kMaxArms) {
    return "The number of treatments per stage must be between 2 and " + std::to_string(kMaxArms) +
           ".";
  }
  if (spec.tailor1.empty()) return "TAILOR1 must be specified.";
  if (spec.tailor2.empty()) return "TAILOR2 must be specified.";
  if (spec.response.empty()) return "RESPONSE must be specified.";
  if (static_cast<int>(spec.stg1trt.size()) != spec.k1 - 1) {
    return "Please specify " + std::to_string(spec.k1 - 1) +
           " stage 1 treatment variable in STG1TRT.";
  }
  if (static_cast<int>(spec.stg2trt.size()) != spec.k2 - 1) {
    return "Please specify " + std::to_string(spec.k2 - 1) +
           " stage 2 treatment variable in STG2TRT.";
  }
  return {};
}

// A tailoring variable enters the main effects by itself; listing it twice would duplicate a
// design column.
std::string check_tailoring_not_main(const std::vector<std::string>& tailor,
                                     const std::vector<std::string>& main, int stage) {
  const auto twice = std::find_first_of(tailor.begin(), tailor.end(), main.begin(), main.end());
  if (twice == tailor.end()) return {};
  const std::string stage_text = std::to_string(stage);
  std::string message = "Please remove variable " + *twice + " from MAIN";
  message += stage_text + ": TAILOR";
  message += stage_text + " variables are included as MAIN";
  message += stage_text + " automatically in the model.";
  return message;
}

using Columns = std::vector<const std::vector<double>*>;

// The study's columns of every list; sample stays empty without STG2SAMPLE.
struct Lists {
  Columns main1, tailor1, trt1, main2, tailor2, trt2, response, sample;
};

bool resolve_lists(const Study& study, const AnalysisSpec& spec, Lists* lists, std::string* error) {
  return resolve(study, spec.main1, "MAIN1", &lists->main1, error) &&
         resolve(study, spec.tailor1, "TAILOR1", &lists->tailor1, error) &&
         resolve(study, spec.stg1trt, "STG1TRT", &lists->trt1, error) &&
         resolve(study, spec.main2, "MAIN2", &lists->main2, error) &&
         resolve(study, spec.tailor2, "TAILOR2", &lists->tailor2, error) &&
         resolve(study, spec.stg2trt, "STG2TRT", &lists->trt2, error) &&
         resolve(study, {spec.response}, "RESPONSE", &lists->response, error) &&
         (spec.stg2sample.empty() ||
          resolve(study, {spec.stg2sample}, "STG2SAMPLE", &lists->sample, error));
}

// Stage-2 status of row i (0 = in the stage-2 sample, 1 = not), or -1 when the row is left out.
std::int32_t complete_case_status(const Lists& lists, std::size_t i) {
  if (std::isnan((*lists.response[0])[i])) return -1;
  std::int32_t status = 0;
  if (!lists.sample.empty()) {
    const double v = std::trunc((*lists.sample[0])[i]);  // NaN stays NaN and matches neither
    if (v == 1.0) {
      status = 0;
    } else if (v == 0.0) {
      status = 1;
    } else {
      return -1;
    }
  }
  const bool stage1 =
      all_present(lists.main1, i) && all_present(lists.tailor1, i) && all_present(lists.trt1, i);
  const bool stage2 =
      all_present(lists.main2, i) && all_present(lists.tailor2, i) && all_present(lists.trt2, i);
  if (!stage1 || (status == 0 && !stage2)) return -1;
  return status;
}

// Column-major block of the kept rows; a missing value (possible only outside the stage-2
// sample) becomes 0 so that no NaN reaches the library.
std::vector<double> kept_block(const Columns& columns, const std::vector<std::size_t>& kept) {
  const std::size_t n1 = kept.size();
  std::vector<double> values(n1 * columns.size());
  for (std::size_t j = 0; j < columns.size(); ++j) {
    for (std::size_t r = 0; r < n1; ++r) {
      const double v = (*columns[j])[kept[r]];
      values[r + j * n1] = std::isnan(v) ? 0.0 : v;
    }
  }
  return values;
}

std::vector<double> tuple_of(const Columns& columns, std::size_t i, bool truncate) {
  std::vector<double> tuple;
  tuple.reserve(columns.size());
  for (const auto* column : columns) {
    tuple.push_back(truncate ? std::trunc((*column)[i]) : (*column)[i]);
  }
  return tuple;
}

// Numbers the arms of both stages by first appearance, then codes each kept subject's arms.
// Stage-2 values are truncated toward zero, as the procedure reads them.
bool code_arms(const Lists& lists, const std::vector<std::size_t>& kept, AnalysisArrays* a,
               std::string* error) {
  ArmTable arms1(a->K1), arms2(a->K2);
  for (std::size_t r = 0; r < kept.size(); ++r) {
    if (!arms1.add(tuple_of(lists.trt1, kept[r], false))) {
      *error = too_many_arms(1, a->K1);
      return false;
    }
    if (a->respStatus[r] == 0 && !arms2.add(tuple_of(lists.trt2, kept[r], true))) {
      *error = too_many_arms(2, a->K2);
      return false;
    }
  }
  if (a->n2 < a->p2()) {
    *error = "There is not enough data at stage 2 for the method to work.";
    return false;
  }
  a->levels1 = arms1.levels();
  a->levels2 = arms2.levels();
  a->A1.resize(kept.size());
  a->inputA2.resize(kept.size());
  for (std::size_t r = 0; r < kept.size(); ++r) {
    a->A1[r] = arms1.code(tuple_of(lists.trt1, kept[r], false));
    // Outside the stage-2 sample the code is never used; an arm not in the table gets 1.
    a->inputA2[r] = std::max(1, arms2.code(tuple_of(lists.trt2, kept[r], true)));
  }
  return true;
}

}  // namespace

bool build_analysis_arrays(const Study& study, const AnalysisSpec& spec, AnalysisArrays* out,
                           std::string* error) {
  for (const std::string& message :
       {check_spec(spec), check_tailoring_not_main(spec.tailor1, spec.main1, 1),
        check_tailoring_not_main(spec.tailor2, spec.main2, 2)}) {
    if (!message.empty()) {
      *error = message;
      return false;
    }
  }
  if (study.rows() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    *error = "The study has more subjects than the library can take.";
    return false;
  }
  Lists lists;
  if (!resolve_lists(study, spec, &lists, error)) return false;

  std::vector<std::size_t> kept;
  std::vector<std::int32_t> status;
  for (std::size_t i = 0; i < study.rows(); ++i) {
    const std::int32_t s = complete_case_status(lists, i);
    if (s < 0) continue;
    kept.push_back(i);
    status.push_back(s);
  }

  AnalysisArrays& a = *out;
  a = AnalysisArrays{};
  a.n1 = static_cast<std::int32_t>(kept.size());
  a.dropped = static_cast<std::int32_t>(study.rows() - kept.size());
  a.p10 = static_cast<std::int32_t>(lists.main1.size());
  a.p11 = static_cast<std::int32_t>(lists.tailor1.size());
  a.p20 = static_cast<std::int32_t>(lists.main2.size());
  a.p21 = static_cast<std::int32_t>(lists.tailor2.size());
  a.K1 = spec.k1;
  a.K2 = spec.k2;
  a.respStatus = status;
  a.n2 = static_cast<std::int32_t>(std::count(status.begin(), status.end(), 0));
  a.H10 = kept_block(lists.main1, kept);
  a.H11 = kept_block(lists.tailor1, kept);
  a.inputH20 = kept_block(lists.main2, kept);
  a.inputH21 = kept_block(lists.tailor2, kept);
  a.inputY2 = kept_block(lists.response, kept);
  a.Y1 = a.inputY2;
  return code_arms(lists, kept, &a, error);
}

}  // namespace smart
