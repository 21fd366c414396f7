// The results by name, so that a front end reads every result without a copy of its number: a
// new count or table column reaches Python and R from here alone.
#include <algorithm>
#include <cmath>
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
  if (phase_ >= Phase::kRowsEnded && !arms1_.empty()) {
    // The data summary, also after an analysis that then failed.
    r.push_back(reals("levels1", levels1_));
    r.push_back(reals("levels2", levels2_));
    r.push_back({"arms1", "integers", arms1_, {}});
    r.push_back({"arms2", "integers", arms2_, {}});
  }
  if (phase_ >= Phase::kRowsEnded) {
    r.push_back(texts("left_out.Reason", left_out_reasons_));
    r.push_back({"left_out.Observations", "integers", left_out_counts_, {}});
  }
  if (!coding_variable_.empty()) {
    r.push_back(texts("coding.Variable", coding_variable_));
    r.push_back(texts("coding.Value", coding_value_));
    r.push_back({"coding.Code", "integers", coding_code_, {}});
  }
  if (!done) return static_cast<int64_t>(r.size());
  out_text_results(r);

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
  fitted_results(r);
  std::vector<std::string> names, values;
  for (auto& [name, value] : settings()) {
    names.push_back(name);
    values.push_back(value);
  }
  r.push_back(texts("settings.Option", names));
  r.push_back(texts("settings.Value", values));
  if (options_.value) {
    const ValueRows& v = value_;
    r.push_back(texts("value.Kind", v.kind));
    r.push_back(texts("value.Regime", v.regime));
    value_treatment_results(r, 1, "value.A1", v.a1);
    value_treatment_results(r, 2, "value.A2", v.a2);
    r.push_back(reals("value.Estimate", v.estimate));
    r.push_back(reals("value.Lower", v.lower));
    r.push_back(reals("value.Upper", v.upper));
    r.push_back(reals("value.N", v.n));
    r.push_back(reals("value.Kept", v.kept));
    r.push_back(reals("value.M", v.m));
    r.push_back(reals("value.PHat", v.p_hat));
    r.push_back(reals("value.MAlpha", v.m_alpha));
  }
  return static_cast<int64_t>(r.size());
}

// Each stage's fitted Q-value at the treatment received and its residual, over the subjects of
// that stage's fit in data order, with their observation numbers: the stage-1 residual is that of
// the pseudo-outcome (the best stage-2 value in the stage-2 sample, the outcome elsewhere).
void Study::fitted_results(std::vector<NamedResult>& out) const {
  const StageFit fits[] = {stage_fit(1), stage_fit(2)};
  const auto n1 = static_cast<std::size_t>(n1_);
  std::vector<double> fitted[2], residuals[2], rows2;
  std::vector<double> q1(static_cast<std::size_t>(fits[0].k));
  std::vector<double> q2(static_cast<std::size_t>(fits[1].k));
  std::vector<double> main(static_cast<std::size_t>(std::max(p10_, p20_)));
  std::vector<double> tailor(static_cast<std::size_t>(std::max(p11_, p21_)));
  auto q_of = [&](const StageFit& fit, const Block<double>& h0, const Block<double>& h1,
                  std::size_t i, std::vector<double>& q) {
    for (int32_t m = 0; m < fit.p_main; ++m) main[std::size_t(m)] = h0[i + m * n1];
    for (int32_t j = 0; j < fit.p_tailor; ++j) tailor[std::size_t(j)] = h1[i + j * n1];
    q_values(fit, main.data(), tailor.data(), q.data());
  };
  for (std::size_t i = 0; i < n1; ++i) {
    double pseudo = Y1_[i];
    if (respStatus_[i] == 0) {
      q_of(fits[1], inputH20_, inputH21_, i, q2);
      const double at_received = q2[static_cast<std::size_t>(inputA2_[i] - 1)];
      fitted[1].push_back(at_received);
      residuals[1].push_back(inputY2_[i] - at_received);
      rows2.push_back(retained_rows_[i]);
      pseudo = q2[static_cast<std::size_t>(recommended_level(fits[1], q2.data()))];
    }
    q_of(fits[0], H10_, H11_, i, q1);
    const double at_received = q1[static_cast<std::size_t>(A1_[i] - 1)];
    fitted[0].push_back(at_received);
    residuals[0].push_back(pseudo - at_received);
  }
  out.push_back(reals("fitted1", fitted[0]));
  out.push_back(reals("residuals1", residuals[0]));
  out.push_back({"rows1", "integers", retained_rows_, {}});
  out.push_back(reals("fitted2", fitted[1]));
  out.push_back(reals("residuals2", residuals[1]));
  out.push_back({"rows2", "integers", rows2, {}});
}

// A1 or A2 of the value table: a text treatment's own values (empty where missing), else numbers.
void Study::value_treatment_results(std::vector<NamedResult>& r, int stage, const char* name,
                                    const std::vector<double>& codes) const {
  std::string minus, plus;
  if (!treatment_texts(stage, &minus, &plus)) {
    r.push_back(reals(name, codes));
    return;
  }
  std::vector<std::string> values;
  values.reserve(codes.size());
  for (double code : codes) values.push_back(std::isnan(code) ? "" : code < 0 ? minus : plus);
  r.push_back(texts(name, values));
}

// The regime table's columns that hold a text treatment's codes, with the text of each code: a
// front end shows REC1 = "MED" where the layer computes 1.
void Study::out_text_results(std::vector<NamedResult>& r) const {
  std::vector<std::string> columns, values;
  std::vector<double> codes;
  for (int stage = 1; stage <= 2; ++stage) {
    std::string minus, plus;
    if (!treatment_texts(stage, &minus, &plus)) continue;
    const std::string column = "REC" + std::to_string(stage);
    columns.insert(columns.end(), {column, column});
    values.insert(values.end(), {minus, plus});
    codes.insert(codes.end(), {-1.0, 1.0});
  }
  if (columns.empty()) return;
  r.push_back(texts("out_texts.Column", columns));
  r.push_back({"out_texts.Code", "integers", codes, {}});
  r.push_back(texts("out_texts.Value", values));
}

const NamedResult* Study::result(int64_t index) const {
  if (index < 0 || index >= static_cast<int64_t>(snapshot_.size())) return nullptr;
  return &snapshot_[static_cast<std::size_t>(index)];
}

}  // namespace talven
