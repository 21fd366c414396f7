// The step's results as data for the host's reports beside the listing (the HTML report): the
// OUTEST= rows, the counts, the decision rules and the options in force. The host gets what the
// listing shows, never a text it would have to parse back.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "procedure/host_services.h"
#include "procedure/kestrion_info.h"
#include "procedure/statement_items.h"

namespace talven {
namespace {

std::string formatted(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Each stage's rule as one text; a rule of several lines keeps its line breaks.
std::vector<std::string> rule_texts(const KESTRIONINFOSTR& info) {
  std::vector<std::string> texts;
  const int32_t rules[] = {TALVEN_TEXT_RULE1, TALVEN_TEXT_RULE2};
  for (int s = 0; s < 2; ++s) {
    std::string text = "Stage " + std::to_string(s + 1) + ": ";
    const std::vector<std::string> lines = study_texts(info, rules[s]);
    for (std::size_t l = 0; l < lines.size(); ++l) text += (l > 0 ? "\n" : "") + lines[l];
    texts.push_back(text);
  }
  return texts;
}

std::vector<std::string> regime_value_texts(const KESTRIONINFOSTR& info) {
  return {"Estimated value (mean of VALUE1): " +
              formatted("%.4f", talven_study_number(info.study, TALVEN_NUMBER_REGIME_VALUE)),
          "Mean observed outcome: " +
              formatted("%.4f", talven_study_number(info.study, TALVEN_NUMBER_MEAN_OUTCOME)),
          "Observations in stage 1: " + std::to_string(info.n1)};
}

}  // namespace

// A text column of the study's named results.
std::vector<std::string> named_texts(TalvenStudy* study, const char* name) {
  std::vector<std::string> out;
  const int64_t count = talven_study_result_count(study);
  for (int64_t r = 0; r < count; ++r) {
    if (std::strcmp(talven_study_result_name(study, r), name) != 0) continue;
    const int64_t length = talven_study_result_length(study, r);
    for (int64_t k = 0; k < length; ++k) out.emplace_back(talven_study_result_text(study, r, k));
  }
  return out;
}

namespace {

// The data sets by the host's names, then the options in force as the study layer reads them.
std::vector<std::pair<std::string, std::string>> settings(const KESTRIONINFOSTR& info) {
  const TalvenRoutines& h = host();
  std::vector<std::pair<std::string, std::string>> out;
  out.emplace_back("DATA=", h.dataSetName(info.dataSet));
  if (info.hasContrast) out.emplace_back("CONTRAST1=", h.dataSetName(info.contrastSet));
  const std::vector<std::string> names = named_texts(info.study, "settings.Option");
  const std::vector<std::string> values = named_texts(info.study, "settings.Value");
  for (std::size_t k = 0; k < names.size() && k < values.size(); ++k) {
    out.emplace_back(names[k], values[k]);
  }
  return out;
}

}  // namespace

// A numeric column of the study's named results.
std::vector<double> named_reals(TalvenStudy* study, const char* name) {
  std::vector<double> out;
  const int64_t count = talven_study_result_count(study);
  for (int64_t r = 0; r < count; ++r) {
    if (std::strcmp(talven_study_result_name(study, r), name) != 0) continue;
    out.assign(static_cast<std::size_t>(talven_study_result_length(study, r)), 0.0);
    require(talven_study_result_reals(study, r, out.data()));
  }
  return out;
}

namespace {

// The value table's rows, as texts and numbers that outlive the hand-over.
struct ValueRows {
  std::vector<std::string> kind, regime;
  std::vector<double> estimate, lower, upper, followers, kept;
  std::vector<TalvenResultValue> rows;
};

void read_value_rows(const KESTRIONINFOSTR& info, ValueRows& v) {
  if (!info.value) return;
  v.kind = named_texts(info.study, "value.Kind");
  v.regime = named_texts(info.study, "value.Regime");
  v.estimate = named_reals(info.study, "value.Estimate");
  v.lower = named_reals(info.study, "value.Lower");
  v.upper = named_reals(info.study, "value.Upper");
  v.followers = named_reals(info.study, "value.N");
  v.kept = named_reals(info.study, "value.Kept");
  for (std::size_t k = 0; k < v.kind.size(); ++k) {
    v.rows.push_back({v.kind[k].c_str(), v.regime[k].c_str(), v.estimate[k], v.lower[k], v.upper[k],
                      v.followers[k], v.kept[k]});
  }
}

std::vector<const char*> pointers(const std::vector<std::string>& texts) {
  std::vector<const char*> out;
  out.reserve(texts.size());
  for (const std::string& t : texts) out.push_back(t.c_str());
  return out;
}

// The model as the fit uses it: each role's variables in the order written.
struct RoleNames {
  int32_t stage;
  const char* role;
  std::vector<std::string> names;
  std::vector<const char*> pointers;
};

// A list entry as written: a variable's name, or a product's factors joined by '*' (the host
// numbers a product 0 and gives its factors apart).
std::string entry_name(const std::vector<std::string>& columns, int32_t item, int32_t i) {
  const TalvenRoutines& h = host();
  std::vector<int32_t> numbers{h.itemVarNumber(item, i)};
  if (numbers[0] == 0 && h.itemVarFactor != nullptr) {
    numbers.clear();
    for (int32_t f = 0; h.itemVarFactor(item, i, f) != 0; ++f) {
      numbers.push_back(h.itemVarFactor(item, i, f));
    }
  }
  std::string name;
  for (const int32_t number : numbers) {
    const auto column = static_cast<std::size_t>(number - 1);
    if (column >= columns.size()) return {};
    if (!name.empty()) name.push_back('*');
    name.append(columns[column]);
  }
  return name;
}

std::vector<RoleNames> role_names(const KESTRIONINFOSTR& info) {
  const TalvenRoutines& h = host();
  const std::vector<std::string> columns = study_texts(info, TALVEN_TEXT_COLUMN);
  const struct {
    int32_t item;
    int32_t stage;
    const char* role;
  } roles[] = {{kMain1, 1, "MAIN1"},           {kTailor1, 1, "TAILOR1"},  {kStg1Trt, 1, "STG1TRT"},
               {kMain2, 2, "MAIN2"},           {kTailor2, 2, "TAILOR2"},  {kStg2Trt, 2, "STG2TRT"},
               {kStg2Sample, 2, "STG2SAMPLE"}, {kResponse, 0, "RESPONSE"}};
  std::vector<RoleNames> out;
  for (const auto& r : roles) {
    if (h.itemGiven(r.item) == 0) continue;
    RoleNames role{r.stage, r.role, {}, {}};
    for (int32_t i = 0; i < h.itemVarCount(r.item); ++i) {
      const std::string name = entry_name(columns, r.item, i);
      if (!name.empty()) role.names.push_back(name);
    }
    out.push_back(std::move(role));
  }
  for (RoleNames& role : out) role.pointers = pointers(role.names);
  return out;
}

// A stage's treatment levels with their observations, in ascending order of their values.
struct Level {
  int32_t stage;
  std::vector<double> values;
  int64_t count;
};

std::vector<Level> levels(const KESTRIONINFOSTR& info) {
  std::vector<Level> out;
  const struct {
    int32_t stage;
    int32_t k;
    int32_t table;
    int32_t arms;
  } stages[] = {{1, info.K1, TALVEN_VALUES_LEVELS1, TALVEN_VALUES_ARMS1},
                {2, info.K2, TALVEN_VALUES_LEVELS2, TALVEN_VALUES_ARMS2}};
  for (const auto& s : stages) {
    const auto k = static_cast<std::size_t>(s.k);
    std::vector<double> table((k - 1) * k);
    std::vector<double> arms(k);
    if (talven_study_values(info.study, s.table, table.data()) != 0 ||
        talven_study_values(info.study, s.arms, arms.data()) != 0) {
      continue;
    }
    std::vector<Level> stage;
    for (std::size_t level = 0; level < k; ++level) {
      stage.push_back(
          {s.stage,
           std::vector<double>(table.begin() + static_cast<std::ptrdiff_t>(level * (k - 1)),
                               table.begin() + static_cast<std::ptrdiff_t>((level + 1) * (k - 1))),
           static_cast<int64_t>(arms[level])});
    }
    std::sort(stage.begin(), stage.end(),
              [](const Level& a, const Level& b) { return a.values < b.values; });
    out.insert(out.end(), stage.begin(), stage.end());
  }
  return out;
}

// "Contrast1 = a1 + 0.5 o11:a1": the CONTRAST1= row over the stage-1 terms it weights.
std::string combination(const std::string& name, const std::vector<std::string>& terms,
                        const double* weights, int64_t stride) {
  std::string text;
  for (std::size_t t = 0; t < terms.size(); ++t) {
    const double w = weights[static_cast<int64_t>(t) * stride];
    if (w == 0.0) continue;
    const double size = std::fabs(w);
    if (text.empty()) {
      text += w < 0 ? "-" : "";
    } else {
      text += w < 0 ? " - " : " + ";
    }
    if (std::isnan(w)) {
      text += ". ";
    } else if (size != 1.0) {
      text += formatted("%.10g", size) + " ";
    }
    text += terms[t];
  }
  return name + " = " + (text.empty() ? "0" : text);
}

std::vector<std::string> contrast_texts(const KESTRIONINFOSTR& info) {
  std::vector<std::string> out;
  if (info.contrastMatrix == nullptr || info.nContrasts <= 0) return out;
  const std::vector<std::string> terms = study_texts(info, TALVEN_TEXT_TABLE_TERM);
  const auto p1 = static_cast<std::size_t>(talven_study_count(info.study, TALVEN_COUNT_P1));
  const auto columns = std::min<std::size_t>(p1, static_cast<std::size_t>(info.nContrastCols));
  if (terms.size() < p1 + static_cast<std::size_t>(info.nContrasts)) return out;
  const std::vector<std::string> stage1(terms.begin(),
                                        terms.begin() + static_cast<std::ptrdiff_t>(columns));
  for (int32_t c = 0; c < info.nContrasts; ++c) {
    out.push_back(combination(terms[p1 + static_cast<std::size_t>(c)], stage1,
                              info.contrastMatrix + c, info.nContrasts));
  }
  return out;
}

// What the report shows of the model and the data, kept alive while the host copies it.
class ModelRecords {
 public:
  explicit ModelRecords(const KESTRIONINFOSTR& info)
      : roles_(role_names(info)),
        levels_(levels(info)),
        combinations_(contrast_texts(info)),
        combination_pointers_(pointers(combinations_)),
        reasons_(study_texts(info, TALVEN_TEXT_LEFT_OUT)) {
    for (const RoleNames& r : roles_) {
      role_records_.push_back(
          {r.stage, r.role, r.pointers.data(), static_cast<int32_t>(r.pointers.size())});
    }
    for (const Level& l : levels_) level_records_.push_back({l.stage, l.values.data(), l.count});
    name_text_levels(info);
    std::vector<double> counts(reasons_.size());
    if (talven_study_values(info.study, TALVEN_VALUES_LEFT_OUT, counts.data()) == 0) {
      for (std::size_t k = 0; k < reasons_.size(); ++k) {
        left_out_.push_back({reasons_[k].c_str(), static_cast<int64_t>(counts[k])});
      }
    }
  }

  void fill(TalvenStepResults& results) const {
    results.roles = role_records_.data();
    results.roleCount = static_cast<int32_t>(role_records_.size());
    results.minimize = host().flagSet(option_row("MINIMIZE").item) != 0 ? 1 : 0;
    results.levels = level_records_.data();
    results.levelCount = static_cast<int32_t>(level_records_.size());
    results.contrasts = combination_pointers_.data();
    results.contrastCount = static_cast<int32_t>(combination_pointers_.size());
    results.leftOut = left_out_.data();
    results.leftOutCount = static_cast<int32_t>(left_out_.size());
    results.levelTexts = level_text_pointers_.data();
  }

 private:
  // A text treatment's levels by their texts: the layer says which text each REC code stands for.
  void name_text_levels(const KESTRIONINFOSTR& info) {
    const std::vector<std::string> columns = named_texts(info.study, "out_texts.Column");
    const std::vector<double> codes = named_reals(info.study, "out_texts.Code");
    const std::vector<std::string> values = named_texts(info.study, "out_texts.Value");
    level_texts_.assign(levels_.size(), {});
    level_text_pointers_.assign(levels_.size(), nullptr);
    for (std::size_t l = 0; l < levels_.size(); ++l) {
      const std::string column = std::string("REC").append(std::to_string(levels_[l].stage));
      for (std::size_t k = 0; k < columns.size() && k < codes.size() && k < values.size(); ++k) {
        if (columns[k] == column && !levels_[l].values.empty() &&
            codes[k] == levels_[l].values[0]) {
          level_texts_[l] = values[k];
          level_text_pointers_[l] = level_texts_[l].c_str();
        }
      }
    }
  }


  std::vector<RoleNames> roles_;
  std::vector<TalvenResultRole> role_records_;
  std::vector<Level> levels_;
  std::vector<TalvenResultLevel> level_records_;
  std::vector<std::string> level_texts_;
  std::vector<const char*> level_text_pointers_;
  std::vector<std::string> combinations_;
  std::vector<const char*> combination_pointers_;
  std::vector<std::string> reasons_;
  std::vector<TalvenResultLeftOut> left_out_;
};

}  // namespace

void handStepResults(const KESTRIONINFOSTR& info) {
  const auto take = host().stepResults;
  if (take == nullptr) return;
  // The OUTEST= rows: stage-1 coefficients, then the contrasts, then stage 2.
  TalvenStudy* study = info.study;
  const int64_t rows = talven_study_count(study, TALVEN_COUNT_TABLE_ROWS);
  const int64_t p1 = talven_study_count(study, TALVEN_COUNT_P1);
  const int64_t contrasts = talven_study_count(study, TALVEN_COUNT_CONTRASTS);
  const auto n = static_cast<std::size_t>(rows);
  std::vector<double> stage(n), estimate(n), lower(n), upper(n);
  require(talven_study_values(study, TALVEN_VALUES_TABLE_STAGE, stage.data()));
  require(talven_study_values(study, TALVEN_VALUES_TABLE_ESTIMATE, estimate.data()));
  require(talven_study_values(study, TALVEN_VALUES_TABLE_LOWER, lower.data()));
  require(talven_study_values(study, TALVEN_VALUES_TABLE_UPPER, upper.data()));
  const std::vector<std::string> term_names = study_texts(info, TALVEN_TEXT_TABLE_TERM);
  std::vector<TalvenResultTerm> terms;
  for (std::size_t r = 0; r < n; ++r) {
    const auto row = static_cast<int64_t>(r);
    const int32_t contrast = row >= p1 && row < p1 + contrasts ? 1 : 0;
    terms.push_back({static_cast<int32_t>(stage[r]), term_names[r].c_str(), estimate[r], lower[r],
                     upper[r], contrast});
  }
  std::vector<std::string> rules;
  std::vector<std::string> values;
  if (info.rules) {
    rules = rule_texts(info);
    values = regime_value_texts(info);
  }
  const std::vector<const char*> rule_pointers = pointers(rules);
  const std::vector<const char*> value_pointers = pointers(values);
  const std::vector<std::pair<std::string, std::string>> in_force = settings(info);
  std::vector<TalvenResultSetting> setting_pointers;
  setting_pointers.reserve(in_force.size());
  for (const auto& [name, value] : in_force) {
    setting_pointers.push_back({name.c_str(), value.c_str()});
  }

  TalvenStepResults results{};
  results.size = sizeof results;
  results.observations = info.nObs;
  results.stage1 = info.n1;
  results.stage2 = info.n2;
  results.collinear = info.nCollinear;
  results.intervals = info.deriveCI != 0 ? 1 : 0;
  results.alpha = talven_study_number(study, TALVEN_NUMBER_ALPHA);
  results.terms = terms.data();
  results.termCount = static_cast<int32_t>(terms.size());
  results.rules = rule_pointers.data();
  results.ruleCount = static_cast<int32_t>(rule_pointers.size());
  results.regimeValues = value_pointers.data();
  results.regimeValueCount = static_cast<int32_t>(value_pointers.size());
  results.settings = setting_pointers.data();
  results.settingCount = static_cast<int32_t>(setting_pointers.size());

  ModelRecords model(info);
  model.fill(results);
  ValueRows value_rows;
  read_value_rows(info, value_rows);
  results.values = value_rows.rows.data();
  results.valueCount = static_cast<int32_t>(value_rows.rows.size());
  take(&results);
}

}  // namespace talven
