// The host's in-memory data set: named columns of numbers or texts, as the readers of every file
// kind produce them and as the procedures read them.
#ifndef TALVEN_HOST_DATA_TABLE_H
#define TALVEN_HOST_DATA_TABLE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/result.h"

namespace host {

enum class VarType { kNumeric = 1, kCharacter = 2 };

// The field that made a text-file column character: users mean most such columns to be numeric.
struct FirstText {
  int64_t line = 0;  // in the file, the line of names being line 1
  std::string text;
};

struct Column {
  std::string name;
  VarType type = VarType::kNumeric;
  std::vector<double> numbers;          // numeric columns; missing values are NaN
  std::vector<std::string> texts;       // character columns
  std::optional<FirstText> first_text;  // character columns of a text file
};

struct DataTable {
  std::vector<Column> columns;
  int64_t rows = 0;
};

// What every reader returns: the table, or the message (naming the file and line).
using ReadOutcome = Result<std::shared_ptr<const DataTable>>;

}  // namespace host

#endif  // TALVEN_HOST_DATA_TABLE_H
