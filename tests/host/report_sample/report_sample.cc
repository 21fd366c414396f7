// Writes a sample HTML report of plots at their limits, for the browser check: one row, sixty
// rows, huge and negative values, missing limits, names with markup characters. (The check of a
// real report renders the shipped example's, written by talven --html.)
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "host/html_report.h"

namespace {

using host::Report;
using host::ReportEstimate;
using host::ReportGroup;
using host::ReportResults;
using host::ReportStep;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr const char* kHeading = "PROC TALVEN -- Q-Learning and Adaptive Confidence Intervals";

ReportStep talven_step(int line) {
  ReportStep s;
  s.procedure = "TALVEN";
  s.line = line;
  s.heading = kHeading;
  return s;
}

ReportResults plot_only(std::vector<ReportEstimate> rows) {
  ReportResults r;
  r.observations = r.stage1 = 500;
  r.stage2 = 240;
  r.alpha = 0.05;
  r.estimates = std::move(rows);
  return r;
}

Report stress_report() {
  Report report;
  report.program = "stress.sas";
  report.created = "2018-05-02 10:15:00";
  auto add = [&](const std::string& title, std::vector<ReportEstimate> rows) {
    ReportStep s = talven_step(0);
    s.titles = {title};
    ReportGroup g;
    g.results = plot_only(std::move(rows));
    s.groups = {g};
    report.steps.push_back(s);
  };
  add("One row", {{1, "intercept", 2.5, 1.25, 3.75, false}});
  std::vector<ReportEstimate> many;
  for (int i = 0; i < 54; ++i) {
    const double e = std::sin(i * 0.7) * (1 + i % 5);
    const std::string name = i == 0 ? "intercept" : "covariate_number_" + std::to_string(i);
    many.push_back({1, name, e, e - 0.4 - 0.05 * (i % 7), e + 0.3 + 0.04 * (i % 9), false});
  }
  for (int m = 1; m <= 6; ++m) {
    many.push_back({1, "Contrast" + std::to_string(m), -m * 0.8, -m * 0.8 - 1, -m * 0.8 + 1, true});
  }
  add("Sixty rows", many);
  // An intercept in the thousands beside slopes in the thousandths, with the whole model, text
  // treatments, long contrasts and left-out observations.
  add("Scales three orders of magnitude apart", {{1, "intercept", 1770.3, 1702.1, 1843.9, false},
                                                 {1, "year", 0.0141, 0.0112, 0.0173, false},
                                                 {1, "age", -0.9, -1.7, -0.2, false},
                                                 {1, "year:arm", 0.0009, -0.0004, 0.0021, false},
                                                 {1, "arm", -2.31, -3.9, -0.8, false},
                                                 {1, "Contrast1", 12.5, 3.1, 22.0, true},
                                                 {1, "Contrast2", 95.0, 0.1, 0.9, true}});
  ReportResults& model = *report.steps.back().groups[0].results;
  model.roles = {{1, "MAIN1", {"year", "age"}},
                 {1, "TAILOR1", {"year"}},
                 {1, "STG1TRT", {"arm"}},
                 {2, "MAIN2", {"year", "age", "sidefx"}},
                 {2, "TAILOR2", {"early_response_score"}},
                 {2, "STG2TRT", {"switch"}},
                 {2, "STG2SAMPLE", {"nonresp"}},
                 {0, "RESPONSE", {"weeks_abstinent"}}};
  model.minimize = true;
  model.levels = {{1, {-1.0}, {"counselling"}, 251},
                  {1, {1.0}, {"medication"}, 249},
                  {2, {-1.0}, {"augment"}, 118},
                  {2, {1.0}, {"switch"}, 122}};
  model.contrasts = {"Contrast1 = 1000 year:arm + 5 arm",
                     "Contrast2 = intercept - 0.5 year - 0.25 age + 2 year:arm - arm"};
  model.left_out = {{"age missing", 12}, {"nonresp neither 0 nor 1", 3}, {"year missing", 1}};
  model.observations = 515;
  add("Huge and negative values, missing limits",
      {{1, "intercept", -2.5e12, -4e12, -1e12, false},
       {1, "a_very_long_tailoring_variable_name:treatment_variable", 3e11, kNaN, kNaN, false},
       {1, "<b>&amp;\"x\"", 1e12, 5e11, 1.5e12, false},
       {1, "inf limit", 0.0, -std::numeric_limits<double>::infinity(), 1.0, false},
       {1, "not estimated", kNaN, kNaN, kNaN, false},
       {1, "Contrast1", -1.7e12, -2.9e12, -0.2e12, true}});
  return report;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: html_report_sample OUTPUT.html\n");
    return 2;
  }
  const Report report = stress_report();
  const host::Result<void> written = host::write_html_report(argv[1], report);
  if (!written.ok()) {
    std::fprintf(stderr, "html_report_sample: %s cannot be written: %s\n", argv[1],
                 written.error().c_str());
    return 1;
  }
  return 0;
}
