// Writes a sample HTML report from fixed results: the shipped example's first step (the numbers
// its OUTEST= data set holds with SEED=2018), the same model without intervals, and a step with
// BY groups, a warning and an error. With "stress" it writes plots at their limits instead: one
// row, sixty rows, huge and negative values, missing limits.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "example_estimates.h"
#include "host/html_report.h"

namespace {

using host::Report;
using host::ReportEstimate;
using host::ReportGroup;
using host::ReportResults;
using host::ReportStep;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr const char* kHeading = "PROC TALVEN -- Q-Learning and Adaptive Confidence Intervals";

ReportResults example_results(bool intervals) {
  ReportResults r;
  r.observations = 300;
  r.stage1 = 300;
  r.stage2 = 150;
  r.estimates = report_sample::example_estimates();

  if (intervals) {
    r.alpha = 0.05;
    return r;
  }
  // Without DERIVECI the step has no contrasts and no limits.
  std::erase_if(r.estimates, [](const ReportEstimate& e) { return e.contrast; });
  for (ReportEstimate& e : r.estimates) e.lower = e.upper = kNaN;
  return r;
}

ReportStep talven_step(int line) {
  ReportStep s;
  s.procedure = "TALVEN";
  s.line = line;
  s.heading = kHeading;
  return s;
}

Report example_report() {
  Report report;
  report.program = "examples/smart_study.sas";
  report.created = "2018-05-02 10:15:00";
  report.settings = {{"talven", "1.0.0"},
                     {"Procedure module", "libtalven.so, interface 1.0.0"},
                     {"Compute library", "libKestrion.so 1.0.0"},
                     {"WORK library", "examples"}};

  ReportStep first = talven_step(36);
  first.titles = {"Example SMART study: 300 subjects"};
  first.footnotes = {"Synthetic data written by generate_study --n 300 --seed 2018."};
  first.options = {{"DATA=", "WORK.SMART_STUDY"},
                   {"CONTRAST1=", "WORK.SMART_CONTRASTS"},
                   {"DERIVECI", "in force"},
                   {"ALPHA=", "0.05"},
                   {"NBOOTSTRAP1=", "1000"},
                   {"NBOOTSTRAP2=", "1000"},
                   {"NGRID=", "10"},
                   {"GRID_SCALE=", "2.58"},
                   {"SEED=", "2018"},
                   {"CORES=", "0 (every usable core)"}};
  ReportGroup g;
  g.results = example_results(true);
  g.results->rules = {"Stage 1: give a1 = 1 when 0.0761 + 0.3578 * o11 > 0, otherwise a1 = -1.",
                      "Stage 2: give a2 = 1 when 0.0503 + 0.6781 * o21 > 0, otherwise a2 = -1."};
  first.groups = {g};

  ReportStep second = talven_step(49);
  second.titles = first.titles;
  second.options = {{"DATA=", "WORK.SMART_STUDY"}, {"DERIVECI", "not given"}};
  ReportGroup point;
  point.results = example_results(false);
  second.groups = {point};

  ReportStep third = talven_step(60);
  third.titles = {"Sites analysed apart <BY site>", "Q & A: \"quoted\" 'texts' stay as written"};
  third.options = {
      {"DATA=", "WORK.SITES"}, {"DERIVECI", "in force"}, {"ALPHA=", "0.1"}, {"SEED=", "7"}};
  ReportGroup north;
  north.by_line = "site=North";
  north.results = example_results(true);
  north.results->alpha = 0.1;
  north.results->collinear = 3;
  north.messages = {
      "WARNING: Out of    1000 bootstrap samples,       3 were discarded due to "
      "collinearity."};
  ReportGroup south;
  south.by_line = "site=South";
  south.messages = {"ERROR: There is not enough data at stage 2 for the method to work."};
  third.groups = {north, south};

  report.steps = {first, second, third};
  return report;
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
  if (argc < 2 || argc > 3 || (argc == 3 && std::strcmp(argv[2], "stress") != 0)) {
    std::fprintf(stderr, "usage: html_report_sample OUTPUT.html [stress]\n");
    return 2;
  }
  const Report report = argc == 3 ? stress_report() : example_report();
  const host::Result<void> written = host::write_html_report(argv[1], report);
  if (!written.ok()) {
    std::fprintf(stderr, "html_report_sample: %s cannot be written: %s\n", argv[1],
                 written.error().c_str());
    return 1;
  }
  return 0;
}
