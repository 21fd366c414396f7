#include "host/data_table.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>

#include "host/text_util.h"

namespace host {

namespace {

constexpr uint64_t kQuietNan = 0x7FF8000000000000ULL;
constexpr uint64_t kPayloadMask = 0x0007FFFFFFFFFFFFULL;

bool is_special_tag(char tag) {
  return tag == '_' || (tag >= 'A' && tag <= 'Z');
}

}  // namespace

double special_missing(char tag) {
  const char upper = ascii_upper(tag);
  if (!is_special_tag(upper)) return std::numeric_limits<double>::quiet_NaN();
  return std::bit_cast<double>(kQuietNan | static_cast<unsigned char>(upper));
}

char missing_form(double value) {
  if (!std::isnan(value)) return 0;
  const auto tag = static_cast<char>(std::bit_cast<uint64_t>(value) & kPayloadMask);
  const bool only_tag = (std::bit_cast<uint64_t>(value) & kPayloadMask & ~uint64_t{0xFF}) == 0;
  return only_tag && is_special_tag(tag) ? tag : '.';
}

namespace {

// ._ < . < .A < ... < .Z.
int missing_rank(double v) {
  const char form = missing_form(v);
  return form == '_' ? 0 : form == '.' ? 1 : 2 + (form - 'A');
}

}  // namespace

int compare_numbers(double a, double b) {
  const bool ma = std::isnan(a);
  const bool mb = std::isnan(b);
  if (!ma && !mb) return a < b ? -1 : (a > b ? 1 : 0);
  if (ma && mb) return missing_rank(a) - missing_rank(b);
  return ma ? -1 : 1;
}

int compare_texts(std::string_view a, std::string_view b) {
  const size_t n = std::max(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(i < a.size() ? a[i] : ' ');
    const auto cb = static_cast<unsigned char>(i < b.size() ? b[i] : ' ');
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return 0;
}

std::string format_value(double value) {
  const char form = missing_form(value);
  if (form == '.') return ".";
  if (form != 0) return std::string(".") + form;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.12g", value);
  return buf;
}

}  // namespace host
