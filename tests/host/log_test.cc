#include "host/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace host {
namespace {

std::string render(const char* format, ...) {
  Severity severity;
  const std::string f = translate_codes(format, CodeMode::kRender, &severity);
  va_list args;
  va_start(args, format);
  std::string out = format_printf(f.c_str(), args);
  va_end(args);
  return out;
}

TEST(LogRendering, CodesBecomePrefixesAndPrintControlsVanish) {
  EXPECT_EQ(render("%1zDATA= must be specified."), "ERROR: DATA= must be specified.");
  EXPECT_EQ(render("%2zOut of %7ld bootstrap samples", 1000L),
            "WARNING: Out of    1000 bootstrap samples");
  EXPECT_EQ(render("%3zgetKestrionData start......."), "NOTE: getKestrionData start.......");
  EXPECT_EQ(render("%8h *** SAS PROC TALVEN ***"), " *** SAS PROC TALVEN ***");
  EXPECT_EQ(render("%9tTitle %s", "x"), "Title x");
  // Widths that begin with the digits of a code are ordinary printf.
  EXPECT_EQ(render("%10.4f|%2ld|%1d", 1.5, 7L, 3), "    1.5000| 7|3");
  EXPECT_EQ(render("100%% sure"), "100% sure");
  EXPECT_EQ(render("no code at all"), "no code at all");
}

TEST(LogRendering, SeverityIsTheCodeOfTheFormat) {
  const struct {
    const char* format;
    Severity severity;
  } cases[] = {{"%1zx", Severity::kError},
               {"%2zx", Severity::kWarning},
               {"%3zx", Severity::kNote},
               {" ", Severity::kPlain},
               {"%8hbanner", Severity::kPlain}};
  for (const auto& c : cases) {
    Severity s = Severity::kPlain;
    translate_codes(c.format, CodeMode::kRender, &s);
    EXPECT_EQ(s, c.severity) << c.format;
  }
}

TEST(LogRendering, PassThroughKeepsCodesForTheHostsFormatRoutine) {
  const std::string f = translate_codes("%9tPROC %s %1z", CodeMode::kPassThrough);
  char buf[64];
  std::snprintf(buf, sizeof buf, f.c_str(), "TALVEN");
  EXPECT_STREQ(buf, "%9tPROC TALVEN %1z");
  EXPECT_EQ(strip_print_controls(buf), "PROC TALVEN %1z");
}

TEST(LogRendering, TitlesAreCentredInEightyColumns) {
  EXPECT_EQ(center_title("abcd"), std::string(38, ' ') + "abcd");
  EXPECT_EQ(center_title("abc"), std::string(38, ' ') + "abc");
  EXPECT_EQ(center_title("   padded   "), std::string(37, ' ') + "padded");
  const std::string wide(90, 'w');
  EXPECT_EQ(center_title(wide), wide);
  const std::string t = "PROC TALVEN -- Q-Learning and Adaptive Confidence Intervals";
  EXPECT_EQ(center_title(t), std::string(10, ' ') + t);
}

std::string slurp(std::FILE* f) {
  std::rewind(f);
  std::string out;
  char buf[256];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  return out;
}

TEST(Listing, TitleBlankLineThenLinesExactlyAsWritten) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  {
    Listing listing(f);
    listing.set_title(1, "%9tMy title   ");
    listing.start();
    listing.text("a  ");
    listing.text("b   ");
    listing.end_line();
    listing.end_line();
    listing.text("unfinished");
    listing.finish_step();
  }
  EXPECT_EQ(slurp(f), std::string(36, ' ') + "My title\n\na  b   \n\nunfinished\n");
  std::fclose(f);
}

// The user's titles and footnotes with SAS's rules among themselves, around the procedure's title;
// with a page size the procedure's lines are cut into pages that each repeat them.
TEST(Listing, UserTitlesFootnotesAndPages) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  {
    Listing listing(f);
    PageOptions options;
    options.line_size = 64;
    options.page_size = 15;
    options.number = true;
    listing.set_options(options);
    listing.set_user_title(1, "One");
    listing.set_user_title(3, "Three");
    listing.set_user_title(4, "Four");
    listing.set_user_title(3, std::nullopt);  // TITLE3; clears 3 and 4
    listing.set_user_title(2, "Two");
    listing.set_footnote(1, "Foot");
    listing.set_by_line("site=2");
    listing.set_title(1, "Proc");
    listing.start();
    for (int k = 1; k <= 8; ++k) {
      listing.text("line " + std::to_string(k));
      listing.end_line();
    }
    listing.finish_step();
  }
  const std::string by = std::string(28, '-') + " site=2 " + std::string(28, '-');
  const std::string head = std::string(30, ' ') + "One" + std::string(30, ' ');
  const std::string titles =
      std::string(30, ' ') + "Two\n" + std::string(30, ' ') + "Proc\n\n" + by + "\n\n";
  // 15 lines a page: 6 of titles, 2 of footnote, so 7 of the procedure's.
  std::string want = head + "1\n" + titles;
  for (int k = 1; k <= 7; ++k) want += "line " + std::to_string(k) + "\n";
  want += "\n" + std::string(30, ' ') + "Foot\n";
  want += "\f" + head + "2\n" + titles + "line 8\n" + std::string(6, '\n') + "\n" +
          std::string(30, ' ') + "Foot\n";
  EXPECT_EQ(slurp(f), want);
  std::fclose(f);
}

TEST(Log, NonotesLeavesNotesOut) {
  Log log(nullptr);
  log.set_keep_lines(true);
  log.set_notes(false);
  log.note("n");
  log.warning("w");
  log.set_notes(true);
  log.note("m");
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"WARNING: w", "NOTE: m"}));
}

TEST(Log, CountsErrorsAndWarnings) {
  Log log(nullptr);
  log.set_keep_lines(true);
  log.error("e");
  log.warning("w");
  log.note("n");
  log.write(Severity::kPlain, " ");
  EXPECT_EQ(log.errors(), 1);
  EXPECT_EQ(log.warnings(), 1);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"ERROR: e", "WARNING: w", "NOTE: n", " "}));
}

}  // namespace
}  // namespace host
