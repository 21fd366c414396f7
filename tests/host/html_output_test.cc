// The HTML reports of a run: the ODS statement, which report is open when, what is written when
// it closes, the messages a step gathers, and the settings of BY groups.
#include "host/html_output.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "host/csv_writer.h"
#include "tests/support/temp_folder.h"

namespace host {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// One statement of program text (up to its ';').
Statement statement(const std::string& text) {
  Lexer lexer(text);
  Statement st;
  for (Token t = lexer.next(); t.kind != TokenKind::kEnd; t = lexer.next()) {
    if (t.is_punct(";")) {
      st.end = t;
      break;
    }
    st.tokens.push_back(t);
  }
  return st;
}

// Reports whose writes are recorded, with the log's lines kept.
class Reports {
 public:
  explicit Reports(bool writes_fail = false)
      : reports(log, Report{}, [this, writes_fail](const fs::path& file, const Report& report) {
          written.push_back({file, report});
          return writes_fail ? Result<void>(Failure{"No space left on device"}) : Result<void>();
        }) {
    log.set_keep_lines(true);
  }

  // Runs the ODS statement; its messages as the log shows them.
  void ods(const std::string& text) {
    apply_ods_statement(statement(text), reports,
                        [this](Severity severity, const Token& at, const std::string& message) {
                          const char* kind = severity == Severity::kError     ? "ERROR"
                                             : severity == Severity::kWarning ? "WARNING"
                                                                              : "NOTE";
                          log.write(severity,
                                    std::string(kind) + ": " + where(at) + ": " + message);
                        });
  }

  void step(const std::string& name) {
    ReportStep s;
    s.procedure = name;
    reports.add_step(s);
  }

  struct Written {
    fs::path file;
    Report report;
  };
  Log log{nullptr};
  HtmlReports reports;
  std::vector<Written> written;
};

Lines step_names(const Report& report) {
  Lines names;
  for (const ReportStep& s : report.steps) names.push_back(s.procedure);
  return names;
}

TEST(OdsStatement, OpensClosesOrExplainsWhatItIgnores) {
  const test_support::TempFolder dir;
  const std::string d = dir.path().string();
  dir.write("prog.sas", "");
  fs::create_directories(dir / "sub");
  const struct {
    std::string text;
    std::string opened;  // the file the report is written to, relative to the folder; "": none
    Lines log;
  } cases[] = {
      {"ODS HTML FILE='" + d + "/r.html';",
       "r.html",
       {"NOTE: The HTML report " + d +
        "/r.html collects the steps that follow; it is written at ODS HTML CLOSE or at the end "
        "of the program."}},
      {"ods html style=journal body=\"" + d +
           "/r.html\" (url=none) options(pagebreak='no') "
           "nogtitle;",
       "r.html",
       {"NOTE: Line 1, column 10: The ODS HTML options STYLE=, (URL ...), OPTIONS(...) and "
        "NOGTITLE have no effect on talven's report.",
        "NOTE: The HTML report " + d +
            "/r.html collects the steps that follow; it is written at ODS HTML CLOSE or at the "
            "end of the program."}},
      {"ODS HTML PATH='" + d + "/sub' FILE='r.html';",
       "sub/r.html",
       {"NOTE: The HTML report " + d +
        "/sub/r.html collects the steps that follow; it is written at ODS HTML CLOSE or at the "
        "end of the program."}},
      {"ODS HTML;",
       "",
       {"ERROR: Line 1, column 5: ODS HTML needs FILE='report.html' to open a report, or CLOSE "
        "to close the open one."}},
      {"ODS HTML FILE=report;",
       "",
       {"ERROR: Line 1, column 15: FILE= needs a file name in quotes, as in FILE='report.html'; "
        "found report."}},
      {"ODS HTML PATH=out FILE='r.html';",
       "",
       {"ERROR: Line 1, column 15: PATH= needs a folder in quotes, as in PATH='reports'; found "
        "out."}},
      {"ODS HTML FILE '" + d + "/r.html';",
       "",
       {"ERROR: Line 1, column 10: Syntax error: expected = after FILE."}},
      {"ODS HTML FILE='" + d + "/missing/r.html';",
       "",
       {"ERROR: Line 1, column 15: The HTML report cannot be written to " + d +
        "/missing/r.html: the folder " + d + "/missing does not exist."}},
      {"ODS HTML FILE='" + d + "/sub';",
       "",
       {"ERROR: Line 1, column 15: The HTML report cannot be written to " + d +
        "/sub: it is a folder."}},
      {"ODS HTML FILE='" + d + "/prog.sas';",
       "",
       {"ERROR: Line 1, column 15: The HTML report cannot be written to " + d +
        "/prog.sas: it is the program."}},
      {"ODS HTML CLOSE now;",
       "",
       {"ERROR: Line 1, column 16: Syntax error: expected ; after ODS HTML CLOSE, found now."}},
      {"ODS;",
       "",
       {"ERROR: Line 1, column 4: Syntax error: expected an ODS destination such as HTML after "
        "ODS, found ;."}},
      {"ODS HMTL FILE='r.html';",
       "",
       {"ERROR: Line 1, column 5: Syntax error: HMTL is not an ODS destination or statement that "
        "talven knows. Did you mean HTML?"}},
      {"ODS PDF FILE='r.pdf';",
       "",
       {"WARNING: Line 1, column 5: ODS PDF output is not written by talven; the statement is "
        "ignored. talven writes HTML reports, which a browser prints: ODS HTML "
        "FILE='report.html';"}},
      {"ODS LISTING CLOSE;",
       "",
       {"NOTE: Line 1, column 5: ODS LISTING has no effect in talven: the listing is always "
        "written."}},
      {"ODS GRAPHICS ON / WIDTH=4in;",
       "",
       {"NOTE: Line 1, column 5: ODS GRAPHICS has no effect in talven: the HTML report always "
        "has its forest plots."}},
      // Closing what is not open is a habit of programs that start from a clean slate.
      {"ODS HTML CLOSE;", "", {}},
      {"ODS _ALL_ CLOSE;", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Reports r;
    r.reports.protect(dir / "prog.sas", "the program");
    r.ods(c.text);
    EXPECT_EQ(r.log.lines(), c.log);
    r.step("ONE");
    r.reports.finish();
    if (c.opened.empty()) {
      EXPECT_TRUE(r.written.empty());
    } else {
      ASSERT_EQ(r.written.size(), 1u);
      EXPECT_EQ(r.written[0].file, dir / c.opened);
      EXPECT_EQ(step_names(r.written[0].report), Lines{"ONE"});
    }
  }
}

TEST(HtmlReports, EachReportHoldsTheStepsRunWhileItWasOpen) {
  const test_support::TempFolder dir;
  Reports r;
  r.reports.set_created("10:32 Wednesday, May 2, 2018");
  r.reports.open_run_report(dir / "all.html");
  r.step("A");
  r.ods("ODS HTML FILE='" + (dir / "one.html").string() + "';");
  r.step("B");
  // A second ODS HTML FILE= closes the first report.
  r.ods("ODS HTML FILE='" + (dir / "two.html").string() + "';");
  ASSERT_EQ(r.written.size(), 1u);
  r.step("C");
  r.ods("ODS _ALL_ CLOSE;");
  r.step("D");
  // ODS HTML may not write over the report of --html.
  r.ods("ODS HTML FILE='" + (dir / "all.html").string() + "';");
  EXPECT_EQ(r.log.lines().back(),
            "ERROR: Line 1, column 15: The HTML report cannot be written to " +
                (dir / "all.html").string() + ": it is the report of --html.");
  r.ods("ODS HTML FILE='" + (dir / "three.html").string() + "';");
  r.step("E");
  r.reports.finish();
  // An ODS report never closed is written at the end, before the report of the whole run.
  ASSERT_EQ(r.written.size(), 4u);
  const struct {
    const char* file;
    Lines steps;
  } expected[] = {{"one.html", {"B"}},
                  {"two.html", {"C"}},
                  {"three.html", {"E"}},
                  {"all.html", {"A", "B", "C", "D", "E"}}};
  for (size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(r.written[k].file, dir / expected[k].file);
    EXPECT_EQ(step_names(r.written[k].report), expected[k].steps);
    EXPECT_EQ(r.written[k].report.created, "10:32 Wednesday, May 2, 2018");
  }
  // The log's messages while each was open, so that a clean-looking report never hides an error.
  EXPECT_EQ(r.written[2].report.settings.back().value,
            "0 errors, 0 warnings while this report was open");
  EXPECT_EQ(r.written[3].report.settings.back().value,
            "1 error, 0 warnings while this report was open");
  EXPECT_EQ(r.log.lines().back(),
            "NOTE: The HTML report " + (dir / "all.html").string() + " was written with 5 steps.");
}

TEST(HtmlReports, AReportThatCannotBeWrittenIsAnError) {
  Reports r(true);
  r.reports.open_run_report("all.html");
  r.step("A");
  r.reports.finish();
  EXPECT_EQ(r.log.lines(),
            Lines{"ERROR: The HTML report all.html could not be written: No space left on "
                  "device."});
  EXPECT_EQ(r.log.errors(), 1);
}

TEST(HtmlReports, RefuseTheFilesOfTheRunUnderAnyOfTheirNames) {
  const test_support::TempFolder dir;
  dir.write("run.log", "");
  Log log(nullptr);
  HtmlReports reports(log);
  reports.protect(dir / "run.log", "the log");
  reports.protect(dir / "out.lst", "the listing");  // need not exist yet
  const struct {
    fs::path file;
    std::string why;  // empty: usable
  } cases[] = {
      {dir / "report.html", ""},
      {dir / "." / "run.log", "it is the log"},
      {dir / "sub" / ".." / "out.lst", "it is the listing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file.string());
    const Result<void> usable = reports.check(c.file);
    EXPECT_EQ(usable ? "" : usable.error(), c.why);
  }
}

TEST(StepMessages, GatherWarningsErrorsAndTheLinesThatExplainAnError) {
  Log log(nullptr);
  log.write(Severity::kError, "ERROR: before");
  std::optional<StepMessages> messages;
  messages.emplace(log);
  log.note("The step begins.");
  log.write(Severity::kPlain, " *** SAS PROC TALVEN ***");  // the banner is no message
  log.warning("Few replicates.");
  log.write(Severity::kPlain, "   not an explanation");
  log.error("A problem occured during model estimation.");
  log.write(Severity::kPlain, " ");
  log.write(Severity::kPlain, "   SINGULAR MATRIX");
  log.write(Severity::kPlain, "   OCCURRED IN: fitTwoStage");
  log.note("The system stopped processing.");
  log.write(Severity::kPlain, "   after a note");
  log.set_notes(false);  // NONOTES hides notes from the log, not from the report's grouping
  log.error("Second.");
  log.note("hidden");
  log.write(Severity::kPlain, "   after a hidden note");
  EXPECT_EQ(messages->take(),
            (Lines{"WARNING: Few replicates.", "ERROR: A problem occured during model estimation.",
                   "   SINGULAR MATRIX", "   OCCURRED IN: fitTwoStage", "ERROR: Second."}));
  log.warning("Next group.");
  EXPECT_EQ(messages->take(), Lines{"WARNING: Next group."});
  messages.reset();
  log.warning("After the step.");  // nobody listens any more
}

TEST(MergeSettings, ValuesTheGroupsShareOnceAndOthersPerGroup) {
  std::vector<ReportGroup> groups(3);
  groups[0].by_line = "site=1";
  groups[1].by_line = "site=2";
  groups[2].by_line = "site=3";
  const std::vector<std::vector<ReportSetting>> each = {
      {{"DATA=", "WORK.S"}, {"SEED=", "5 (drawn from the clock)"}},
      {},  // a group that stopped
      {{"DATA=", "WORK.S"}, {"SEED=", "9 (drawn from the clock)"}, {"RULES", "in force"}}};
  EXPECT_EQ(merge_settings(groups, each),
            (std::vector<ReportSetting>{
                {"DATA=", "WORK.S"},
                {"SEED=", "5 (drawn from the clock) (site=1); 9 (drawn from the clock) (site=3)"},
                {"RULES", "in force"}}));
  EXPECT_TRUE(merge_settings(groups, {{}, {}, {}}).empty());
}

}  // namespace
}  // namespace host
