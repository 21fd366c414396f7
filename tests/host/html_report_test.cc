#include "host/html_report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "report_sample/example_estimates.h"
#include "tests/support/files.h"
#include "tests/support/temp_folder.h"
#include "xml_tree.h"

namespace host {
namespace {

namespace fs = std::filesystem;
using xml_tree::Element;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using report_sample::example_estimates;

ReportResults example_results() {
  ReportResults r;
  r.observations = 300;
  r.stage1 = 300;
  r.stage2 = 150;
  r.alpha = 0.05;
  r.estimates = example_estimates();
  return r;
}

Report one_step(ReportResults results) {
  Report report;
  report.program = "smart_study.sas";
  report.created = "2018-05-02 10:15:00";
  ReportStep step;
  step.procedure = "TALVEN";
  step.heading = "PROC TALVEN -- Q-Learning and Adaptive Confidence Intervals";
  ReportGroup group;
  group.results = std::move(results);
  step.groups = {group};
  report.steps = {step};
  return report;
}

// Every text field of the model, each holding markup characters and a byte that is not UTF-8.
Report hostile_report() {
  const std::string bad = " <b>&amp;\"q\" 'a' \xff";
  Report report = one_step(example_results());
  report.program = "prog" + bad;
  report.created = "when" + bad;
  report.settings = {{"name" + bad, "value" + bad}};
  ReportStep& step = report.steps[0];
  step.procedure = "TALVEN" + bad;
  step.heading = "heading" + bad;
  step.titles = {"title" + bad};
  step.footnotes = {"footnote" + bad};
  step.options = {{"option" + bad, "setting" + bad}};
  ReportGroup& group = step.groups[0];
  group.by_line = "by" + bad;
  group.messages = {"WARNING: message" + bad};
  group.results->estimates[1].term = "term" + bad;
  group.results->rules = {"rule" + bad};
  group.results->regime_values = {"value" + bad};
  report.steps.push_back(step);  // two steps: the table of contents shows titles too
  return report;
}

std::unique_ptr<Element> parse(const std::string& html) {
  xml_tree::Parser parser(html);
  auto root = parser.parse();
  EXPECT_TRUE(root) << parser.error();
  return root;
}

// The cells of each body row of a table, as text.
std::vector<std::vector<std::string>> body_rows(const Element& table) {
  std::vector<std::vector<std::string>> rows;
  for (const Element* body : table.find("tbody")) {
    for (const Element* tr : body->find("tr")) {
      std::vector<std::string> cells;
      for (const auto& cell : tr->children) cells.push_back(cell->all_text());
      rows.push_back(cells);
    }
  }
  return rows;
}

TEST(HtmlReport, IsWellFormedSelfContainedAndNeedsNothingFromOutside) {
  for (const Report& report : {one_step(example_results()), hostile_report(), Report{}}) {
    const std::string html = format_html_report(report);
    EXPECT_EQ(html.rfind("<!DOCTYPE html>\n", 0), 0u);
    auto root = parse(html);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->name, "html");
    EXPECT_EQ(root->attribute("lang"), "en");
    ASSERT_EQ(root->find("meta").at(0)->attribute("charset"), "utf-8");
    EXPECT_EQ(root->find("title").at(0)->name, "title");
    // No script, no embedded object, no reference to another file or to the network.
    for (const char* tag : {"script", "link", "img", "iframe", "object", "embed", "image", "use"}) {
      EXPECT_TRUE(root->find(tag).empty()) << tag;
    }
    for (const char* text : {"http:", "https:", "src=", "@import", "url(", "xlink", "//"}) {
      EXPECT_EQ(html.find(text), std::string::npos) << text;
    }
    for (const Element* e :
         root->find([](const Element& e) { return !e.attribute("href").empty(); })) {
      EXPECT_EQ(e->attribute("href").rfind('#', 0), 0u) << e->attribute("href");
    }
  }
}

TEST(HtmlReport, EstimatesTableIsLaidOutLikeOutest) {
  auto root = parse(format_html_report(one_step(example_results())));
  ASSERT_TRUE(root);
  const auto tables = root->find("table", "estimates");
  ASSERT_EQ(tables.size(), 1u);
  const Element& table = *tables[0];
  EXPECT_NE(table.find("caption").at(0)->all_text().find("95%"), std::string::npos);
  std::vector<std::string> heads;
  for (const Element* th : table.find("thead").at(0)->find("th")) {
    EXPECT_FALSE(th->attribute("scope").empty()) << th->all_text();
    heads.push_back(th->all_text());
  }
  EXPECT_EQ(heads, (std::vector<std::string>{"Stage", "Term", "Estimate", "95% confidence limits",
                                             "Lower", "Upper"}));
  // Listing rounding in the cell, the exact value beside it, a dash for a missing limit.
  const auto rows = body_rows(table);
  const auto expected = example_estimates();
  ASSERT_EQ(rows.size(), expected.size());
  EXPECT_EQ(rows[4], (std::vector<std::string>{"1", "a1", "0.0761", "-0.0564", "0.1977"}));
  EXPECT_EQ(rows[6], (std::vector<std::string>{"1", "Contrast2", "-0.5636", "-0.9302", "-0.1815"}));
  EXPECT_EQ(rows[12],
            (std::vector<std::string>{"2", "a2", "0.0503", "\xE2\x80\x93", "\xE2\x80\x93"}));
  const auto cells = table.find("td", "num");
  size_t exact = 0;
  for (size_t r = 0; r < expected.size(); ++r) {
    EXPECT_EQ(rows[r][0], std::to_string(expected[r].stage));
    EXPECT_EQ(rows[r][1], expected[r].term);
    const double values[] = {expected[r].estimate, expected[r].lower, expected[r].upper};
    for (int k = 0; k < 3; ++k) {
      // Columns Estimate, Lower, Upper of row r: every cell but Term carries class num.
      const Element& cell = *cells.at(r * 4 + 1 + static_cast<size_t>(k));
      if (std::isnan(values[k])) {
        EXPECT_TRUE(cell.attribute("data-value").empty());
        continue;
      }
      EXPECT_EQ(std::strtod(cell.attribute("data-value").c_str(), nullptr), values[k]);
      EXPECT_NEAR(std::strtod(cell.all_text().c_str(), nullptr), values[k], 5.001e-5);
      ++exact;
    }
  }
  EXPECT_EQ(exact, 13u + 7u * 2u);
  // Stages are apart: one body per stage.
  EXPECT_EQ(table.find("tbody").size(), 2u);
}

TEST(HtmlReport, PointEstimatesOnlyHaveNeitherLimitsNorPlot) {
  ReportResults r = example_results();
  r.alpha.reset();
  std::erase_if(r.estimates, [](const ReportEstimate& e) { return e.contrast; });
  for (ReportEstimate& e : r.estimates) e.lower = e.upper = kNaN;
  auto root = parse(format_html_report(one_step(r)));
  ASSERT_TRUE(root);
  const Element& table = *root->find("table", "estimates").at(0);
  EXPECT_EQ(table.find("th").size(), 3u);
  for (const auto& row : body_rows(table)) EXPECT_EQ(row.size(), 3u);
  EXPECT_TRUE(root->find("svg").empty());
  EXPECT_TRUE(root->find("figure").empty());
}

TEST(HtmlReport, ConfidenceLevelComesFromAlpha) {
  const struct {
    double alpha;
    const char* level;
  } cases[] = {{0.05, "95%"}, {0.1, "90%"}, {0.025, "97.5%"}, {0.001, "99.9%"}, {0.5, "50%"}};
  for (const auto& c : cases) {
    ReportResults r = example_results();
    r.alpha = c.alpha;
    auto root = parse(format_html_report(one_step(r)));
    ASSERT_TRUE(root);
    EXPECT_EQ(root->find("th", "limits").at(0)->all_text(),
              std::string(c.level) + " confidence limits");
  }
}

// One figure per step with intervals: its rows are the stage-1 coefficients and the contrasts,
// and the decision rules and the regime's value follow it.
TEST(HtmlReport, ForestPlotShowsStageOneRowsWithTheRulesUnderIt) {
  ReportResults r = example_results();
  r.rules = {"Stage 1: give a1 = 1 when 0.0761 + 0.3578 * o11 > 0.",
             "Stage 2: give a2 = 1 when 0.0503 + 0.6781 * o21 > 0."};
  r.regime_values = {"Estimated value of the regime: 1.2345"};
  auto root = parse(format_html_report(one_step(r)));
  ASSERT_TRUE(root);
  const auto figures = root->find("figure", "plot");
  ASSERT_EQ(figures.size(), 1u);
  const auto rows = figures[0]->find("g", "row");
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[3]->find("text").at(0)->text, "o11:a1");
  EXPECT_EQ(rows[6]->find("text").at(0)->text, "Contrast2");
  EXPECT_FALSE(figures[0]->find("figcaption").empty());
  // Document order: the figure, then the rules, then the value.
  const auto group = root->find("div", "group").at(0);
  std::vector<std::string> order;
  for (const auto& child : group->children)
    order.push_back(child->name + "." + child->attribute("class"));
  const auto at = [&](const std::string& what) {
    return std::find(order.begin(), order.end(), what) - order.begin();
  };
  EXPECT_LT(at("figure.plot"), at("div.rules"));
  const auto items = root->find("div", "rules").at(0)->find("li");
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0]->text, r.rules[0]);
  EXPECT_EQ(items[1]->text, r.rules[1]);
  EXPECT_EQ(items[2]->text, r.regime_values[0]);
}

TEST(HtmlReport, EveryTextIsEscapedAndShownAsWritten) {
  const Report report = hostile_report();
  const std::string html = format_html_report(report);
  EXPECT_EQ(html.find("<b>"), std::string::npos);
  auto root = parse(html);
  ASSERT_TRUE(root);
  const std::string shown = " <b>&amp;\"q\" 'a' \\xFF";
  const std::string text = root->all_text();
  for (const char* field :
       {"prog", "when", "name", "value", "TALVEN", "heading", "title", "footnote", "option",
        "setting", "by", "WARNING: message", "term", "rule"}) {
    EXPECT_NE(text.find(std::string(field) + shown), std::string::npos) << field;
  }
  EXPECT_NE(root->find("title").at(0)->text.find("prog" + shown), std::string::npos);
}

TEST(HtmlReport, StepsGroupsAndMessagesKeepTheirOrderAndKind) {
  Report report = one_step(example_results());
  ReportStep& step = report.steps[0];
  step.line = 36;
  step.titles = {"First title", "Second title"};
  step.footnotes = {"A footnote"};
  step.options = {{"ALPHA=", "0.05"}, {"SEED=", "2018"}};
  ReportGroup failed;
  failed.by_line = "site=South";
  failed.messages = {
      "ERROR: A problem occured during model estimation.  Diagnostic information "
      "is as follows:",
      "   Matrix apparently singular", "WARNING: something else"};
  step.groups[0].by_line = "site=North";
  step.groups[0].results->collinear = 3;
  step.groups.push_back(failed);
  report.steps.push_back(report.steps[0]);
  report.steps[1].groups.resize(1);
  report.steps[1].groups[0].results->collinear = 0;
  report.settings = {{"talven", "1.0.0"}};

  auto root = parse(format_html_report(report));
  ASSERT_TRUE(root);
  const auto steps = root->find("section", "step");
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0]->attribute("id"), "step-1");
  EXPECT_EQ(steps[0]->find("h2").at(0)->all_text(), "Step 1: PROC TALVEN (line 36)");
  // A table of contents links the steps.
  const auto links = root->find("nav").at(0)->find("a");
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links[1]->attribute("href"), "#step-2");

  const auto titles = steps[0]->find("div", "titles").at(0)->find("p");
  ASSERT_EQ(titles.size(), 3u);
  EXPECT_EQ(titles[1]->text, "First title");
  EXPECT_EQ(steps[0]->find("div", "footnotes").at(0)->find("p").at(0)->text, "A footnote");

  const auto groups = steps[0]->find("div", "group");
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0]->find("p", "byline").at(0)->text, "site=North");
  EXPECT_EQ(groups[1]->find("p", "byline").at(0)->text, "site=South");
  EXPECT_NE(groups[0]->attribute("id"), groups[1]->attribute("id"));
  EXPECT_TRUE(groups[1]->find("table").empty());
  EXPECT_EQ(groups[1]->find("p", "empty").size(), 1u);
  const auto items = groups[1]->find("li");
  ASSERT_EQ(items.size(), 3u);
  EXPECT_TRUE(items[0]->has_class("error"));
  EXPECT_TRUE(items[1]->has_class("detail"));
  EXPECT_EQ(items[1]->text, "   Matrix apparently singular");
  EXPECT_TRUE(items[2]->has_class("warning"));

  // The collinear count is listed only when some replicates were discarded.
  const auto counts = [](const Element& group) {
    return body_rows(*group.find("table", "counts").at(0));
  };
  EXPECT_EQ(counts(*groups[0]).back(),
            (std::vector<std::string>{"Number of collinear cases", "3"}));
  EXPECT_EQ(counts(*steps[1]->find("div", "group").at(0)).size(), 3u);

  // Settings of the step and of the run, as tables with row headers.
  const auto settings = root->find("table", "settings");
  ASSERT_EQ(settings.size(), 3u);
  EXPECT_EQ(body_rows(*settings[0])[1], (std::vector<std::string>{"SEED=", "2018"}));
  EXPECT_EQ(settings[0]->find("th").back()->attribute("scope"), "row");
  EXPECT_EQ(body_rows(*settings[2])[0], (std::vector<std::string>{"talven", "1.0.0"}));
  // Ids are unique across the page.
  std::set<std::string> ids;
  for (const Element* e : root->find([](const Element& e) { return !e.attribute("id").empty(); })) {
    EXPECT_TRUE(ids.insert(e->attribute("id")).second) << e->attribute("id");
  }
}

TEST(HtmlReportFile, IsWrittenWholeOrNotAtAll) {
  const test_support::TempFolder dir;
  const Report report = one_step(example_results());
  const fs::path file = dir / "report.html";
  dir.write("report.html", "earlier report");
  ASSERT_TRUE(write_html_report(file, report).ok());
  EXPECT_EQ(test_support::read_file(file), format_html_report(report));
  EXPECT_EQ(dir.entries(), 1u);  // no temporary file left

  // A folder that does not exist: a reason, and nothing written anywhere.
  const Result<void> written = write_html_report(dir / "missing" / "report.html", report);
  EXPECT_FALSE(written.ok());
  EXPECT_NE(written.error(), "");
  EXPECT_EQ(dir.entries(), 1u);
}

// The model, the coding with its arms, the contrasts and the left-out observations, as data in,
// tables out; names with markup stay text, and a module that hands none of them shows none.
TEST(HtmlReport, ModelCodingContrastsAndLeftOutAreTablesOfWhatWasHandedOver) {
  ReportResults r = example_results();
  r.roles = {{1, "MAIN1", {"age", "<b>"}},
             {1, "STG1TRT", {"arm"}},
             {2, "STG2TRT", {"a2"}},
             {0, "RESPONSE", {"y"}}};
  r.minimize = true;
  r.levels = {{1, {-1.0}, {"a&b"}, 120},
              {1, {1.0}, {"placebo"}, 180},
              {2, {-1.0}, {""}, 40},
              {2, {1.0}, {""}, 35}};
  r.contrasts = {"Contrast1 = 2 o11:arm + 0.5 arm"};
  r.left_out = {{"age missing", 7}, {"<b> missing", 2}};
  r.observations = 309;
  r.stage1 = 300;
  auto root = parse(format_html_report(one_step(r)));
  ASSERT_TRUE(root);
  const auto model = root->find("table", "model");
  ASSERT_EQ(model.size(), 1u);
  const auto rows = body_rows(*model[0]);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0][0], "1");
  EXPECT_EQ(rows[0][2], "age, <b>");
  EXPECT_EQ(rows[3][0], "both");
  EXPECT_EQ(rows[3][1].rfind("RESPONSE", 0), 0u);
  EXPECT_EQ(root->find("p", "minimize").size(), 1u);

  const auto coding = root->find("table", "coding");
  ASSERT_EQ(coding.size(), 1u);
  EXPECT_EQ(body_rows(*coding[0]),
            (std::vector<std::vector<std::string>>{{"1", "arm = -1", "arm = 'a&b'", "120"},
                                                   {"1", "arm = 1", "arm = 'placebo'", "180"},
                                                   {"2", "a2 = -1", "", "40"},
                                                   {"2", "a2 = 1", "", "35"}}));
  EXPECT_EQ(coding[0]->find("tbody").size(), 2u) << "one body per stage";

  const auto contrasts = root->find("li", "contrast");
  ASSERT_EQ(contrasts.size(), 1u);
  EXPECT_EQ(contrasts[0]->all_text(), "Contrast1 = 2 o11:arm + 0.5 arm");
  const auto left_out = root->find("table", "left-out");
  ASSERT_EQ(left_out.size(), 1u);
  EXPECT_EQ(left_out[0]->find("caption").at(0)->all_text(), "Observations left out: 9 of 309");
  EXPECT_EQ(body_rows(*left_out[0]),
            (std::vector<std::vector<std::string>>{{"age missing", "7"}, {"<b> missing", "2"}}));

  auto plain = parse(format_html_report(one_step(example_results())));
  ASSERT_TRUE(plain);
  for (const char* part : {"model", "coding", "left-out"}) {
    EXPECT_TRUE(plain->find("table", part).empty()) << part;
  }
  EXPECT_TRUE(plain->find("li", "contrast").empty());
  EXPECT_TRUE(plain->find("p", "minimize").empty());
}

}  // namespace
}  // namespace host
