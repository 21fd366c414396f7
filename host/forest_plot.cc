#include "host/forest_plot.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <utility>

#include "host/markup.h"

namespace host {

namespace {

// Layout in SVG user units (CSS pixels at full size).
constexpr double kMinWidth = 760.0;
constexpr double kMinPlotWidth = 240.0;
constexpr double kRowHeight = 48.0;
constexpr double kBarOffset = 15.0;
constexpr double kAxisOffset = 29.0;
constexpr double kHeaderHeight = 30.0;
constexpr double kHeadingHeight = 24.0;
constexpr double kFootHeight = 36.0;
constexpr double kGap = 14.0;
constexpr double kTickFont = 10.0;
constexpr double kLabelFont = 13.0;
constexpr double kValueFont = 12.0;
// Average advance of a character of a sans-serif face, as a share of the font size: enough to
// size the text columns without measuring glyphs.
constexpr double kCharWidth = 0.58;
constexpr size_t kMaxLabelChars = 40;

const char* const kFontFamily = "Arial, Helvetica, 'Liberation Sans', sans-serif";
// Dark marker on a light, thick bar: the two stay apart in grey-scale print by weight and shape.
const char* const kMarkerColour = "#12264f";
const char* const kBarColour = "#8ea3c7";
const char* const kCapColour = "#2b3f66";

bool has_interval(const ForestRow& row) {
  return std::isfinite(row.lower) && std::isfinite(row.upper);
}

// Characters as shown: a code point each; a byte that is not UTF-8 is shown as four.
size_t shown_length(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++n;
  }
  return n;
}

// Cuts a label to `limit` characters at a character boundary, marking the cut with an ellipsis.
std::string shorten(const std::string& text, size_t limit) {
  if (shown_length(text) <= limit) return text;
  size_t kept = 0;
  size_t i = 0;
  while (i < text.size()) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (kept == limit - 1) break;
      ++kept;
    }
    ++i;
  }
  return text.substr(0, i) + "\xE2\x80\xA6";
}

std::string value_text(const ForestRow& row) {
  if (!std::isfinite(row.estimate)) {
    return std::isnan(row.estimate) ? "not estimated" : format_estimate(row.estimate);
  }
  std::string text = format_estimate(row.estimate);
  if (has_interval(row)) {
    text += " (" + format_estimate(row.lower) + " to " + format_estimate(row.upper) + ")";
  } else {
    text += " (no interval)";
  }
  return text;
}

std::string description(const ForestPlot& plot) {
  size_t coefficients = 0;
  for (const ForestRow& row : plot.rows) coefficients += row.contrast ? 0 : 1;
  const size_t contrasts = plot.rows.size() - coefficients;
  std::string text = "Forest plot of " + std::to_string(coefficients) + " stage-1 coefficient" +
                     (coefficients == 1 ? "" : "s");
  if (contrasts > 0) {
    text += " and " + std::to_string(contrasts) + " contrast" + (contrasts == 1 ? "" : "s");
  }
  text += ": each estimate is a marker, its " + plot.level +
          " adaptive confidence interval a horizontal bar. Each term has its own axis, laid around "
          "its interval; a dashed vertical line marks zero where the axis reaches it, a pointer "
          "at the edge where it does not.";
  for (const ForestRow& row : plot.rows) {
    text += ' ';
    text += row.label + ": " + value_text(row) + ".";
  }
  return text;
}

// Built piece by piece: GCC 12 at -O3 warns falsely about chains of string concatenation.
std::string closed_path(std::initializer_list<std::pair<double, double>> points) {
  std::string d;
  char command = 'M';
  for (const auto& [px, py] : points) {
    d.push_back(command);
    d += format_coordinate(px);
    d.push_back(' ');
    d += format_coordinate(py);
    command = 'L';
  }
  d.push_back('Z');
  return d;
}

class Svg {
 public:
  std::string& out() { return out_; }
  void text(double x, double y, const char* anchor, double size, const std::string& content,
            const char* extra = "") {
    out_ += "<text x=\"" + format_coordinate(x) + "\" y=\"" + format_coordinate(y) +
            "\" text-anchor=\"" + anchor + "\" font-size=\"" + format_coordinate(size) + "\"" +
            extra + ">" + escape_markup(content) + "</text>\n";
  }
  void line(double x1, double y1, double x2, double y2, const std::string& attributes) {
    out_ += "<line x1=\"" + format_coordinate(x1) + "\" y1=\"" + format_coordinate(y1) +
            "\" x2=\"" + format_coordinate(x2) + "\" y2=\"" + format_coordinate(y2) + "\" " +
            attributes + "/>\n";
  }

 private:
  std::string out_;
};

}  // namespace

namespace {

// The interval's least share of its axis before the padding: a fifth of the drawn axis after it.
constexpr double kLeastShare = 0.25;
constexpr double kPadShare = 0.08;

// Halves keep every difference finite, even between values near the largest double.
double half_span(double low, double high) {
  return high / 2 - low / 2;
}

// -1 when `value` lies left of [low, high], 1 when right of it, 0 inside (or not finite).
int side_of(double value, double low, double high) {
  if (!std::isfinite(value)) return 0;
  return value < low ? -1 : (value > high ? 1 : 0);
}

// Widens [low, high] to hold `value` unless the interval would then fill less than its least
// share; says whether it did.
bool take_in(double value, double core, double& low, double& high) {
  if (!std::isfinite(value)) return true;
  const double lo = std::min(low, value);
  const double hi = std::max(high, value);
  if (half_span(lo, hi) * kLeastShare > core) return false;
  low = lo;
  high = hi;
  return true;
}

// Ticks at a round step inside [low, high]: two to five of them.
std::vector<double> ticks_within(double low, double high) {
  const double raw = half_span(low, high) / 2.0;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  double step = magnitude * 10.0;
  for (double m : {1.0, 2.0, 2.5, 5.0}) {
    if (m * magnitude >= raw) {
      step = m * magnitude;
      break;
    }
  }
  if (!std::isfinite(step) || step <= 0) step = raw;
  std::vector<double> ticks;
  double previous = -std::numeric_limits<double>::infinity();
  // Bounded: near the ends of the doubles k * step may stop moving as k grows.
  for (double k = std::ceil(low / step); ticks.size() < 6; k += 1.0) {
    const double tick = k * step + 0.0;  // + 0.0: no negative zero
    if (!std::isfinite(tick) || tick > high || tick <= previous) break;
    if (tick >= low) ticks.push_back(tick);
    previous = tick;
  }
  return ticks;
}

}  // namespace

ForestAxis forest_axis(const ForestRow& row) {
  ForestAxis axis;
  double low = 0.0;
  double high = 0.0;
  const bool interval = has_interval(row) && row.lower != row.upper;
  if (interval) {
    low = std::min(row.lower, row.upper);
    high = std::max(row.lower, row.upper);
    const double core = half_span(low, high);
    take_in(row.estimate, core, low, high);
    take_in(0.0, core, low, high);
  } else {
    // Nothing to keep readable: the estimate, any limit and zero all go on the axis.
    for (double v : {row.estimate, row.lower, row.upper}) {
      if (!std::isfinite(v)) continue;
      low = std::min(low, v);
      high = std::max(high, v);
    }
  }
  axis.estimate_side = side_of(row.estimate, low, high);
  axis.zero_side = side_of(0.0, low, high);
  if (low == high) {
    axis.ticks = {-1.0, -0.5, 0.0, 0.5, 1.0};
    return axis;
  }
  const double pad = half_span(low, high) * (2 * kPadShare);
  // At least a unit in the last place, so that no mark sits on the panel's edge.
  axis.low = std::max(-DBL_MAX, std::min(low - pad, std::nextafter(low, -DBL_MAX)));
  axis.high = std::min(DBL_MAX, std::max(high + pad, std::nextafter(high, DBL_MAX)));
  axis.ticks = ticks_within(axis.low, axis.high);
  return axis;
}

std::string format_tick(double value, double step) {
  char buffer[64];
  const double magnitude = std::max(std::fabs(value), step);
  if (step >= 1e-4 && magnitude < 1e7) {
    const int decimals = std::max(0, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
    // 2.5-steps need one decimal more than their power of ten.
    const double scaled = step * std::pow(10.0, decimals);
    const int extra = std::fabs(scaled - std::round(scaled)) > 1e-6 ? 1 : 0;
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals + extra, value);
  } else {
    // Enough significant digits to tell neighbouring ticks apart.
    const int digits =
        std::clamp(static_cast<int>(std::ceil(std::log10(magnitude / step) - 1e-9)) + 1, 3, 17);
    std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
  }
  std::string text(buffer);
  if (text.find_first_not_of("-0.") == std::string::npos) text.assign(1, '0');
  return text;
}

namespace {

// Where a row's parts go: the label and value texts in line with the bar, the panel's axis
// under it.
struct RowPlace {
  double top = 0;
  double bar = 0;   // y of the interval bar
  double axis = 0;  // y of the panel's axis line
};

RowPlace place_of(double top) {
  return {top, top + kBarOffset, top + kAxisOffset};
}

// Alternate bands help the eye from label to bar to value.
void draw_band(std::string& out, double top, double width) {
  out += "<rect class=\"band\" x=\"" + format_coordinate(kGap / 2) + "\" y=\"" +
         format_coordinate(top) + "\" width=\"" + format_coordinate(width - kGap) + "\" height=\"" +
         format_coordinate(kRowHeight) + "\" fill=\"#f2f4f7\"/>\n";
}

// A small solid triangle at the edge of a panel, pointing the way a value beyond the axis lies.
std::string pointer(double x, double y, int side, double size) {
  const double tip = x + side * size;
  return closed_path({{tip, y}, {x, y - size * 0.8}, {x, y + size * 0.8}});
}

class Panel {
 public:
  Panel(const ForestAxis& axis, double left, double right)
      : axis_(axis), left_(left), right_(right) {}
  double x_of(double v) const {
    const double span = half_span(axis_.low, axis_.high);
    return left_ + (v / 2 - axis_.low / 2) / span * (right_ - left_);
  }
  // Axis line, ticks with their labels, the zero line or the pointer to zero.
  void draw(Svg& svg, const RowPlace& at) const;

 private:
  const ForestAxis& axis_;
  double left_;
  double right_;
};

void Panel::draw(Svg& svg, const RowPlace& at) const {
  std::string& out = svg.out();
  out += "<g class=\"panel\">\n";
  svg.line(left_, at.axis, right_, at.axis,
           "class=\"axis-line\" stroke=\"#555555\" stroke-width=\"1\"");
  const double step = axis_.ticks.size() > 1 ? axis_.ticks[1] - axis_.ticks[0] : 1.0;
  for (double tick : axis_.ticks) {
    const double x = x_of(tick);
    svg.line(x, at.axis, x, at.axis + 4, "stroke=\"#555555\" stroke-width=\"1\"");
    svg.text(x, at.axis + 14, "middle", kTickFont, format_tick(tick, step),
             " class=\"tick\" fill=\"#333333\"");
  }
  if (axis_.zero_side == 0) {
    const double zero = x_of(0.0);
    svg.line(zero, at.top + 3, zero, at.axis,
             "class=\"zero\" stroke=\"#000000\" stroke-width=\"1.2\" stroke-dasharray=\"4 3\"");
  } else {
    // Zero lies beyond the axis: a pointer at that end, labelled.
    const int side = axis_.zero_side;
    const double edge = side < 0 ? left_ : right_;
    out += "<g class=\"zero-beyond\"><title>zero lies " + std::string(side < 0 ? "left" : "right") +
           " of this axis</title>\n";
    out += "<path d=\"" + pointer(edge + side * 2, at.axis, side, 5) + "\" fill=\"#000000\"/>\n";
    svg.text(edge + side * 10, at.axis + 4, side < 0 ? "end" : "start", kTickFont, "0",
             " fill=\"#000000\"");
    out += "</g>\n";
  }
  out += "</g>\n";
}

// A row's interval bar with its caps, and its estimate: a square, or a diamond for a contrast;
// an estimate beyond the axis is a pointer at the panel's edge.
void draw_marks(Svg& svg, const ForestRow& row, const ForestAxis& axis, const Panel& panel,
                double y) {
  if (has_interval(row)) {
    const double a = panel.x_of(std::min(row.lower, row.upper));
    const double b = panel.x_of(std::max(row.lower, row.upper));
    svg.line(a, y, b, y,
             std::string("class=\"interval\" stroke=\"") + kBarColour + "\" stroke-width=\"5\"");
    for (double x : {a, b}) {
      svg.line(x, y - 6, x, y + 6,
               std::string("stroke=\"") + kCapColour + "\" stroke-width=\"1.5\"");
    }
  }
  if (!std::isfinite(row.estimate)) return;
  if (axis.estimate_side != 0) {
    const double edge = panel.x_of(axis.estimate_side < 0 ? axis.low : axis.high);
    svg.out() += "<path class=\"estimate-beyond\" d=\"" + pointer(edge, y, axis.estimate_side, 7) +
                 "\" fill=\"" + kMarkerColour +
                 "\"><title>the estimate lies beyond this axis</title></path>\n";
    return;
  }
  const double x = panel.x_of(row.estimate);
  const double r = row.contrast ? 6.5 : 5.0;
  const std::string points =
      row.contrast ? closed_path({{x, y - r}, {x + r, y}, {x, y + r}, {x - r, y}})
                   : closed_path({{x - r, y - r}, {x + r, y - r}, {x + r, y + r}, {x - r, y + r}});
  svg.out() += "<path class=\"estimate\" d=\"" + points + "\" fill=\"" + kMarkerColour +
               "\" stroke=\"#ffffff\" stroke-width=\"1.5\"/>\n";
}

struct Columns {
  double width = 0;
  double label_width = 0;
  double value_width = 0;
  double plot_left = 0;
  double plot_right = 0;
};

Columns columns_of(const ForestPlot& plot) {
  size_t label_chars = 4;
  size_t value_chars = 8 + plot.level.size();
  for (const ForestRow& row : plot.rows) {
    label_chars = std::max(label_chars, std::min(kMaxLabelChars, shown_length(row.label)));
    value_chars = std::max(value_chars, shown_length(value_text(row)));
  }
  Columns c;
  c.label_width = static_cast<double>(label_chars) * kLabelFont * kCharWidth;
  c.value_width = static_cast<double>(value_chars) * kValueFont * kCharWidth;
  c.width = std::max(kMinWidth, c.label_width + c.value_width + 4 * kGap + kMinPlotWidth);
  c.plot_left = kGap + c.label_width + kGap;
  c.plot_right = c.width - kGap - c.value_width - kGap;
  return c;
}

void open_svg(std::string& out, const ForestPlot& plot, double width, double height) {
  const std::string id = escape_markup(plot.id);
  out += "<svg class=\"forest-plot\" role=\"img\" aria-labelledby=\"" + id +
         "-title\" aria-describedby=\"" + id + "-desc\" width=\"" + format_coordinate(width) +
         "\" height=\"" + format_coordinate(height) + "\" viewBox=\"0 0 " +
         format_coordinate(width) + " " + format_coordinate(height) + "\" font-family=\"" +
         kFontFamily + "\">\n";
  out += "<title id=\"" + id + "-title\">" + escape_markup(plot.title) + "</title>\n";
  out += "<desc id=\"" + id + "-desc\">" + escape_markup(description(plot)) + "</desc>\n";
  out += "<rect class=\"background\" x=\"0\" y=\"0\" width=\"" + format_coordinate(width) +
         "\" height=\"" + format_coordinate(height) + "\" fill=\"#ffffff\"/>\n";
}

}  // namespace

std::string forest_plot_svg(const ForestPlot& plot) {
  bool coefficients = false;
  bool contrasts = false;
  for (const ForestRow& row : plot.rows) (row.contrast ? contrasts : coefficients) = true;
  const bool heading = coefficients && contrasts;
  const Columns c = columns_of(plot);
  const double rows_bottom = kHeaderHeight + static_cast<double>(plot.rows.size()) * kRowHeight +
                             (heading ? kHeadingHeight : 0.0);
  const double height = rows_bottom + kFootHeight;

  Svg svg;
  std::string& out = svg.out();
  open_svg(out, plot, c.width, height);
  svg.text(c.plot_left - kGap, 19, "end", kValueFont, "Term", " font-weight=\"bold\"");
  svg.text((c.plot_left + c.plot_right) / 2, 19, "middle", kValueFont, "Own axis per term",
           " font-weight=\"bold\"");
  svg.text(c.plot_right + kGap, 19, "start", kValueFont, "Estimate (" + plot.level + " interval)",
           " font-weight=\"bold\"");

  double top = kHeaderHeight;
  bool in_contrasts = false;
  for (size_t i = 0; i < plot.rows.size(); ++i) {
    const ForestRow& row = plot.rows[i];
    if (heading && row.contrast && !in_contrasts) {
      in_contrasts = true;
      svg.line(kGap, top + 2, c.width - kGap, top + 2, "stroke=\"#999999\" stroke-width=\"1\"");
      svg.text(c.plot_left - kGap, top + kHeadingHeight / 2 + 5, "end", kValueFont, "Contrasts",
               " font-style=\"italic\" fill=\"#222222\"");
      top += kHeadingHeight;
    }
    const RowPlace at = place_of(top);
    const ForestAxis axis = forest_axis(row);
    const Panel panel(axis, c.plot_left, c.plot_right);
    out += "<g class=\"row\">\n<title>" + escape_markup(row.label + ": " + value_text(row)) +
           "</title>\n";
    if (i % 2 == 0) draw_band(out, top, c.width);
    svg.text(c.plot_left - kGap, at.bar + 4.5, "end", kLabelFont,
             shorten(row.label, kMaxLabelChars), " class=\"label\"");
    panel.draw(svg, at);
    draw_marks(svg, row, axis, panel, at.bar);
    svg.text(c.plot_right + kGap, at.bar + 4.5, "start", kValueFont, value_text(row),
             " class=\"value\"");
    out += "</g>\n";
    top += kRowHeight;
  }
  svg.text(
      (c.plot_left + c.plot_right) / 2, rows_bottom + 22, "middle", kValueFont,
      "Estimate with " + plot.level + " adaptive confidence interval; each term has its own axis",
      " fill=\"#222222\"");
  out += "</svg>\n";
  return out;
}

}  // namespace host
