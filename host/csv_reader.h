// Reads a delimited text file (RFC 4180 quoting, first row = variable names) into columns.
// A column is numeric when every field that is not a missing-value form is a finite decimal
// number in the C locale; otherwise it is character and keeps its text.
#ifndef TALVEN_HOST_CSV_READER_H
#define TALVEN_HOST_CSV_READER_H

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "host/data_table.h"

namespace host {

// True for the numeric missing-value forms: empty, ".", ".A" to ".Z", "._", "NA".
bool is_missing_form(std::string_view field);

// Why a column that was meant to be numeric reads as character: "y is character because line 18
// holds 'n/a'" and the forms read as missing values. Empty when the reader recorded no such field
// (a character variable of a SAS data set, for instance).
std::string character_explanation(const Column& column);
// Parses a whole field as a finite decimal number (optional sign, digits, fraction, exponent).
bool parse_decimal(std::string_view field, double* value);

// `label` names the source in error messages (usually the file name). With `decimal_comma`, a
// numeric field may write its decimal point as a comma (1,5), as European spreadsheets do.
ReadOutcome parse_csv(std::string_view text, char delimiter, std::string_view label,
                      bool decimal_comma = false);

// The delimiter a file is read with: `chosen` when given (LIBNAME DLM=), a tab for ".tsv", a
// comma when the line of names holds one, else the semicolon or tab that it holds (*note then
// says so). A semicolon brings the decimal comma with it.
struct CsvDialect {
  char delimiter = ',';
  bool decimal_comma = false;
};
CsvDialect choose_dialect(std::string_view text, const std::filesystem::path& path,
                          std::optional<char> chosen, std::string* note);

// Reads a delimited file in the dialect choose_dialect() gives.
ReadOutcome read_csv_file(const std::filesystem::path& path, std::optional<char> chosen = {},
                          std::string* note = nullptr);

}  // namespace host

#endif  // TALVEN_HOST_CSV_READER_H
