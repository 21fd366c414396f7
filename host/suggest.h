// "Did you mean" suggestions for misspelled keywords.
#ifndef TALVEN_HOST_SUGGEST_H
#define TALVEN_HOST_SUGGEST_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Damerau-Levenshtein distance (optimal string alignment: insertions, deletions, substitutions
// and swaps of two neighbours each cost 1), without regard to case.
size_t edit_distance(std::string_view a, std::string_view b);

// The known names nearest to `typed`, when one is near enough to be a likely misspelling: at most
// 1 edit for names of up to 3 characters, 2 up to 6, 3 beyond; the nearest ones in the order
// given, at most three. Empty when none is near.
std::vector<std::string> nearest_names(std::string_view typed,
                                       const std::vector<std::string>& known);

// " Did you mean X?" / " Did you mean X or Y?" for nearest_names(); empty when none is near.
std::string did_you_mean(std::string_view typed, const std::vector<std::string>& known);

// "A, B and C".
std::string join_names(const std::vector<std::string>& names);

}  // namespace host

#endif  // TALVEN_HOST_SUGGEST_H
