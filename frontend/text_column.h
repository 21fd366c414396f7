// Text variables handed to the study layer: a treatment with two values is coded -1 and 1 in the
// byte order of its values, the same for every front end, so that the same data give the same
// coefficients whether they come from a CSV file, a pandas column or an R factor.
#ifndef TALVEN_FRONTEND_TEXT_COLUMN_H
#define TALVEN_FRONTEND_TEXT_COLUMN_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace talven {

// Byte order with the shorter text padded by blanks, so that trailing blanks never matter.
int compare_texts(std::string_view a, std::string_view b);

struct TextColumn {
  std::vector<std::string> values;  // distinct values without trailing blanks, ascending
  std::vector<int32_t> index;       // each observation's value in `values`; -1 when missing
  std::vector<std::string> levels;  // the front end's own order of the categories, if any
};

// A null or blank text is missing.
TextColumn read_text_column(int64_t n, const char* const* values, int32_t level_count,
                            const char* const* levels);

// "'a', 'b', 'c'" for at most `shown` values, then "and N more".
std::string quoted_list(const std::vector<std::string>& values, std::size_t shown);

// When the front end's categories (in their own order) put the value coded 1 before the value
// coded -1, the note that says which one is -1; otherwise empty.
std::string level_order_note(const std::string& variable, const TextColumn& column);

}  // namespace talven

#endif  // TALVEN_FRONTEND_TEXT_COLUMN_H
