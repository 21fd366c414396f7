// Golden outputs: every program of tests/golden/programs/ and the shipped example program run
// through the talven command, and their listing, log, exit status and output data sets must
// equal the files kept in tests/golden/expected/<program>/, byte for byte. The log's timings and
// the run's folder are masked. After a deliberate change of the output, rewrite the expected
// files with
//
//   TALVEN_UPDATE_GOLDEN=1 ctest --preset dev -R Golden
//
// and read `git diff tests/golden` before committing: it must show what was intended, no more.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::write_file;

const fs::path kSource = TALVEN_SOURCE_DIR;
const fs::path kGolden = kSource / "tests" / "golden";

bool updating() {
  const char* v = std::getenv("TALVEN_UPDATE_GOLDEN");
  return v != nullptr && std::string(v) == "1";
}

struct GoldenProgram {
  std::string name;
  fs::path file;
};

// Names the program in test output instead of the struct's bytes.
void PrintTo(const GoldenProgram& p, std::ostream* out) {
  *out << p.name;
}

// The shipped example first, then the programs of tests/golden/programs/ by name.
std::vector<GoldenProgram> golden_programs() {
  std::vector<GoldenProgram> out = {{"smart_study", kSource / "examples" / "smart_study.sas"}};
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(kGolden / "programs")) {
    if (entry.path().extension() == ".sas") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& f : files) out.push_back({f.stem().string(), f});
  return out;
}

// The folder of a run and the installed tree differ between machines; timings between runs.
std::string mask(std::string text, const fs::path& folder) {
  for (const auto& [path, token] : {std::pair{folder.string(), "<folder>"},
                                    std::pair{std::string(TALVEN_BINARY_DIR), "<build>"},
                                    std::pair{kSource.string(), "<source>"}}) {
    for (size_t at; (at = text.find(path)) != std::string::npos;)
      text.replace(at, path.size(), token);
  }
  // "real time 0.45 seconds": the digits vary from run to run.
  const std::string head = "real time ";
  const std::string tail = " seconds";
  for (size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1)) {
    const size_t start = at + head.size();
    size_t end = start;
    while (end < text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[end])) != 0 || text[end] == '.'))
      ++end;
    if (end > start && text.compare(end, tail.size(), tail) == 0)
      text.replace(start, end - start, "X.XX");
  }
  return text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Where two texts part, with the lines before it, for a failure message.
std::string first_difference(const std::string& expected, const std::string& actual) {
  const auto e = lines_of(expected);
  const auto a = lines_of(actual);
  size_t first = std::max(e.size(), a.size());
  size_t differing = 0;
  for (size_t i = 0; i < std::max(e.size(), a.size()); ++i) {
    if (i < e.size() && i < a.size() && e[i] == a[i]) continue;
    first = std::min(first, i);
    ++differing;
  }
  std::ostringstream out;
  out << differing << " lines differ (expected " << e.size() << " lines, got " << a.size()
      << "); the first is line " << first + 1 << ":\n";
  for (size_t k = first >= 2 ? first - 2 : 0; k < first; ++k) out << "    " << e[k] << "\n";
  if (first < e.size()) out << "  - " << e[first] << "\n";
  if (first < a.size()) out << "  + " << a[first] << "\n";
  if (differing == 0) out << "  (the texts differ in their line ends)\n";
  return out.str();
}

// Every file under `dir`, by its path relative to `dir`.
std::set<std::string> files_under(const fs::path& dir) {
  std::set<std::string> out;
  if (!fs::exists(dir)) return out;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) out.insert(fs::relative(entry.path(), dir).generic_string());
  }
  return out;
}

// Program text without its comments, upper-cased, statement by statement.
std::vector<std::string> statements(const std::string& program) {
  std::string text;
  for (size_t i = 0; i < program.size(); ++i) {
    if (program.compare(i, 2, "/*") == 0) {
      const size_t end = program.find("*/", i + 2);
      i = end == std::string::npos ? program.size() : end + 1;
      text += ' ';
    } else {
      text += static_cast<char>(std::toupper(static_cast<unsigned char>(program[i])));
    }
  }
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string s; std::getline(in, s, ';');) {
    const size_t start = s.find_first_not_of(" \t\r\n");
    out.push_back(start == std::string::npos ? "" : s.substr(start));
  }
  return out;
}

// Options every analysis with intervals must set so that its output is the same on every run
// and machine: the log names the number of threads, which without CORES= is every core.
const std::vector<std::string> kRequiredWithIntervals = {"SEED=", "CORES="};

class Golden : public ::testing::TestWithParam<GoldenProgram> {};

TEST_P(Golden, OutputEqualsTheExpectedFiles) {
  const GoldenProgram& p = GetParam();
  const std::string program = read_file(p.file);
  ASSERT_FALSE(program.empty()) << p.file;
  for (const std::string& s : statements(program)) {
    if (s.rfind("PROC TALVEN", 0) != 0 || s.find(" DERIVECI") == std::string::npos) continue;
    for (const std::string& option : kRequiredWithIntervals) {
      EXPECT_NE(s.find(option), std::string::npos) << p.name << ": " << s << "\nsets no " << option;
    }
  }

  e2e::Folder folder("golden_" + p.name);
  std::set<std::string> inputs = {"prog.sas", "log.txt", "out.txt", "stderr.txt"};
  for (const fs::path& dir : {kSource / "examples", kGolden / "data"}) {
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.path().extension() != ".csv") continue;
      fs::copy_file(entry.path(), folder.path() / entry.path().filename());
      inputs.insert(entry.path().filename().string());
    }
  }
  const e2e::TalvenRun r = folder.talven(program);
  EXPECT_EQ(r.stderr_text, "") << p.name;

  std::map<std::string, std::string> actual = {
      {"listing.lst", mask(r.listing, folder.path())},
      {"log.txt", mask(r.log_text, folder.path())},
      {"exit_status.txt", std::to_string(r.status) + "\n"},
  };
  for (const std::string& f : files_under(folder.path())) {
    if (inputs.count(f) == 0) actual["data/" + f] = read_file(folder.path() / f);
  }

  const fs::path expected_dir = kGolden / "expected" / p.name;
  std::set<std::string> expected = files_under(expected_dir);
  if (updating()) {
    for (const std::string& f : expected) {
      if (actual.count(f) == 0) fs::remove(expected_dir / f);
    }
    for (const auto& [f, bytes] : actual) {
      if (!expected.count(f) || read_file(expected_dir / f) != bytes) {
        write_file(expected_dir / f, bytes);
        std::printf("golden: rewrote %s/%s\n", p.name.c_str(), f.c_str());
      }
    }
    return;
  }
  for (const auto& [f, bytes] : actual) {
    SCOPED_TRACE(p.name + "/" + f);
    if (!expected.count(f)) {
      ADD_FAILURE() << "the run wrote " << f << ", which has no expected file";
      continue;
    }
    const std::string want = read_file(expected_dir / f);
    EXPECT_TRUE(want == bytes) << first_difference(want, bytes)
                               << "After a deliberate change: TALVEN_UPDATE_GOLDEN=1 ctest "
                                  "--preset dev -R Golden, then read git diff tests/golden.";
  }
  for (const std::string& f : expected) {
    EXPECT_TRUE(actual.count(f)) << p.name << ": expected " << f << ", which the run did not write";
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, Golden, ::testing::ValuesIn(golden_programs()),
                         [](const auto& program) { return program.param.name; });

// Expected files of a program that no longer exists would go unnoticed.
TEST(GoldenFiles, EveryExpectedFolderHasItsProgram) {
  std::set<std::string> names;
  for (const GoldenProgram& p : golden_programs()) names.insert(p.name);
  for (const auto& entry : fs::directory_iterator(kGolden / "expected")) {
    const std::string name = entry.path().filename().string();
    if (names.count(name)) continue;
    if (updating()) {
      fs::remove_all(entry.path());
      std::printf("golden: removed %s\n", name.c_str());
    } else {
      ADD_FAILURE() << "tests/golden/expected/" << name << " belongs to no program";
    }
  }
}

// The lines of the first fenced block after the line that ends in `marker`, in `section` of the
// user guide.
std::vector<std::string> guide_block(const std::string& section, const std::string& marker) {
  const auto lines = lines_of(read_file(kSource / "docs" / "user-guide.md"));
  auto at = std::find(lines.begin(), lines.end(), section);
  if (at != lines.end())
    at = std::find_if(at, lines.end(), [&](const std::string& l) {
      return l.size() >= marker.size() &&
             l.compare(l.size() - marker.size(), marker.size(), marker) == 0;
    });
  if (at != lines.end())
    at = std::find_if(at, lines.end(), [](const std::string& l) { return l.rfind("```", 0) == 0; });
  if (at == lines.end()) return {};
  const auto end = std::find(at + 1, lines.end(), "```");
  return {at + 1, end};
}

// The guide shows lines without their trailing blanks and without the listing's last blank line.
std::vector<std::string> as_shown(const std::string& text) {
  std::vector<std::string> lines = lines_of(text);
  for (std::string& l : lines) l.erase(l.find_last_not_of(' ') + 1);
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

// The worked example of the user guide is what the program prints.
TEST(GoldenFiles, UserGuideShowsTheWorkedExample) {
  if (updating()) GTEST_SKIP() << "the expected files are being rewritten";
  const fs::path run = kGolden / "expected" / "guide_example";
  const std::string section = "## 7. Worked example";

  const std::string listing = read_file(run / "listing.lst");
  const auto shown = guide_block(section, "The listing of step 1:");
  ASSERT_FALSE(shown.empty()) << "no listing block in section 7 of docs/user-guide.md";
  EXPECT_EQ(shown, as_shown(listing));
  // The shipped program's first step is the guide's example.
  EXPECT_EQ(read_file(kGolden / "expected" / "smart_study" / "listing.lst").rfind(listing, 0), 0u)
      << "the listing of the shipped program does not begin with the guide's example";

  // The OUTEST= file, its numbers rounded to six decimals.
  std::vector<std::string> file;
  for (const std::string& line : lines_of(read_file(run / "data" / "smart_est.csv"))) {
    std::string row;
    std::istringstream fields(line);
    int column = 0;
    for (std::string field; std::getline(fields, field, ','); ++column) {
      if (column > 0) row += ',';
      char number[64];
      if (column >= 2 && !field.empty() && line.rfind("Stage", 0) != 0) {
        std::snprintf(number, sizeof number, "%.6f", std::stod(field));
        field = number;
      }
      row += field;
    }
    if (line.back() == ',') row += ',';
    file.push_back(row);
  }
  EXPECT_EQ(guide_block(section, "decimals):"), file);
  EXPECT_NE(read_file(run / "log.txt")
                .find("NOTE: The data set WORK.SMART_EST has 13 observations "
                      "and 5 variables.\n"),
            std::string::npos);
}

}  // namespace
