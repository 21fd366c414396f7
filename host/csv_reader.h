// Reads a delimited text file (RFC 4180 quoting, first row = variable names) into columns.
// A column is numeric when every field that is not a missing-value form is a finite decimal
// number in the C locale; otherwise it is character and keeps its text.
#ifndef TALVEN_HOST_CSV_READER_H
#define TALVEN_HOST_CSV_READER_H

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace host {

enum class VarType { kNumeric = 1, kCharacter = 2 };

struct Column {
  std::string name;
  VarType type = VarType::kNumeric;
  std::vector<double> numbers;     // numeric columns; missing values are NaN
  std::vector<std::string> texts;  // character columns
};

struct DataTable {
  std::vector<Column> columns;
  int64_t rows = 0;
};

struct CsvOutcome {
  std::shared_ptr<const DataTable> table;  // null on failure
  std::string error;                       // names the file (label) and line
};

// True for the numeric missing-value forms: empty, ".", ".A" to ".Z", "._", "NA".
bool is_missing_form(std::string_view field);
// Parses a whole field as a finite decimal number (optional sign, digits, fraction, exponent).
bool parse_decimal(std::string_view field, double* value);

// `label` names the source in error messages (usually the file name).
CsvOutcome parse_csv(std::string_view text, char delimiter, std::string_view label);
// Tab-delimited when the file name ends in ".tsv", else comma-delimited.
CsvOutcome read_csv_file(const std::filesystem::path& path);

}  // namespace host

#endif  // TALVEN_HOST_CSV_READER_H
