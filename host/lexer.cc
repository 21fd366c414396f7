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
}  // namespace

bool Token::is_name(std::string_view upper_name) const {
  return kind == TokenKind::kName && iequals(text, upper_name);
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
        *error = Token{TokenKind::kError, "the comment that starts here is not closed by */", line,
                       column};
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
    t.kind = TokenKind::kNumber;
    while (is_digit(peek())) {
      t.text += peek();
      advance();
    }
    if (peek() == '.') {
      t.text += '.';
      advance();
      while (is_digit(peek())) {
        t.text += peek();
        advance();
      }
    }
    if ((peek() == 'e' || peek() == 'E') &&
        (is_digit(peek(1)) || ((peek(1) == '+' || peek(1) == '-') && is_digit(peek(2))))) {
      t.text += peek();
      advance();
      if (peek() == '+' || peek() == '-') {
        t.text += peek();
        advance();
      }
      while (is_digit(peek())) {
        t.text += peek();
        advance();
      }
    }
  } else if (c == '\'' || c == '"') {
    t.kind = TokenKind::kString;
    advance();
    for (;;) {
      if (pos_ >= text_.size()) {
        return Token{TokenKind::kError, "the quoted string that starts here is not closed", t.line,
                     t.column};
      }
      if (peek() == c) {
        if (peek(1) == c) {
          t.text += c;
          advance();
          advance();
          continue;
        }
        advance();
        break;
      }
      t.text += peek();
      advance();
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
