#include "engine/rank_cause.h"

#include <cstddef>

#include "kestrion.h"

namespace kestrion {

namespace {

// "5", or "3-7" for a run of three or more consecutive columns.
std::vector<std::string> column_tokens(const std::vector<int32_t>& columns) {
  std::vector<std::string> tokens;
  for (size_t k = 0; k < columns.size();) {
    size_t end = k;
    while (end + 1 < columns.size() && columns[end + 1] == columns[end] + 1) ++end;
    if (end - k >= 2) {
      tokens.push_back(std::to_string(columns[k]) + "-" + std::to_string(columns[end]));
      k = end + 1;
    } else {
      tokens.push_back(std::to_string(columns[k]));
      ++k;
    }
  }
  return tokens;
}

}  // namespace

std::vector<std::string> rank_cause_lines(std::string_view fit,
                                          const std::vector<int32_t>& columns) {
  constexpr size_t kWidth = kErrorLineLength;
  const std::string ellipsis = " ...";
  std::vector<std::string> lines;
  std::string line =
      std::string(KESTRION_RANK_CAUSE) + " " + std::string(fit) + "; dependent columns";
  if (line.size() > kWidth) line.resize(kWidth);
  std::vector<std::string> tokens = column_tokens(columns);
  // Not reached for a design that failed the rank test, which always has a dependent column.
  if (tokens.empty()) tokens.push_back("unknown");
  for (size_t k = 0; k < tokens.size(); ++k) {
    const bool last_line = lines.size() + 1 == kRankCauseLines;
    // The last line keeps room for the ellipsis unless this token ends the list.
    const size_t room = kWidth - (last_line && k + 1 < tokens.size() ? ellipsis.size() : 0);
    if (line.size() + 1 + tokens[k].size() > room) {
      if (last_line) {
        line += ellipsis;
        break;
      }
      lines.push_back(line);
      line = KESTRION_RANK_CAUSE_MORE;
    }
    line += " " + tokens[k];
  }
  lines.push_back(line);
  return lines;
}

void explain_rank_deficiency(ErrorRecord& record, std::string_view fit,
                             const std::vector<int32_t>& columns) {
  if (record.first_code != ErrorCode::kSingular) return;
  for (const std::string& line : rank_cause_lines(fit, columns)) append_error_line(line, record);
}

}  // namespace kestrion
