#include "numerics/error_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/record_lines.h"

namespace kestrion {
namespace {

using testing_support::record_lines;

TEST(ErrorRecord, ReportLinesFollowTheCodeTableAndOptionalParts) {
  struct Case {
    const char* name;
    ErrorCode code;
    ErrorDetails details;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"code 1000 alone adds nothing", ErrorCode::kGeneral, {}, {}},
      {"code 1000 with a note adds the note",
       ErrorCode::kGeneral,
       {.note_1 = "Stack size is too small."},
       {"Stack size is too small."}},
      {"code 0 still counts", ErrorCode::kNoErrors, {}, {"No errors"}},
      {"two blanks in code 300",
       ErrorCode::kNonSquare,
       {},
       {"Non-square matrix encountered  square expected"}},
      {"unknown code",
       ErrorCode{42},
       {.routine_label = "x in MOD sort"},
       {"Unknown error code.", "OCCURRED IN: x in MOD sort"}},
      {"every part in its order",
       ErrorCode::kDeallocation,
       {.routine_label = "dbl1_alloc in MOD dynamic_allocation   ",
        .file_name = "data.csv   ",
        .line_number = -12345,
        .object_name = "calculateCI: beta2  ",
        .note_1 = "one",
        .note_2 = "two",
        .note_3 = "three"},
       {"Unable to deallocate memory for object", "one", "two", "three", "FILE: data.csv",
        "LINE: -12345", "calculateCI: beta2", "OCCURRED IN: dbl1_alloc in MOD dynamic_allocation"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ErrorRecord record;
    report_error(record, c.code, c.details);
    EXPECT_EQ(record_lines(record), c.expected);
    EXPECT_EQ(error_occurred(record), !c.expected.empty());
  }
}

TEST(ErrorRecord, LinesAreCutOrPaddedToSeventyCharacters) {
  ErrorRecord record;
  const std::string long_note(90, 'x');
  report_error(record, ErrorCode::kGeneral, {.note_1 = long_note, .note_2 = "short"});
  ASSERT_NE(record.first_line, nullptr);
  EXPECT_EQ(std::string(record.first_line->text, kErrorLineLength), std::string(70, 'x'));
  EXPECT_EQ(std::string(record.last_line->text, kErrorLineLength), "short" + std::string(65, ' '));
  // A long label is cut after the prefix, never written past the line.
  report_error(record, ErrorCode::kGeneral, {.routine_label = std::string(100, 'r')});
  EXPECT_EQ(record_lines(record).back(), "OCCURRED IN: " + std::string(57, 'r'));
}

TEST(ErrorRecord, MemoryFailureFlagAndFirstCodeFollowTheReportsUntilCleared) {
  for (const ErrorCode code : {ErrorCode::kSingular, ErrorCode::kAllocation,
                               ErrorCode::kDeallocation, ErrorCode::kGeneral}) {
    const auto number = static_cast<int32_t>(code);
    ErrorRecord record;
    report_error(record, code, {.note_1 = "n"});
    // A later report never replaces the code of the first.
    report_error(record, ErrorCode::kNonConformable);
    EXPECT_EQ(record.memory_failure, number == 200 || number == 201) << number;
    EXPECT_EQ(record.first_code, code) << number;
    EXPECT_EQ(status_of(record), Status::kFailed);
    clear_errors(record);
    EXPECT_FALSE(record.memory_failure);
    EXPECT_EQ(record.first_code, ErrorCode::kNoErrors);
    EXPECT_EQ(status_of(record), Status::kOk);
    EXPECT_FALSE(error_occurred(record));
    EXPECT_EQ(record.first_line, nullptr);
    EXPECT_EQ(record.last_line, nullptr);
    report_error(record, ErrorCode::kSingular);
    EXPECT_EQ(record_lines(record), std::vector<std::string>{"Matrix apparently singular"});
  }
}

TEST(ErrorRecord, ComposeSeparatesLinesByPlatformWord) {
  struct Case {
    std::optional<std::string_view> platform;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::string("ab\r\ncd    ", 10)}, {"PC", std::string("ab\r\ncd    ", 10)},
      {"UNIX", std::string("ab\ncd     ", 10)},        {"UNIX  ", std::string("ab\ncd     ", 10)},
      {"unix", std::string("ab\r\ncd    ", 10)},       {"MAC", std::string("ab\rcd     ", 10)},
  };
  ErrorRecord record;
  append_error_line("ab", record);
  append_error_line("cd", record);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.platform.value_or("(none)")));
    std::string buffer(10, '#');
    compose_error_text(record, buffer.data(), 10, c.platform);
    EXPECT_EQ(buffer, c.expected);
  }
}

TEST(ErrorRecord, ComposeStopsWhenFewerThanFourPositionsRemain) {
  ErrorRecord empty;
  std::string buffer(8, '#');
  compose_error_text(empty, buffer.data(), 8);
  EXPECT_EQ(buffer, std::string(8, ' '));

  ErrorRecord record;
  append_error_line("abcdef", record);
  append_error_line("gh", record);
  for (const char* platform : {"PC", "UNIX", "MAC"}) {
    std::string small(4, '#');
    compose_error_text(record, small.data(), 4, platform);
    EXPECT_EQ(small, "abcd") << platform;
  }
  // Used 6 of 9: 6 + 3 is not below 9, so "gh" is left out.
  std::string nine(9, '#');
  compose_error_text(record, nine.data(), 9, "UNIX");
  EXPECT_EQ(nine, "abcdef   ");
  // With 10 it starts and is cut at the end of the buffer.
  std::string ten(10, '#');
  compose_error_text(record, ten.data(), 10);
  EXPECT_EQ(ten, "abcdef\r\ngh");
  compose_error_text(record, nullptr, 0);  // nothing to write into; must not crash
}

#ifdef KESTRION_FAULT_INJECTION
TEST(ErrorRecord, LineWithoutMemoryKeepsTheFailureVisible) {
  ErrorRecord record;
  report_error(record, ErrorCode::kSingular, {.note_1 = "kept"});
  fault::fail_error_line_allocation(true);
  report_error(record, ErrorCode::kSingular, {.note_1 = "lost"});
  fault::fail_error_line_allocation(false);
  EXPECT_TRUE(error_occurred(record));
  EXPECT_TRUE(record.memory_failure);
  EXPECT_EQ(record_lines(record), (std::vector<std::string>{"Matrix apparently singular", "kept"}));
  std::string buffer(80, '#');
  compose_error_text(record, buffer.data(), 80, "UNIX");
  const std::string text = "Matrix apparently singular\nkept\nUnable to allocate memory for object";
  EXPECT_EQ(buffer, text + std::string(80 - text.size(), ' '));

  // Every line lost: the record is still in the error state and the text still says why.
  ErrorRecord none;
  fault::fail_error_line_allocation(true);
  report_error(none, ErrorCode::kSingular);
  fault::fail_error_line_allocation(false);
  EXPECT_TRUE(error_occurred(none));
  EXPECT_EQ(none.first_line, nullptr);
  std::string composed(40, '#');
  compose_error_text(none, composed.data(), 40);
  EXPECT_EQ(composed, "Unable to allocate memory for object    ");
  append_error_line("after", none);
  EXPECT_EQ(record_lines(none), std::vector<std::string>{"after"});
}
#endif

}  // namespace
}  // namespace kestrion
