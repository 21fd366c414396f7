#include "host/lexer.h"

#include "host/text_util.h"

namespace host {

namespace {
bool is_name_start(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_name_char(char c) {
  return is_name_start(c) || is_digit(c);
}
Token error_token(std::string message, int line, int column) {
  Token t;
  t.kind = TokenKind::kError;
  t.text = std::move(message);
  t.line = line;
  t.column = column;
  return t;
}
}  // namespace

bool Token::is_name(std::string_view upper_name) const {
  return kind == TokenKind::kName && !literal && iequals(text, upper_name);
}

std::string Token::as_written() const {
  std::string quoted;
  if (kind == TokenKind::kString || (kind == TokenKind::kName && literal)) {
    quoted.push_back('\'');
    for (char c : text) {
      quoted += c;
      if (c == '\'') quoted += c;
    }
    quoted.push_back('\'');
    if (kind == TokenKind::kName) {
      quoted.push_back('n');
    } else {
      for (const char c : suffix) quoted.push_back(ascii_lower(c));
    }
    return quoted;
  }
  return text;
}

bool adjacent(const Token& a, const Token& b) {
  return a.kind == TokenKind::kPunct && a.line == b.line &&
         b.column == a.column + static_cast<int>(a.text.size());
}

void Lexer::advance() {
  if (pos_ >= text_.size()) return;
  if (text_[pos_] == '\n') {
    ++line_;
    column_ = 1;
  } else {
    ++column_;
  }
  ++pos_;
}

// False (with *error filled) when a comment is not closed.
bool Lexer::skip_blanks_and_comments(Token* error) {
  for (;;) {
    const char c = peek();
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
      advance();
    } else if (c == '/' && peek(1) == '*') {
      const int line = line_;
      const int column = column_;
      advance();
      advance();
      while (pos_ < text_.size() && !(peek() == '*' && peek(1) == '/')) advance();
      if (pos_ >= text_.size()) {
        *error = error_token("the comment that starts here is not closed by */", line, column);
        return false;
      }
      advance();
      advance();
    } else if (c == '*' && statement_start_) {
      while (pos_ < text_.size() && peek() != ';') advance();
      advance();  // the ';' ends the comment
    } else {
      return true;
    }
  }
}

// 'text'n is a name literal; 'text'd, 't', 'dt' and 'x' are typed constants. The letters must
// end the token: 'a'no is a string followed by the name no.
void Lexer::read_suffix(Token* t) {
  size_t n = 0;
  while (n < 2 && is_name_start(peek(n))) ++n;
  if (n == 0 || is_name_char(peek(n))) return;
  std::string suffix;
  for (size_t k = 0; k < n; ++k) suffix += ascii_upper(peek(k));
  if (suffix != "N" && suffix != "D" && suffix != "T" && suffix != "DT" && suffix != "X") return;
  for (size_t k = 0; k < n; ++k) advance();
  if (suffix == "N") {
    t->kind = TokenKind::kName;
    t->literal = true;
  } else {
    t->suffix = suffix;
  }
}

void Lexer::read_digits(Token* t) {
  while (is_digit(peek())) {
    t->text += peek();
    advance();
  }
}

// Digits, a point and digits, then an exponent when a digit follows its e (and sign).
void Lexer::read_number(Token* t) {
  t->kind = TokenKind::kNumber;
  read_digits(t);
  if (peek() == '.') {
    t->text += '.';
    advance();
    read_digits(t);
  }
  if ((peek() == 'e' || peek() == 'E') &&
      (is_digit(peek(1)) || ((peek(1) == '+' || peek(1) == '-') && is_digit(peek(2))))) {
    t->text += peek();
    advance();
    if (peek() == '+' || peek() == '-') {
      t->text += peek();
      advance();
    }
    read_digits(t);
  }
}

// A quoted string, at its opening quote; a doubled quote stands for one. False when the text
// ends before the closing quote.
bool Lexer::read_string(Token* t, char quote) {
  t->kind = TokenKind::kString;
  advance();
  for (;;) {
    if (pos_ >= text_.size()) return false;
    if (peek() == quote) {
      if (peek(1) == quote) {
        t->text += quote;
        advance();
        advance();
        continue;
      }
      advance();
      break;
    }
    t->text += peek();
    advance();
  }
  read_suffix(t);
  return true;
}

Token Lexer::next() {
  Token error;
  if (!skip_blanks_and_comments(&error)) {
    pos_ = text_.size();
    return error;
  }
  Token t;
  t.line = line_;
  t.column = column_;
  statement_start_ = false;
  const char c = peek();
  if (pos_ >= text_.size()) {
    t.kind = TokenKind::kEnd;
    return t;
  }
  if (is_name_start(c)) {
    t.kind = TokenKind::kName;
    while (is_name_char(peek())) {
      t.text += peek();
      advance();
    }
  } else if (is_digit(c) || (c == '.' && is_digit(peek(1)))) {
    read_number(&t);
  } else if (c == '\'' || c == '"') {
    if (!read_string(&t, c)) {
      return error_token("the quoted string that starts here is not closed", t.line, t.column);
    }
  } else {
    t.kind = TokenKind::kPunct;
    t.text = c;
    advance();
    if (c == '-' && peek() == '-') {
      t.text.push_back('-');
      advance();
    }
    if (c == ';') statement_start_ = true;
  }
  return t;
}

}  // namespace host
