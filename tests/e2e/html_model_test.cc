// The HTML report's model, treatment coding, contrasts and data summary from the outside: each
// part parsed back and compared with the program, with counts taken from the data independently,
// with OUTEST= and with the log's notes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
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
  xml_tree::Parser parser(html);
  auto root = parser.parse();
  EXPECT_TRUE(root) << file << ": " << parser.error();
  return root;
}

using Roles = std::map<std::string, std::vector<std::string>>;

// The model table: role -> variables, as shown.
Roles roles_of(const Element& group) {
  Roles roles;
  const auto tables = group.find("table", "model");
  EXPECT_EQ(tables.size(), 1u);
  if (tables.empty()) return roles;
  for (const Element* tr : tables[0]->find("tr")) {
    const std::string role = tr->attribute("data-role");
    if (role.empty()) continue;
    for (const Element* var : tr->find("code", "var")) roles[role].push_back(var->all_text());
  }
  return roles;
}

// The coding table: stage -> (code text -> observations), and code -> text value when shown.
struct Coding {
  std::map<int, std::map<std::string, int64_t>> arms;
  std::map<std::string, std::string> texts;
};

Coding coding_of(const Element& group) {
  Coding c;
  const auto tables = group.find("table", "coding");
  EXPECT_EQ(tables.size(), 1u);
  if (tables.empty()) return c;
  for (const Element* tr : tables[0]->find("tr", "level")) {
    const int stage = std::stoi(tr->attribute("data-stage"));
    const std::string code = tr->find("td", "code").at(0)->all_text();
    c.arms[stage][code] = std::stoll(tr->find("td", "num").at(0)->all_text());
    const auto text = tr->find("td", "text");
    if (!text.empty() && !text[0]->all_text().empty()) c.texts[code] = text[0]->all_text();
  }
  return c;
}

std::vector<std::string> contrasts_of(const Element& group) {
  std::vector<std::string> out;
  for (const Element* li : group.find("li", "contrast")) out.push_back(li->all_text());
  return out;
}

const host::Column& column(const host::DataTable& t, const std::string& name) {
  for (const host::Column& c : t.columns) {
    if (c.name == name) return c;
  }
  ADD_FAILURE() << "no column " << name;
  return t.columns.at(0);
}

class HtmlModel : public ::testing::Test, protected e2e::Folder {};

// The shipped example: roles from its program, arms counted from its data, contrasts from its
// CONTRAST1= data set over the terms of OUTEST=.
TEST_F(HtmlModel, TheExampleShowsItsModelArmsAndContrastsAsTheDataAndOutestHaveThem) {
  const fs::path examples = fs::path(TALVEN_SOURCE_DIR) / "examples";
  for (const char* f : {"smart_study.csv", "smart_contrasts.csv"}) {
    fs::copy_file(examples / f, path() / f);
  }
  std::string program = read_file(examples / "smart_study.sas");
  program.insert(program.find("PROC TALVEN DATA=") + 12, "OUTEST=est ");
  const TalvenRun run = talven(program, "", "--html report.html");
  ASSERT_EQ(run.status, 0) << run.all();
  const auto root = parse_report(path() / "report.html");
  ASSERT_TRUE(root);
  const auto groups = root->find("div", "group");
  ASSERT_EQ(groups.size(), 2u);
  const Element& group = *groups[0];

  const Roles expected_roles = {{"MAIN1", {"age"}},           {"TAILOR1", {"o11"}},
                                {"STG1TRT", {"a1"}},          {"STG2SAMPLE", {"stage2"}},
                                {"MAIN2", {"age", "sidefx"}}, {"TAILOR2", {"o21"}},
                                {"STG2TRT", {"a2"}},          {"RESPONSE", {"y"}}};
  EXPECT_EQ(roles_of(group), expected_roles);
  EXPECT_TRUE(group.find("p", "minimize").empty());

  // Arms counted here from the data: every observation is complete in the example.
  const host::ReadOutcome data = host::read_csv_file(path() / "smart_study.csv");
  ASSERT_TRUE(data.ok()) << data.error();
  const host::DataTable& t = **data;
  std::map<int, std::map<std::string, int64_t>> arms;
  for (int64_t r = 0; r < t.rows; ++r) {
    const auto i = static_cast<size_t>(r);
    char code[64];
    std::snprintf(code, sizeof code, "a1 = %g", column(t, "a1").numbers[i]);
    ++arms[1][code];
    if (column(t, "stage2").numbers[i] == 1) {
      std::snprintf(code, sizeof code, "a2 = %g", column(t, "a2").numbers[i]);
      ++arms[2][code];
    }
  }
  const Coding coding = coding_of(group);
  EXPECT_EQ(coding.arms, arms);
  EXPECT_TRUE(coding.texts.empty());
  // The log and the listing count the same observations.
  EXPECT_NE(run.listing.find("Number of observations in stage 2"), std::string::npos);
  int64_t stage2 = 0;
  for (const auto& [code, n] : arms[2]) stage2 += n;
  EXPECT_NE(group.find("table", "counts")
                .at(0)
                ->all_text()
                .find("Number of observations in stage 2" + std::to_string(stage2)),
            std::string::npos);
  EXPECT_TRUE(group.find("table", "left-out").empty()) << "nothing was left out";

  // Each contrast: its weights over the stage-1 terms of OUTEST=, and its estimate is that
  // combination of theirs.
  const host::ReadOutcome outest = host::read_csv_file(path() / "est.csv");
  ASSERT_TRUE(outest.ok()) << outest.error();
  const host::DataTable& est = **outest;
  const std::vector<std::string>& terms = est.columns[1].texts;
  const std::vector<double>& estimate = est.columns[2].numbers;
  EXPECT_EQ(contrasts_of(group), (std::vector<std::string>{"Contrast1 = 2 o11:a1 + 2 a1",
                                                           "Contrast2 = -2 o11:a1 + 2 a1"}));
  const double weights[2][2] = {{2, 2}, {-2, 2}};
  for (size_t c = 0; c < 2; ++c) {
    SCOPED_TRACE(c);
    ASSERT_EQ(terms[3], "o11:a1");
    ASSERT_EQ(terms[4], "a1");
    ASSERT_EQ(terms[5 + c], "Contrast" + std::to_string(c + 1));
    const long double combined = static_cast<long double>(weights[c][0]) * estimate[3] +
                                 static_cast<long double>(weights[c][1]) * estimate[4];
    EXPECT_NEAR(static_cast<double>(combined), estimate[5 + c],
                1e-12 * std::fabs(estimate[5 + c]) + 1e-14);
  }
  // The step without CONTRAST1= shows none.
  EXPECT_TRUE(contrasts_of(*groups[1]).empty());
  EXPECT_EQ(roles_of(*groups[1]), expected_roles);
}

// small_study() with a text treatment, values missing here and there, sorted by site.
std::string text_study() {
  std::istringstream in(e2e::small_study(150));
  std::string header;
  std::getline(in, header);
  std::map<std::string, std::string> sites;
  std::string line;
  for (int i = 1; std::getline(in, line); ++i) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string x; std::getline(fields, x, ',');) f.push_back(x);
    if (f.size() < 11) f.resize(11);
    f[3] = f[3] == "-1" ? "drug" : "placebo";
    if (i % 17 == 0) f[1] = "";                 // age
    if (i % 13 == 0 && f[4] == "1") f[5] = "";  // o21, in the stage-2 sample
    if (i % 19 == 0 && f[4] == "0") f[6] = "";  // a2 outside it: not needed
    std::string row;
    for (size_t k = 0; k < f.size(); ++k) row += (k > 0 ? "," : "") + f[k];
    sites[f[9]] += row + "\n";
  }
  std::string out = header + "\n";
  for (const auto& [site, rows] : sites) out += rows;
  return out;
}

// The log's NOTE "N of M observations were left out: age missing in 3, o21 missing in 2." as
// reason -> count, one map per NOTE in log order.
std::vector<std::map<std::string, int64_t>> left_out_notes(const TalvenRun& run) {
  std::vector<std::map<std::string, int64_t>> notes;
  for (const std::string& l : run.log) {
    const std::string mark = " observations were left out: ";
    const size_t at = l.find(mark);
    if (l.rfind("NOTE: ", 0) != 0 || at == std::string::npos) continue;
    std::map<std::string, int64_t> reasons;
    std::string rest = l.substr(at + mark.size());
    if (!rest.empty() && rest.back() == '.') rest.pop_back();
    std::istringstream parts(rest);
    for (std::string part; std::getline(parts, part, ',');) {
      if (!part.empty() && part[0] == ' ') part.erase(0, 1);
      const size_t in = part.rfind(" in ");
      reasons[part.substr(0, in)] = std::stoll(part.substr(in + 4));
    }
    notes.push_back(reasons);
  }
  return notes;
}

TEST_F(HtmlModel, TextTreatmentsContrastsByGroupsAndLeftOutObservations) {
  write("texts.csv", text_study());
  write("contrasts.csv", e2e::kContrasts);
  const TalvenRun run = talven(
      "PROC TALVEN DATA=texts CONTRAST1=contrasts MINIMIZE; BY site;"
      "  MAIN1 age; TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2;\n"
      "  MAIN2 age o11*a1; TAILOR2 o21; STG2TRT a2; RESPONSE y;\nRUN;\n",
      "", "--html report.html");
  ASSERT_LE(run.status, 1) << run.all();
  const auto root = parse_report(path() / "report.html");
  ASSERT_TRUE(root);
  const auto groups = root->find("div", "group");
  ASSERT_EQ(groups.size(), 3u);
  const auto notes = left_out_notes(run);
  ASSERT_EQ(notes.size(), 3u) << run.all();

  // Independent counts per site: complete cases, stage-2 values needed in the sample only.
  const host::ReadOutcome data = host::read_csv_file(path() / "texts.csv");
  ASSERT_TRUE(data.ok()) << data.error();
  const host::DataTable& t = **data;
  for (size_t g = 0; g < 3; ++g) {
    SCOPED_TRACE("site" + std::to_string(g));
    const Element& group = *groups[g];
    std::map<int, std::map<std::string, int64_t>> arms;
    std::map<std::string, int64_t> missing;
    int64_t read = 0;
    for (int64_t r = 0; r < t.rows; ++r) {
      const auto i = static_cast<size_t>(r);
      if (column(t, "site").texts[i] != "site" + std::to_string(g)) continue;
      ++read;
      const bool sample = column(t, "stage2").numbers[i] == 1;
      bool complete = true;
      for (const char* v : {"age", "o11", "y", "o21", "a2"}) {
        const bool stage2 = std::string(v) == "o21" || std::string(v) == "a2";
        if (std::isnan(column(t, v).numbers[i]) && (sample || !stage2)) {
          ++missing[std::string(v) + " missing"];
          complete = false;
        }
      }
      if (!complete) continue;
      ++arms[1][column(t, "a1").texts[i] == "drug" ? "a1 = -1" : "a1 = 1"];
      if (sample) {
        char code[32];
        std::snprintf(code, sizeof code, "a2 = %g", column(t, "a2").numbers[i]);
        ++arms[2][code];
      }
    }
    const Coding coding = coding_of(group);
    EXPECT_EQ(coding.arms, arms);
    EXPECT_EQ(coding.texts, (std::map<std::string, std::string>{{"a1 = -1", "a1 = 'drug'"},
                                                                {"a1 = 1", "a1 = 'placebo'"}}));
    // The left-out table is the log's NOTE, and both agree with the data.
    std::map<std::string, int64_t> shown;
    const auto tables = group.find("table", "left-out");
    ASSERT_EQ(tables.size(), 1u);
    for (const Element* tr : tables[0]->find("tbody").at(0)->find("tr")) {
      shown[tr->find("td", "reason").at(0)->all_text()] =
          std::stoll(tr->find("td", "num").at(0)->all_text());
    }
    EXPECT_EQ(shown, notes[g]);
    EXPECT_EQ(shown, missing);
    int64_t used = 0;
    for (const auto& [code, n] : arms[1]) used += n;
    EXPECT_EQ(
        tables[0]->find("caption").at(0)->all_text(),
        "Observations left out: " + std::to_string(read - used) + " of " + std::to_string(read));
    EXPECT_EQ(contrasts_of(group), (std::vector<std::string>{"Contrast1 = 2 o11:a1 + 2 a1",
                                                             "Contrast2 = -2 o11:a1 + 2 a1"}));
    EXPECT_EQ(group.find("p", "minimize").size(), 1u);
    EXPECT_EQ(roles_of(group).at("STG1TRT"), std::vector<std::string>{"a1"});
    // A product is a term of its role under its written name, its text factor by its code.
    EXPECT_EQ(roles_of(group).at("MAIN2"), (std::vector<std::string>{"age", "o11*a1"}));
  }
}

// age in days beside o11 in units: slopes three to four orders of magnitude below the
// intercept. Every interval of the forest plot still spans at least 10 pixels, unless it is
// narrower than a hundredth of its own axis, as the row's own tick labels measure it.
TEST_F(HtmlModel, EveryIntervalOfARealStudyIsReadableAcrossOrdersOfMagnitude) {
  std::istringstream in(e2e::small_study(160));
  std::string line;
  std::getline(in, line);
  std::string csv = "days," + line + "\n";
  while (std::getline(in, line)) {
    const size_t a = line.find(',') + 1;
    const double age = std::stod(line.substr(a, line.find(',', a) - a));
    csv += std::to_string(static_cast<int>(age * 365.25)) + "," + line + "\n";
  }
  write("days.csv", csv);
  const TalvenRun run = talven(
      "PROC TALVEN DATA=days DERIVECI SEED=7 NBOOTSTRAP1=200 NBOOTSTRAP2=200 OUTEST=est;\n"
      "  MAIN1 days; TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2;\n"
      "  MAIN2 age; TAILOR2 o21; STG2TRT a2; RESPONSE y;\nRUN;\n",
      "", "--html report.html");
  ASSERT_LE(run.status, 1) << run.all();
  const host::ReadOutcome outest = host::read_csv_file(path() / "est.csv");
  ASSERT_TRUE(outest.ok()) << outest.error();
  const host::DataTable& est = **outest;
  double smallest = INFINITY;
  double largest = 0;
  for (size_t r = 0; r < 5; ++r) {
    smallest = std::min(smallest, std::fabs(est.columns[2].numbers[r]));
    largest = std::max(largest, std::fabs(est.columns[2].numbers[r]));
  }
  ASSERT_GT(largest / smallest, 1000) << "the study is meant to span three orders of magnitude";

  const auto root = parse_report(path() / "report.html");
  ASSERT_TRUE(root);
  const auto rows = root->find("g", "row");
  ASSERT_EQ(rows.size(), 5u);
  for (size_t r = 0; r < rows.size(); ++r) {
    SCOPED_TRACE(est.columns[1].texts[r]);
    const auto ticks = rows[r]->find("text", "tick");
    ASSERT_GE(ticks.size(), 2u);
    const double v1 = std::strtod(ticks.front()->text.c_str(), nullptr);
    const double v2 = std::strtod(ticks.back()->text.c_str(), nullptr);
    const double x1 = std::strtod(ticks.front()->attribute("x").c_str(), nullptr);
    const double x2 = std::strtod(ticks.back()->attribute("x").c_str(), nullptr);
    const double per_unit = (x2 - x1) / (v2 - v1);
    const auto* axis = rows[r]->find("line", "axis-line").at(0);
    const double axis_units = (std::strtod(axis->attribute("x2").c_str(), nullptr) -
                               std::strtod(axis->attribute("x1").c_str(), nullptr)) /
                              per_unit;
    const auto* bar = rows[r]->find("line", "interval").at(0);
    const double lower = est.columns[3].numbers[r];
    const double upper = est.columns[4].numbers[r];
    const double a = std::strtod(bar->attribute("x1").c_str(), nullptr);
    const double b = std::strtod(bar->attribute("x2").c_str(), nullptr);
    EXPECT_NEAR(a, x1 + (lower - v1) * per_unit, 0.5);
    EXPECT_NEAR(b, x1 + (upper - v1) * per_unit, 0.5);
    if (upper - lower >= axis_units / 100) {
      EXPECT_GE(b - a, 10.0);
    }
  }
}

}  // namespace
