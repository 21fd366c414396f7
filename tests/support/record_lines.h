// The lines of an error record without their blank padding, for comparing whole reports.
#ifndef TALVEN_TESTS_SUPPORT_RECORD_LINES_H
#define TALVEN_TESTS_SUPPORT_RECORD_LINES_H

#include <string>
#include <vector>

#include "numerics/error_record.h"

namespace kestrion::testing_support {

inline std::vector<std::string> record_lines(const ErrorRecord& record) {
  std::vector<std::string> lines;
  for (const ErrorLine* line = record.first_line; line != nullptr; line = line->next) {
    std::string text(line->text, kErrorLineLength);
    text.erase(text.find_last_not_of(' ') + 1);
    lines.push_back(text);
  }
  return lines;
}

}  // namespace kestrion::testing_support

#endif  // TALVEN_TESTS_SUPPORT_RECORD_LINES_H
