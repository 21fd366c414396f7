// Writes data tables as CSV files that the CSV reader reads back to the same table, and replaces
// files atomically so that a failed write never leaves a partial file behind.
#ifndef TALVEN_HOST_CSV_WRITER_H
#define TALVEN_HOST_CSV_WRITER_H

#include <filesystem>
#include <string>
#include <string_view>

#include "host/data_table.h"
#include "host/result.h"

namespace host {

// The CSV text of a table: a header row, then one row per observation, LF line ends. Numbers in
// their shortest exact form; a missing number is an empty field; fields are quoted only when
// they must be (delimiter, quote, line break, blanks at either end, or an empty text).
std::string format_csv(const DataTable& table);

// Writes `bytes` to a new file in the folder of `file` and renames it to `file`, replacing any
// file of that name only once the new one is complete and flushed to disk, then flushes the
// folder so that the new name survives a crash too. On failure before the rename neither `file`
// nor a temporary file has changed.
Result<void> write_file_atomically(const std::filesystem::path& file, std::string_view bytes);

// Whether write_file_atomically can write `file`: it is not a folder, and its folder exists and
// accepts new files. Checked before long work, so that its results are not lost at the end. The
// failure is the reason alone: "the folder out does not exist".
Result<void> check_file_writable(const std::filesystem::path& file);

// The error of a data set that could not be written: its name, the file (unless the name is the
// file's path already) and the reason.
std::string write_failure(const std::string& shown, const std::filesystem::path& file,
                          const std::string& reason);

}  // namespace host

#endif  // TALVEN_HOST_CSV_WRITER_H
