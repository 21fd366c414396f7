#include "frontend/stage_model.h"

#include <algorithm>
#include <cctype>
#include <cstddef>

namespace talven {
namespace {

std::string folded(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    c = c == ':' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

}  // namespace

std::vector<std::string> coefficient_labels(const StageNames& names) {
  std::vector<std::string> labels = {"intercept"};
  labels.insert(labels.end(), names.main.begin(), names.main.end());
  labels.insert(labels.end(), names.tailor.begin(), names.tailor.end());
  for (const std::string& treatment : names.treatments) {
    for (const std::string& tailor : names.tailor) {
      labels.push_back(tailor);
      labels.back().append(":").append(treatment);
    }
  }
  labels.insert(labels.end(), names.treatments.begin(), names.treatments.end());
  return labels;
}

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string join(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += separator;
    out += items[i];
  }
  return out;
}

int first_misplaced_column(const std::vector<std::string>& columns,
                           const std::vector<std::string>& labels) {
  if (columns.size() != labels.size()) return -1;
  std::vector<std::string> wanted;
  wanted.reserve(labels.size());
  for (const std::string& label : labels) wanted.push_back(folded(label));
  std::vector<std::string> given;
  given.reserve(columns.size());
  for (const std::string& column : columns) given.push_back(folded(column));
  if (!std::is_permutation(given.begin(), given.end(), wanted.begin(), wanted.end())) return -1;
  for (std::size_t j = 0; j < given.size(); ++j) {
    if (given[j] != wanted[j]) return static_cast<int>(j);
  }
  return -1;
}

}  // namespace talven
