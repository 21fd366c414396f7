// The run sequence: banner, progress notes, the library call and its diagnostic text, teardown.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/kestrion_library.h"
#include "tests/procedure/fake_host.h"

namespace talven_test {
namespace {

using Lines = std::vector<std::string>;

const Lines kBanner = {" *** SAS PROC TALVEN ***",
                       "  Version 1.0.0",
                       "  Copyright (c) 2018",
                       "  The TALVEN authors",
                       "  TALVEN project",
                       "  Revision Date: May  2 2018",
                       " "};

TEST(Driver, SuccessfulRunLogsEveryStepAndReleasesEverything) {
  FakeHost host;
  FakeLibrary library;
  minimal_statement(host, study());
  host.run();
  const Lines expected_log = [] {
    Lines lines = kBanner;
    // The minimal model's stage 2 lacks the stage-1 treatment.
    lines.emplace_back(
        "NOTE: Neither MAIN2 nor TAILOR2 holds the stage-1 treatment a1 or a product with it; the "
        "stage-2 model usually carries the stage-1 history (see the user guide).");
    for (const char* note :
         {"getKestrionData start.......", "getKestrionData end.......",
          "getContrastMatrix start.......", "getContrastMatrix end.......",
          "Before runkestrion......", "After runkestrion......", "Before kestrionOutput......",
          "kestrionOutput start.......", "After kestrionOutput......",
          "Before Nullify KESTRIONINFOSTR......", "kestrionNullify start.......",
          "Nullify pointers.......", "After Nullify pointers.......", "kestrionNullify end.......",
          "After Nullify KESTRIONINFOSTR......"}) {
      lines.push_back(std::string("NOTE: ") + note);
    }
    return lines;
  }();
  EXPECT_EQ(host.log, expected_log);
  EXPECT_EQ(host.end_codes, std::vector<int32_t>{0});
  EXPECT_EQ(host.live_blocks(), 0);
  EXPECT_EQ(host.bad_releases, 0);
  EXPECT_TRUE(host.readers_.empty());
  EXPECT_EQ(library.message_length, 3001);
  EXPECT_EQ(library.seeds, std::vector<int32_t>{0});
}

TEST(Driver, LibraryFailureIsLoggedLineByLine) {
  struct Case {
    std::string text;
    Lines pieces;
  };
  const std::string long_line(4000, 'x');
  const Case cases[] = {
      {"Unable to allocate memory for object\r\nrunkestrion: designM1\r\nOCCURRED IN: "
       "dbl2_alloc in MOD dynamic_allocation",
       {"Unable to allocate memory for object", "runkestrion: designM1",
        "OCCURRED IN: dbl2_alloc in MOD dynamic_allocation"}},
      {"first\r\n\r\nsecond", {"first", "second"}},
      {"\r\nonly\n\r", {"only"}},
      {long_line, {long_line.substr(0, 3000)}},
  };
  for (const Case& c : cases) {
    FakeHost host;
    FakeLibrary library;
    library.failure_text = c.text;
    minimal_statement(host, study());
    host.run();
    Lines expected = {
        "ERROR: A problem occured during model estimation.  Diagnostic information "
        "is as follows:",
        " "};
    for (const std::string& piece : c.pieces) expected.push_back("   " + piece);
    expected.push_back(" ");
    const Lines tail(host.log.end() - static_cast<long>(expected.size()), host.log.end());
    EXPECT_EQ(tail, expected);
    EXPECT_EQ(host.end_codes, std::vector<int32_t>{3000});
    EXPECT_TRUE(host.listing.empty());
  }
}

TEST(Driver, DiagnosticTextSplitting) {
  struct Case {
    std::string text;
    int length;
    Lines pieces;
  };
  const Case cases[] = {
      {std::string("a\r\nb\0c\r\nd", 10), 10, {"a", "b"}},  // nothing after the terminating 0
      {"abcdef", 3, {"abc"}},                               // no terminator within the buffer
      {"\r\n\r\n", 4, {}},
      {"a\rb\nc", 5, {"a", "b", "c"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(talven::split_diagnostic_text(c.text.data(), c.length), c.pieces);
  }
}

TEST(Driver, VersionMismatchStopsBeforeTheAnalysis) {
  FakeHost host;
  FakeLibrary library;
  library.mismatch = true;
  minimal_statement(host, study());
  host.run();
  const Lines tail(host.log.end() - 2, host.log.end());
  EXPECT_EQ(tail, (Lines{"ERROR: The TALVEN library has an incorrect version number.", " "}));
  EXPECT_FALSE(library.called);
  EXPECT_TRUE(library.seeds.empty());
  EXPECT_EQ(host.end_codes, std::vector<int32_t>{3000});
}

TEST(Driver, SeedIsHandedOverBeforeTheAnalysis) {
  for (double seed : {1.0, 12345.7, 2147483562.0}) {
    FakeHost host;
    FakeLibrary library;
    minimal_statement(host, study());
    host.number(23, seed);
    host.run();
    EXPECT_EQ(library.seeds, std::vector<int32_t>{static_cast<int32_t>(seed)});
    EXPECT_TRUE(library.called);
  }
}

TEST(Driver, EveryFailedAllocationStopsCleanly) {
  int64_t total = 0;
  {
    FakeHost host;
    FakeLibrary library;
    minimal_statement(host, study());
    host.data_set(2,
                  FakeDataSet{"WORK.C", {"c1", "c2", "c3", "c4", "c5"}, {}, {{1, 0, 0, 0, 1}}, {}});
    host.list(7, {"x1"});
    host.list(9, {"m2"});
    host.run();
    total = host.allocations;
    ASSERT_EQ(host.end_codes, std::vector<int32_t>{0});
  }
  ASSERT_GT(total, 20);
  for (int64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE(n);
    FakeHost host;
    FakeLibrary library;
    minimal_statement(host, study());
    host.data_set(2,
                  FakeDataSet{"WORK.C", {"c1", "c2", "c3", "c4", "c5"}, {}, {{1, 0, 0, 0, 1}}, {}});
    host.list(7, {"x1"});
    host.list(9, {"m2"});
    host.fail_allocation = n;
    host.run();
    EXPECT_EQ(host.end_codes, std::vector<int32_t>{3000});
    const Lines errors = host.errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Unable to allocate memory for ", 0), 0u) << errors[0];
    EXPECT_NE(errors[0].find_first_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos);
    EXPECT_FALSE(library.called);
  }
}

}  // namespace
}  // namespace talven_test
