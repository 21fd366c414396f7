// Products of variables as terms of the covariate lists. A product is a column of its own, named
// as written ("severity*trt1"), so that every label, table and message shows it like any variable;
// its value is computed from the data columns of its factors as they arrive.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frontend/study.h"

namespace talven {
namespace {

std::string trimmed(const std::string& text) {
  const char* blanks = " \t\r\n";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace

int32_t Study::add_product(int32_t count, const int32_t* factors) {
  if (failed_) return -1;
  if (phase_ != Phase::kNew) {
    fail("The steps of the study were called out of order.");
    return -1;
  }
  if (count < 2 || factors == nullptr) {
    fail("A product needs at least two factors.");
    return -1;
  }
  std::vector<int32_t> product(factors, factors + count);
  std::string name;
  for (int32_t f : product) {
    if (f < 0 || static_cast<std::size_t>(f) >= data_columns()) {
      fail("Column %d of a product is not a variable of the data.", f);
      return -1;
    }
    name += (name.empty() ? "" : "*") + columns_[static_cast<std::size_t>(f)];
  }
  const std::size_t first = data_columns();
  for (std::size_t p = 0; p < products_.size(); ++p) {
    if (products_[p] == product) return static_cast<int32_t>(first + p);
  }
  products_.push_back(std::move(product));
  columns_.push_back(std::move(name));
  return static_cast<int32_t>(columns_.size() - 1);
}

int32_t Study::add_term(const char* text) {
  if (failed_) return -1;
  const std::string term = text == nullptr ? "" : text;
  std::vector<int32_t> factors;
  std::size_t begin = 0;
  while (true) {
    const std::size_t end = term.find('*', begin);
    const std::string name = trimmed(term.substr(begin, end - begin));
    if (name.empty()) {
      fail("The term \"%s\" is not a variable or a product of variables (x*y).", term.c_str());
      return -1;
    }
    std::size_t c = 0;
    while (c < data_columns() && !same_name(columns_[c], name)) ++c;
    if (c == data_columns()) {
      fail("Variable %s of the term %s is not in data set %s.", name.c_str(), term.c_str(),
           data_name_.c_str());
      return -1;
    }
    factors.push_back(static_cast<int32_t>(c));
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  if (factors.size() == 1) return factors[0];
  return add_product(static_cast<int32_t>(factors.size()), factors.data());
}

const std::vector<int32_t>* Study::factors_of(int32_t column) const {
  const auto c = static_cast<std::size_t>(column);
  if (c < data_columns()) return nullptr;
  return &products_[c - data_columns()];
}

// The same factors in another order are the same term: the model cannot hold both.
bool Study::same_term(int32_t a, int32_t b) const {
  if (a == b) return true;
  const std::vector<int32_t>* fa = factors_of(a);
  const std::vector<int32_t>* fb = factors_of(b);
  if (fa == nullptr || fb == nullptr || fa->size() != fb->size()) return false;
  std::vector<int32_t> sa = *fa, sb = *fb;
  std::sort(sa.begin(), sa.end());
  std::sort(sb.begin(), sb.end());
  return sa == sb;
}

// A term uses a variable when it is the variable or one of its factors.
bool Study::term_holds(int32_t term, int32_t variable) const {
  if (term == variable) return true;
  const std::vector<int32_t>* factors = factors_of(term);
  return factors != nullptr &&
         std::find(factors->begin(), factors->end(), variable) != factors->end();
}

// Left to right, as written; a missing factor (NaN, or a column not given) makes it missing.
double Study::term_value(const double* const* columns, int32_t column, int64_t i) const {
  const std::vector<int32_t>* factors = factors_of(column);
  if (factors == nullptr) {
    const double* values = columns[column];
    return values != nullptr ? values[i] : NAN;
  }
  double value = 1.0;
  bool first = true;
  for (int32_t f : *factors) {
    const double* values = columns[f];
    if (values == nullptr) return NAN;
    value = first ? values[i] : value * values[i];
    first = false;
  }
  return value;
}

void Study::lay_out_delivery() {
  delivery_.clear();
  for (int32_t column : reading_) {
    if (factors_of(column) == nullptr) delivery_.push_back(column);
  }
  for (int32_t column : reading_) {
    const std::vector<int32_t>* factors = factors_of(column);
    if (factors != nullptr) delivery_.insert(delivery_.end(), factors->begin(), factors->end());
  }
  expanded_.assign(reading_.size(), 0.0);
}

// The model's values of one observation from the values a front end delivered.
const double* Study::expand_delivered(const double* delivered) {
  if (products_.empty()) return delivered;
  std::size_t plain = 0;
  std::size_t extra = 0;
  for (int32_t column : reading_) {
    if (factors_of(column) == nullptr) ++extra;
  }
  for (std::size_t pos = 0; pos < reading_.size(); ++pos) {
    const std::vector<int32_t>* factors = factors_of(reading_[pos]);
    if (factors == nullptr) {
      expanded_[pos] = delivered[plain++];
      continue;
    }
    double value = delivered[extra++];
    for (std::size_t k = 1; k < factors->size(); ++k) value = value * delivered[extra++];
    expanded_[pos] = value;
  }
  return expanded_.data();
}

// A product is a covariate term; the variables with a role of their own are single variables.
bool Study::check_product_roles() {
  const std::pair<int32_t, const char*> roles[] = {{TALVEN_ROLE_RESPONSE, "RESPONSE"},
                                                   {TALVEN_ROLE_STG1TRT, "STG1TRT"},
                                                   {TALVEN_ROLE_STG2TRT, "STG2TRT"},
                                                   {TALVEN_ROLE_STG2SAMPLE, "STG2SAMPLE"}};
  for (const auto& [role, name] : roles) {
    for (int32_t column : list(role).columns) {
      if (factors_of(column) != nullptr) {
        return fail(
            "%s names the product %s; products are terms of MAIN1, TAILOR1, MAIN2 and "
            "TAILOR2 only.",
            name, columns_[static_cast<std::size_t>(column)].c_str());
      }
    }
  }
  return true;
}

// The stage-2 regression stands in for the stage-1 outcome: without the stage-1 treatment its
// pseudo-outcome is biased wherever stage-2 effects differ by stage-1 treatment.
void Study::note_missing_history() {
  const std::vector<int32_t>& treatments = list(TALVEN_ROLE_STG1TRT).columns;
  for (int32_t role : {TALVEN_ROLE_MAIN2, TALVEN_ROLE_TAILOR2}) {
    for (int32_t term : list(role).columns) {
      for (int32_t t : treatments) {
        if (term_holds(term, t)) return;
      }
    }
  }
  const std::vector<std::string> names = names_of(TALVEN_ROLE_STG1TRT);
  const std::string which =
      names.size() == 1
          ? "the stage-1 treatment " + names[0] + " or a product with it"
          : "a stage-1 treatment variable (" + join(names) + ") or a product with one";
  say(TALVEN_MESSAGE_NOTE,
      "Neither MAIN2 nor TAILOR2 holds %s; the stage-2 model usually carries the stage-1 history "
      "(see the user guide).",
      which.c_str());
}

}  // namespace talven
