// Reads SAS data sets (.sas7bdat, and SAS transport files .xpt) into the same columns as the CSV
// reader. Numeric variables become numbers with every SAS missing value (".", ".A" to ".Z", "._")
// as NaN; character variables keep their text. Formats are not applied: a date is its day count.
#ifndef TALVEN_HOST_SAS_READER_H
#define TALVEN_HOST_SAS_READER_H

#include <filesystem>
#include <string_view>

#include "host/data_table.h"

namespace host {

enum class SasFormat { kSas7bdat, kXport };

// Reads a data set held in memory. `label` names the source in error messages.
ReadOutcome parse_sas(std::string_view bytes, SasFormat format, std::string_view label);

// Reads a file whose name ends in ".sas7bdat" or ".xpt" (in any case).
ReadOutcome read_sas_file(const std::filesystem::path& path);

// The SAS form of a missing value read by parse_sas: '.' for ".", 'A' to 'Z' and '_' for the
// special missing values, 0 for a value that is not missing. The forms travel in the NaN payload,
// so they survive copying but not arithmetic.
char sas_missing_form(double value);

}  // namespace host

#endif  // TALVEN_HOST_SAS_READER_H
