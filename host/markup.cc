#include "host/markup.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace host {

namespace {

void append_byte_escape(std::string& out, unsigned char byte) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "\\x%02X", byte);
  out += buffer;
}

// Length of the well-formed UTF-8 sequence at the start of `s` and its code point; 0 when the
// first byte does not start one (overlong forms and surrogates are not well-formed).
size_t utf8_sequence(std::string_view s, uint32_t* code) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  size_t length;
  uint32_t min;
  if (b0 < 0x80) {
    *code = b0;
    return 1;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    min = 0x80;
    *code = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    min = 0x800;
    *code = b0 & 0x0Fu;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    min = 0x10000;
    *code = b0 & 0x07u;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if ((b & 0xC0) != 0x80) return 0;
    *code = (*code << 6) | (b & 0x3Fu);
  }
  if (*code < min || *code > 0x10FFFF || (*code >= 0xD800 && *code <= 0xDFFF)) return 0;
  return length;
}

bool displayable(uint32_t code) {
  if (code == '\t' || code == '\n') return true;
  if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return false;
  return code != 0xFFFE && code != 0xFFFF;
}

}  // namespace

std::string escape_markup(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    uint32_t code = 0;
    size_t length = utf8_sequence(text, &code);
    if (length == 0) {
      append_byte_escape(out, static_cast<unsigned char>(text[0]));
      text.remove_prefix(1);
      continue;
    }
    if (!displayable(code)) {
      for (size_t i = 0; i < length; ++i) {
        append_byte_escape(out, static_cast<unsigned char>(text[i]));
      }
    } else {
      switch (code) {
        case '&':
          out += "&amp;";
          break;
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '"':
          out += "&quot;";
          break;
        case '\'':
          out += "&#39;";
          break;
        default:
          out.append(text.substr(0, length));
      }
    }
    text.remove_prefix(length);
  }
  return out;
}

std::string format_estimate(double value) {
  if (std::isnan(value)) return "";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, std::fabs(value) < 1e15 ? "%.4f" : "%.4e", value);
  return buffer;
}

std::string format_exact(double value) {
  if (std::isnan(value)) return "";
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string format_coordinate(double value) {
  // Figures are laid out in a few thousand units; a value outside that is a fault of the layout,
  // and must still not reach the output as "nan" or a 300-digit number.
  if (!std::isfinite(value)) value = 0.0;
  value = std::fmax(-1e6, std::fmin(1e6, value));
  double rounded = std::round(value * 100.0) / 100.0;
  if (rounded == 0.0) rounded = 0.0;  // no "-0"
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f", rounded);
  std::string text(buffer);
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text;
}

}  // namespace host
