#include "frontend/rank_cause.h"

#include <cstddef>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string_view>

#include "kestrion.h"

namespace talven {
namespace {

constexpr std::string_view kColumns = "; dependent columns";

bool starts_with(const std::string& text, std::string_view head) {
  return text.compare(0, head.size(), head) == 0;
}

// A column number of 1..count, or nothing.
std::optional<std::size_t> column_number(const std::string& token, std::size_t count) {
  if (token.empty() || token.find_first_not_of("0123456789") != std::string::npos ||
      token.size() > 9) {
    return std::nullopt;
  }
  const auto k = static_cast<std::size_t>(std::strtoul(token.c_str(), nullptr, 10));
  if (k < 1 || k > count) return std::nullopt;
  return k;
}

// Adds the labels of the tokens ("5", "3-7", "..."); false on any token that is not one.
bool add_labels(const std::string& list, const std::vector<std::string>& labels,
                std::vector<std::string>& out) {
  std::istringstream tokens(list);
  for (std::string token; tokens >> token;) {
    if (token == "...") {
      out.emplace_back("...");
      continue;
    }
    const std::size_t dash = token.find('-');
    const auto first = column_number(token.substr(0, dash), labels.size());
    const auto last =
        dash == std::string::npos ? first : column_number(token.substr(dash + 1), labels.size());
    if (!first || !last || *last < *first) return false;
    for (std::size_t k = *first; k <= *last; ++k) out.push_back(labels[k - 1]);
  }
  return true;
}

}  // namespace

std::vector<std::string> name_rank_cause(const std::vector<std::string>& pieces,
                                         const StageNames& stage1, const StageNames& stage2) {
  const std::string head = std::string(KESTRION_RANK_CAUSE) + " ";
  const std::string more = std::string(KESTRION_RANK_CAUSE_MORE) + " ";
  std::vector<std::string> out;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const std::string& piece = pieces[i];
    const std::size_t columns = piece.find(kColumns);
    if (!starts_with(piece, head) || columns == std::string::npos) {
      out.push_back(piece);
      continue;
    }
    const std::string fit = piece.substr(head.size(), columns - head.size());
    const std::vector<std::string> labels =
        coefficient_labels(starts_with(fit, "stage-1") ? stage1 : stage2);
    std::vector<std::string> named;
    bool readable = add_labels(piece.substr(columns + kColumns.size()), labels, named);
    std::size_t end = i + 1;
    for (; end < pieces.size() && starts_with(pieces[end], more); ++end) {
      readable = readable && add_labels(pieces[end].substr(more.size()), labels, named);
    }
    if (readable && !named.empty()) {
      out.push_back(head + fit + std::string(kColumns) + " " + join(named));
    } else {
      out.insert(out.end(), pieces.begin() + static_cast<std::ptrdiff_t>(i),
                 pieces.begin() + static_cast<std::ptrdiff_t>(end));
    }
    i = end - 1;
  }
  return out;
}

}  // namespace talven
