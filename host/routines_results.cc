// Host routine: the results of a run, kept for the HTML report.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <map>
#include <string>

#include "host/data_set.h"
#include "host/routines.h"
#include "host/step_context.h"
#include "host/variable_list.h"

namespace host::routines {

namespace {

template <typename T>
bool listed(const T* items, int32_t count) {
  return count >= 0 && (count == 0 || items != nullptr);
}

// Empty when the model and data summary can be used.
std::string invalid_model(const TalvenStepResults* r) {
  if (!listed(r->roles, r->roleCount) || !listed(r->levels, r->levelCount) ||
      !listed(r->contrasts, r->contrastCount) || !listed(r->leftOut, r->leftOutCount)) {
    return "a list of the model has no entries where its count says it has";
  }
  for (int32_t k = 0; k < r->roleCount; ++k) {
    const TalvenResultRole& role = r->roles[k];
    if (role.role == nullptr || !listed(role.names, role.count)) return "a role has no name";
    for (int32_t v = 0; v < role.count; ++v) {
      if (role.names[v] == nullptr)
        return "a variable of " + std::string(role.role) + " has no name";
    }
  }
  for (int32_t k = 0; k < r->levelCount; ++k) {
    const TalvenResultLevel& level = r->levels[k];
    if (level.values == nullptr || (level.stage != 1 && level.stage != 2) || level.count < 0) {
      return "treatment level " + std::to_string(k + 1) + " has no values, stage or count";
    }
  }
  for (int32_t k = 0; k < r->contrastCount; ++k) {
    if (r->contrasts[k] == nullptr) return "contrast " + std::to_string(k + 1) + " has no text";
  }
  for (int32_t k = 0; k < r->leftOutCount; ++k) {
    if (r->leftOut[k].reason == nullptr || r->leftOut[k].count < 0) {
      return "a reason for left-out observations has no text or a negative count";
    }
  }
  return {};
}

// Empty when the results can be used.
// A module built before the model, or before the value table, hands a record that ends before
// them.
bool has_model(const TalvenStepResults* r) {
  return r->size >= offsetof(TalvenStepResults, values);
}

bool has_values(const TalvenStepResults* r) {
  return r->size >= offsetof(TalvenStepResults, levelTexts);
}

bool has_level_texts(const TalvenStepResults* r) {
  return r->size >= sizeof(TalvenStepResults) && r->levelTexts != nullptr;
}

std::string invalid_values(const TalvenStepResults* r) {
  if (!has_values(r)) return {};
  if (!listed(r->values, r->valueCount)) return "a list has no entries where its count says it has";
  for (int32_t k = 0; k < r->valueCount; ++k) {
    if (r->values[k].kind == nullptr || r->values[k].regime == nullptr) {
      return "value row " + std::to_string(k + 1) + " has no kind or regime";
    }
  }
  return {};
}

std::string invalid_results(const TalvenStepResults* r) {
  if (r == nullptr) return "none were given";
  // A module built before the model was added hands over the first part only.
  if (r->size < TALVEN_STEP_RESULTS_FIRST_SIZE) {
    return "their record has " + std::to_string(r->size) + " bytes where at least " +
           std::to_string(TALVEN_STEP_RESULTS_FIRST_SIZE) + " are expected";
  }
  if (has_model(r)) {
    std::string wrong = invalid_model(r);
    if (!wrong.empty()) return wrong;
  }
  if (r->observations < 0 || r->stage1 < 0 || r->stage2 < 0 || r->collinear < 0) {
    return "a count is negative";
  }
  if (!listed(r->terms, r->termCount) || !listed(r->rules, r->ruleCount) ||
      !listed(r->regimeValues, r->regimeValueCount) || !listed(r->settings, r->settingCount)) {
    return "a list has no entries where its count says it has";
  }
  for (int32_t k = 0; k < r->termCount; ++k) {
    const TalvenResultTerm& t = r->terms[k];
    if (t.term == nullptr || (t.stage != 1 && t.stage != 2)) {
      return "term " + std::to_string(k + 1) + " has no name or no stage 1 or 2";
    }
  }
  for (int32_t k = 0; k < r->ruleCount; ++k) {
    if (r->rules[k] == nullptr) return "rule " + std::to_string(k + 1) + " has no text";
  }
  for (int32_t k = 0; k < r->regimeValueCount; ++k) {
    if (r->regimeValues[k] == nullptr) return "a value of the regime has no text";
  }
  for (int32_t k = 0; k < r->settingCount; ++k) {
    if (r->settings[k].name == nullptr || r->settings[k].value == nullptr) {
      return "setting " + std::to_string(k + 1) + " has no name or value";
    }
  }
  return invalid_values(r);
}

void add_model(const TalvenStepResults* r, ReportResults& results) {
  if (!has_model(r)) return;
  std::vector<std::string> treatments[2];
  for (int32_t k = 0; k < r->roleCount; ++k) {
    const TalvenResultRole& role = r->roles[k];
    ReportRole shown{role.stage, role.role, {role.names, role.names + role.count}};
    if (shown.role == "STG1TRT" || shown.role == "STG2TRT") {
      treatments[shown.role == "STG1TRT" ? 0 : 1] = shown.names;
    }
    results.roles.push_back(std::move(shown));
  }
  results.minimize = r->minimize != 0;
  for (int32_t k = 0; k < r->levelCount; ++k) {
    const TalvenResultLevel& level = r->levels[k];
    const std::vector<std::string>& names = treatments[level.stage - 1];
    ReportLevel shown{level.stage, {}, {}, level.count};
    const char* text = has_level_texts(r) ? r->levelTexts[k] : nullptr;
    for (std::size_t v = 0; v < names.size(); ++v) {
      shown.values.push_back(level.values[v]);
      shown.texts.emplace_back(v == 0 && text != nullptr ? text : "");
    }
    results.levels.push_back(std::move(shown));
  }
  results.contrasts.assign(r->contrasts, r->contrasts + r->contrastCount);
  for (int32_t k = 0; k < r->leftOutCount; ++k) {
    results.left_out.push_back({r->leftOut[k].reason, r->leftOut[k].count});
  }
}

}  // namespace

void stepResults(const TalvenStepResults* r) {
  StepContext* step = running_step();
  if (step == nullptr) return;
  const std::string wrong = invalid_results(r);
  if (!wrong.empty()) {
    host_error("PROCEDURE " + step->name + " handed the host invalid results: " + wrong + ".");
    return;
  }
  ReportResults results;
  results.observations = r->observations;
  results.stage1 = r->stage1;
  results.stage2 = r->stage2;
  results.collinear = r->collinear;
  if (r->intervals != 0) results.alpha = r->alpha;
  for (int32_t k = 0; k < r->termCount; ++k) {
    const TalvenResultTerm& t = r->terms[k];
    results.estimates.push_back({t.stage, t.term, t.estimate, t.lower, t.upper, t.contrast != 0});
  }
  results.rules.assign(r->rules, r->rules + r->ruleCount);
  results.regime_values.assign(r->regimeValues, r->regimeValues + r->regimeValueCount);
  add_model(r, results);
  for (int32_t k = 0; has_values(r) && k < r->valueCount; ++k) {
    const TalvenResultValue& v = r->values[k];
    results.values.push_back({v.kind, v.regime, v.estimate, v.lower, v.upper, v.followers, v.kept});
  }
  step->settings.clear();
  for (int32_t k = 0; k < r->settingCount; ++k) {
    step->settings.push_back({r->settings[k].name, r->settings[k].value});
  }
  step->results = std::move(results);
}

}  // namespace host::routines
