// The host's in-memory data set: named columns of numbers or texts, as the readers of every file
// kind produce them and as the procedures read them.
#ifndef TALVEN_HOST_DATA_TABLE_H
#define TALVEN_HOST_DATA_TABLE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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

// SAS's special missing values .A to .Z and ._ are NaNs whose payload holds the letter, so they
// survive copying (not arithmetic). special_missing('A') is .A; any other tag gives ".".
double special_missing(char tag);
// '.' for a plain missing value, 'A' to 'Z' or '_' for a special one, 0 for a number.
char missing_form(double value);

// SAS's order of values: missing values before every number, ._ < . < .A < ... < .Z; texts
// compare byte by byte as if the shorter were padded with blanks. Negative, zero or positive.
int compare_numbers(double a, double b);
int compare_texts(std::string_view a, std::string_view b);

// A value as the log and the listing show it: "2", "0.5", "." or ".A" for numbers; texts
// without trailing blanks.
std::string format_value(double value);

}  // namespace host

#endif  // TALVEN_HOST_DATA_TABLE_H
