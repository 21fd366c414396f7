#include "host/token_cursor.h"

#include <algorithm>
#include <utility>

namespace host {

TokenCursor::TokenCursor(std::span<const Token> tokens, Token end, ErrorSink error,
                         FoundStyle style)
    : tokens_(tokens), end_(std::move(end)), error_(std::move(error)), style_(style) {}

void TokenCursor::advance(size_t count) {
  pos_ = std::min(tokens_.size(), pos_ + count);
}

bool TokenCursor::skip_group() {
  int depth = 0;
  do {
    if (punct("(")) ++depth;
    if (punct(")")) --depth;
    advance();
  } while (depth > 0 && !done());
  return depth <= 0;
}

std::string TokenCursor::found(const Token& t) const {
  if (t.kind == TokenKind::kEnd) return std::string(style_.end_text);
  if (t.kind == TokenKind::kString && style_.named_strings) return "the string '" + t.text + "'";
  return t.as_written();
}

void TokenCursor::fail(const Token& t, const std::string& message) {
  report(where(t) + ": " + message);
}

void TokenCursor::syntax_error(const Token& t, std::string_view context, std::string_view what) {
  std::string message = "Syntax error";
  if (!context.empty()) message.append(" in ").append(context);
  message.append(": expected ").append(what).append(", found ").append(found(t)).append(".");
  fail(t, message);
}

void TokenCursor::report(const std::string& message) {
  ok_ = false;
  error_(message);
}

ErrorSink TokenCursor::sink() {
  return [this](const std::string& message) { report(message); };
}

}  // namespace host
