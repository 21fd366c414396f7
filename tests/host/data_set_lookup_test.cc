// Which file a data set name finds in a library folder, and which file an output data set is
// written to. Lookup goes by file names only, so the files here are empty.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/data_set.h"
#include "tests/support/temp_folder.h"

namespace host {
namespace {

namespace fs = std::filesystem;

class Lookup : public ::testing::Test {
 protected:
  // A fresh library folder holding exactly `files`.
  Libraries library(const std::vector<std::string>& files) {
    folder_.clear();
    for (const std::string& f : files) std::ofstream(dir_ / f) << "";
    return Libraries(dir_);
  }
  test_support::TempFolder folder_;
  const fs::path& dir_ = folder_.path();
};

TEST_F(Lookup, CsvFirstThenSas7bdatThenTransportWithANoteNamingTheOthers) {
  const struct {
    std::vector<std::string> files;
    const char* found;  // empty: an error
    std::string note;
    std::string error;
  } cases[] = {
      {{"study.csv"}, "study.csv", "", ""},
      {{"STUDY.SAS7BDAT"}, "STUDY.SAS7BDAT", "", ""},
      {{"Study.Xpt", "other.csv"}, "Study.Xpt", "", ""},
      {{"study.xpt", "study.sas7bdat", "study.csv"},
       "study.csv",
       "Data set WORK.STUDY is read from study.csv; study.sas7bdat and study.xpt in the same "
       "folder are not used.",
       ""},
      {{"study.xpt", "study.sas7bdat"},
       "study.sas7bdat",
       "Data set WORK.STUDY is read from study.sas7bdat; study.xpt in the same folder is not "
       "used.",
       ""},
      {{"study.csv.bak", "study.tsv", "studyx.csv"},
       "",
       "",
       "Data set WORK.STUDY does not exist (no file study.csv, study.sas7bdat or study.xpt in "},
      {{"study.sas7bdat", "Study.SAS7BDAT"},
       "",
       "",
       "Data set WORK.STUDY is ambiguous: both Study.SAS7BDAT and study.sas7bdat are in "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.files.front());
    const Libraries libs = library(c.files);
    const auto located = locate_data_set({"work", "Study", "", false, nullptr}, libs);
    const std::string error = located ? "" : located.error();
    EXPECT_EQ(located ? located->path.filename().string() : "", c.found);
    EXPECT_EQ(located ? located->note : "", c.note);
    EXPECT_EQ(error.substr(0, c.error.size()), c.error);
    EXPECT_EQ(error.empty(), c.error.empty()) << error;
  }
}

TEST_F(Lookup, OutputFilesAreCheckedBeforeTheyAreNeeded) {
  const Libraries libs = library({"Est.CSV", "two.csv", "TWO.csv"});
  fs::create_directories(dir_ / "folder.csv");
  const struct {
    DataSetRef ref;
    std::string file;  // relative to the folder; empty: an error
    std::string error;
  } cases[] = {
      {{"work", "est", "", false, nullptr}, "Est.CSV", ""},  // replaced under its own name
      {{"WORK", "New", "", false, nullptr}, "new.csv", ""},
      {{"nolib", "x", "", false, nullptr}, "", "Libref NOLIB is not assigned."},
      {{"work", "two", "", false, nullptr},
       "",
       "Data set WORK.TWO is ambiguous: both TWO.csv and two.csv"},
      {{"work", "folder", "", false, nullptr}, "", "cannot be written: it is a folder."},
      {{"", "", (dir_ / "out.CSV").string(), true, nullptr}, "out.CSV", ""},
      {{"", "", (dir_ / "out.xpt").string(), true, nullptr},
       "",
       "cannot be written: output data sets are CSV files, so its name must end in .csv."},
      {{"", "", (dir_ / "missing" / "out.csv").string(), true, nullptr},
       "",
       "cannot be written: the folder " + (dir_ / "missing").string() + " does not exist."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ref.display());
    const auto located = locate_output_data_set(c.ref, libs);
    const std::string error = located ? "" : located.error();
    const fs::path got = located ? *located : fs::path();
    EXPECT_EQ(got.empty() ? "" : got.filename().string(), c.file);
    if (!got.empty()) {
      EXPECT_EQ(got.parent_path(), dir_);
    }
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_EQ(error.empty(), c.error.empty()) << error;
  }
  if (::geteuid() != 0) {  // root writes anywhere
    fs::permissions(dir_, fs::perms(0555));
    const auto located = locate_output_data_set({"work", "new", "", false, nullptr}, libs);
    ASSERT_FALSE(located.ok());
    EXPECT_NE(located.error().find("does not accept new files"), std::string::npos);
    fs::permissions(dir_, fs::perms(0755));
  }
}

}  // namespace
}  // namespace host
