#include "frontend/text_column.h"

#include <algorithm>
#include <cstddef>

namespace talven {
namespace {

std::string_view trimmed(const char* text) {
  if (text == nullptr) return {};
  std::string_view v = text;
  while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
  return v;
}

bool before(std::string_view a, std::string_view b) {
  return compare_texts(a, b) < 0;
}

}  // namespace

int compare_texts(std::string_view a, std::string_view b) {
  const std::size_t n = std::max(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(i < a.size() ? a[i] : ' ');
    const auto cb = static_cast<unsigned char>(i < b.size() ? b[i] : ' ');
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return 0;
}

TextColumn read_text_column(int64_t n, const char* const* values, int32_t level_count,
                            const char* const* levels) {
  TextColumn column;
  std::vector<std::string_view> texts;
  texts.reserve(static_cast<std::size_t>(std::max<int64_t>(n, 0)));
  for (int64_t i = 0; i < n; ++i) texts.push_back(trimmed(values[i]));
  std::vector<std::string_view> distinct;
  for (std::string_view t : texts) {
    if (!t.empty()) distinct.push_back(t);
  }
  std::sort(distinct.begin(), distinct.end(), before);
  distinct.erase(
      std::unique(distinct.begin(), distinct.end(),
                  [](std::string_view a, std::string_view b) { return compare_texts(a, b) == 0; }),
      distinct.end());
  column.values.assign(distinct.begin(), distinct.end());
  column.index.reserve(texts.size());
  for (std::string_view t : texts) {
    if (t.empty()) {
      column.index.push_back(-1);
      continue;
    }
    const auto at = std::lower_bound(distinct.begin(), distinct.end(), t, before);
    column.index.push_back(static_cast<int32_t>(at - distinct.begin()));
  }
  for (int32_t k = 0; k < level_count && levels != nullptr; ++k) {
    const std::string_view level = trimmed(levels[k]);
    if (!level.empty()) column.levels.emplace_back(level);
  }
  return column;
}

std::string quoted_list(const std::vector<std::string>& values, std::size_t shown) {
  std::string text;
  for (std::size_t k = 0; k < values.size() && k < shown; ++k) {
    if (k > 0) text += ", ";
    text += "'" + values[k] + "'";
  }
  if (values.size() > shown) text += " and " + std::to_string(values.size() - shown) + " more";
  return text;
}

std::string level_order_note(const std::string& variable, const TextColumn& column) {
  if (column.values.size() != 2 || column.levels.empty()) return {};
  auto place = [&](const std::string& value) {
    const auto at =
        std::find_if(column.levels.begin(), column.levels.end(),
                     [&](const std::string& l) { return compare_texts(l, value) == 0; });
    return at - column.levels.begin();
  };
  if (place(column.values[0]) < place(column.values[1])) return {};
  return variable + ": the categories are ordered " + quoted_list(column.levels, 10) +
         " in the data, but text treatments are coded in byte order of their values: '" +
         column.values[0] + "' is coded -1 and '" + column.values[1] + "' 1.";
}

}  // namespace talven
