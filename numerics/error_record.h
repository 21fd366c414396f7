// The library's error record: a flag and a list of 70-character lines that a failing routine
// appends to and its callers pass upward unchanged, plus the fixed table of error codes.
#ifndef KESTRION_NUMERICS_ERROR_RECORD_H
#define KESTRION_NUMERICS_ERROR_RECORD_H

#include <cstdint>
#include <optional>
#include <string_view>

namespace kestrion {

inline constexpr int kErrorLineLength = 70;

// The library's fixed table of error codes; each but kGeneral adds its own line to a report.
enum class ErrorCode : int32_t {
  kNoErrors = 0,
  kOpenForRead = 1,
  kOpenForWrite = 2,
  kRead = 3,
  kWrite = 4,
  kReadPastEnd = 5,
  kCloseAfterWrite = 6,
  kCloseAfterRead = 7,
  kSingular = 100,
  kNotPositiveDefinite = 101,
  kDivisionByZero = 102,
  kLogOfNonPositive = 103,
  kExpTooLarge = 104,
  kRootOfNegative = 105,
  kAllocation = 200,
  kDeallocation = 201,
  kNonSquare = 300,
  kNonConformable = 301,
  kGeneral = 1000,
};

// Result of the engine's routines; the report itself is in the error record.
enum class [[nodiscard]] Status : int32_t{kOk = 0, kFailed = -1};

struct ErrorLine {
  char text[kErrorLineLength];  // blank-padded, no terminating NUL
  ErrorLine* next = nullptr;
};

// Owns its lines; a record that goes out of scope frees them as clear_errors would.
struct ErrorRecord {
  bool has_error = false;
  // Set by a code 200 or 201 report (memory could not be obtained or released), so that callers
  // can tell a memory failure from a rank deficiency; cleared with the lines.
  bool memory_failure = false;
  // Code of the first report since the record was last cleared.
  ErrorCode first_code = ErrorCode::kNoErrors;
  // Set when memory for a line could not be had: the line is dropped, the flag and
  // memory_failure are still set, and compose_error_text ends its text with a line saying so.
  bool lines_lost = false;
  ErrorLine* first_line = nullptr;
  ErrorLine* last_line = nullptr;

  ErrorRecord() = default;
  ErrorRecord(const ErrorRecord&) = delete;
  ErrorRecord& operator=(const ErrorRecord&) = delete;
  ~ErrorRecord();
};

// Optional parts of one report, in the order report_error writes them.
struct ErrorDetails {
  std::optional<std::string_view> routine_label = std::nullopt;
  std::optional<std::string_view> file_name = std::nullopt;
  std::optional<int32_t> line_number = std::nullopt;
  std::optional<std::string_view> object_name = std::nullopt;
  std::optional<std::string_view> note_1 = std::nullopt;
  std::optional<std::string_view> note_2 = std::nullopt;
  std::optional<std::string_view> note_3 = std::nullopt;
};

// Text of a code's line; nullopt for code 1000, which contributes no line.
std::optional<std::string_view> error_code_text(ErrorCode code);

void report_error(ErrorRecord& record, ErrorCode code, const ErrorDetails& details = {});
// kFailed when the record holds a report: the engine's routines end with this.
Status status_of(const ErrorRecord& record);
void append_error_line(std::string_view text, ErrorRecord& record);
void clear_errors(ErrorRecord& record);
// Moves the lines and flags of `from` to the end of `record`, leaving `from` empty; allocates
// nothing.
void take_report(ErrorRecord& from, ErrorRecord& record);
bool error_occurred(const ErrorRecord& record);
// Writes the lines into buffer[0..length) separated by the platform's separator ("UNIX": LF,
// "MAC": CR, anything else or absent: CR LF); the rest of the buffer is blank.
void compose_error_text(const ErrorRecord& record, char* buffer, int64_t length,
                        std::optional<std::string_view> platform = std::nullopt);

#ifdef KESTRION_FAULT_INJECTION
namespace fault {
// Test seam: while set, every new error line fails to get memory.
void fail_error_line_allocation(bool fail);
}  // namespace fault
#endif

}  // namespace kestrion

#endif  // KESTRION_NUMERICS_ERROR_RECORD_H
