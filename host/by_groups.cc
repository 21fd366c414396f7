#include "host/by_groups.h"

#include <set>

#include "host/suggest.h"
#include "host/text_util.h"

namespace host {

namespace {

std::string shown_value(const Column& c, size_t row) {
  return c.type == VarType::kNumeric ? format_value(c.numbers[row])
                                     : std::string(trim_trailing_blanks(c.texts[row]));
}

int compare_rows(const Column& c, size_t a, size_t b) {
  return c.type == VarType::kNumeric ? compare_numbers(c.numbers[a], c.numbers[b])
                                     : compare_texts(c.texts[a], c.texts[b]);
}

}  // namespace

std::optional<ByStatement> parse_by(const Statement& statement, const ErrorSink& error) {
  ByStatement by;
  by.at = statement.tokens.front();
  bool ok = true;
  bool descending = false;
  for (size_t i = 1; i < statement.tokens.size(); ++i) {
    const Token& t = statement.tokens[i];
    if (t.is_name("DESCENDING")) {
      descending = true;
    } else if (t.is_name("NOTSORTED")) {
      by.notsorted = true;
    } else if (t.kind == TokenKind::kName) {
      by.variables.push_back({t, descending});
      descending = false;
    } else {
      error(where(t) + ": Syntax error in the BY statement: expected a variable name, found " +
            t.as_written() + ".");
      ok = false;
    }
  }
  if (ok && (by.variables.empty() || descending)) {
    error(where(descending ? statement.end : by.at) +
          ": Syntax error in the BY statement: expected a variable name, found ;.");
    ok = false;
  }
  if (!ok) return std::nullopt;
  return by;
}

namespace {

// The BY variables' columns; each one missing is an error.
std::optional<std::vector<const Column*>> by_columns(const DataTable& table, const ByStatement& by,
                                                     const std::string& data_set_name,
                                                     const ErrorSink& error) {
  std::vector<const Column*> columns;
  bool ok = true;
  for (const ByVariable& v : by.variables) {
    const Column* found = nullptr;
    for (const Column& c : table.columns) {
      if (iequals(c.name, v.name.text)) found = &c;
    }
    if (found == nullptr) {
      std::vector<std::string> names;
      for (const Column& c : table.columns) names.push_back(c.name);
      error(where(v.name) + ": Variable " + v.name.as_written() +
            " in the BY statement is not in " + data_set_name + "." +
            did_you_mean(v.name.text, names));
      ok = false;
    }
    columns.push_back(found);
  }
  if (!ok) return std::nullopt;
  return columns;
}

// A group from `row` on: its BY line and its keys.
void open_group(ByPlan* plan, const std::vector<const Column*>& columns, int64_t row) {
  const auto at = static_cast<size_t>(row);
  std::string label;
  for (const Column* c : columns) {
    if (!label.empty()) label += ' ';
    label += c->name + "=" + shown_value(*c, at);
  }
  plan->groups.push_back({row, 0, label});
  for (size_t k = 0; k < columns.size(); ++k) {
    const Column& c = *columns[k];
    if (c.type == VarType::kNumeric) {
      plan->keys[k].numbers.push_back(c.numbers[at]);
    } else {
      plan->keys[k].texts.push_back(c.texts[at]);
    }
  }
}

// Whether observation r starts a new group; none after reporting an order that the BY statement
// does not allow.
std::optional<bool> starts_group(const std::vector<const Column*>& columns, const ByStatement& by,
                                 const std::string& data_set_name, int64_t r,
                                 const ErrorSink& error) {
  const auto a = static_cast<size_t>(r - 1);
  const auto b = static_cast<size_t>(r);
  for (size_t k = 0; k < columns.size(); ++k) {
    const int c = compare_rows(*columns[k], a, b);
    if (c == 0) continue;
    const bool descending = by.variables[k].descending;
    if (!by.notsorted && (descending ? c < 0 : c > 0)) {
      const Column& col = *columns[k];
      error(where(by.at) + ": The data set " + data_set_name + " is not sorted in " +
            (descending ? "descending" : "ascending") + " order of " + col.name + ": observation " +
            std::to_string(r + 1) + " has " + col.name + "=" + shown_value(col, b) + " after " +
            col.name + "=" + shown_value(col, a) +
            ". Sort the data by the BY variables, or add NOTSORTED to the BY statement if "
            "the groups are contiguous.");
      return std::nullopt;
    }
    return true;
  }
  return false;
}

}  // namespace

std::optional<ByPlan> plan_by_groups(const DataTable& table, const ByStatement& by,
                                     const std::string& data_set_name, const ErrorSink& error) {
  const auto columns = by_columns(table, by, data_set_name, error);
  if (!columns) return std::nullopt;
  ByPlan plan;
  for (const Column* c : *columns) {
    Column key;
    key.name = c->name;
    key.type = c->type;
    plan.keys.push_back(std::move(key));
  }
  for (int64_t r = 0; r < table.rows; ++r) {
    if (r == 0) {
      open_group(&plan, *columns, r);
    } else {
      const std::optional<bool> starts = starts_group(*columns, by, data_set_name, r, error);
      if (!starts) return std::nullopt;
      if (*starts) open_group(&plan, *columns, r);
    }
    ++plan.groups.back().count;
  }
  return plan;
}

namespace {

// "site", "site and sex", "site, sex and visit".
std::string name_list(const std::vector<Column>& keys) {
  std::string out;
  for (size_t k = 0; k < keys.size(); ++k) {
    if (k > 0) out += k + 1 == keys.size() ? " and " : ", ";
    out += keys[k].name;
  }
  return out;
}

}  // namespace

std::string unsorted_groups_note(const ByPlan& plan, const ByStatement& by) {
  if (!by.notsorted) return "";
  size_t few = 0;
  std::set<std::string> values;
  for (const ByGroup& g : plan.groups) {
    if (g.count < kFewObservations) ++few;
    values.insert(g.label);
  }
  // Small groups with values of their own are simply small: the data are grouped as they are.
  if (2 * few <= plan.groups.size() || values.size() == plan.groups.size()) return "";
  const std::string names = name_list(plan.keys);
  const bool one = plan.keys.size() == 1;
  return std::to_string(few) + " of the " + std::to_string(plan.groups.size()) +
         " BY groups hold fewer than " + std::to_string(kFewObservations) + " observations, yet " +
         names + (one ? " takes only " : " take only ") + std::to_string(values.size()) +
         (one ? " values" : " combinations of values") + ": with NOTSORTED a group ends wherever " +
         (one ? "the value of " + names : "one of their values") +
         " changes, so the data are probably not sorted by " + names + ". Sort them by " + names +
         " to analyse one group per " + (one ? "value." : "combination.");
}

bool append_rows(DataTable* to, const DataTable& from) {
  if (to->columns.empty() && to->rows == 0) {
    *to = from;
    return true;
  }
  if (to->columns.size() != from.columns.size()) return false;
  for (size_t k = 0; k < from.columns.size(); ++k) {
    Column& a = to->columns[k];
    const Column& b = from.columns[k];
    if (!iequals(a.name, b.name) || a.type != b.type) return false;
    a.numbers.insert(a.numbers.end(), b.numbers.begin(), b.numbers.end());
    a.texts.insert(a.texts.end(), b.texts.begin(), b.texts.end());
  }
  to->rows += from.rows;
  return true;
}

}  // namespace host
