#include "host/markup.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace host {
namespace {

TEST(EscapeMarkup, MarkupCharactersBecomeReferencesAndBadBytesBecomeVisible) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"o11:a1", "o11:a1"},
      {"a<b>&c", "a&lt;b&gt;&amp;c"},
      {"say \"hi\" 'there'", "say &quot;hi&quot; &#39;there&#39;"},
      {"&amp;", "&amp;amp;"},
      {"tab\tand\nline", "tab\tand\nline"},
      // Well-formed UTF-8 of every length passes unchanged.
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x88", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x88"},
      // Not UTF-8: a stray byte, a cut sequence, an overlong form, a surrogate, beyond U+10FFFF.
      {"x\xff", "x\\xFF"},
      {"\xc3", "\\xC3"},
      {"\xe2\x82"
       "b",
       "\\xE2\\x82b"},
      {"\xc0\xaf", "\\xC0\\xAF"},
      {"\xed\xa0\x80", "\\xED\\xA0\\x80"},
      {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
      // Characters XML and HTML refuse: C0 and C1 controls, DEL, the noncharacter U+FFFE.
      {std::string("a\0b", 3), "a\\x00b"},
      {"\r\x1b\x7f", "\\x0D\\x1B\\x7F"},
      {"\xc2\x85", "\\xC2\\x85"},
      {"\xef\xbf\xbe", "\\xEF\\xBF\\xBE"},
  };
  for (const auto& c : cases) EXPECT_EQ(escape_markup(c.in), c.out) << c.in;
}

TEST(FormatEstimate, RoundsAsTheListingDoes) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {1.1793161441197841, "1.1793"},
      {-0.5635779325842211, "-0.5636"},
      {0.05026367983064201, "0.0503"},
      {-0.05640630003361957, "-0.0564"},
      {0.0, "0.0000"},
      {123456.0, "123456.0000"},
      {-2.5e12, "-2500000000000.0000"},
      {1e15, "1.0000e+15"},
      {-DBL_MAX, "-1.7977e+308"},
      {nan, ""},
      {inf, "inf"},
      {-inf, "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_estimate(c.value), c.text) << c.value;
}

TEST(FormatExact, ReadsBackToTheSameDouble) {
  for (double v : {0.30820851363583623, -0.18147827254523724, 1e-300, DBL_MAX, -0.0, 1.0 / 3}) {
    const std::string text = format_exact(v);
    const double back = std::strtod(text.c_str(), nullptr);
    EXPECT_EQ(back, v) << text;
    EXPECT_EQ(std::signbit(back), std::signbit(v)) << text;
  }
  EXPECT_EQ(format_exact(std::numeric_limits<double>::quiet_NaN()), "");
}

TEST(FormatCoordinate, AlwaysAShortFiniteNumber) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {12.3456, "12.35"},
      {5.0, "5"},
      {-0.001, "0"},
      {-7.5, "-7.5"},
      {1e300, "1000000"},
      {-DBL_MAX, "-1000000"},
      {std::numeric_limits<double>::quiet_NaN(), "0"},
      {std::numeric_limits<double>::infinity(), "0"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_coordinate(c.value), c.text) << c.value;
}

}  // namespace
}  // namespace host
