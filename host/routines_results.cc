// Host routine: the results of a run, kept for the HTML report.
#include <cstddef>
#include <string>

#include "host/routines.h"
#include "host/step_context.h"

namespace host::routines {

namespace {

template <typename T>
bool listed(const T* items, int32_t count) {
  return count >= 0 && (count == 0 || items != nullptr);
}

// Empty when the results can be used.
// A module built before the value table hands a record that ends before it.
constexpr std::size_t kFirstRecordSize = offsetof(TalvenStepResults, values);

bool has_values(const TalvenStepResults* r) {
  return r->size >= sizeof(TalvenStepResults);
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
  if (r->size < kFirstRecordSize) {
    return "their record has " + std::to_string(r->size) + " bytes where " +
           std::to_string(sizeof(TalvenStepResults)) + " are expected";
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
