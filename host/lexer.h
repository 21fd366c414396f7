// Tokens of program text. Every token keeps its line and column (both from 1) for messages.
#ifndef TALVEN_HOST_LEXER_H
#define TALVEN_HOST_LEXER_H

#include <string>
#include <string_view>

namespace host {

enum class TokenKind {
  kName,    // letters, digits and underscores, not starting with a digit; or a name literal
  kNumber,  // digits with optional fraction and exponent; the sign is a separate token
  kString,  // text is the content, quotes removed and doubled quotes undone
  kPunct,   // one character, or "--"
  kEnd,
  kError  // text is the message
};

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::string text;
  int line = 0;
  int column = 0;
  // A name written as a name literal, 'baseline score'n: never a keyword.
  bool literal = false;
  // A string's suffix in upper case: "D", "T", "DT" (date, time, datetime) or "X" (hexadecimal).
  std::string suffix;

  bool is_punct(std::string_view p) const { return kind == TokenKind::kPunct && text == p; }
  // A keyword: a name written plainly, equal to upper_name without regard to case.
  bool is_name(std::string_view upper_name) const;
  // The token as the user wrote it, for messages.
  std::string as_written() const;
};

// True when `b` starts right where `a` ends on the same line (operators such as >= are two
// punctuation tokens).
bool adjacent(const Token& a, const Token& b);

// Skips blanks and comments: "/* ... */" anywhere, "* ... ;" where a statement may start.
class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}
  Token next();

 private:
  char peek(size_t ahead = 0) const {
    return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
  }
  void advance();
  bool skip_blanks_and_comments(Token* error);
  void read_suffix(Token* t);
  void read_digits(Token* t);
  void read_number(Token* t);
  bool read_string(Token* t, char quote);

  std::string_view text_;
  size_t pos_ = 0;
  int line_ = 1;
  int column_ = 1;
  bool statement_start_ = true;
};

}  // namespace host

#endif  // TALVEN_HOST_LEXER_H
