#include "numerics/error_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace kestrion {

namespace {

#ifdef KESTRION_FAULT_INJECTION
bool g_fail_line_allocation = false;
#endif

ErrorLine* new_line() {
#ifdef KESTRION_FAULT_INJECTION
  if (g_fail_line_allocation) return nullptr;
#endif
  ErrorLine* line = new (std::nothrow) ErrorLine;
  if (line != nullptr) std::memset(line->text, ' ', kErrorLineLength);
  return line;
}

std::string_view trim_trailing_blanks(std::string_view text) {
  const size_t end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

// A line made of a fixed prefix and a text; anything past 70 characters is cut when appended, so
// the buffer never needs to be larger than one line.
void append_prefixed(std::string_view prefix, std::string_view text, ErrorRecord& record) {
  char buffer[kErrorLineLength];
  const size_t head = std::min(prefix.size(), sizeof buffer);
  std::memcpy(buffer, prefix.data(), head);
  const size_t tail = std::min(text.size(), sizeof buffer - head);
  if (tail > 0) std::memcpy(buffer + head, text.data(), tail);
  append_error_line(std::string_view(buffer, head + tail), record);
}

}  // namespace

ErrorRecord::~ErrorRecord() {
  clear_errors(*this);
}

std::optional<std::string_view> error_code_text(ErrorCode code) {
  switch (static_cast<int32_t>(code)) {
    case 0:
      return "No errors";
    case 1:
      return "File could not be opened for read-access";
    case 2:
      return "File could not be opened for write-access";
    case 3:
      return "Error in reading file";
    case 4:
      return "Error in writing to file";
    case 5:
      return "Error in reading file: EOR or EOF encountered";
    case 6:
      return "File open for write-access could not be closed";
    case 7:
      return "File open for read-access could not be closed";
    case 100:
      return "Matrix apparently singular";
    case 101:
      return "Matrix not positive definite";
    case 102:
      return "Attempted division by zero";
    case 103:
      return "Attempted logarithm of non-positive number";
    case 104:
      return "Argument to exp function too large";
    case 105:
      return "Attempted square root of negative number";
    case 200:
      return "Unable to allocate memory for object";
    case 201:
      return "Unable to deallocate memory for object";
    case 300:
      return "Non-square matrix encountered  square expected";
    case 301:
      return "Dimensions of matrix arguments not conformable";
    case 1000:
      return std::nullopt;
    default:
      return "Unknown error code.";
  }
}

void append_error_line(std::string_view text, ErrorRecord& record) {
  ErrorLine* line = new_line();
  // Without memory for the line its text is lost, but the failure itself must not be: the record
  // still enters the error state, and compose_error_text says that lines were lost.
  if (line == nullptr) {
    record.has_error = true;
    record.memory_failure = true;
    record.lines_lost = true;
    return;
  }
  // A record whose earlier lines were all lost has the flag set but no list yet.
  if (record.last_line == nullptr) {
    record.first_line = line;
  } else {
    record.last_line->next = line;
  }
  record.has_error = true;
  record.last_line = line;
  std::memcpy(line->text, text.data(), std::min<size_t>(text.size(), kErrorLineLength));
}

void report_error(ErrorRecord& record, ErrorCode code, const ErrorDetails& details) {
  if (!record.has_error) record.first_code = code;
  if (code == ErrorCode::kAllocation || code == ErrorCode::kDeallocation) {
    record.memory_failure = true;
  }
  if (const auto text = error_code_text(code)) append_error_line(*text, record);
  for (const auto& note : {details.note_1, details.note_2, details.note_3}) {
    if (note) append_error_line(*note, record);
  }
  if (details.file_name)
    append_prefixed("FILE: ", trim_trailing_blanks(*details.file_name), record);
  if (details.line_number) {
    char digits[16];
    const int length = std::snprintf(digits, sizeof digits, "%d", *details.line_number);
    append_prefixed("LINE: ", std::string_view(digits, length > 0 ? length : 0), record);
  }
  if (details.object_name) append_error_line(trim_trailing_blanks(*details.object_name), record);
  if (details.routine_label) {
    append_prefixed("OCCURRED IN: ", trim_trailing_blanks(*details.routine_label), record);
  }
}

void clear_errors(ErrorRecord& record) {
  ErrorLine* line = record.first_line;
  while (line != nullptr) {
    ErrorLine* next = line->next;
    delete line;
    line = next;
  }
  record.first_line = nullptr;
  record.last_line = nullptr;
  record.has_error = false;
  record.memory_failure = false;
  record.lines_lost = false;
  record.first_code = ErrorCode::kNoErrors;
}

void take_report(ErrorRecord& from, ErrorRecord& record) {
  if (!from.has_error) return;
  if (!record.has_error) record.first_code = from.first_code;
  record.has_error = true;
  record.memory_failure = record.memory_failure || from.memory_failure;
  record.lines_lost = record.lines_lost || from.lines_lost;
  if (from.first_line != nullptr) {
    if (record.last_line == nullptr) {
      record.first_line = from.first_line;
    } else {
      record.last_line->next = from.first_line;
    }
    record.last_line = from.last_line;
  }
  from.first_line = nullptr;
  from.last_line = nullptr;
  clear_errors(from);
}

bool error_occurred(const ErrorRecord& record) {
  return record.has_error;
}

Status status_of(const ErrorRecord& record) {
  return record.has_error ? Status::kFailed : Status::kOk;
}

void compose_error_text(const ErrorRecord& record, char* buffer, int64_t length,
                        std::optional<std::string_view> platform) {
  if (buffer == nullptr || length <= 0) return;
  std::memset(buffer, ' ', static_cast<size_t>(length));

  char word[4] = {' ', ' ', ' ', ' '};
  const std::string_view given = platform.value_or("PC");
  std::memcpy(word, given.data(), std::min<size_t>(given.size(), sizeof word));
  const std::string_view platform_word = trim_trailing_blanks(std::string_view(word, sizeof word));

  static constexpr std::string_view kLostLinesNote = "Unable to allocate memory for object";
  auto write_line = [&](std::string_view text, bool first) {
    int64_t used = length;
    while (used > 0 && buffer[used - 1] == ' ') --used;
    if (used + 3 >= length) return false;
    int64_t start = used;  // 0-based position of the text
    if (!first) {
      if (platform_word == "UNIX") {
        buffer[start++] = '\n';
      } else if (platform_word == "MAC") {
        buffer[start++] = '\r';
      } else {
        buffer[start++] = '\r';
        buffer[start++] = '\n';
      }
    }
    const std::string_view trimmed = trim_trailing_blanks(text);
    const int64_t room = length - start;
    std::memcpy(buffer + start, trimmed.data(),
                static_cast<size_t>(std::min<int64_t>(room, static_cast<int64_t>(trimmed.size()))));
    return true;
  };

  bool first = true;
  for (const ErrorLine* line = record.first_line; line != nullptr; line = line->next) {
    if (!write_line(std::string_view(line->text, kErrorLineLength), first)) return;
    first = false;
  }
  if (record.lines_lost) write_line(kLostLinesNote, first);
}

#ifdef KESTRION_FAULT_INJECTION
namespace fault {
void fail_error_line_allocation(bool fail) {
  g_fail_line_allocation = fail;
}
}  // namespace fault
#endif

}  // namespace kestrion
