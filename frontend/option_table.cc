// Reading the options by the table: kinds, ranges and the checks that involve several options.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <vector>

#include "frontend/study.h"
#include "talven_options.h"

namespace talven {
namespace {

bool same_statement(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

bool out_of_range(const OptionRow& row, OptionCheck& check) {
  check.problem = formatted("The value of %s= is out of range.", row.statement);
  return false;
}

bool read_integer(const OptionRow& row, double whole, OptionCheck& check) {
  if (!(whole >= INT32_MIN && whole <= INT32_MAX)) return out_of_range(row, check);
  const auto number = static_cast<int32_t>(whole);
  if (row.integer != nullptr) check.options.*row.integer = number;
  return row.integer_problem == nullptr || option_problem(check, row.integer_problem(number));
}

bool read_real(const OptionRow& row, double real, OptionCheck& check) {
  if (!std::isfinite(real)) return out_of_range(row, check);
  if (row.real != nullptr) check.options.*row.real = real;
  return row.real_problem == nullptr || option_problem(check, row.real_problem(real));
}

bool read_seed(const OptionRow& row, bool given, double seed, OptionCheck& check) {
  if (given && !kestrion::seed_in_range(seed)) {
    return option_problem(check, kestrion::kSeedRangeMessage);
  }
  if (row.integer != nullptr) check.options.*row.integer = given ? static_cast<int32_t>(seed) : 0;
  return true;
}

}  // namespace

const OptionRow* find_option(OptionTable table, std::string_view statement) {
  for (const OptionRow& row : table) {
    if (same_statement(row.statement, statement)) return &row;
  }
  return nullptr;
}

StudyOptions default_options(OptionTable table) {
  StudyOptions o;
  for (const OptionRow& row : table) {
    if (row.integer != nullptr && row.kind != OptionKind::kSeed) {
      o.*row.integer = static_cast<int32_t>(row.fallback);
    }
    if (row.real != nullptr) o.*row.real = row.fallback;
  }
  return o;
}

OptionValues::OptionValues(OptionTable table)
    : table_(table), values_(table.size(), 0.0), given_(table.size(), 0) {}

bool OptionValues::set(std::string_view statement, double value) {
  const OptionRow* row = find_option(table_, statement);
  if (row == nullptr || row->kind == OptionKind::kRole || row->kind == OptionKind::kInputData) {
    return false;
  }
  const auto index = static_cast<std::size_t>(row - table_.data());
  values_[index] = value;
  given_[index] = 1;
  return true;
}

bool OptionValues::given(std::string_view statement) const {
  const OptionRow* row = find_option(table_, statement);
  return row != nullptr && given_[static_cast<std::size_t>(row - table_.data())] != 0;
}

bool OptionValues::read(OptionCheck& check) const {
  check.options = default_options(table_);
  std::vector<std::size_t> order;
  for (std::size_t k = 0; k < table_.size(); ++k) {
    if (table_[k].check_rank > 0) order.push_back(k);
  }
  std::stable_sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
    return table_[a].check_rank < table_[b].check_rank;
  });
  for (std::size_t k : order) {
    if (!read_row(table_[k], k, check)) return false;
  }
  return true;
}

// One value by its kind, then its own range, then the checks that look beyond it. A row without
// a field of StudyOptions is still read and checked.
bool OptionValues::read_row(const OptionRow& row, std::size_t index, OptionCheck& check) const {
  const bool given = given_[index] != 0;
  const double value = values_[index];
  bool usable = true;
  switch (row.kind) {
    case OptionKind::kInteger:
      usable = read_integer(row, given ? std::trunc(value) : row.fallback, check);
      break;
    case OptionKind::kReal:
      // An optional value without a default: absence means what `absent` says, unchecked.
      if (!given && row.absent != nullptr) {
        if (row.real != nullptr) check.options.*row.real = row.fallback;
        break;
      }
      usable = read_real(row, given ? value : row.fallback, check);
      break;
    case OptionKind::kSeed:
      usable = read_seed(row, given, std::trunc(value), check);
      break;
    default:
      if (row.flag != nullptr) check.options.*row.flag = given && value != 0;
      break;
  }
  return usable && (row.check == nullptr || row.check(check));
}

}  // namespace talven
