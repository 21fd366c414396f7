// The forest plot of a step's intervals as inline SVG: one row per stage-1 coefficient and
// contrast, the estimate as a marker, the interval as a bar, labels on the left and values on
// the right. Each row is a small panel with its own axis: the coefficients of one model are in
// the units of their covariates (an intercept near 2, a slope per year near 0.01), so on a
// shared axis the narrow ones would shrink to a dot. The markup needs no script, no style sheet
// and no font file, so it reads the same on screen, in print and when copied out of the report.
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

// A row's horizontal axis. It is laid around the interval, so that the interval fills at least
// a fifth of it; the estimate and zero are on it when the interval keeps that share with them,
// and otherwise shown at the edge, pointing the way they lie. A row without an interval has its
// estimate and zero on the axis.
struct ForestAxis {
  double low = -1.0;
  double high = 1.0;
  std::vector<double> ticks;  // two to five, ascending, within [low, high]
  // Where the estimate and zero lie when they are not on the axis: -1 left of it, 1 right of
  // it; 0 when on it (or, for the estimate, when there is none).
  int estimate_side = 0;
  int zero_side = 0;
};
ForestAxis forest_axis(const ForestRow& row);

// A tick's label: as few decimals as the tick spacing needs; exponent form for very large or
// very small spacings.
std::string format_tick(double value, double step);

// One <svg> element; its size follows the number of rows and the length of the labels. Each row
// is a <g class="row"> with its label, its panel (<g class="panel">: axis, ticks, zero line)
// and its value text.
std::string forest_plot_svg(const ForestPlot& plot);

}  // namespace host

#endif  // TALVEN_HOST_FOREST_PLOT_H
