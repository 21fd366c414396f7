// Text variables of the study: kept as handed over, then coded when the model says which of them
// are treatments.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "frontend/study.h"
#include "frontend/text_column.h"

namespace talven {

bool Study::set_text_column(int32_t column, int64_t n, const char* const* values,
                            int32_t level_count, const char* const* levels) {
  if (failed_) return false;
  if (phase_ != Phase::kNew && phase_ != Phase::kOptions) {
    return fail("The steps of the study were called out of order.");
  }
  if (column < 0 || static_cast<std::size_t>(column) >= columns_.size()) {
    return fail("Column %d is not a variable of the data.", column);
  }
  if (n < 0 || (n > 0 && values == nullptr) || level_count < 0) {
    return fail("The text values of variable %s are not given.",
                columns_[static_cast<std::size_t>(column)].c_str());
  }
  text_columns_[column] = read_text_column(n, values, level_count, levels);
  return true;
}

const char* Study::role_at(int64_t position) const {
  const Layout& l = layout_;
  if (position < l.tailor1) return "MAIN1";
  if (position < l.trt1) return "TAILOR1";
  if (position < l.stage1_end) return "STG1TRT";
  if (position == l.sample) return "STG2SAMPLE";
  if (position < l.tailor2) return "MAIN2";
  if (position < l.trt2) return "TAILOR2";
  if (position < l.stage2_end) return "STG2TRT";
  return "RESPONSE";
}

// A text variable may be a treatment of a stage with two treatments, holding two values;
// anywhere else the analysis needs numbers.
bool Study::code_text_columns() {
  coded_.clear();
  coding_variable_.clear();
  coding_value_.clear();
  coding_code_.clear();
  for (const auto& [column, text] : text_columns_) {
    if (!code_text_column(column, text)) return false;
  }
  return true;
}

bool Study::treatment_texts(int stage, std::string* minus, std::string* plus) const {
  const bool first = stage == 1;
  const List& treatment = list(first ? TALVEN_ROLE_STG1TRT : TALVEN_ROLE_STG2TRT);
  if ((first ? options_.K1 : options_.K2) != 2 || treatment.columns.size() != 1) return false;
  const int32_t column = treatment.columns[0];
  const auto text = text_columns_.find(column);
  if (text != text_columns_.end() && coded_.count(column) != 0) {
    *minus = text->second.values[0];
    *plus = text->second.values[1];
    return true;
  }
  return false;
}

// The list a text variable is read in: a treatment list of a stage with two treatments when it
// is one (*treatment), otherwise the first other list; null when it is in none.
const char* Study::text_column_role(int32_t column, bool* treatment) const {
  const char* refused = nullptr;
  *treatment = false;
  for (std::size_t pos = 0; pos < reading_.size(); ++pos) {
    if (reading_[pos] != column) continue;
    const auto p = static_cast<int64_t>(pos);
    const bool trt1 = p >= layout_.trt1 && p < layout_.stage1_end && options_.K1 == 2;
    const bool trt2 = p >= layout_.trt2 && p < layout_.stage2_end && options_.K2 == 2;
    if (trt1 || trt2) {
      *treatment = true;
      return trt1 ? "STG1TRT" : "STG2TRT";
    }
    if (refused == nullptr) refused = role_at(p);
  }
  // Read only as a factor of a product term.
  if (refused == nullptr &&
      std::find(delivery_.begin(), delivery_.end(), column) != delivery_.end()) {
    refused = "product";
  }
  return refused;
}

bool Study::refuse_text_column(const std::string& name, const char* role, bool treatment,
                               const TextColumn& text) {
  const std::string list = role;
  if (list == "product") {
    say(TALVEN_MESSAGE_ERROR,
        "Variable %s in a product term is character; only numeric variables can be used there.",
        name.c_str());
  } else {
    say(TALVEN_MESSAGE_ERROR,
        "Variable %s in the %s list is character; only numeric variables can be used there.",
        name.c_str(), role);
  }
  if (treatment || list == "STG1TRT" || list == "STG2TRT") {
    const std::string values =
        text.values.empty() ? "holds no value" : "holds the values " + quoted_list(text.values, 10);
    say(TALVEN_MESSAGE_PLAIN,
        "%s %s; a character variable is accepted in %s only when it holds two values and %s=2.",
        name.c_str(), values.c_str(), role, list == "STG1TRT" ? "NTREATS1" : "NTREATS2");
  }
  failed_ = true;
  return false;
}

void Study::record_coding(int32_t column, const char* role, const TextColumn& text) {
  const std::string& name = columns_[static_cast<std::size_t>(column)];
  std::vector<double>& codes = coded_[column];
  codes.reserve(text.index.size());
  for (int32_t k : text.index) codes.push_back(k < 0 ? NAN : (k == 0 ? -1.0 : 1.0));
  say(TALVEN_MESSAGE_NOTE, "%s %s: '%s' is coded -1 and '%s' 1.", role, name.c_str(),
      text.values[0].c_str(), text.values[1].c_str());
  const std::string order = level_order_note(name, text);
  if (!order.empty()) say_text(TALVEN_MESSAGE_NOTE, order);
  for (std::size_t k = 0; k < 2; ++k) {
    coding_variable_.push_back(name);
    coding_value_.push_back(text.values[k]);
    coding_code_.push_back(k == 0 ? -1.0 : 1.0);
  }
}

bool Study::code_text_column(int32_t column, const TextColumn& text) {
  bool treatment = false;
  const char* role = text_column_role(column, &treatment);
  if (role == nullptr) return true;  // in no list: never read
  if (!treatment || text.values.size() != 2) {
    return refuse_text_column(columns_[static_cast<std::size_t>(column)], role, treatment, text);
  }
  record_coding(column, role, text);
  return true;
}

}  // namespace talven
