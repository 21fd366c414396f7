// The read position that the host's parsers (steps, variable lists, data set options, WHERE)
// share: lookahead, the expectations they test and the messages they give.
#ifndef TALVEN_HOST_TOKEN_CURSOR_H
#define TALVEN_HOST_TOKEN_CURSOR_H

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "host/lexer.h"
#include "host/program.h"

namespace host {

// How "found X" names a token. Each parser keeps the wording its messages have always had.
struct FoundStyle {
  std::string_view end_text;   // the end token when it is the end of the text
  bool named_strings = false;  // "the string 'text'" rather than the string as written
};

// Statements of a step and their variable lists.
inline constexpr FoundStyle kStatementStyle{"the end of the program", true};
// A WHERE expression.
inline constexpr FoundStyle kExpressionStyle{"the end of the expression", false};
// The parenthesised data set options.
inline constexpr FoundStyle kOptionListStyle{"the end of the statement", false};

class TokenCursor {
 public:
  // `end` stands for everything past the last token: it marks where the text stopped (a ';', a
  // closing parenthesis or the end of the program). The tokens must outlive the cursor.
  TokenCursor(std::span<const Token> tokens, Token end, ErrorSink error,
              FoundStyle style = kStatementStyle);

  // The token `ahead` places on; the end token past the last one.
  const Token& at(size_t ahead = 0) const {
    return pos_ + ahead < tokens_.size() ? tokens_[pos_ + ahead] : end_;
  }
  // The token before the current one; null at the first.
  const Token* previous() const { return pos_ > 0 ? &tokens_[pos_ - 1] : nullptr; }
  bool done() const { return pos_ >= tokens_.size(); }
  size_t position() const { return pos_; }
  // Never past the end.
  void advance(size_t count = 1);
  const Token& end() const { return end_; }
  // The tokens from the current one on, for a parser that carries on from here.
  std::span<const Token> rest() const { return tokens_.subspan(pos_); }

  bool word(std::string_view upper_name, size_t ahead = 0) const {
    return at(ahead).is_name(upper_name);
  }
  bool punct(std::string_view p, size_t ahead = 0) const { return at(ahead).is_punct(p); }
  bool name(size_t ahead = 0) const { return at(ahead).kind == TokenKind::kName; }
  // Two punctuation tokens written together, such as >= (the lexer gives one character each).
  bool pair(std::string_view first, std::string_view second) const {
    return punct(first) && punct(second, 1) && adjacent(at(), at(1));
  }
  // Past the parenthesised group that starts here, nested groups included; false when the end
  // came first. Past one token when no group starts here.
  bool skip_group();

  // The token as a message names it after "found".
  std::string found(const Token& t) const;
  // "Line L, column C: message".
  void fail(const Token& t, const std::string& message);
  // "Syntax error in CONTEXT: expected WHAT, found X." ("Syntax error: ..." without a context).
  void syntax_error(const Token& t, std::string_view context, std::string_view what);
  // A message that names its place itself, or needs none.
  void report(const std::string& message);
  // Where a nested parser sends its messages: they count as failures of this one.
  ErrorSink sink();
  bool ok() const { return ok_; }

 private:
  std::span<const Token> tokens_;
  Token end_;
  ErrorSink error_;
  FoundStyle style_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace host

#endif  // TALVEN_HOST_TOKEN_CURSOR_H
