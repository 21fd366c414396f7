#include <gtest/gtest.h>

#include <string>

#include "host/log.h"

namespace host {
namespace {

TEST(LogPrintable, ControlBytesFromUserTextAreShownNotWritten) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"found abc.", "found abc."},
      {"a\tb", "a\tb"},
      {std::string("found \0.", 8), "found \\x00."},
      {"\x1b[31mred", "\\x1B[31mred"},
      {"a\r\nb", "a\\x0D\\x0Ab"},
      {"\x7f", "\\x7F"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
  };
  for (const auto& c : cases) EXPECT_EQ(printable_line(c.in), c.out) << c.in;

  Log log(nullptr);
  log.set_keep_lines(true);
  log.error(std::string("x\0y", 3));
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0], "ERROR: x\\x00y");
  EXPECT_EQ(log.errors(), 1);
}

}  // namespace
}  // namespace host
