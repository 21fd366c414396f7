// The tokens of a program text as the host's parsers take them: every token before the end, and
// the end token itself, which the parsers use to report where a text stopped.
#ifndef TALVEN_TESTS_SUPPORT_TOKENS_H
#define TALVEN_TESTS_SUPPORT_TOKENS_H

#include <string>
#include <vector>

#include "host/lexer.h"

namespace test_support {

inline std::vector<host::Token> lex(const std::string& text, host::Token* end) {
  host::Lexer lexer(text);
  std::vector<host::Token> out;
  for (host::Token t = lexer.next(); t.kind != host::TokenKind::kEnd; t = lexer.next()) {
    out.push_back(t);
  }
  *end = lexer.next();
  return out;
}

}  // namespace test_support

#endif  // TALVEN_TESTS_SUPPORT_TOKENS_H
