#include "host/program.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace host {
namespace {

std::vector<Token> lex(const std::string& text) {
  Lexer lexer(text);
  std::vector<Token> out;
  for (Token t = lexer.next(); t.kind != TokenKind::kEnd; t = lexer.next()) {
    out.push_back(t);
    if (t.kind == TokenKind::kError) break;
  }
  return out;
}

std::string kinds(const std::vector<Token>& tokens) {
  std::string out;
  for (const Token& t : tokens) {
    const char k = t.kind == TokenKind::kName     ? 'n'
                   : t.kind == TokenKind::kNumber ? '#'
                   : t.kind == TokenKind::kString ? 's'
                   : t.kind == TokenKind::kPunct  ? 'p'
                                                  : '!';
    out += k;
    out += ':' + t.text + ' ';
  }
  return out;
}

TEST(Lexer, TokensOfEachKind) {
  const struct {
    const char* text;
    const char* tokens;
  } cases[] = {
      {"proc Talven data=lib.x;", "n:proc n:Talven n:data p:= n:lib p:. n:x p:; "},
      {"a=1 b=-2.5e-3 c=.5 d=1E+4",
       "n:a p:= #:1 n:b p:= p:- #:2.5e-3 n:c p:= #:.5 n:d p:= #:1E+4 "},
      {"x1-x5 a--d a-numeric-d p: _ALL_",
       "n:x1 p:- n:x5 n:a p:-- n:d n:a p:- n:numeric p:- n:d n:p p:: n:_ALL_ "},
      {"'it''s' \"say \"\"hi\"\"\"", "s:it's s:say \"hi\" "},
      {"1e x", "#:1 n:e n:x "},
      // Name literals are names; typed constants keep their suffix; other letters stand apart.
      {"'baseline score'n 'a''b'N 'x'no", "n:baseline score n:a'b s:x n:no "},
      {"'01jan2020'd '9:30't '1jan20:9:30'DT '09'x 'y'dx",
       "s:01jan2020 s:9:30 s:1jan20:9:30 s:09 s:y n:dx "},
  };
  for (const auto& c : cases) EXPECT_EQ(kinds(lex(c.text)), c.tokens) << c.text;
  const auto t = lex("'a b'n 'd'D x>=1");
  EXPECT_TRUE(t[0].literal);
  EXPECT_FALSE(t[0].is_name("A B"));  // a literal is never a keyword
  EXPECT_EQ(t[0].as_written(), "'a b'n");
  EXPECT_EQ(t[1].suffix, "D");
  EXPECT_EQ(t[1].as_written(), "'d'd");
  EXPECT_TRUE(adjacent(t[3], t[4]));   // > and = written together
  EXPECT_FALSE(adjacent(t[2], t[3]));  // x is a name, not an operator
}

TEST(Lexer, CommentsAndPositions) {
  const auto t = lex("/* one\n two */ proc x; * star comment\n spanning; run;\n  * c; quit ;");
  EXPECT_EQ(kinds(t), "n:proc n:x p:; n:run p:; n:quit p:; ");
  EXPECT_EQ(t[0].line, 2);
  EXPECT_EQ(t[0].column, 9);
  EXPECT_EQ(t[3].line, 3);
  EXPECT_EQ(t[3].column, 12);
  EXPECT_EQ(t[5].line, 4);
  EXPECT_EQ(t[5].column, 8);
  // A star inside a statement is not a comment.
  EXPECT_EQ(kinds(lex("a * b;")), "n:a p:* n:b p:; ");
}

TEST(Lexer, UnclosedStringsAndCommentsAreErrorsAtTheirStart) {
  auto t = lex("proc x;\n  data='abc;");
  ASSERT_EQ(t.back().kind, TokenKind::kError);
  EXPECT_EQ(t.back().line, 2);
  EXPECT_EQ(t.back().column, 8);
  t = lex("a; /* never closed");
  ASSERT_EQ(t.back().kind, TokenKind::kError);
  EXPECT_EQ(t.back().column, 4);
}

struct Recorder : ProgramActions {
  std::vector<std::string> events;
  void run_step(const Step& s) override {
    std::string e = "step " + s.name.text + " [" + describe_statement(s.options) + "]";
    for (const Statement& st : s.body) e += " {" + describe_statement(st.tokens) + "}";
    events.push_back(e);
  }
  void libname(const Statement& st) override {
    events.push_back("libname " + describe_statement(st.tokens));
  }
  void session_statement(const Statement& st) override {
    events.push_back("session " + describe_statement(st.tokens));
  }
  void error(int line, int column, const std::string& m) override {
    events.push_back("error " + std::to_string(line) + ":" + std::to_string(column) + " " + m);
  }
  void warning(int line, int column, const std::string& m) override {
    events.push_back("warning " + std::to_string(line) + ":" + std::to_string(column) + " " + m);
  }
};

std::vector<std::string> run(const std::string& text) {
  Recorder r;
  run_program_text(text, r);
  return r.events;
}

TEST(ProgramStructure, StepsEndAtRunQuitNextProcLibnameOrEndOfText) {
  EXPECT_EQ(run("proc a x=1; v a b; run; proc b; quit;"),
            (std::vector<std::string>{"step a [x = 1] {v a b}", "step b []"}));
  EXPECT_EQ(run("proc a; v x; proc b; w y;"),
            (std::vector<std::string>{"step a [] {v x}", "step b [] {w y}"}));
  EXPECT_EQ(run("proc a; libname l 'd'; proc b;"),
            (std::vector<std::string>{"step a []", "libname libname l 'd'", "step b []"}));
  EXPECT_EQ(run("PROC A; ; ; RUN; run; quit;"), (std::vector<std::string>{"step A []"}));
}

TEST(ProgramStructure, StatementsOutsideStepsAndBrokenStepsAreErrors) {
  EXPECT_EQ(run("x = 1;\nproc a; run;"),
            (std::vector<std::string>{"error 1:1 Statement x = 1 is not valid outside a PROC step.",
                                      "step a []"}));
  // A PROC without a name: its statements are dropped with it, later steps still run.
  EXPECT_EQ(run("proc ; v a; run; proc b; run;"),
            (std::vector<std::string>{
                "error 1:6 Syntax error: expected a procedure name after PROC.", "step b []"}));
  EXPECT_EQ(run("proc a; run x;"),
            (std::vector<std::string>{"error 1:13 Syntax error: expected ; after RUN, found x.",
                                      "step a []"}));
}

TEST(ProgramStructure, TitlesFootnotesAndOptionsStandInStepsOrAlone) {
  EXPECT_EQ(run("options ls=100; title 'a'; proc a; title2 'b'; footnote; run; title3;"),
            (std::vector<std::string>{"session options ls = 100", "session title 'a'",
                                      "step a [] {title2 'b'} {footnote}", "session title3"}));
  EXPECT_EQ(run("titel 'x'; libnam x; osd html close; proc a;"),
            (std::vector<std::string>{
                "error 1:1 Statement titel 'x' is not valid outside a PROC step. Did you mean "
                "TITLE?",
                "error 1:12 Statement libnam x is not valid outside a PROC step. Did you mean "
                "LIBNAME?",
                "error 1:22 Statement osd html close is not valid outside a PROC step. Did you "
                "mean ODS?",
                "step a []"}));
}

TEST(ProgramStructure, LexicalErrorStopsTheProgramButEarlierStepsRan) {
  EXPECT_EQ(run("proc a; run;\nproc b data='x; run;"),
            (std::vector<std::string>{
                "step a []",
                "error 2:13 Syntax error: the quoted string that starts here is not closed."}));
}

TEST(ProgramStructure, MissingFinalSemicolonIsAWarning) {
  EXPECT_EQ(run("proc a; run"),
            (std::vector<std::string>{
                "warning 1:9 The last statement, run, is not ended by a semicolon; it is taken "
                "as ended.",
                "step a []"}));
}

}  // namespace
}  // namespace host
