#include "host/token_cursor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/tokens.h"

namespace host {
namespace {

using test_support::lex;

struct Lexed {
  explicit Lexed(const std::string& text) : tokens(lex(text, &end)) {}
  Token end;
  std::vector<Token> tokens;
};

// Each parser names what it found in its own words: the end of the text, and strings.
TEST(TokenCursor, FoundNamesTheTokenInTheParsersWords) {
  const Lexed text("x 'it''s'd 'a b'n 1.5e3 >= ;");
  const struct {
    FoundStyle style;
    size_t token;  // past the tokens: the end token
    const char* expected;
  } cases[] = {
      {kStatementStyle, 0, "x"},
      {kStatementStyle, 1, "the string 'it's'"},
      {kExpressionStyle, 1, "'it''s'd"},
      {kOptionListStyle, 1, "'it''s'd"},
      {kStatementStyle, 2, "'a b'n"},
      {kStatementStyle, 3, "1.5e3"},
      {kExpressionStyle, 4, ">"},
      {kStatementStyle, 6, ";"},
      {kStatementStyle, 99, "the end of the program"},
      {kExpressionStyle, 99, "the end of the expression"},
      {kOptionListStyle, 99, "the end of the statement"},
  };
  for (const auto& c : cases) {
    const TokenCursor cursor(text.tokens, text.end, {}, c.style);
    const Token& t = c.token < text.tokens.size() ? text.tokens[c.token] : text.end;
    EXPECT_EQ(cursor.found(t), c.expected) << c.token;
  }
}

TEST(TokenCursor, MessagesNameThePlaceAndMarkTheFailure) {
  const Lexed text("a\n  = 'q'");
  std::vector<std::string> messages;
  TokenCursor cursor(text.tokens, text.end, [&](const std::string& m) { messages.push_back(m); });
  EXPECT_TRUE(cursor.ok());
  cursor.syntax_error(text.tokens[1], "", "a number after A=");
  cursor.syntax_error(text.tokens[2], "the data set options", ")");
  cursor.syntax_error(text.end, "the A list", "a variable name");
  cursor.fail(text.tokens[0], "Plain.");
  cursor.sink()("Line 9, column 9: From a nested parser.");
  const std::vector<std::string> expected = {
      "Line 2, column 3: Syntax error: expected a number after A=, found =.",
      "Line 2, column 5: Syntax error in the data set options: expected ), found the string 'q'.",
      "Line 2, column 8: Syntax error in the A list: expected a variable name, found the end of "
      "the program.",
      "Line 1, column 1: Plain.",
      "Line 9, column 9: From a nested parser.",
  };
  EXPECT_EQ(messages, expected);
  EXPECT_FALSE(cursor.ok());

  TokenCursor nested(text.tokens, text.end, [](const std::string&) {});
  nested.sink()("anything");
  EXPECT_FALSE(nested.ok());
}

TEST(TokenCursor, LookaheadStaysAtTheEnd) {
  const Lexed text("a >= b > = c");
  TokenCursor cursor(text.tokens, text.end, {});
  EXPECT_EQ(cursor.previous(), nullptr);
  EXPECT_TRUE(cursor.name() && cursor.word("A") && !cursor.word("B"));
  cursor.advance();
  EXPECT_TRUE(cursor.pair(">", "=")) << ">= is written together";
  EXPECT_EQ(cursor.previous()->text, "a");
  cursor.advance(3);
  EXPECT_TRUE(cursor.punct(">") && !cursor.pair(">", "=")) << "> = is not";
  cursor.advance(100);
  EXPECT_TRUE(cursor.done());
  EXPECT_EQ(cursor.position(), text.tokens.size());
  EXPECT_EQ(cursor.at().kind, TokenKind::kEnd) << "past the last token: the end token";
  EXPECT_EQ(cursor.at(5).kind, TokenKind::kEnd);
  EXPECT_EQ(cursor.previous()->text, "c");
  EXPECT_TRUE(cursor.rest().empty());
}

TEST(TokenCursor, SkipGroupStopsAfterItsClosingParenthesis) {
  const struct {
    const char* text;
    bool closed;
    size_t position;
  } cases[] = {
      {"(a (b) c) d", true, 7},  // nested groups
      {"() d", true, 2},
      {"(a (b) c", false, 6},  // not closed: at the end
      {"d (a)", true, 1},      // no group: one token
  };
  for (const auto& c : cases) {
    const Lexed text(c.text);
    TokenCursor cursor(text.tokens, text.end, {});
    EXPECT_EQ(cursor.skip_group(), c.closed) << c.text;
    EXPECT_EQ(cursor.position(), c.position) << c.text;
  }
}

}  // namespace
}  // namespace host
