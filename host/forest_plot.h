// The forest plot of a step's intervals as inline SVG: one row per stage-1 coefficient and
// contrast, the estimate as a marker, the interval as a bar, a dashed line at zero, labels on the
// left and values on the right. The markup needs no script, no style sheet and no font file, so
// it reads the same on screen, in print and when copied out of the report.
#ifndef TALVEN_HOST_FOREST_PLOT_H
#define TALVEN_HOST_FOREST_PLOT_H

#include <limits>
#include <string>
#include <vector>

namespace host {

struct ForestRow {
  std::string label;  // the term's full name
  double estimate = std::numeric_limits<double>::quiet_NaN();
  // A row without both limits finite is drawn as its marker alone and says "no interval".
  double lower = std::numeric_limits<double>::quiet_NaN();
  double upper = std::numeric_limits<double>::quiet_NaN();
  bool contrast = false;  // drawn as a diamond; contrasts follow the coefficients
};

struct ForestPlot {
  std::string id;     // unique within the page; the ids of the title and description start with it
  std::string title;  // the figure's accessible name
  std::string level;  // the confidence level as shown, e.g. "95%"
  std::vector<ForestRow> rows;
};

// The horizontal axis: always shows zero and every finite estimate and limit, with equal room on
// both sides, and ends on ticks.
struct ForestAxis {
  double low = -1.0;
  double high = 1.0;
  std::vector<double> ticks;  // ascending, within [low, high]
};
ForestAxis forest_axis(const std::vector<ForestRow>& rows);

// A tick's label: as few decimals as the tick spacing needs; exponent form for very large or
// very small spacings.
std::string format_tick(double value, double step);

// One <svg> element; its size follows the number of rows and the length of the labels.
std::string forest_plot_svg(const ForestPlot& plot);

}  // namespace host

#endif  // TALVEN_HOST_FOREST_PLOT_H
