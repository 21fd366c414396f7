// The HTML report from the outside: talven --html and ODS HTML on real programs, the tables'
// numbers against the OUTEST= data sets of the same run, BY groups with their messages, and the
// paths that cannot be written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/csv_reader.h"
#include "tests/e2e/e2e_support.h"
#include "tests/host/xml_tree.h"

namespace {

namespace fs = std::filesystem;
using e2e::read_file;
using e2e::TalvenRun;
using xml_tree::Element;

std::unique_ptr<Element> parse_report(const fs::path& file) {
  const std::string html = read_file(file);
  EXPECT_FALSE(html.empty()) << file << " is missing or empty";
  xml_tree::Parser parser(html);
  auto root = parser.parse();
  EXPECT_TRUE(root) << file << ": " << parser.error();
  return root;
}

std::vector<const Element*> steps_of(const Element& root) {
  return root.find("section", "step");
}

std::vector<std::string> texts(const std::vector<const Element*>& elements) {
  std::vector<std::string> out;
  for (const Element* e : elements) out.push_back(e->all_text());
  return out;
}

// The shipped example's program with OUTEST=est1, est2, ... on its steps.
std::string example_with_outest() {
  std::string program = read_file(fs::path(TALVEN_SOURCE_DIR) / "examples" / "smart_study.sas");
  const std::string proc = "PROC TALVEN DATA=";
  int step = 0;
  for (size_t at = program.find(proc); at != std::string::npos;
       at = program.find(proc, at + proc.size())) {
    const std::string outest = "OUTEST=est" + std::to_string(++step) + " ";
    program.insert(at + 12, outest);
    at += outest.size();
  }
  EXPECT_EQ(step, 2);
  return program;
}

class HtmlReport : public ::testing::Test, protected e2e::Folder {
 protected:
  void SetUp() override {
    for (const char* f : {"smart_study.csv", "smart_contrasts.csv"}) {
      fs::copy_file(fs::path(TALVEN_SOURCE_DIR) / "examples" / f, path() / f);
    }
  }
};

TEST_F(HtmlReport, TablesHoldTheNumbersOfOutestExactly) {
  const TalvenRun run = talven(example_with_outest(), "", "--html report.html");
  ASSERT_EQ(run.status, 0) << run.all();
  EXPECT_TRUE(run.has("NOTE: The HTML report report.html was written with 2 steps."));
  const auto root = parse_report(path() / "report.html");
  ASSERT_TRUE(root);
  const auto steps = steps_of(*root);
  ASSERT_EQ(steps.size(), 2u);
  for (size_t s = 0; s < steps.size(); ++s) {
    SCOPED_TRACE("step " + std::to_string(s + 1));
    const host::ReadOutcome outest =
        host::read_csv_file(path() / ("est" + std::to_string(s + 1) + ".csv"));
    ASSERT_TRUE(outest.ok()) << outest.error();
    const host::DataTable& table = **outest;
    ASSERT_EQ(table.columns.size(), 5u);
    const auto tables = steps[s]->find("table", "estimates");
    ASSERT_EQ(tables.size(), 1u);
    std::vector<const Element*> rows;
    for (const Element* body : tables[0]->find("tbody")) {
      for (const Element* tr : body->find("tr")) rows.push_back(tr);
    }
    ASSERT_EQ(static_cast<int64_t>(rows.size()), table.rows);
    const bool limits = s == 0;  // step 1 has DERIVECI
    for (size_t r = 0; r < rows.size(); ++r) {
      SCOPED_TRACE("row " + std::to_string(r + 1));
      const auto& cells = rows[r]->children;
      ASSERT_EQ(cells.size(), limits ? 5u : 3u);
      EXPECT_EQ(cells[0]->all_text(),
                std::to_string(static_cast<int>(table.columns[0].numbers[r])));
      EXPECT_EQ(cells[1]->all_text(), table.columns[1].texts[r]);
      for (size_t c = 2; c < 5; ++c) {
        const double expected = table.columns[c].numbers[r];
        if (c >= cells.size()) {
          EXPECT_TRUE(std::isnan(expected)) << "OUTEST= has a limit the report lacks";
          continue;
        }
        if (std::isnan(expected)) {
          EXPECT_TRUE(cells[c]->has_class("missing"));
          continue;
        }
        // The cell shows the listing's rounding and keeps the exact number for reuse.
        const std::string exact = cells[c]->attribute("data-value");
        EXPECT_EQ(std::strtod(exact.c_str(), nullptr), expected) << exact;
        char rounded[64];
        std::snprintf(rounded, sizeof rounded, "%.4f", expected);
        EXPECT_EQ(cells[c]->all_text(), rounded);
      }
    }
    // One forest plot row per stage-1 coefficient and contrast, in the step with intervals only.
    const auto plot_rows = steps[s]->find("g", "row");
    EXPECT_EQ(plot_rows.size(), limits ? 7u : 0u);
  }
  // The run's settings name what produced it.
  const auto options = steps[0]->find("table", "settings");
  ASSERT_EQ(options.size(), 1u);
  const std::string shown = options[0]->all_text();
  for (const char* setting : {"SEED=2018", "NBOOTSTRAP1=1000", "ALPHA=0.05", "DERIVECIin force"}) {
    EXPECT_NE(shown.find(setting), std::string::npos) << setting;
  }
}

TEST_F(HtmlReport, AnUnwritablePathStopsTheRunBeforeAnyStep) {
  fs::create_directories(path() / "folder");
  const struct {
    std::string html;
    std::string why;
  } cases[] = {
      {"missing/report.html", "the folder missing does not exist"},
      {"folder", "it is a folder"},
      {"log.txt", "it is the log"},
  };
  const std::string program = "PROC TALVEN DATA=smart_study;" + std::string(e2e::kModel);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    const TalvenRun run = talven(program, "", "--html " + c.html);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.log, std::vector<std::string>{"ERROR: The HTML report cannot be written to " +
                                                c.html + ": " + c.why + ". No step was run."});
    EXPECT_EQ(run.listing, "");
    EXPECT_EQ(read_file(path() / "prog.sas"), program);
  }
  EXPECT_FALSE(fs::exists(path() / "missing"));
}

TEST_F(HtmlReport, OdsHtmlCoversTheStepsBetweenAndHtmlTheWholeRun) {
  const std::string step = "PROC TALVEN DATA=smart_study;" + std::string(e2e::kModel);
  const std::string steps[] = {
      "TITLE 'Whole study';\n" + step,
      "ODS HTML FILE='between.html' STYLE=journal;\nTITLE2 'Rules';\nFOOTNOTE 'Synthetic data';\n"
      "PROC TALVEN DATA=smart_study RULES;" +
          std::string(e2e::kModel) + "ODS HTML CLOSE;\n",
      step,
      // Never closed: written at the end of the program.
      "PROC TALVEN DATA=smart_study;\nODS HTML FILE='open.html';\n" + std::string(e2e::kModel),
  };
  std::string program;
  for (const std::string& s : steps) program += s;
  const TalvenRun run = talven(program, "", "--html all.html");
  ASSERT_EQ(run.status, 0) << run.all();

  const auto all = parse_report(path() / "all.html");
  const auto between = parse_report(path() / "between.html");
  const auto open = parse_report(path() / "open.html");
  ASSERT_TRUE(all && between && open);
  EXPECT_EQ(steps_of(*all).size(), 4u);
  ASSERT_EQ(steps_of(*between).size(), 1u);
  ASSERT_EQ(steps_of(*open).size(), 1u);
  const Element& ruled = *steps_of(*between)[0];
  EXPECT_EQ(texts(ruled.find("p", "title")), (std::vector<std::string>{"Whole study", "Rules"}));
  const auto footnotes = ruled.find("div", "footnotes");
  ASSERT_EQ(footnotes.size(), 1u);
  EXPECT_EQ(texts(footnotes[0]->find("p")), std::vector<std::string>{"Synthetic data"});
  const auto rules = ruled.find("div", "rules");
  ASSERT_EQ(rules.size(), 1u);
  const auto items = texts(rules[0]->find("li"));
  ASSERT_EQ(items.size(), 5u);
  EXPECT_EQ(items[0].rfind("Stage 1: Give a1 = ", 0), 0u) << items[0];
  EXPECT_EQ(items[2].rfind("Estimated value (mean of VALUE1): ", 0), 0u) << items[2];
  // The open report's step is the last one, named by the line of its PROC statement.
  const std::string before_last = program.substr(0, program.rfind(steps[3]));
  const auto last_line = std::count(before_last.begin(), before_last.end(), '\n') + 1;
  EXPECT_EQ(texts(steps_of(*open)[0]->find("span", "where")),
            std::vector<std::string>{"(line " + std::to_string(last_line) + ")"});
  EXPECT_TRUE(run.has("NOTE: The HTML report between.html was written with 1 step."));
  EXPECT_TRUE(run.has("NOTE: The HTML report open.html was written with 1 step."));
  EXPECT_TRUE(run.has("NOTE: The HTML report all.html was written with 4 steps."));

  // The listing does not change with the reports.
  std::string plain = program;
  for (const std::string ods : {"ODS HTML FILE='between.html' STYLE=journal;\n",
                                "ODS HTML CLOSE;\n", "ODS HTML FILE='open.html';\n"}) {
    plain.erase(plain.find(ods), ods.size());
  }
  const std::string listing = run.listing;
  const TalvenRun without = talven(plain);
  ASSERT_EQ(without.status, 0) << without.all();
  EXPECT_EQ(listing, without.listing);
}

TEST_F(HtmlReport, AnUnwritableOdsPathIsAnErrorOfTheStatementAndLaterStepsRun) {
  const TalvenRun run = talven("ODS HTML FILE='nofolder/r.html';\nPROC TALVEN DATA=smart_study;" +
                               std::string(e2e::kModel) + "ODS HTML CLOSE;\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.first_error(),
            "ERROR: Line 1, column 15: The HTML report cannot be written to nofolder/r.html: the "
            "folder nofolder does not exist.");
  EXPECT_EQ(run.count_prefix("ERROR"), 1u) << run.all();
  EXPECT_NE(run.listing.find("First Stage Regression Result"), std::string::npos);
  EXPECT_FALSE(fs::exists(path() / "nofolder"));
}

// small_study() sorted by site, with one treatment in the last site, which stops its group.
std::string sites_study() {
  std::istringstream in(e2e::small_study(90));
  std::string header;
  std::getline(in, header);
  std::vector<std::string> rows;
  for (std::string line; std::getline(in, line);) rows.push_back(line);
  auto field = [](const std::string& line, int k) {
    std::istringstream fields(line);
    std::string f;
    for (int i = 0; i <= k; ++i) std::getline(fields, f, ',');
    return f;
  };
  std::stable_sort(rows.begin(), rows.end(), [&](const std::string& a, const std::string& b) {
    return field(a, 9) < field(b, 9);
  });
  std::string out = header + "\n";
  for (std::string& row : rows) {
    if (field(row, 9) == "site2") {
      // a1 is the fourth field.
      size_t at = 0;
      for (int i = 0; i < 3; ++i) at = row.find(',', at) + 1;
      row.replace(at, row.find(',', at) - at, "1");
    }
    out += row + "\n";
  }
  return out;
}

TEST_F(HtmlReport, ByGroupsKeepTheirLineResultsAndMessages) {
  write("sites.csv", sites_study());
  const TalvenRun run = talven("PROC TALVEN DATA=sites; BY site;" + std::string(e2e::kModel), "",
                               "--html report.html");
  EXPECT_EQ(run.status, 2) << run.all();
  const auto root = parse_report(path() / "report.html");
  ASSERT_TRUE(root);
  ASSERT_EQ(steps_of(*root).size(), 1u);
  const auto groups = steps_of(*root)[0]->find("div", "group");
  ASSERT_EQ(groups.size(), 3u);
  for (size_t g = 0; g < 3; ++g) {
    SCOPED_TRACE(g);
    EXPECT_EQ(texts(groups[g]->find("p", "byline")),
              std::vector<std::string>{"site=site" + std::to_string(g)});
    EXPECT_EQ(groups[g]->find("table", "estimates").size(), g < 2 ? 1u : 0u);
  }
  // The stopped group shows its errors, with the lines that explain the library's.
  const auto errors = texts(groups[2]->find("li", "error"));
  ASSERT_GE(errors.size(), 2u);
  EXPECT_EQ(errors[0].rfind("ERROR: STG1TRT variable a1 has only one value", 0), 0u) << errors[0];
  EXPECT_EQ(errors[1],
            "ERROR: A problem occured during model estimation.  Diagnostic "
            "information is as follows:");
  EXPECT_FALSE(groups[2]->find("li", "detail").empty());
  EXPECT_TRUE(groups[0]->find("li").empty());
  EXPECT_NE(groups[2]->all_text().find("produced no results for this BY group"), std::string::npos);
}

}  // namespace

namespace {

// The report's value table holds OUTVALUE='s rows: regime, estimate, limits and counts.
TEST_F(HtmlReport, TheValueTableHoldsTheRowsOfOutvalue) {
  write("study.csv", e2e::small_study(120));
  const TalvenRun run = talven(
      "PROC TALVEN DATA=study VALUE NBOOTVALUE=20 NBOOTTUNE=10 NBOOTSTRAP2=20 SEED=11 CORES=1 "
      "OUTVALUE=v;" +
          std::string(e2e::kModel),
      "", "--html report.html");
  ASSERT_EQ(run.status, 0) << run.all();
  const auto root = parse_report(path() / "report.html");
  ASSERT_TRUE(root);
  const host::ReadOutcome outvalue = host::read_csv_file(path() / "v.csv");
  ASSERT_TRUE(outvalue.ok()) << outvalue.error();
  const host::DataTable& table = **outvalue;
  const auto tables = steps_of(*root)[0]->find("table", "values");
  ASSERT_EQ(tables.size(), 1u);
  std::vector<const Element*> rows;
  for (const Element* body : tables[0]->find("tbody")) {
    for (const Element* tr : body->find("tr")) rows.push_back(tr);
  }
  ASSERT_EQ(static_cast<int64_t>(rows.size()), table.rows);
  // OUTVALUE= columns: Kind, Regime, A1, A2, Estimate, Lower, Upper, N, Kept, ...
  for (size_t r = 0; r < rows.size(); ++r) {
    SCOPED_TRACE(r);
    const auto& cells = rows[r]->children;
    ASSERT_EQ(cells.size(), 6u);
    EXPECT_EQ(cells[0]->all_text(), table.columns[1].texts[r]);
    for (size_t c = 1; c < 4; ++c) {
      const double expected = table.columns[c + 3].numbers[r];
      if (std::isnan(expected)) {
        EXPECT_TRUE(cells[c]->has_class("missing"));
      } else {
        EXPECT_EQ(std::strtod(cells[c]->attribute("data-value").c_str(), nullptr), expected);
      }
    }
    const double kept = table.columns[8].numbers[r];
    EXPECT_EQ(cells[5]->all_text(), std::to_string(static_cast<int64_t>(kept)));
  }
  // The figure beside it: a row for each estimated value and difference, in the table's order.
  const auto figures = steps_of(*root)[0]->find("figure", "values");
  ASSERT_EQ(figures.size(), 1u);
  const auto plotted = figures[0]->find("g", "row");
  int64_t estimated = 0;
  for (int64_t r = 0; r < table.rows; ++r) {
    if (!std::isnan(table.columns[4].numbers[static_cast<size_t>(r)])) ++estimated;
  }
  EXPECT_EQ(static_cast<int64_t>(plotted.size()), estimated);
}

}  // namespace
