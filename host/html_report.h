// The HTML report of a run: per step and BY group its titles, counts, estimates laid out like
// OUTEST=, the forest plot of the intervals, the decision rules, the step's warnings and errors,
// and the settings of the run. The report is one self-contained HTML5 file (inline style sheet
// and SVG, no script, no reference to any other file or to the network) that reads the same
// offline and in print.
//
// The model below is plain data: whoever runs the steps fills it, this file only lays it out.
// Texts are taken as they are (any bytes); numbers are doubles, NaN meaning missing.
#ifndef TALVEN_HOST_HTML_REPORT_H
#define TALVEN_HOST_HTML_REPORT_H

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "host/result.h"

namespace host {

// One observation of OUTEST=: stage-1 coefficients, the contrasts, then stage-2 coefficients.
struct ReportEstimate {
  int stage = 1;     // contrasts have 1
  std::string term;  // full names: "intercept", "age", "o11:a1", "a1", "Contrast1"
  double estimate = std::numeric_limits<double>::quiet_NaN();
  double lower = std::numeric_limits<double>::quiet_NaN();  // NaN: no limit
  double upper = std::numeric_limits<double>::quiet_NaN();
  bool contrast = false;
};

// A role of the model with its variables, in the order the fit uses them.
struct ReportRole {
  int stage = 1;     // 0 for RESPONSE
  std::string role;  // "MAIN1", "STG2TRT", "RESPONSE"
  std::vector<std::string> names;
};

// A treatment level of a stage: the values of the treatment variables as the fit uses them and,
// for a variable coded from text, the text value (empty otherwise); its observations.
struct ReportLevel {
  int stage = 1;
  std::vector<double> values;
  std::vector<std::string> texts;
  int64_t count = 0;
};

struct ReportLeftOut {
  std::string reason;  // "age missing"
  int64_t count = 0;
};

// A row of the value table (VALUE).
struct ReportValue {
  std::string kind;  // "optimal", "embedded" or "difference"
  std::string regime;
  double estimate = std::numeric_limits<double>::quiet_NaN();
  double lower = std::numeric_limits<double>::quiet_NaN();  // NaN: no interval
  double upper = std::numeric_limits<double>::quiet_NaN();
  double followers = std::numeric_limits<double>::quiet_NaN();
  double kept = std::numeric_limits<double>::quiet_NaN();
};

// What a step that ran to its end reports.
struct ReportResults {
  int64_t observations = 0;  // in the data set
  int64_t stage1 = 0;
  int64_t stage2 = 0;
  int64_t collinear = 0;  // bootstrap samples discarded; shown only when above 0, as listed
  // ALPHA= of a step whose intervals were computed; none for point estimates only, which drops
  // the limit columns and the forest plot.
  std::optional<double> alpha;
  std::vector<ReportEstimate> estimates;
  // RULES: the decision rules and the lines giving the regime's value, as the caller words them;
  // a rule may hold line breaks, which are kept.
  std::vector<std::string> rules;
  std::vector<std::string> regime_values;
  // The model and the data; empty from a procedure that does not hand them over.
  std::vector<ReportRole> roles;
  bool minimize = false;
  std::vector<ReportLevel> levels;      // stage 1, then stage 2, each in ascending order
  std::vector<std::string> contrasts;   // "Contrast1 = a1 + 0.5 o11:a1"
  std::vector<ReportLeftOut> left_out;  // most frequent first
  std::vector<ReportValue> values;  // VALUE: the value table; empty without it
};

// A BY group, or the whole step when it has no BY statement.
struct ReportGroup {
  std::string by_line;                   // empty without BY
  std::optional<ReportResults> results;  // none when the group stopped before its results
  // The group's WARNING and ERROR lines as the log shows them ("ERROR: ..."), with the indented
  // diagnostic lines that belong to an error.
  std::vector<std::string> messages;
};

struct ReportSetting {
  std::string name;
  std::string value;
  bool operator==(const ReportSetting&) const = default;
};

struct ReportStep {
  std::string procedure;            // "TALVEN"
  int line = 0;                     // line of the PROC statement in the program; 0 when not known
  std::string heading;              // the procedure's own title line
  std::vector<std::string> titles;  // TITLE lines in force, in order
  std::vector<std::string> footnotes;  // FOOTNOTE lines in force, in order
  // The step's options as in force (given or defaulted): ALPHA, NBOOTSTRAP1, SEED, ...
  std::vector<ReportSetting> options;
  std::vector<ReportGroup> groups;
  // The step's WARNING and ERROR lines that belong to no group: a procedure that could not be
  // loaded, output data sets written after the last BY group.
  std::vector<std::string> messages;
};

struct Report {
  std::string program;  // the program's file name, or how it was given
  std::string created;  // date and time of the run, as it is to be shown
  // Shown at the end: versions of the command, module and library, the WORK folder, ...
  std::vector<ReportSetting> settings;
  std::vector<ReportStep> steps;
};

// The whole HTML document.
std::string format_html_report(const Report& report);

// Writes the document to `file` under a temporary name in its folder, then renames it into place,
// so that a failed write never leaves a partial report or harms an earlier one.
Result<void> write_html_report(const std::filesystem::path& file, const Report& report);

}  // namespace host

#endif  // TALVEN_HOST_HTML_REPORT_H
