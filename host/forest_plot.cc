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
constexpr double kRowHeight = 24.0;
constexpr double kHeaderHeight = 30.0;
constexpr double kAxisHeight = 56.0;
constexpr double kGap = 14.0;
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
          " adaptive confidence interval a horizontal bar; a dashed vertical line marks zero.";
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

ForestAxis forest_axis(const std::vector<ForestRow>& rows) {
  double low = 0.0;
  double high = 0.0;
  for (const ForestRow& row : rows) {
    for (double v : {row.estimate, row.lower, row.upper}) {
      if (!std::isfinite(v)) continue;
      low = std::min(low, v);
      high = std::max(high, v);
    }
  }
  ForestAxis axis;
  if (low == high) {
    axis.ticks = {-1.0, -0.5, 0.0, 0.5, 1.0};
    return axis;
  }
  // Halves keep every difference finite, even between values near the largest double.
  const double half_span = high / 2 - low / 2;
  const double pad = half_span * 0.08;
  low = std::max(-DBL_MAX, low - pad);
  high = std::min(DBL_MAX, high + pad);

  const double raw = (high / 2 - low / 2) / 3.0;  // about six intervals
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  double step = magnitude * 10.0;
  for (double m : {1.0, 2.0, 2.5, 5.0}) {
    if (m * magnitude >= raw) {
      step = m * magnitude;
      break;
    }
  }
  if (!std::isfinite(step)) step = raw;
  const double tick_low = std::floor(low / step) * step;
  const double tick_high = std::ceil(high / step) * step;
  axis.low = std::isfinite(tick_low) ? tick_low : low;
  axis.high = std::isfinite(tick_high) ? tick_high : high;
  for (double k = std::ceil(axis.low / step); k <= std::floor(axis.high / step); k += 1.0) {
    const double tick = k * step + 0.0;  // + 0.0: no negative zero
    if (std::isfinite(tick) && tick >= axis.low && tick <= axis.high) axis.ticks.push_back(tick);
  }
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
    std::snprintf(buffer, sizeof buffer, "%.3g", value);
  }
  std::string text(buffer);
  if (text.find_first_not_of("-0.") == std::string::npos) text.assign(1, '0');
  return text;
}

namespace {

// Alternate bands help the eye from label to bar to value.
void draw_bands(std::string& out, const ForestPlot& plot, bool heading, double width) {
  out += "<g class=\"bands\">\n";
  bool skipped = false;
  for (size_t i = 0, slot = 0; i < plot.rows.size(); ++i, ++slot) {
    if (heading && plot.rows[i].contrast && !skipped) {
      skipped = true;
      ++slot;
    }
    if (i % 2 != 0) continue;
    out += "<rect x=\"" + format_coordinate(kGap / 2) + "\" y=\"" +
           format_coordinate(kHeaderHeight + static_cast<double>(slot) * kRowHeight) +
           "\" width=\"" + format_coordinate(width - kGap) + "\" height=\"" +
           format_coordinate(kRowHeight) + "\" fill=\"#f2f4f7\"/>\n";
  }
  out += "</g>\n";
}

// A row's interval bar with its caps, and its estimate: a square, or a diamond for a contrast.
template <typename XOf>
void draw_marks(Svg& svg, const ForestRow& row, double y, const XOf& x_of) {
  if (has_interval(row)) {
    const double a = x_of(std::min(row.lower, row.upper));
    const double b = x_of(std::max(row.lower, row.upper));
    svg.line(a, y, b, y,
             std::string("class=\"interval\" stroke=\"") + kBarColour + "\" stroke-width=\"5\"");
    for (double x : {a, b}) {
      svg.line(x, y - 6, x, y + 6,
               std::string("stroke=\"") + kCapColour + "\" stroke-width=\"1.5\"");
    }
  }
  if (std::isfinite(row.estimate)) {
    const double x = x_of(row.estimate);
    const double r = row.contrast ? 6.5 : 5.0;
    const std::string points =
        row.contrast
            ? closed_path({{x, y - r}, {x + r, y}, {x, y + r}, {x - r, y}})
            : closed_path({{x - r, y - r}, {x + r, y - r}, {x + r, y + r}, {x - r, y + r}});
    svg.out() += "<path class=\"estimate\" d=\"" + points + "\" fill=\"" + kMarkerColour +
                 "\" stroke=\"#ffffff\" stroke-width=\"1.5\"/>\n";
  }
}

// Where the parts of a plot stand.
struct Layout {
  ForestAxis axis;
  bool heading = false;  // coefficients and contrasts both: the contrasts get a heading row
  double width = 0.0;
  double height = 0.0;
  double plot_left = 0.0;
  double plot_right = 0.0;
  double rows_bottom = 0.0;

  double x_of(double v) const {
    const double span = axis.high / 2 - axis.low / 2;
    return plot_left + (v / 2 - axis.low / 2) / span * (plot_right - plot_left);
  }
};

Layout layout_of(const ForestPlot& plot) {
  Layout at;
  at.axis = forest_axis(plot.rows);
  size_t label_chars = 4;
  size_t value_chars = 8 + plot.level.size();
  bool coefficients = false;
  bool contrasts = false;
  for (const ForestRow& row : plot.rows) {
    label_chars = std::max(label_chars, std::min(kMaxLabelChars, shown_length(row.label)));
    value_chars = std::max(value_chars, shown_length(value_text(row)));
    (row.contrast ? contrasts : coefficients) = true;
  }
  at.heading = coefficients && contrasts;
  const double label_width = static_cast<double>(label_chars) * kLabelFont * kCharWidth;
  const double value_width = static_cast<double>(value_chars) * kValueFont * kCharWidth;
  at.width = std::max(kMinWidth, label_width + value_width + 4 * kGap + kMinPlotWidth);
  at.plot_left = kGap + label_width + kGap;
  at.plot_right = at.width - kGap - value_width - kGap;
  const size_t slots = plot.rows.size() + (at.heading ? 1 : 0);
  at.rows_bottom = kHeaderHeight + static_cast<double>(slots) * kRowHeight;
  at.height = at.rows_bottom + kAxisHeight;
  return at;
}

void draw_frame(Svg& svg, const ForestPlot& plot, const Layout& at) {
  std::string& out = svg.out();
  const std::string id = escape_markup(plot.id);
  out += "<svg class=\"forest-plot\" role=\"img\" aria-labelledby=\"" + id +
         "-title\" aria-describedby=\"" + id + "-desc\" width=\"" + format_coordinate(at.width) +
         "\" height=\"" + format_coordinate(at.height) + "\" viewBox=\"0 0 " +
         format_coordinate(at.width) + " " + format_coordinate(at.height) + "\" font-family=\"" +
         kFontFamily + "\">\n";
  out += "<title id=\"" + id + "-title\">" + escape_markup(plot.title) + "</title>\n";
  out += "<desc id=\"" + id + "-desc\">" + escape_markup(description(plot)) + "</desc>\n";
  out += "<rect class=\"background\" x=\"0\" y=\"0\" width=\"" + format_coordinate(at.width) +
         "\" height=\"" + format_coordinate(at.height) + "\" fill=\"#ffffff\"/>\n";

  // Column heads.
  svg.text(at.plot_left - kGap, 19, "end", kValueFont, "Term", " font-weight=\"bold\"");
  svg.text(at.plot_right + kGap, 19, "start", kValueFont, "Estimate (" + plot.level + " interval)",
           " font-weight=\"bold\"");
}

// The grid, the axis with its ticks and title, and the dashed line at zero.
void draw_axis(Svg& svg, const ForestPlot& plot, const Layout& at) {
  const std::vector<double>& ticks = at.axis.ticks;
  svg.out() += "<g class=\"axis\">\n";
  const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : 1.0;
  // Long labels (1e+12 and the like) are shown on every k-th tick only, zero always among them.
  size_t widest = 1;
  for (double tick : ticks) widest = std::max(widest, format_tick(tick, step).size());
  const double spacing = at.x_of(step) - at.x_of(0.0);
  const double needed = static_cast<double>(widest) * kValueFont * kCharWidth + 10.0;
  const double every = spacing > 0 ? std::ceil(needed / spacing) : 1.0;
  for (double tick : ticks) {
    const double x = at.x_of(tick);
    svg.line(x, kHeaderHeight - 4, x, at.rows_bottom, "stroke=\"#dddddd\" stroke-width=\"1\"");
    svg.line(x, at.rows_bottom, x, at.rows_bottom + 5, "stroke=\"#333333\" stroke-width=\"1\"");
    if (std::fmod(std::round(tick / step), every) == 0.0) {
      svg.text(x, at.rows_bottom + 19, "middle", kValueFont, format_tick(tick, step),
               " fill=\"#222222\"");
    }
  }
  svg.line(at.plot_left, at.rows_bottom, at.plot_right, at.rows_bottom,
           "stroke=\"#333333\" stroke-width=\"1\"");
  svg.text((at.plot_left + at.plot_right) / 2, at.rows_bottom + 42, "middle", kValueFont,
           "Estimate with " + plot.level + " adaptive confidence interval", " fill=\"#222222\"");
  svg.out() += "</g>\n";
  const double zero = at.x_of(0.0);
  svg.line(zero, kHeaderHeight - 4, zero, at.rows_bottom,
           "class=\"zero\" stroke=\"#000000\" stroke-width=\"1.2\" stroke-dasharray=\"5 3\"");
}

// A row a term, with the contrasts' heading before the first contrast.
void draw_rows(Svg& svg, const ForestPlot& plot, const Layout& at) {
  const auto x_of = [&](double v) { return at.x_of(v); };
  size_t slot = 0;
  bool in_contrasts = false;
  for (size_t i = 0; i < plot.rows.size(); ++i, ++slot) {
    const ForestRow& row = plot.rows[i];
    if (at.heading && row.contrast && !in_contrasts) {
      in_contrasts = true;
      const double y = kHeaderHeight + static_cast<double>(slot) * kRowHeight;
      svg.line(kGap, y + 2, at.width - kGap, y + 2, "stroke=\"#999999\" stroke-width=\"1\"");
      svg.text(at.plot_left - kGap, y + kRowHeight / 2 + 5, "end", kValueFont, "Contrasts",
               " font-style=\"italic\" fill=\"#222222\"");
      ++slot;
    }
    const double top = kHeaderHeight + static_cast<double>(slot) * kRowHeight;
    const double y = top + kRowHeight / 2;
    svg.out() += "<g class=\"row\">\n<title>" + escape_markup(row.label + ": " + value_text(row)) +
                 "</title>\n";
    svg.text(at.plot_left - kGap, y + 4.5, "end", kLabelFont, shorten(row.label, kMaxLabelChars));
    draw_marks(svg, row, y, x_of);
    svg.text(at.plot_right + kGap, y + 4.5, "start", kValueFont, value_text(row));
    svg.out() += "</g>\n";
  }
}

}  // namespace

std::string forest_plot_svg(const ForestPlot& plot) {
  const Layout at = layout_of(plot);
  Svg svg;
  draw_frame(svg, plot, at);
  draw_bands(svg.out(), plot, at.heading, at.width);
  draw_axis(svg, plot, at);
  draw_rows(svg, plot, at);
  svg.out() += "</svg>\n";
  return svg.out();
}

}  // namespace host
