#include "host/csv_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "host/csv_reader.h"
#include "tests/support/files.h"
#include "tests/support/temp_folder.h"

namespace host {
namespace {

namespace fs = std::filesystem;
using test_support::read_file;

Column numeric(const std::string& name, std::vector<double> values) {
  Column c;
  c.name = name;
  c.numbers = std::move(values);
  return c;
}

Column character(const std::string& name, std::vector<std::string> values) {
  Column c;
  c.name = name;
  c.type = VarType::kCharacter;
  c.texts = std::move(values);
  return c;
}

// What the writer produces, the reader must read back to the same table: numbers bit for bit,
// missing values as missing, texts with their blanks, quotes, delimiters and line breaks.
TEST(CsvWriter, TheReaderReadsBackTheSameTable) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  DataTable t;
  t.columns = {
      numeric("x", {0.1, -0.0, 1e-300, 1.7976931348623157e308, 123456789.125, nan, -2.5e-7}),
      character("Term",
                {"intercept", "o11:a1", "a, b", "say \"hi\"", " padded ", "two\nlines", "x"}),
      numeric("all missing", {nan, nan, nan, nan, nan, nan, nan}),
  };
  t.rows = 7;
  const std::string text = format_csv(t);
  EXPECT_EQ(text.substr(0, text.find('\n')), "x,Term,all missing");
  const ReadOutcome back = parse_csv(text, ',', "written.csv");
  ASSERT_TRUE(back.ok()) << back.error();
  ASSERT_EQ((*back)->rows, t.rows);
  ASSERT_EQ((*back)->columns.size(), t.columns.size());
  for (size_t c = 0; c < t.columns.size(); ++c) {
    const Column& want = t.columns[c];
    const Column& got = (*back)->columns[c];
    EXPECT_EQ(got.name, want.name);
    ASSERT_EQ(got.type, want.type) << want.name;
    EXPECT_EQ(got.texts, want.texts);
    for (size_t r = 0; r < want.numbers.size(); ++r) {
      if (std::isnan(want.numbers[r])) {
        EXPECT_TRUE(std::isnan(got.numbers[r])) << want.name << " row " << r;
      } else {
        EXPECT_EQ(got.numbers[r], want.numbers[r]) << want.name << " row " << r;
        EXPECT_EQ(std::signbit(got.numbers[r]), std::signbit(want.numbers[r]));
      }
    }
  }
}

class AtomicWrite : public ::testing::Test {
 protected:
  size_t files() const { return folder_.entries(); }
  test_support::TempFolder folder_;
  const fs::path& dir_ = folder_.path();
};

TEST_F(AtomicWrite, ReplacesWholeFilesKeepingTheirPermissions) {
  const fs::path file = dir_ / "est.csv";
  EXPECT_TRUE(write_file_atomically(file, "a\n1\n").ok());
  EXPECT_EQ(read_file(file), "a\n1\n");
  // A new file gets the usual permissions, not those of a private temporary file.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(fs::status(file).permissions(), fs::perms(0666 & ~mask));
  fs::permissions(file, fs::perms(0640));
  EXPECT_TRUE(write_file_atomically(file, "b\n2\n").ok());
  EXPECT_EQ(read_file(file), "b\n2\n");
  EXPECT_EQ(fs::status(file).permissions(), fs::perms(0640));
  EXPECT_EQ(files(), 1u);  // no temporary file left beside it
}

}  // namespace
}  // namespace host
