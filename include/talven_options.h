// The options of PROC TALVEN, each declared once. Every front end reads this table: the
// procedure builds its grammar and reads its parse results from it, the study layer checks and
// types the values with it, and the Python and R packages' argument lists and help are generated
// from it (the `bindings` program). To add an option, add a row; CONTRIBUTING.md lists the rest.
#ifndef TALVEN_OPTIONS_H
#define TALVEN_OPTIONS_H

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrion_options.h"
#include "talven_frontend.h"

namespace talven {

enum class OptionKind : int32_t {
  kInteger,     // truncated toward zero; outside 32 bits is an error
  kReal,        // finite
  kFlag,        // on or off
  kSeed,        // an integer in the generator's range; absent: drawn from the clock
  kInputData,   // a data set the step reads
  kOutputData,  // a data set the step writes; given or not is all the study layer sees
  kRole,        // a variable list statement
  kPackage,     // an argument of the Python and R packages alone
};

// When the report shows an option among those in force.
enum class ReportWhen : int32_t { kNever, kAlways, kWithIntervals, kGiven };

// What a variable list accepts.
enum class ListValues : int32_t { kAny, kNumeric, kTwoLevels };

// The options as checked. Filled from the table's defaults, then from the values given.
struct StudyOptions {
  int32_t cores = 0, nBootstrap1 = 0, nBootstrap2 = 0, nGrid = 0, K1 = 0, K2 = 0;
  double alpha = 0.0, gridScale = 0.0;
  int32_t seed = 0;  // 0: none given
  bool deriveCI = false, minimize = false, keep_out = false;
};

// What a check that looks beyond its own value may use. A failing check sets `problem`.
struct OptionCheck {
  StudyOptions& options;
  int64_t columns;  // variables of the data
  std::function<void(const std::string&)> note;
  std::string problem;
};

struct OptionRow {
  const char* statement;  // as the statement spells it, upper case
  OptionKind kind;
  int32_t item = 0;                // the procedure's item number (flag number for flags); 0: none
  const char* argument = nullptr;  // the Python and R argument; nullptr: the statement only
  const char* description = "";    // one line, for help texts
  double fallback = 0.0;           // the value when absent (integers and reals)
  const char* absent = nullptr;    // an optional value without a default: what absence means
  bool required = false;           // packages: an argument without a default
  int32_t check_rank = 0;          // place in the order of the option checks; 0: not checked
  int32_t StudyOptions::*integer = nullptr;
  double StudyOptions::*real = nullptr;
  bool StudyOptions::*flag = nullptr;
  const char* (*integer_problem)(int32_t) = nullptr;
  const char* (*real_problem)(double) = nullptr;
  bool (*check)(OptionCheck&) = nullptr;  // after the value is read and its own range checked
  int32_t role = 0;                       // kRole: TALVEN_ROLE_*
  ListValues values = ListValues::kAny;   // kRole
  const char* levels = nullptr;           // kRole: the option that counts the list's levels
  const char* count_of = nullptr;  // packages derive the value: 1 + the variables of this role
  // The report's table of the options in force, in the table's order.
  ReportWhen report = ReportWhen::kNever;
  const char* in_force = nullptr;   // a flag that is on
  const char* off_given = nullptr;  // a flag given but not in force
  const char* off = nullptr;        // a flag not given
  const char* drawn = nullptr;      // after a value the layer chose itself
};

// False with the problem recorded, or true when there is none.
inline bool option_problem(OptionCheck& c, const char* text) {
  if (text == nullptr) return true;
  c.problem = text;
  return false;
}

// Each treatment beyond the first needs a variable of the data; the level tables are sized by K.
inline bool check_treatments(OptionCheck& c) {
  const int64_t most = int64_t{1} + c.columns;
  const std::string shown = std::to_string(std::min<int64_t>(most, INT32_MAX));
  if (c.options.K1 < 2 || c.options.K1 > most) {
    c.problem = "NTREATS1 must be between 2 and " + shown + ".";
    return false;
  }
  if (c.options.K2 < 2 || c.options.K2 > most) {
    c.problem = "NTREATS2 must be between 2 and " + shown + ".";
    return false;
  }
  return true;
}

inline bool check_intervals(OptionCheck& c) {
  StudyOptions& o = c.options;
  if (o.deriveCI && !(o.K1 == 2 && o.K2 == 2)) {
    o.deriveCI = false;
    c.note("Confidence intervals need two treatments at each stage; DERIVECI has no effect.");
  }
  return !o.deriveCI || option_problem(c, kestrion::ngrid_for_intervals_problem(o.nGrid));
}

namespace option_table {
inline constexpr kestrion::IntervalOptions kLibrary{};
}  // namespace option_table

// Rows in the order of the packages' arguments; the statement's data sets are opened, and its
// output data sets located, in this order too.
inline constexpr OptionRow kOptionTable[] = {
    {.statement = "DATA",
     .kind = OptionKind::kInputData,
     .item = 1,
     .argument = "data",
     .description = "the data, one observation (subject) per row; missing values are NaN or NA",
     .required = true},
    {.statement = "RESPONSE",
     .kind = OptionKind::kRole,
     .item = 12,
     .argument = "response",
     .description = "the final outcome",
     .required = true,
     .role = TALVEN_ROLE_RESPONSE,
     .values = ListValues::kNumeric},
    {.statement = "STG1TRT",
     .kind = OptionKind::kRole,
     .item = 13,
     .argument = "stg1trt",
     .description = "the stage-1 treatment variables, one fewer than the stage-1 treatments",
     .required = true,
     .role = TALVEN_ROLE_STG1TRT,
     .values = ListValues::kTwoLevels,
     .levels = "NTREATS1"},
    {.statement = "TAILOR1",
     .kind = OptionKind::kRole,
     .item = 8,
     .argument = "tailor1",
     .description = "the stage-1 tailoring covariates",
     .required = true,
     .role = TALVEN_ROLE_TAILOR1,
     .values = ListValues::kNumeric},
    {.statement = "STG2TRT",
     .kind = OptionKind::kRole,
     .item = 14,
     .argument = "stg2trt",
     .description = "the stage-2 treatment variables, one fewer than the stage-2 treatments",
     .required = true,
     .role = TALVEN_ROLE_STG2TRT,
     .values = ListValues::kTwoLevels,
     .levels = "NTREATS2"},
    {.statement = "TAILOR2",
     .kind = OptionKind::kRole,
     .item = 10,
     .argument = "tailor2",
     .description = "the stage-2 tailoring covariates",
     .required = true,
     .role = TALVEN_ROLE_TAILOR2,
     .values = ListValues::kNumeric},
    {.statement = "MAIN1",
     .kind = OptionKind::kRole,
     .item = 7,
     .argument = "main1",
     .description = "the stage-1 main-effect covariates",
     .role = TALVEN_ROLE_MAIN1,
     .values = ListValues::kNumeric},
    {.statement = "MAIN2",
     .kind = OptionKind::kRole,
     .item = 9,
     .argument = "main2",
     .description = "the stage-2 main-effect covariates",
     .role = TALVEN_ROLE_MAIN2,
     .values = ListValues::kNumeric},
    {.statement = "STG2SAMPLE",
     .kind = OptionKind::kRole,
     .item = 15,
     .argument = "stg2sample",
     .description = "the indicator of the stage-2 sample: 1 in it, 0 not",
     .role = TALVEN_ROLE_STG2SAMPLE,
     .values = ListValues::kNumeric},
    {.statement = "CONTRAST1",
     .kind = OptionKind::kInputData,
     .item = 2,
     .argument = "contrasts",
     .description = "contrasts of the stage-1 coefficients: one row per contrast, one column per "
                    "coefficient in the order of the estimates; a missing coefficient counts as 0",
     .absent = "no contrasts"},
    {.statement = "NTREATS1",
     .kind = OptionKind::kInteger,
     .item = 5,
     .description = "treatments at stage 1",
     .fallback = 2,
     .check_rank = 5,
     .integer = &StudyOptions::K1,
     .count_of = "STG1TRT",
     .report = ReportWhen::kAlways},
    {.statement = "NTREATS2",
     .kind = OptionKind::kInteger,
     .item = 6,
     .description = "treatments at stage 2",
     .fallback = 2,
     .check_rank = 6,
     .integer = &StudyOptions::K2,
     .check = &check_treatments,
     .count_of = "STG2TRT",
     .report = ReportWhen::kAlways},
    {.statement = "DERIVECI",
     .kind = OptionKind::kFlag,
     .item = 1,
     .argument = "intervals",
     .description = "compute the adaptive confidence intervals; two treatments at each stage only",
     .check_rank = 7,
     .flag = &StudyOptions::deriveCI,
     .check = &check_intervals,
     .report = ReportWhen::kAlways,
     .in_force = "in force",
     .off_given = "no effect (intervals need two treatments at each stage)",
     .off = "not given (point estimates only)"},
    {.statement = "ALPHA",
     .kind = OptionKind::kReal,
     .item = 19,
     .argument = "alpha",
     .description = "one minus the confidence level of the intervals",
     .fallback = option_table::kLibrary.alpha,
     .check_rank = 8,
     .real = &StudyOptions::alpha,
     .real_problem = &kestrion::alpha_problem,
     .report = ReportWhen::kWithIntervals},
    {.statement = "NBOOTSTRAP1",
     .kind = OptionKind::kInteger,
     .item = 17,
     .argument = "nbootstrap1",
     .description = "replicates of the main bootstrap",
     .fallback = option_table::kLibrary.nBootstrap1,
     .check_rank = 2,
     .integer = &StudyOptions::nBootstrap1,
     .integer_problem = &kestrion::nbootstrap1_problem,
     .report = ReportWhen::kWithIntervals},
    {.statement = "NBOOTSTRAP2",
     .kind = OptionKind::kInteger,
     .item = 22,
     .argument = "nbootstrap2",
     .description = "replicates of the bootstrap of the stage-2 covariance",
     .fallback = option_table::kLibrary.nBootstrap2,
     .check_rank = 3,
     .integer = &StudyOptions::nBootstrap2,
     .integer_problem = &kestrion::nbootstrap2_problem,
     .report = ReportWhen::kWithIntervals},
    {.statement = "NGRID",
     .kind = OptionKind::kInteger,
     .item = 18,
     .argument = "ngrid",
     .description = "grid values per stage-2 treatment-effect coefficient",
     .fallback = option_table::kLibrary.nGrid,
     .check_rank = 4,
     .integer = &StudyOptions::nGrid,
     .integer_problem = &kestrion::ngrid_problem,
     .report = ReportWhen::kWithIntervals},
    {.statement = "GRID_SCALE",
     .kind = OptionKind::kReal,
     .item = 21,
     .argument = "grid_scale",
     .description = "half-width of the grid in standard deviations",
     .fallback = option_table::kLibrary.gridScale,
     .check_rank = 9,
     .real = &StudyOptions::gridScale,
     .real_problem = &kestrion::grid_scale_problem,
     .report = ReportWhen::kWithIntervals},
    {.statement = "SEED",
     .kind = OptionKind::kSeed,
     .item = 23,
     .argument = "seed",
     .description = "the seed of the bootstrap, 1 to 2147483562: a repeatable run",
     .absent = "seeded from the clock; the result's seed repeats the run",
     .check_rank = 10,
     .integer = &StudyOptions::seed,
     .report = ReportWhen::kWithIntervals,
     .drawn = " (drawn from the clock)"},
    {.statement = "CORES",
     .kind = OptionKind::kInteger,
     .item = 20,
     .argument = "cores",
     .description = "threads of the bootstrap; 0 or less: every usable core",
     .fallback = option_table::kLibrary.cores,
     .absent = "every usable core",
     .check_rank = 1,
     .integer = &StudyOptions::cores,
     .report = ReportWhen::kGiven},
    {.statement = "RULES",
     .kind = OptionKind::kFlag,
     .item = 2,
     .description = "the decision rules in words and the value of the estimated regime",
     .report = ReportWhen::kGiven,
     .in_force = "in force"},
    {.statement = "MINIMIZE",
     .kind = OptionKind::kFlag,
     .item = 3,
     .argument = "minimize",
     .description = "smaller outcomes are better",
     .check_rank = 11,
     .flag = &StudyOptions::minimize,
     .report = ReportWhen::kGiven,
     .in_force = "in force (smaller outcomes are better)"},
    {.statement = "PROGRESS",
     .kind = OptionKind::kPackage,
     .argument = "progress",
     .description = "show the progress of a fit that runs for more than two seconds",
     .absent = "only when Python or R runs interactively"},
    {.statement = "OUTEST",
     .kind = OptionKind::kOutputData,
     .item = 24,
     .description = "the estimates and limits as a data set"},
    {.statement = "OUT",
     .kind = OptionKind::kOutputData,
     .item = 25,
     .description = "every observation with its Q-values and recommendations",
     .check_rank = 12,
     .flag = &StudyOptions::keep_out},
};

using OptionTable = std::span<const OptionRow>;

// The row of a statement name (case aside), or nullptr.
const OptionRow* find_option(OptionTable table, std::string_view statement);

constexpr const OptionRow& option_row(std::string_view statement) {
  for (const OptionRow& row : kOptionTable) {
    if (statement == row.statement) return row;
  }
  throw "not an option";  // a compile-time error where a constant is asked for
}

constexpr bool takes_value(OptionKind kind) {
  return kind == OptionKind::kInteger || kind == OptionKind::kReal || kind == OptionKind::kSeed;
}

// Values given by name, and their reading into StudyOptions in the order of the checks: the
// first problem is the one reported.
class OptionValues {
 public:
  explicit OptionValues(OptionTable table = kOptionTable);
  // False for a name that is not a row of the table.
  bool set(std::string_view statement, double value);
  bool given(std::string_view statement) const;
  // The options, or the message of the first problem in `check.problem`.
  bool read(OptionCheck& check) const;

 private:
  bool read_row(const OptionRow& row, std::size_t index, OptionCheck& check) const;

  OptionTable table_;
  std::vector<double> values_;
  std::vector<uint8_t> given_;
};

// The defaults of every row.
StudyOptions default_options(OptionTable table = kOptionTable);

}  // namespace talven

#endif  // TALVEN_OPTIONS_H
