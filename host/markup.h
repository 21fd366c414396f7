// Text and numbers as the HTML report and its figures write them. Everything the report shows
// comes from programs and data sets, so any text may hold markup characters or bytes that are not
// UTF-8; both are made safe here, in one place.
#ifndef TALVEN_HOST_MARKUP_H
#define TALVEN_HOST_MARKUP_H

#include <string>
#include <string_view>

namespace host {

// Text made safe for element content and quoted attribute values alike: & < > " ' become
// character references; each byte that is not part of well-formed UTF-8, and each control
// character other than tab and line feed (C1 controls and the noncharacters U+FFFE/U+FFFF
// included), is shown as \xNN per byte, as the log shows control bytes. The result is
// well-formed XML text.
std::string escape_markup(std::string_view text);

// An estimate or limit as the listing rounds it (%.4f). Beyond 1e15 in magnitude fixed notation
// shows only noise digits, so such values are written as %.4e. "inf", "-inf"; NaN is "" (the
// caller shows a missing value its own way).
std::string format_estimate(double value);

// The shortest decimal text that reads back to exactly `value` ("" for NaN), so that a table's
// numbers can be compared with a data set's exactly.
std::string format_exact(double value);

// A coordinate of a figure: finite, at most two decimals, no exponent, no "-0".
std::string format_coordinate(double value);

}  // namespace host

#endif  // TALVEN_HOST_MARKUP_H
