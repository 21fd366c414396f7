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
  std::vector<ForestRow> rows;
};

TEST(ForestAxis, CoversZeroAndEveryFiniteValueWithRoomOnBothSides) {
  const std::vector<AxisCase> cases = {
      {"example", example_rows()},
      {"all positive", {{"a", 5.0, 4.0, 6.0, false}, {"b", 7.5, 7.0, 9.0, false}}},
      {"all negative", {{"a", -120.0, -180.0, -60.0, false}}},
      {"tiny", {{"a", 3e-9, 1e-9, 5e-9, false}}},
      {"huge and negative", {{"a", -2.5e12, -4e12, -1e12, false}, {"b", 1e12, 5e11, 1.5e12, true}}},
      {"near the largest double", {{"a", 1.5e308, -1.6e308, 1.6e308, false}}},
      {"non-finite values ignored",
       {{"a", 2.0, -kInf, kInf, false}, {"b", kNaN, kNaN, 3.0, false}}},
      {"one estimate, no limits", {{"a", -0.25, kNaN, kNaN, false}}},
  };
  for (const AxisCase& c : cases) {
    SCOPED_TRACE(c.what);
    const ForestAxis axis = forest_axis(c.rows);
    ASSERT_TRUE(std::isfinite(axis.low) && std::isfinite(axis.high));
    ASSERT_LT(axis.low, axis.high);
    // Zero and every finite value strictly inside, so no marker sits on the frame.
    double lo = 0.0;
    double hi = 0.0;
    for (const ForestRow& r : c.rows) {
      for (double v : {r.estimate, r.lower, r.upper}) {
        if (std::isfinite(v)) {
          lo = std::min(lo, v);
          hi = std::max(hi, v);
        }
      }
    }
    if (lo < 0) {
      EXPECT_LT(axis.low, lo);
    }
    if (hi > 0) {
      EXPECT_GT(axis.high, hi);
    }
    EXPECT_LE(axis.low, 0.0);
    EXPECT_GE(axis.high, 0.0);
    // Evenly spaced ticks inside the range, zero among them, a readable number of them.
    ASSERT_GE(axis.ticks.size(), 3u);
    EXPECT_LE(axis.ticks.size(), 12u);
    const double step = axis.ticks[1] - axis.ticks[0];
    bool zero = false;
    for (size_t i = 0; i < axis.ticks.size(); ++i) {
      EXPECT_GE(axis.ticks[i], axis.low);
      EXPECT_LE(axis.ticks[i], axis.high);
      if (i > 0) {
        EXPECT_NEAR(axis.ticks[i] - axis.ticks[i - 1], step, std::fabs(step) * 1e-9);
      }
      zero = zero || axis.ticks[i] == 0.0;
    }
    EXPECT_TRUE(zero);
    // Padding is shared out evenly: neither side gets more than about twice the other, besides
    // the rounding out to the next tick.
    if (lo < 0 && hi > 0) {
      EXPECT_LE(lo - axis.low, 2 * (axis.high - hi) + step);
      EXPECT_LE(axis.high - hi, 2 * (lo - axis.low) + step);
    }
  }
}

TEST(ForestAxis, TickLabelsUseTheDecimalsTheSpacingNeeds) {
  const struct {
    double value;
    double step;
    const char* text;
  } cases[] = {
      {0.5, 0.5, "0.5"},     {1.0, 0.5, "1.0"},       {-1.5, 0.5, "-1.5"},   {0.25, 0.25, "0.25"},
      {5.0, 2.5, "5.0"},     {20.0, 10.0, "20"},      {0.0, 0.1, "0"},       {-0.0, 0.2, "0"},
      {2e12, 1e12, "2e+12"}, {-4e12, 2e12, "-4e+12"}, {3e-6, 1e-6, "3e-06"}, {1e-4, 1e-4, "0.0001"},
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
      const auto texts = groups[i]->find("text");
      ASSERT_EQ(texts.size(), 2u);
      EXPECT_EQ(texts[0]->text, rows[i].label);
      EXPECT_NEAR(std::strtod(texts[1]->text.c_str(), nullptr), rows[i].estimate, 5.001e-5);
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

// Markers, bars and the zero line sit where the axis says: positions follow the values.
TEST(ForestPlotSvg, GeometryFollowsTheValues) {
  const auto rows = example_rows();
  auto root = parse(forest_plot_svg(plot_of(rows)));
  ASSERT_TRUE(root);
  const auto groups = root->find("g", "row");
  std::vector<double> centres;
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto* bar = groups[i]->find("line", "interval").at(0);
    // The marker's corners: a square has two distinct x, a diamond three (centre included).
    std::set<double> xs;
    double sum = 0;
    std::istringstream d(groups[i]->find("path", "estimate").at(0)->attribute("d"));
    char command = 0;
    double px = 0;
    double py = 0;
    for (int corner = 0; corner < 4 && d >> command >> px >> py; ++corner) {
      xs.insert(px);
      sum += px;
    }
    const double centre = sum / 4;
    EXPECT_EQ(xs.size(), rows[i].contrast ? 3u : 2u) << "diamonds for contrasts";
    EXPECT_LT(number(*bar, "x1"), centre);
    EXPECT_GT(number(*bar, "x2"), centre);
    centres.push_back(centre);
  }
  // x is a linear function of the estimate: compare every pair against the first two.
  const double scale = (centres[1] - centres[0]) / (rows[1].estimate - rows[0].estimate);
  EXPECT_GT(scale, 0);
  for (size_t i = 2; i < rows.size(); ++i) {
    EXPECT_NEAR(centres[i] - centres[0], scale * (rows[i].estimate - rows[0].estimate), 0.05);
  }
  const auto zero = root->find("line", "zero");
  ASSERT_EQ(zero.size(), 1u);
  EXPECT_NEAR(number(*zero[0], "x1"), centres[0] - scale * rows[0].estimate, 0.05);
  // The tick labelled 0 is under the zero line.
  bool labelled = false;
  for (const auto* t : root->find("g", "axis").at(0)->find("text")) {
    if (t->text == "0") {
      EXPECT_EQ(t->attribute("x"), zero[0]->attribute("x1"));
      labelled = true;
    }
  }
  EXPECT_TRUE(labelled);
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
    EXPECT_EQ(groups[i]->find("text").at(1)->text, expected[i].value);
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
  EXPECT_EQ(groups[0]->find("text")[0]->text, "<b>&amp;\"x'\\xFF");
  EXPECT_EQ(groups[1]->find("text")[0]->text, "a<b");
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
    const std::string shown = groups[i]->find("text")[0]->text;
    EXPECT_LT(shown.size(), 50u);
    EXPECT_EQ(shown.substr(shown.size() - 3), "\xE2\x80\xA6");
    EXPECT_EQ(groups[i]->find("title").at(0)->text.substr(0, i == 0 ? 70 : 62),
              i == 0 ? name : accented);
  }
}

}  // namespace
}  // namespace host
