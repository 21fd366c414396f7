#include "host/session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace host {
namespace {

Statement statement(const std::string& text) {
  Lexer lexer(text);
  Statement st;
  for (Token t = lexer.next(); !t.is_punct(";") && t.kind != TokenKind::kEnd; t = lexer.next()) {
    st.tokens.push_back(t);
  }
  return st;
}

struct Applied {
  PageOptions page;
  std::vector<std::string> messages;  // "E 1:9 text", "W ...", "N ..."
  std::vector<std::string> log;
};

Applied apply(const std::vector<std::string>& statements) {
  Applied a;
  Log log(nullptr);
  log.set_keep_lines(true);
  Listing listing(nullptr);
  const StatementReport report = [&](Severity s, const Token& at, const std::string& m) {
    const char* kind = s == Severity::kError ? "E" : s == Severity::kWarning ? "W" : "N";
    a.messages.push_back(std::string(kind) + " " + std::to_string(at.line) + ":" +
                         std::to_string(at.column) + " " + m);
  };
  for (const std::string& text : statements) {
    apply_session_statement(statement(text), log, listing, report);
  }
  log.note("after");
  a.page = listing.options();
  a.log = log.lines();
  return a;
}

TEST(OptionsStatement, PageOptionsAndTheirRanges) {
  const Applied a = apply(
      {"options nodate number ls=100 ps=max nocenter nobyline", "OPTIONS LINESIZE=64 CENTER"});
  EXPECT_EQ(a.page.line_size, 64);
  EXPECT_EQ(a.page.page_size, 32767);
  EXPECT_FALSE(a.page.date);
  EXPECT_TRUE(a.page.number);
  EXPECT_TRUE(a.page.center);
  EXPECT_FALSE(a.page.by_line);
  EXPECT_TRUE(a.messages.empty()) << a.messages.front();

  const struct {
    const char* statement;
    const char* message;
  } cases[] = {
      {"options ls=300",
       "E 1:12 LINESIZE=300 is out of range; it must be a whole number from 64 "
       "to 256."},
      {"options ps=10.5",
       "E 1:12 Syntax error: PAGESIZE= needs a whole number from 15 to 32767, "
       "found 10.5."},
      {"options linesize", "E 1:9 Syntax error: LINESIZE= needs a whole number from 64 to 256."},
      {"options nodate=1", "E 1:9 Syntax error: NODATE takes no value."},
      {"options 'x'", "E 1:9 Syntax error: expected a system option, found 'x'."},
      {"options nonote",
       "W 1:9 NONOTE is not a system option that talven knows; it is ignored. "
       "Did you mean NONOTES?"},
      {"options obs=10",
       "W 1:9 The system option OBS= is not supported; it is ignored: use the "
       "data set option instead, as in DATA=study(OBS=100)."},
      {"options formchar='|----|+|---+=|-/\\<>*' mprint msglevel=i",
       "N 1:9 The system options FORMCHAR=, MPRINT and MSGLEVEL= have no effect in talven."},
      {"title j=left h=2 'Wave 1'",
       "W 1:1 TITLE options such as J= and H= have no effect in the "
       "listing; they are ignored."},
  };
  for (const auto& c : cases) {
    const Applied bad = apply({c.statement});
    EXPECT_EQ(bad.messages, std::vector<std::string>{c.message}) << c.statement;
    EXPECT_EQ(bad.page.line_size, 80) << c.statement;  // a bad value changes nothing
  }
}

TEST(OptionsStatement, NonotesHidesNotesUntilNotes) {
  EXPECT_EQ(apply({"options nonotes"}).log, std::vector<std::string>{});
  EXPECT_EQ(apply({"options nonotes", "options notes"}).log,
            std::vector<std::string>{"NOTE: after"});
}

}  // namespace
}  // namespace host
