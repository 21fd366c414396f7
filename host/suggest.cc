#include "host/suggest.h"

#include <algorithm>

#include "host/text_util.h"

namespace host {

size_t edit_distance(std::string_view a, std::string_view b) {
  const size_t n = a.size();
  const size_t m = b.size();
  // Three rows suffice: a swap looks two rows back.
  std::vector<size_t> before(m + 1), previous(m + 1), current(m + 1);
  for (size_t j = 0; j <= m; ++j) previous[j] = j;
  for (size_t i = 1; i <= n; ++i) {
    current[0] = i;
    for (size_t j = 1; j <= m; ++j) {
      const bool same = ascii_upper(a[i - 1]) == ascii_upper(b[j - 1]);
      current[j] =
          std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && ascii_upper(a[i - 1]) == ascii_upper(b[j - 2]) &&
          ascii_upper(a[i - 2]) == ascii_upper(b[j - 1])) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[m];
}

std::vector<std::string> nearest_names(std::string_view typed,
                                       const std::vector<std::string>& known) {
  const size_t limit = typed.size() <= 3 ? 1 : typed.size() <= 6 ? 2 : 3;
  size_t best = limit + 1;
  std::vector<std::string> out;
  for (const std::string& name : known) {
    const size_t d = edit_distance(typed, name);
    // A name no longer than the edits would be a guess, not a correction.
    if (d == 0 || d > limit || d >= name.size() || d > best) continue;
    if (d < best) {
      best = d;
      out.clear();
    }
    if (out.size() < 3 && std::find(out.begin(), out.end(), name) == out.end()) {
      out.push_back(name);
    }
  }
  return out;
}

std::string join_names(const std::vector<std::string>& names) {
  std::string out;
  for (size_t k = 0; k < names.size(); ++k) {
    if (k > 0) out += k + 1 == names.size() ? " and " : ", ";
    out += names[k];
  }
  return out;
}

std::string did_you_mean(std::string_view typed, const std::vector<std::string>& known) {
  const std::vector<std::string> near = nearest_names(typed, known);
  if (near.empty()) return {};
  std::string out = " Did you mean ";
  for (size_t k = 0; k < near.size(); ++k) {
    if (k > 0) out += k + 1 == near.size() ? " or " : ", ";
    out += near[k];
  }
  return out + "?";
}

}  // namespace host
