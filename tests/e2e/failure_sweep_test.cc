// Makes every allocation of a small interval analysis fail in turn, in the library's checked
// allocations and in the host's memory service, and requires a clean error stop each time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

#ifdef KESTRION_FAULT_INJECTION
namespace {

using e2e::TalvenRun;

// The interval engine on `cores` threads; its worker arrays are obtained on the calling thread,
// so every thread count numbers the allocations in one fixed order.
std::string program(int cores) {
  return "PROC TALVEN DATA=study CONTRAST1=con DERIVECI SEED=11 CORES=" + std::to_string(cores) +
         "\n  NBOOTSTRAP1=4 NBOOTSTRAP2=3 NGRID=2;\n" + e2e::kModel;
}
const std::string kProgram = program(1);
// A few replicates keep the sweep fast; they draw the warnings about too few replicates.
constexpr int kCleanStatus = 1;
// The SASPROCD trace shows the end code itself.
const std::string kTrace = "--debug TLKTDBG=1";

int64_t reported_count(const TalvenRun& r, const std::string& key) {
  const size_t at = r.stderr_text.find(key + "=");
  return at == std::string::npos ? -1 : std::stoll(r.stderr_text.substr(at + key.size() + 1));
}

// The trimmed lines of the library's diagnostic block, up to the blank line that ends it.
std::vector<std::string> diagnostic_lines(const TalvenRun& r) {
  const std::string head =
      "ERROR: A problem occured during model estimation.  Diagnostic information is as follows:";
  std::vector<std::string> out;
  size_t i = 0;
  while (i < r.log.size() && r.log[i] != head) ++i;
  for (i += 2; i < r.log.size(); ++i) {
    const size_t start = r.log[i].find_first_not_of(' ');
    if (start == std::string::npos) break;
    out.push_back(r.log[i].substr(start));
  }
  return out;
}

bool is_word(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
  });
}

// "routine: array", the form of every description.
bool is_description(const std::string& line) {
  const size_t colon = line.find(": ");
  return colon != std::string::npos && is_word(line.substr(0, colon)) &&
         is_word(line.substr(colon + 2));
}

// "OCCURRED IN: dbl2_alloc in MOD dynamic_allocation" and the other allocation members.
bool is_allocation_label(const std::string& line) {
  const std::string head = "OCCURRED IN: ";
  const std::string tail = "_alloc in MOD dynamic_allocation";
  if (line.size() != head.size() + 4 + tail.size() || line.rfind(head, 0) != 0) return false;
  const std::string kind = line.substr(head.size(), 3);
  const char rank = line[head.size() + 3];
  return (kind == "int" || kind == "dbl" || kind == "log" || kind == "str") && rank >= '1' &&
         rank <= '7' && line.substr(head.size() + 4) == tail;
}

// Empty when the run stopped as it should; otherwise what was wrong.
std::string check_error_stop(const TalvenRun& r) {
  if (r.status != 2) return "exit status " + std::to_string(r.status);
  if (!r.has("NOTE: SASPROCD: endProcedure(3000, 0)")) return "no end code 3000";
  if (!r.has("NOTE: The system stopped processing PROCEDURE TALVEN because of errors.")) {
    return "no stop note";
  }
  if (r.stderr_text.find("Sanitizer") != std::string::npos ||
      r.stderr_text.find("runtime error") != std::string::npos) {
    return "sanitizer report";
  }
  return "";
}

// The lines of one failed checked allocation, followed by the report its caller adds, if any;
// `description` receives the allocation's description line.
std::string check_allocation_report(const std::vector<std::string>& d, std::string* description) {
  const std::string code_200 = "Unable to allocate memory for object";
  if (d.size() < 3 || d[0] != code_200 || !is_description(d[1]) || !is_allocation_label(d[2])) {
    return "no allocation report with a description";
  }
  *description = d[1];
  const std::vector<std::string> caller(d.begin() + 3, d.end());
  const bool in_regression = d[1].rfind("regression: ", 0) == 0;
  const std::vector<std::string> regression = {"Error occured.",
                                               "OCCURRED IN: svdr_l2 in MOD regression"};
  if (caller != (in_regression ? regression : std::vector<std::string>{})) {
    return "unexpected lines after the allocation report";
  }
  return "";
}

class FailureSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.write("study.csv", e2e::small_study(60));
    folder_.write("con.csv", e2e::kContrasts);
  }
  e2e::Folder folder_{"sweep"};
};

TEST_F(FailureSweep, EveryCheckedAllocationOfTheLibraryFailsCleanly) {
  for (const int cores : {1, 2}) {
    SCOPED_TRACE(cores);
    const std::string text = program(cores);
    const TalvenRun clean = folder_.talven(text, "KESTRION_COUNT_ALLOC=1", kTrace);
    ASSERT_EQ(clean.status, kCleanStatus) << clean.all();
    const int64_t count = reported_count(clean, "KESTRION_ALLOC_COUNT");
    ASSERT_GT(count, 50) << clean.stderr_text;

    std::set<std::string> seen;
    for (int64_t n = 1; n <= count; ++n) {
      const TalvenRun r = folder_.talven(text, "KESTRION_FAIL_ALLOC=" + std::to_string(n), kTrace);
      std::string description;
      std::string problem = check_error_stop(r);
      if (problem.empty()) problem = check_allocation_report(diagnostic_lines(r), &description);
      ASSERT_EQ(problem, "") << "allocation " << n << " of " << count << "\n" << r.all();
      seen.insert(description);
    }
    // Every phase was reached: the fit, the covariance and main bootstraps, every thread's
    // arrays for the fits and the terms, the bounds.
    for (const char* d :
         {"runkestrion: designM1", "regression: sigma", "regression: u", "bootstrap: outputIndex",
          "calculateCI: betaArray", "calculateCI: fitU", "calculateCI: term2",
          "calculateTerms: betaDiff", "getBounds: contrasts"}) {
      EXPECT_TRUE(seen.count(d)) << d;
    }
    // Past the last allocation the seam never fires and the run is the clean one.
    const TalvenRun past =
        folder_.talven(text, "KESTRION_FAIL_ALLOC=" + std::to_string(count + 1), kTrace);
    EXPECT_EQ(past.status, kCleanStatus) << past.all();
    RecordProperty("injected_library_failures_" + std::to_string(cores), static_cast<int>(count));
  }
}

TEST_F(FailureSweep, EveryHostAllocationFailsCleanly) {
  const TalvenRun clean = folder_.talven(kProgram, "TALVEN_COUNT_HOST_ALLOC=1", kTrace);
  ASSERT_EQ(clean.status, kCleanStatus) << clean.all();
  const int64_t count = reported_count(clean, "TALVEN_HOST_ALLOC_COUNT");
  ASSERT_GT(count, 10) << clean.stderr_text;

  const std::string head = "ERROR: Unable to allocate memory for ";
  for (int64_t n = 1; n <= count; ++n) {
    const TalvenRun r =
        folder_.talven(kProgram, "TALVEN_FAIL_HOST_ALLOC=" + std::to_string(n), kTrace);
    std::string problem = check_error_stop(r);
    const std::string first = r.first_error();
    const bool names_a_field = first.rfind(head, 0) == 0 && first.back() == '.' &&
                               is_word(first.substr(head.size(), first.size() - head.size() - 1));
    if (problem.empty() && !names_a_field) {
      problem = "first error: " + r.first_error();
    }
    ASSERT_EQ(problem, "") << "host allocation " << n << " of " << count << "\n" << r.all();
  }
  const TalvenRun past =
      folder_.talven(kProgram, "TALVEN_FAIL_HOST_ALLOC=" + std::to_string(count + 1), kTrace);
  EXPECT_EQ(past.status, kCleanStatus) << past.all();
  RecordProperty("injected_host_failures", static_cast<int>(count));
}

}  // namespace
#endif
