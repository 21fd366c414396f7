#include "host/forest_plot.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "report_sample/example_estimates.h"
#include "xml_tree.h"

namespace host {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The shipped example's stage-1 coefficients and contrasts.
std::vector<ForestRow> example_rows() {
  std::vector<ForestRow> rows;
  for (const ReportEstimate& e : report_sample::example_estimates()) {
    if (e.stage == 1) rows.push_back({e.term, e.estimate, e.lower, e.upper, e.contrast});
  }
  return rows;
}

ForestPlot plot_of(std::vector<ForestRow> rows) {
  ForestPlot plot;
  plot.id = "fp";
  plot.title = "Stage-1 estimates";
  plot.level = "95%";
  plot.rows = std::move(rows);
  return plot;
}

std::unique_ptr<xml_tree::Element> parse(const std::string& svg) {
  xml_tree::Parser parser(svg);
  auto root = parser.parse();
  EXPECT_TRUE(root) << parser.error() << "\n" << svg;
  return root;
}

double number(const xml_tree::Element& e, const std::string& key) {
  return std::strtod(e.attribute(key).c_str(), nullptr);
}

struct AxisCase {
  const char* what;
  ForestRow row;
  int estimate_side;  // as forest_axis should say
  int zero_side;
};

TEST(ForestAxis, LaidAroundTheIntervalWithEstimateAndZeroWhenTheyFit) {
  const std::vector<AxisCase> cases = {
      {"straddles zero", {"a", 0.3, -0.5, 0.8, false}, 0, 0},
      {"zero within four widths", {"a", 1.5, 1.0, 2.0, false}, 0, 0},
      {"zero exactly four widths away", {"a", 3.5, 3.0, 4.0, false}, 0, 0},
      {"zero just too far", {"a", 3.5, 3.1, 4.0, false}, 0, -1},
      {"intercept far from zero", {"a", 1770.3, 1702.1, 1843.9, false}, 0, -1},
      {"negative, far from zero", {"a", -120.0, -130.0, -110.0, false}, 0, 1},
      {"slope per year", {"a", 0.0141, 0.0112, 0.0173, false}, 0, 0},
      {"estimate far outside", {"a", 10.0, 0.0, 1.0, false}, 1, 0},
      {"estimate far left", {"a", -10.0, 5.0, 6.0, false}, -1, -1},
      {"tiny", {"a", 3e-9, 1e-9, 5e-9, false}, 0, 0},
      {"huge and negative", {"a", -2.5e12, -4e12, -1e12, true}, 0, 0},
      {"near the largest double", {"a", 1.5e308, -1.6e308, 1.6e308, false}, 0, 0},
      {"a few units in the last place", {"a", 1e15, 1e15, 1e15 + 0.5, false}, 0, -1},
      {"infinite limits: estimate and zero", {"a", 2.0, -kInf, kInf, false}, 0, 0},
      {"one limit: estimate, limit and zero", {"a", kNaN, kNaN, 3.0, false}, 0, 0},
      {"no limits", {"a", -0.25, kNaN, kNaN, false}, 0, 0},
      {"zero-width interval", {"a", 2.0, 2.0, 2.0, false}, 0, 0},
      {"nothing finite", {"a", kNaN, kNaN, kNaN, false}, 0, 0},
  };
  for (const AxisCase& c : cases) {
    SCOPED_TRACE(c.what);
    const ForestAxis axis = forest_axis(c.row);
    ASSERT_TRUE(std::isfinite(axis.low) && std::isfinite(axis.high));
    ASSERT_LT(axis.low, axis.high);
    EXPECT_EQ(axis.estimate_side, c.estimate_side);
    EXPECT_EQ(axis.zero_side, c.zero_side);
    const double span = axis.high / 2 - axis.low / 2;  // halves: no overflow
    const ForestRow& r = c.row;
    if (std::isfinite(r.lower) && std::isfinite(r.upper) && r.lower != r.upper) {
      // The interval strictly inside and filling at least a fifth of the axis.
      EXPECT_LT(axis.low, r.lower);
      EXPECT_GT(axis.high, r.upper);
      EXPECT_GE(r.upper / 2 - r.lower / 2, span / 5) << axis.low << " " << axis.high;
    }
    // A value said to be on the axis is inside it; one said to be beyond lies that way.
    const auto check_side = [&](double v, int side) {
      if (!std::isfinite(v)) return;
      if (side == 0) {
        EXPECT_LE(axis.low, v);
        EXPECT_GE(axis.high, v);
      } else {
        EXPECT_TRUE(side < 0 ? v < axis.low : v > axis.high) << v;
      }
    };
    check_side(r.estimate, axis.estimate_side);
    check_side(0.0, axis.zero_side);
    // Two to five evenly spaced ticks inside the range.
    ASSERT_GE(axis.ticks.size(), 2u);
    EXPECT_LE(axis.ticks.size(), 5u);
    const double step = axis.ticks[1] - axis.ticks[0];
    for (size_t i = 0; i < axis.ticks.size(); ++i) {
      EXPECT_GE(axis.ticks[i], axis.low);
      EXPECT_LE(axis.ticks[i], axis.high);
      if (i > 0) {
        // Even up to the resolution of the doubles there.
        const double ulp =
            std::nextafter(std::fabs(axis.ticks[i]), kInf) - std::fabs(axis.ticks[i]);
        EXPECT_NEAR(axis.ticks[i] - axis.ticks[i - 1], step,
                    std::max(std::fabs(step) * 1e-9, 2 * ulp));
      }
    }
  }
}

TEST(ForestAxis, TickLabelsUseTheDecimalsTheSpacingNeeds) {
  const struct {
    double value;
    double step;
    const char* text;
  } cases[] = {
      {0.5, 0.5, "0.5"},
      {1.0, 0.5, "1.0"},
      {-1.5, 0.5, "-1.5"},
      {0.25, 0.25, "0.25"},
      {5.0, 2.5, "5.0"},
      {20.0, 10.0, "20"},
      {0.0, 0.1, "0"},
      {-0.0, 0.2, "0"},
      {2e12, 1e12, "2e+12"},
      {-4e12, 2e12, "-4e+12"},
      {3e-6, 1e-6, "3e-06"},
      {1e-4, 1e-4, "0.0001"},
      // Neighbouring ticks far from zero stay apart.
      {12345678.5, 0.5, "12345678.5"},
      {-2.0000003e-3, 1e-10, "-0.0020000003"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_tick(c.value, c.step), c.text) << c.value << " step " << c.step;
  }
}

TEST(ForestPlotSvg, OneRowGroupPerCoefficientAndContrastWithLabelAndValues) {
  std::vector<ForestRow> sixty;
  for (int i = 0; i < 60; ++i) {
    // Appended rather than "x" + ...: GCC 12 warns falsely (-Wrestrict) on that form at -O3.
    std::string label = "x";
    label += std::to_string(i);
    sixty.push_back({label, i * 0.1 - 3, i * 0.1 - 3.5, i * 0.1 - 2.5, i >= 55});
  }
  const std::vector<std::vector<ForestRow>> sets = {
      {{"intercept", 2.5, 1.25, 3.75, false}}, example_rows(), sixty};
  double previous_height = 0;
  for (const auto& rows : sets) {
    SCOPED_TRACE(rows.size());
    const std::string svg = forest_plot_svg(plot_of(rows));
    auto root = parse(svg);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->name, "svg");
    const auto groups = root->find("g", "row");
    ASSERT_EQ(groups.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      const auto label = groups[i]->find("text", "label");
      const auto value = groups[i]->find("text", "value");
      ASSERT_EQ(label.size(), 1u);
      ASSERT_EQ(value.size(), 1u);
      EXPECT_EQ(label[0]->text, rows[i].label);
      EXPECT_NEAR(std::strtod(value[0]->text.c_str(), nullptr), rows[i].estimate, 5.001e-5);
      EXPECT_EQ(groups[i]->find("g", "panel").size(), 1u);
      EXPECT_EQ(groups[i]->find("line", "interval").size(), 1u);
      EXPECT_EQ(groups[i]->find("path", "estimate").size(), 1u);
    }
    // The height follows the rows: the same room per row whatever their number.
    const double height = number(*root, "height");
    EXPECT_GT(height, previous_height);
    std::string view_box = "0 0 ";
    view_box += root->attribute("width") + " " + root->attribute("height");
    EXPECT_EQ(root->attribute("viewBox"), view_box);
    previous_height = height;
  }
}

// A row's scale as its tick labels give it: value to x, and the drawn axis in units.
struct RowScale {
  double x0 = 0;  // x of value 0
  double per_unit = 0;
  double axis_units = 0;
  double x_of(double v) const { return x0 + v * per_unit; }
};

RowScale scale_of(const xml_tree::Element& row) {
  const auto ticks = row.find("text", "tick");
  EXPECT_GE(ticks.size(), 2u);
  RowScale s;
  if (ticks.size() < 2) return s;
  const double v1 = std::strtod(ticks.front()->text.c_str(), nullptr);
  const double v2 = std::strtod(ticks.back()->text.c_str(), nullptr);
  const double x1 = number(*ticks.front(), "x");
  const double x2 = number(*ticks.back(), "x");
  s.per_unit = (x2 - x1) / (v2 - v1);
  s.x0 = x1 - v1 * s.per_unit;
  const auto* axis = row.find("line", "axis-line").at(0);
  s.axis_units = (number(*axis, "x2") - number(*axis, "x1")) / s.per_unit;
  return s;
}

// The centre of an estimate's marker. A square has two distinct x, a diamond three.
double marker_centre(const xml_tree::Element& marker, size_t* distinct) {
  std::set<double> xs;
  double sum = 0;
  std::istringstream d(marker.attribute("d"));
  char command = 0;
  double px = 0;
  double py = 0;
  for (int corner = 0; corner < 4 && d >> command >> px >> py; ++corner) {
    xs.insert(px);
    sum += px;
  }
  *distinct = xs.size();
  return sum / 4;
}

// Checks every row's marks against the scale its own ticks give, and the width rule: an
// interval spans at least 10 pixels unless it is narrower than a hundredth of its axis.
void expect_rows_drawn_to_scale(const std::vector<ForestRow>& rows) {
  auto root = parse(forest_plot_svg(plot_of(rows)));
  ASSERT_TRUE(root);
  const auto groups = root->find("g", "row");
  ASSERT_EQ(groups.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const ForestRow& row = rows[i];
    SCOPED_TRACE(row.label);
    const RowScale s = scale_of(*groups[i]);
    ASSERT_GT(s.per_unit, 0);
    const auto* bar = groups[i]->find("line", "interval").at(0);
    const double width = number(*bar, "x2") - number(*bar, "x1");
    EXPECT_NEAR(number(*bar, "x1"), s.x_of(row.lower), 0.5);
    EXPECT_NEAR(number(*bar, "x2"), s.x_of(row.upper), 0.5);
    if (row.upper - row.lower >= s.axis_units / 100) {
      EXPECT_GE(width, 10.0);
    }
    const auto markers = groups[i]->find("path", "estimate");
    if (!markers.empty()) {
      size_t distinct = 0;
      EXPECT_NEAR(marker_centre(*markers[0], &distinct), s.x_of(row.estimate), 0.5);
      EXPECT_EQ(distinct, row.contrast ? 3u : 2u) << "diamonds for contrasts";
    }
    const auto zero = groups[i]->find("line", "zero");
    if (!zero.empty()) {
      EXPECT_NEAR(number(*zero[0], "x1"), s.x_of(0.0), 0.5);
    }
    // Exactly one of the two: zero on the axis, or a pointer to it.
    EXPECT_EQ(zero.size() + groups[i]->find("g", "zero-beyond").size(), 1u);
  }
}

TEST(ForestPlotSvg, EachRowIsDrawnToTheScaleOfItsOwnTicks) {
  expect_rows_drawn_to_scale(example_rows());
}

// An intercept in the thousands, a slope per year in the thousandths and effects in between:
// on one axis the slopes would be dots.
TEST(ForestPlotSvg, EveryIntervalIsReadableWhenScalesDifferByThreeOrdersOfMagnitude) {
  const std::vector<ForestRow> rows = {
      {"intercept", 1770.3, 1702.1, 1843.9, false},
      {"year", 0.0141, 0.0112, 0.0173, false},
      {"age", -0.9, -1.7, -0.2, false},
      {"year:a1", 0.0009, -0.0004, 0.0021, false},
      {"a1", -2.31, -3.9, -0.8, false},
      {"Contrast1", 12.5, 3.1, 22.0, true},
      {"Contrast2", 0.0005, 0.0001, 0.0011, true},
  };
  expect_rows_drawn_to_scale(rows);
  auto root = parse(forest_plot_svg(plot_of(rows)));
  ASSERT_TRUE(root);
  for (const auto* bar : root->find("line", "interval")) {
    EXPECT_GE(number(*bar, "x2") - number(*bar, "x1"), 10.0);
  }
  // The intercept's axis is far from zero: a pointer says which way it lies.
  const auto first = root->find("g", "row").at(0);
  ASSERT_EQ(first->find("g", "zero-beyond").size(), 1u);
  EXPECT_NE(first->find("g", "zero-beyond")[0]->find("title").at(0)->text.find("left"),
            std::string::npos);
}

TEST(ForestPlotSvg, AnEstimateBeyondItsAxisIsAPointerAtTheEdge) {
  auto root = parse(forest_plot_svg(plot_of({{"far", 10.0, 0.0, 1.0, false}})));
  ASSERT_TRUE(root);
  const auto* row = root->find("g", "row").at(0);
  EXPECT_TRUE(row->find("path", "estimate").empty());
  ASSERT_EQ(row->find("path", "estimate-beyond").size(), 1u);
  const auto* axis = row->find("line", "axis-line").at(0);
  std::istringstream d(row->find("path", "estimate-beyond")[0]->attribute("d"));
  char command = 0;
  double tip = 0;
  d >> command >> tip;
  EXPECT_GE(tip, number(*axis, "x2"));
  EXPECT_EQ(row->find("text", "value").at(0)->text, "10.0000 (0.0000 to 1.0000)");
}

TEST(ForestPlotSvg, RowsWithoutLimitsOrEstimateAndExtremeValuesNeverPrintNonFiniteNumbers) {
  const std::vector<ForestRow> rows = {
      {"no limits", 0.5, kNaN, kNaN, false},
      {"one limit", 0.5, 0.1, kNaN, false},
      {"infinite limits", 0.5, -kInf, kInf, false},
      {"no estimate", kNaN, 0.1, 0.9, false},
      {"huge", 1e300, 5e299, 1.5e300, false},
      {"huge negative", -1e300, -1.5e300, -5e299, true},
      {"largest", DBL_MAX, -DBL_MAX, DBL_MAX, false},
  };
  const std::string svg = forest_plot_svg(plot_of(rows));
  auto root = parse(svg);
  ASSERT_TRUE(root);
  // Every geometric attribute holds plain decimals of drawing size (path commands between them):
  // no nan, no inf, no exponent.
  const auto all = root->find([](const xml_tree::Element&) { return true; });
  size_t checked = 0;
  for (const auto* e : all) {
    for (const char* key : {"x", "y", "x1", "y1", "x2", "y2", "width", "height", "d"}) {
      const std::string value = e->attribute(key);
      EXPECT_EQ(value.find_first_not_of("0123456789.- MHVLZ"), std::string::npos)
          << key << "=\"" << value << "\"";
      for (size_t at = value.find_first_of("0123456789-"); at != std::string::npos;) {
        size_t end = 0;
        const double v = std::stod(value.substr(at), &end);
        EXPECT_LT(std::fabs(v), 1e5) << key << "=\"" << value << "\"";
        ++checked;
        at = value.find_first_of("0123456789-", at + end);
      }
    }
  }
  EXPECT_GT(checked, 50u);
  const auto groups = root->find("g", "row");
  ASSERT_EQ(groups.size(), rows.size());
  const struct {
    size_t bars;
    size_t markers;
    const char* value;
  } expected[] = {
      {0, 1, "0.5000 (no interval)"},
      {0, 1, "0.5000 (no interval)"},
      {0, 1, "0.5000 (no interval)"},
      {1, 0, "not estimated"},
      {1, 1, "1.0000e+300 (5.0000e+299 to 1.5000e+300)"},
      {1, 1, "-1.0000e+300 (-1.5000e+300 to -5.0000e+299)"},
      {1, 1, "1.7977e+308 (-1.7977e+308 to 1.7977e+308)"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].label);
    EXPECT_EQ(groups[i]->find("line", "interval").size(), expected[i].bars);
    EXPECT_EQ(groups[i]->find("path", "estimate").size(), expected[i].markers);
    EXPECT_EQ(groups[i]->find("text", "value").at(0)->text, expected[i].value);
  }
}

TEST(ForestPlotSvg, TextAlternativeNamesTheFigureAndListsEveryValue) {
  ForestPlot plot = plot_of(example_rows());
  plot.id = "step-1-plot";
  auto root = parse(forest_plot_svg(plot));
  ASSERT_TRUE(root);
  EXPECT_EQ(root->attribute("role"), "img");
  ASSERT_GE(root->children.size(), 2u);
  const auto& title = *root->children[0];
  const auto& desc = *root->children[1];
  EXPECT_EQ(title.name, "title");
  EXPECT_EQ(desc.name, "desc");
  EXPECT_EQ(root->attribute("aria-labelledby"), title.attribute("id"));
  EXPECT_EQ(root->attribute("aria-describedby"), desc.attribute("id"));
  EXPECT_EQ(title.attribute("id"), "step-1-plot-title");
  EXPECT_EQ(title.text, "Stage-1 estimates");
  EXPECT_NE(desc.text.find("5 stage-1 coefficients and 2 contrasts"), std::string::npos);
  EXPECT_NE(desc.text.find("95% adaptive confidence interval"), std::string::npos);
  for (const char* item : {"intercept: 1.1793 (0.5734 to 1.6889).", "o11:a1: 0.3578",
                           "Contrast2: -0.5636 (-0.9302 to -0.1815)."}) {
    EXPECT_NE(desc.text.find(item), std::string::npos) << item;
  }
}

TEST(ForestPlotSvg, NamesWithMarkupCharactersAndBadBytesStayText) {
  const std::string hostile = "<b>&amp;\"x'\xff";
  ForestPlot plot = plot_of({{hostile, 1.0, 0.5, 1.5, false}, {"a<b", -1.0, -2.0, 0.0, true}});
  plot.title = "T & <T>";
  const std::string svg = forest_plot_svg(plot);
  EXPECT_EQ(svg.find("<b>"), std::string::npos);
  auto root = parse(svg);
  ASSERT_TRUE(root);
  const auto groups = root->find("g", "row");
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0]->find("text", "label").at(0)->text, "<b>&amp;\"x'\\xFF");
  EXPECT_EQ(groups[1]->find("text", "label").at(0)->text, "a<b");
  EXPECT_EQ(root->children[0]->text, "T & <T>");
}

TEST(ForestPlotSvg, LongLabelsAreShortenedButKeptWholeInTheRowTitle) {
  const std::string name(70, 'v');
  const std::string accented = "\xc3\xa9" + std::string(60, 'e');  // cut at a character boundary
  auto root = parse(
      forest_plot_svg(plot_of({{name, 1.0, 0.0, 2.0, false}, {accented, 1.0, 0.0, 2.0, false}})));
  ASSERT_TRUE(root);
  const auto groups = root->find("g", "row");
  for (size_t i = 0; i < 2; ++i) {
    const std::string shown = groups[i]->find("text", "label").at(0)->text;
    EXPECT_LT(shown.size(), 50u);
    EXPECT_EQ(shown.substr(shown.size() - 3), "\xE2\x80\xA6");
    EXPECT_EQ(groups[i]->find("title").at(0)->text.substr(0, i == 0 ? 70 : 62),
              i == 0 ? name : accented);
  }
}

}  // namespace
}  // namespace host
