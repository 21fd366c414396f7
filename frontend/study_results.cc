// The results by name, so that a front end reads every result without a copy of its number: a
// new count or table column reaches Python and R from here alone.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "frontend/study.h"

namespace talven {
namespace {

NamedResult scalar(std::string name, const char* type, double value) {
  return {std::move(name), type, {value}, {}};
}

NamedResult texts(std::string name, const std::vector<std::string>& values) {
  return {std::move(name), "texts", {}, values};
}

NamedResult reals(std::string name, const std::vector<double>& values) {
  return {std::move(name), "reals", values, {}};
}

const char* severity_name(int32_t severity) {
  switch (severity) {
    case TALVEN_MESSAGE_ERROR:
      return "error";
    case TALVEN_MESSAGE_WARNING:
      return "warning";
    case TALVEN_MESSAGE_NOTE:
      return "note";
    case TALVEN_MESSAGE_PROGRESS:
      return "progress";
    default:
      return "text";
  }
}

std::string lower_case(const char* text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

// Each option the layer types, under its package argument name (or its statement name).
void Study::option_results(std::vector<NamedResult>& out) const {
  for (const OptionRow& row : kOptionTable) {
    const std::string name = row.argument != nullptr ? row.argument : lower_case(row.statement);
    if (row.integer != nullptr) {
      out.push_back(scalar(name, "count", options_.*row.integer));
    } else if (row.real != nullptr) {
      out.push_back(scalar(name, "number", options_.*row.real));
    } else if (row.flag != nullptr && row.argument != nullptr) {
      out.push_back(scalar(name, "count", options_.*row.flag ? 1 : 0));
    }
  }
}

// The options in force as the report shows them, after the data sets.
std::vector<std::pair<std::string, std::string>> Study::settings() const {
  std::vector<std::pair<std::string, std::string>> out;
  for (const OptionRow& row : kOptionTable) {
    const bool given = option_values_.given(row.statement);
    if (row.report == ReportWhen::kNever ||
        (row.report == ReportWhen::kWithIntervals && !options_.deriveCI) ||
        (row.report == ReportWhen::kGiven && !given)) {
      continue;
    }
    std::string value;
    if (row.integer != nullptr) {
      value = std::to_string(options_.*row.integer);
      if (!given && row.drawn != nullptr) value += row.drawn;
    } else if (row.real != nullptr) {
      value = formatted("%g", options_.*row.real);
    } else if (row.flag == nullptr || options_.*row.flag) {
      value = row.in_force;
    } else {
      value = given ? row.off_given : row.off;
    }
    out.emplace_back(std::string(row.statement) + (takes_value(row.kind) ? "=" : ""), value);
  }
  return out;
}

int64_t Study::result_count() const {
  std::vector<NamedResult>& r = snapshot_;
  r.clear();
  const bool done = phase_ == Phase::kDone && !failed_;
  r.push_back(scalar("n_observations", "count", static_cast<double>(delivered_)));
  r.push_back(scalar("n_stage1", "count", static_cast<double>(n1_)));
  r.push_back(scalar("n_stage2", "count", n2_));
  r.push_back(scalar("n_collinear", "count", nCollinear_));
  r.push_back(scalar("n_contrasts", "count", static_cast<double>(n_contrasts_)));
  r.push_back(scalar("p1", "count", p1()));
  r.push_back(scalar("p2", "count", p2()));
  option_results(r);
  r.push_back(texts("columns", std::vector<std::string>(
                                   columns_.begin(), columns_.begin() + static_cast<std::ptrdiff_t>(
                                                                            data_columns()))));
  std::vector<std::string> severities, lines;
  for (const StudyMessage& m : messages_) {
    severities.emplace_back(severity_name(m.severity));
    lines.push_back(m.text);
  }
  r.push_back(texts("messages.Severity", severities));
  r.push_back(texts("messages.Text", lines));
  r.push_back(texts("diagnostic", diagnostic_));
  if (!coding_variable_.empty()) {
    r.push_back(texts("coding.Variable", coding_variable_));
    r.push_back(texts("coding.Value", coding_value_));
    r.push_back({"coding.Code", "integers", coding_code_, {}});
  }
  if (!done) return static_cast<int64_t>(r.size());

  r.push_back(scalar("regime_value", "number", number(TALVEN_NUMBER_REGIME_VALUE)));
  r.push_back(scalar("mean_outcome", "number", number(TALVEN_NUMBER_MEAN_OUTCOME)));
  r.push_back({"coef.Stage", "integers", {table_stage_.begin(), table_stage_.end()}, {}});
  r.push_back(texts("coef.Term", table_terms_));
  r.push_back(reals("coef.Estimate", table_estimate_));
  r.push_back(reals("coef.Lower", table_lower_));
  r.push_back(reals("coef.Upper", table_upper_));
  r.push_back(texts("rules1", rules_[0]));
  r.push_back(texts("rules2", rules_[1]));
  r.push_back(texts("levels", out_levels_));
  r.push_back(texts("out_columns", out_columns_));
  r.push_back(texts("collinear", collinear_));
  std::vector<std::string> names, values;
  for (auto& [name, value] : settings()) {
    names.push_back(name);
    values.push_back(value);
  }
  r.push_back(texts("settings.Option", names));
  r.push_back(texts("settings.Value", values));
  return static_cast<int64_t>(r.size());
}

const NamedResult* Study::result(int64_t index) const {
  if (index < 0 || index >= static_cast<int64_t>(snapshot_.size())) return nullptr;
  return &snapshot_[static_cast<std::size_t>(index)];
}

}  // namespace talven
