// SAS data files, OUTEST=, the log notes and the progress line, seen from outside the talven
// command: programs and data in a temporary folder, the log and listing in files.
#include <gtest/gtest.h>
#include <readstat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "host/csv_reader.h"
#include "tests/e2e/e2e_support.h"

namespace {

namespace fs = std::filesystem;
using e2e::read_file;
using e2e::TalvenRun;

// The model of the shipped example, with a small bootstrap; `options` go on the PROC statement.
std::string analysis(const std::string& options) {
  return "PROC TALVEN " + options +
         ";\n  MAIN1 age; TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2;\n"
         "  MAIN2 sidefx; TAILOR2 o21; STG2TRT a2; RESPONSE y;\nRUN;\n";
}

// Each test runs talven in a folder of its own that holds the shipped example's data sets.
class Features : public ::testing::Test, protected e2e::Folder {
 protected:
  void SetUp() override {
    for (const char* f : {"smart_study.csv", "smart_contrasts.csv"}) {
      fs::copy_file(fs::path(TALVEN_SOURCE_DIR) / "examples" / f, path() / f);
    }
  }
};

ssize_t append_bytes(const void* data, size_t len, void* ctx) {
  static_cast<std::string*>(ctx)->append(static_cast<const char*>(data), len);
  return static_cast<ssize_t>(len);
}

// The table written by ReadStat's own writer, every missing number of `tagged` as ".A".
std::string write_sas(const host::DataTable& t, bool xport, const std::string& tagged) {
  std::string out;
  readstat_writer_t* w = readstat_writer_init();
  readstat_set_data_writer(w, append_bytes);
  if (xport) readstat_writer_set_file_format_version(w, 8);
  std::vector<readstat_variable_t*> vars;
  for (const host::Column& c : t.columns) {
    vars.push_back(readstat_add_variable(w, c.name.c_str(), READSTAT_TYPE_DOUBLE, 8));
  }
  readstat_error_t e = xport ? readstat_begin_writing_xport(w, &out, static_cast<long>(t.rows))
                             : readstat_begin_writing_sas7bdat(w, &out, static_cast<long>(t.rows));
  for (int64_t r = 0; r < t.rows && e == READSTAT_OK; ++r) {
    e = readstat_begin_row(w);
    for (size_t c = 0; c < t.columns.size() && e == READSTAT_OK; ++c) {
      const double v = t.columns[c].numbers[static_cast<size_t>(r)];
      if (!std::isnan(v)) {
        e = readstat_insert_double_value(w, vars[c], v);
      } else if (t.columns[c].name == tagged) {
        e = readstat_insert_tagged_missing_value(w, vars[c], 'A');
      } else {
        e = readstat_insert_missing_value(w, vars[c]);
      }
    }
    if (e == READSTAT_OK) e = readstat_end_row(w);
  }
  if (e == READSTAT_OK) e = readstat_end_writing(w);
  readstat_writer_free(w);
  EXPECT_EQ(e, READSTAT_OK) << readstat_error_message(e);
  return out;
}

TEST_F(Features, SasFilesGiveTheListingOfTheSameCsvData) {
  const auto study = host::read_csv_file(path() / "smart_study.csv");
  ASSERT_TRUE(study.ok()) << study.error();
  write("sas/study.sas7bdat", write_sas(**study, false, "sidefx"));
  write("sas/xstudy.xpt", write_sas(**study, true, "o21"));
  const std::string options = " DERIVECI SEED=11 NBOOTSTRAP1=60 NBOOTSTRAP2=60";
  const TalvenRun csv = talven(analysis("DATA=smart_study" + options));
  ASSERT_EQ(csv.status, 0) << csv.all();
  EXPECT_TRUE(
      csv.has("NOTE: There were 300 observations read from the data set WORK.SMART_STUDY."));
  const struct {
    const char* data;
    const char* name;
  } cases[] = {
      {"s.study", "S.STUDY"},
      {"s.XSTUDY", "S.XSTUDY"},
      {"'sas/study.sas7bdat'", "sas/study.sas7bdat"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data);
    const TalvenRun sas =
        talven("libname s 'sas';\n" + analysis(std::string("DATA=") + c.data + options));
    EXPECT_EQ(sas.status, 0) << sas.all();
    EXPECT_EQ(sas.listing, csv.listing);
    EXPECT_TRUE(sas.has(std::string("NOTE: There were 300 observations read from the data set ") +
                        c.name + "."))
        << sas.all();
  }

  // Several files for one name: the CSV file is read, and the log says so.
  fs::copy_file(path() / "sas" / "study.sas7bdat", path() / "smart_study.sas7bdat");
  const TalvenRun both = talven(analysis("DATA=smart_study" + options));
  EXPECT_EQ(both.listing, csv.listing);
  EXPECT_TRUE(both.has(
      "NOTE: Data set WORK.SMART_STUDY is read from smart_study.csv; smart_study.sas7bdat in the "
      "same folder is not used."))
      << both.all();

  // A damaged SAS file is an error naming the file and the reason.
  write("sas/study.sas7bdat", "not a SAS file");
  const TalvenRun bad = talven("libname s 'sas';\n" + analysis("DATA=s.study"));
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(
      bad.log_text.find("ERROR: Line 2, column 13: DATA=: File sas/study.sas7bdat could not be "
                        "read as a SAS data set: "),
      std::string::npos)
      << bad.all();
}

TEST_F(Features, OutestRoundTripsThroughTheCsvReaderAndTalven) {
  fs::create_directories(path() / "results");
  const TalvenRun r = talven("libname res 'results';\n" +
                             analysis("DATA=smart_study CONTRAST1=smart_contrasts OUTEST=res.Est "
                                      "DERIVECI SEED=3 NBOOTSTRAP1=60 NBOOTSTRAP2=60") +
                             "PROC HOSTTEST DATA=res.est; VARS Stage Estimate Lower Upper; RUN;\n");
  ASSERT_EQ(r.status, 0) << r.all();
  EXPECT_TRUE(r.has("NOTE: The data set RES.EST has 12 observations and 5 variables.")) << r.all();
  EXPECT_TRUE(r.has("NOTE: There were 12 observations read from the data set RES.EST.")) << r.all();
  // Written under a lower-case name, with nothing else left in the folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(path() / "results"), {}), 1);
  const auto est = host::read_csv_file(path() / "results" / "est.csv");
  ASSERT_TRUE(est.ok()) << est.error();
  const auto& cols = (*est)->columns;
  ASSERT_EQ(cols.size(), 5u);
  const std::vector<std::string> names = {"Stage", "Term", "Estimate", "Lower", "Upper"};
  for (size_t c = 0; c < 5; ++c) EXPECT_EQ(cols[c].name, names[c]);
  EXPECT_EQ(cols[1].texts,
            (std::vector<std::string>{"intercept", "age", "o11", "o11:a1", "a1", "Contrast1",
                                      "Contrast2", "intercept", "sidefx", "o21", "o21:a2", "a2"}));
  // Every number is the one the listing prints, Upper before Lower there.
  for (size_t i = 0; i < 12; ++i) {
    char row[96];
    if (i < 7) {
      std::snprintf(row, sizeof row, "%8.4f     %10.4f  %10.4f\n", cols[2].numbers[i],
                    cols[4].numbers[i], cols[3].numbers[i]);
    } else {
      EXPECT_TRUE(std::isnan(cols[3].numbers[i]) && std::isnan(cols[4].numbers[i]));
      std::snprintf(row, sizeof row, "%8.4f\n", cols[2].numbers[i]);
    }
    EXPECT_NE(r.listing.find(row), std::string::npos) << cols[1].texts[i] << ": " << row;
    EXPECT_EQ(cols[0].numbers[i], i < 7 ? 1 : 2);
  }
}

TEST_F(Features, OutestProblemsNeverLeaveAPartialFile) {
  const struct {
    const char* outest;
    const char* error;
  } refused[] = {
      {"smart_study",
       "OUTEST=: The data set WORK.SMART_STUDY is read by this step (DATA=); write the output to "
       "another data set."},
      {"'est.xpt'",
       "OUTEST=: File est.xpt cannot be written: output data sets are CSV files, so its name must "
       "end in .csv."},
      {"nolib.est", "OUTEST=: Libref NOLIB is not assigned."},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.outest);
    const TalvenRun r = talven(analysis(std::string("DATA=smart_study OUTEST=") + c.outest));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.log_text.find(c.error), std::string::npos) << r.all();
    EXPECT_EQ(r.log_text.find("*** SAS PROC TALVEN ***"), std::string::npos)
        << "refused before it ran";
  }
  EXPECT_EQ(read_file(path() / "smart_study.csv"),
            read_file(fs::path(TALVEN_SOURCE_DIR) / "examples" / "smart_study.csv"));
#ifdef KESTRION_FAULT_INJECTION
  // A write that fails halfway (a full disk) leaves the earlier file as it was.
  write("est.csv", "earlier\n");
  const TalvenRun r = talven(analysis("DATA=smart_study OUTEST=est"), "TALVEN_FAIL_OUTPUT_WRITE=1");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(
      r.has("ERROR: The data set WORK.EST could not be written to ./est.csv: No space "
            "left on device."))
      << r.all();
  EXPECT_EQ(read_file(path() / "est.csv"), "earlier\n");
  for (const auto& entry : fs::directory_iterator(path())) {
    EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
  }
#endif
}

TEST_F(Features, NoProgressInLogFiles) {
  const TalvenRun r = talven(analysis("DATA=smart_study DERIVECI NBOOTSTRAP1=300 NBOOTSTRAP2=30"));
  EXPECT_EQ(r.status, 0) << r.all();
  EXPECT_NE(r.log_text.find("NOTE: The bootstrap was seeded from the clock: SEED="),
            std::string::npos);
  EXPECT_EQ(r.log_text.find("Bootstrap:"), std::string::npos);
  EXPECT_EQ(r.log_text.find('\r'), std::string::npos);
}

// A clock-seeded run names its seed, and SEED= with it repeats the run to the last digit.
TEST_F(Features, TheClockSeedRepeatsTheRun) {
  const std::string options = "DATA=smart_study DERIVECI NBOOTSTRAP1=100 NBOOTSTRAP2=40 NGRID=4";
  const TalvenRun first = talven(analysis(options));
  EXPECT_EQ(first.status, 0) << first.all();
  const std::string head = "NOTE: The bootstrap was seeded from the clock: SEED=";
  const size_t at = first.log_text.find(head);
  ASSERT_NE(at, std::string::npos) << first.all();
  const std::string rest = first.log_text.substr(at + head.size());
  const std::string seed = rest.substr(0, rest.find(' '));
  EXPECT_EQ(rest.substr(seed.size(), rest.find('\n') - seed.size()), " repeats this run.");
  const long value = std::stol(seed);
  EXPECT_GE(value, 1);
  EXPECT_LE(value, 2147483562);

  const TalvenRun again = talven(analysis(options + " SEED=" + seed));
  EXPECT_EQ(again.status, 0) << again.all();
  EXPECT_TRUE(again.has("NOTE: The bootstrap used SEED=" + seed + ".")) << again.all();
  EXPECT_EQ(again.listing, first.listing);
}

// The progress line as a person sees it: talven in a tmux pane, the pane captured while it runs.
TEST_F(Features, ProgressLineIsShownOnATerminalAndErasedAfterwards) {
  // Watching a live terminal depends on how long the run takes on this machine, so this check
  // runs only on request (TALVEN_TERMINAL_TESTS=1); the renderer itself is tested with an
  // injected clock in tests/host/progress_test.cc.
  if (std::getenv("TALVEN_TERMINAL_TESTS") == nullptr) {
    GTEST_SKIP() << "set TALVEN_TERMINAL_TESTS=1 to watch the progress line in tmux";
  }
  if (std::system("tmux -V > /dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
  const std::string socket = "talven_progress_" + std::to_string(::getpid());
  const std::string tmux = "tmux -L " + socket + " ";
  write("prog.sas", analysis("DATA=smart_study DERIVECI SEED=1 NBOOTSTRAP1=4000 NBOOTSTRAP2=50"));
  const std::string command = "cd '" + path().string() + "' && " + e2e::talven_binary() +
                              " prog.sas > out.txt; touch finished; sleep 60";
  ASSERT_EQ(std::system((tmux + "new-session -d -x 150 -y 40 \"" + command + "\"").c_str()), 0);
  const auto capture = [&] {
    const std::string file = (path() / "pane.txt").string();
    std::system((tmux + "capture-pane -p > '" + file + "'").c_str());
    return read_file(file);
  };
  std::string seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  while (!fs::exists(path() / "finished") && std::chrono::steady_clock::now() < deadline) {
    const std::string pane = capture();
    const size_t at = pane.find("Bootstrap: ");
    if (at != std::string::npos) seen = pane.substr(at, pane.find('\n', at) - at);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  const std::string final_pane = capture();
  std::system((tmux + "kill-server").c_str());
  ASSERT_TRUE(fs::exists(path() / "finished")) << "talven did not finish";
  EXPECT_NE(seen.find(" replicates, "), std::string::npos) << "never seen:\n" << final_pane;
  EXPECT_NE(seen.find("/4000 replicates, "), std::string::npos) << seen;
  EXPECT_NE(seen.find(" elapsed, about "), std::string::npos) << seen;
  EXPECT_EQ(final_pane.find("Bootstrap: "), std::string::npos) << final_pane;
  EXPECT_NE(final_pane.find("NOTE: After runkestrion......"), std::string::npos) << final_pane;
}

}  // namespace

namespace {

// The estimates and limits of an OUTEST= data set, as read back.
std::vector<double> outest_numbers(const fs::path& file, std::vector<std::string>* terms) {
  const auto est = host::read_csv_file(file);
  EXPECT_TRUE(est.ok());
  std::vector<double> numbers;
  if (!est.ok()) return numbers;
  const auto& cols = (*est)->columns;
  *terms = cols[1].texts;
  for (size_t c : {2u, 3u, 4u}) {
    numbers.insert(numbers.end(), cols[c].numbers.begin(), cols[c].numbers.end());
  }
  return numbers;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

// A product written in MAIN2 gives, bit for bit, the estimates and limits of a column holding it
// (here written with 17 digits, which read back as the same double); a product with a text
// treatment takes its -1/1 code; three factors multiply left to right.
TEST_F(Features, AWrittenProductEqualsAColumnHoldingIt) {
  const auto study = host::read_csv_file(path() / "smart_study.csv");
  ASSERT_TRUE(study.ok()) << study.error();
  const auto& cols = (*study)->columns;
  auto column = [&](const char* name) -> const host::Column& {
    for (const auto& c : cols) {
      if (c.name == name) return c;
    }
    ADD_FAILURE() << name;
    return cols.front();
  };
  std::string csv = read_file(path() / "smart_study.csv");
  std::string out;
  size_t line_start = 0;
  for (int64_t row = -1; row < (*study)->rows; ++row) {
    const size_t end = csv.find('\n', line_start);
    std::string line = csv.substr(line_start, end - line_start);
    line_start = end + 1;
    if (row < 0) {
      out += line + ",o11a1,ageo11a1,arm\n";
      continue;
    }
    const auto i = static_cast<size_t>(row);
    const double age = column("age").numbers[i], o11 = column("o11").numbers[i],
                 a1 = column("a1").numbers[i];
    char extra[128];
    std::snprintf(extra, sizeof extra, ",%.17g,%.17g,%s\n", o11 * a1, age * o11 * a1,
                  a1 < 0 ? "drug" : "placebo");
    out += line + extra;
  }
  write("products.csv", out);
  fs::create_directories(path() / "results");
  const std::string head =
      "libname res 'results';\nPROC TALVEN DATA=products DERIVECI SEED=11 NBOOTSTRAP1=60 "
      "NBOOTSTRAP2=60 OUTEST=res.";
  const std::string model =
      "; MAIN1 age; TAILOR1 o11; STG2SAMPLE stage2; TAILOR2 o21; STG2TRT "
      "a2; RESPONSE y;\n";
  const TalvenRun r =
      talven(head + "column" + model + "STG1TRT a1; MAIN2 sidefx o11a1 ageo11a1; RUN;\n" + head +
             "written" + model + "STG1TRT a1; MAIN2 sidefx o11*a1 age*o11*a1; RUN;\n" + head +
             "text" + model + "STG1TRT arm; MAIN2 sidefx o11*arm age*o11*arm; RUN;\n");
  ASSERT_EQ(r.status, 0) << r.all();
  EXPECT_EQ(r.count_prefix("NOTE: Neither MAIN2"), 1u) << r.all();
  std::vector<std::string> terms[3];
  const std::vector<double> column_numbers =
      outest_numbers(path() / "results" / "column.csv", &terms[0]);
  const std::vector<double> written = outest_numbers(path() / "results" / "written.csv", &terms[1]);
  const std::vector<double> text = outest_numbers(path() / "results" / "text.csv", &terms[2]);
  EXPECT_TRUE(same_bits(column_numbers, written));
  EXPECT_TRUE(same_bits(column_numbers, text));
  EXPECT_EQ(terms[1][5], "intercept");
  EXPECT_EQ(terms[1][7], "o11*a1");
  EXPECT_EQ(terms[1][8], "age*o11*a1");
  EXPECT_EQ(terms[2][8], "age*o11*arm");
  // The listing keeps its 12-character labels.
  EXPECT_NE(r.listing.find("age*o11*a1 "), std::string::npos);
  EXPECT_NE(r.listing.find("age*o11*arm "), std::string::npos);
}
