// A catalogue of bad programs and data files: each must stop with exit status 2 and the exact
// first ERROR line a user would act on, or, where the analysis is valid but doubtful, end with
// status 1 and its first WARNING (a NOTE instead: one the log must hold, whatever the status),
// without a crash, a sanitizer report or a hang. A run that stops writes no output data set.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace {

using e2e::TalvenRun;

std::string garbage(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  for (char& c : out) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 23);
  }
  return out;
}

// The model over the study, with `proc` as the PROC statement's options.
std::string model(const std::string& proc) {
  return "PROC TALVEN " + proc + ";\n" + e2e::kModel;
}

// As model(), with the statement `from` replaced by `to` (empty: removed).
std::string model_with(const std::string& proc, const std::string& from, const std::string& to) {
  std::string text = model(proc);
  const size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The study with column `column` (0-based) of data row `row` (1-based) set to `value`.
std::string study_with(const std::string& study, int row, int column, const std::string& value) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = study.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(study.substr(start, end - start));
  }
  std::string& line = lines.at(static_cast<size_t>(row));
  size_t from = 0;
  for (int c = 0; c < column; ++c) from = line.find(',', from) + 1;
  const size_t to = line.find(',', from);
  line.replace(from, (to == std::string::npos ? line.size() : to) - from, value);
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

// The study with every value of column `column` (0-based) replaced by `value`.
std::string all_same(const std::string& study, int column, const std::string& value) {
  std::string out = study;
  const int rows = static_cast<int>(std::count(study.begin(), study.end(), '\n')) - 1;
  for (int r = 1; r <= rows; ++r) out = study_with(out, r, column, value);
  return out;
}

// The study with `change` applied to the fields of every data row.
std::string study_rows(const std::string& study,
                       const std::function<void(std::vector<std::string>&, int)>& change) {
  std::istringstream in(study);
  std::string out, line;
  std::getline(in, line);
  out = line + "\n";
  for (int row = 1; std::getline(in, line); ++row) {
    std::vector<std::string> fields;
    std::stringstream parts(line);
    for (std::string field; std::getline(parts, field, ',');) fields.push_back(field);
    if (line.back() == ',') fields.push_back("");
    change(fields, row);
    for (size_t k = 0; k < fields.size(); ++k) out += (k ? "," : "") + fields[k];
    out += "\n";
  }
  return out;
}

struct Case {
  const char* name;
  std::string program;
  std::map<std::string, std::string> files;  // added to (or replacing) study.csv and con.csv
  // The first ERROR (status 2) or WARNING (status 1) line, or a NOTE the log holds;
  // ending in '*': the line starts with the text before it.
  std::string first;
  std::vector<std::string> also = {};  // lines the log must hold as well (leading blanks aside)
  int status = 2;
};

std::vector<std::string> with(std::vector<std::string> lines, const std::string& line) {
  lines.push_back(line);
  return lines;
}

std::vector<Case> catalogue() {
  const std::string study = e2e::small_study(60);
  const std::string ci = "DATA=study DERIVECI NBOOTSTRAP1=20 NBOOTSTRAP2=20 NGRID=2 SEED=5";
  const std::string only_numbers =
      "; a numeric column holds numbers and these missing values only: an empty field, ., .A to "
      ".Z, ._ or NA.";
  const std::vector<std::string> singular = {"Matrix apparently singular",
                                             "Design matrix doesn't have full rank.",
                                             "OCCURRED IN: svdr_l2 in MOD regression"};
  return {
      // Program text.
      {"number expected",
       model("DATA=study NBOOTSTRAP1=abc"),
       {},
       "ERROR: Line 1, column 36: Syntax error: expected a number after NBOOTSTRAP1=, found abc."},
      {"unknown option",
       model("DATA=study BOGUS=1"),
       {},
       "ERROR: Line 1, column 24: Option BOGUS is not known to PROC TALVEN. The options of PROC "
       "TALVEN are ALPHA=, CONTRAST1=, CORES=, DATA=, DERIVECI, GRID_SCALE=, MALPHA=, MINIMIZE, "
       "NBOOTSTRAP1=, NBOOTSTRAP2=, NBOOTTUNE=, NBOOTVALUE=, NGRID=, NTREATS1=, NTREATS2=, OUT=, "
       "OUTEST=, OUTVALUE=, RULES, SEED= and VALUE."},
      {"misspelled option",
       model("DATA=study DERIVE_CI NGIRD=3"),
       {},
       "ERROR: Line 1, column 24: Option DERIVE_CI is not known to PROC TALVEN. Did you mean "
       "DERIVECI?",
       {"ERROR: Line 1, column 34: Option NGIRD is not known to PROC TALVEN. Did you mean NGRID?"}},
      {"option without value",
       model("DATA=study ALPHA="),
       {},
       "ERROR: Line 1, column 30: Syntax error: expected a number after ALPHA=, found ;."},
      {"unknown statement",
       model_with("DATA=study", "RESPONSE y;", "RESPONSE y; WEIGHT y;"),
       {},
       "ERROR: Line 3, column 51: Statement WEIGHT y is not valid in PROC TALVEN. The statements "
       "of PROC TALVEN are BY, FOOTNOTE, MAIN1, MAIN2, ODS, OPTIONS, RESPONSE, STG1TRT, "
       "STG2SAMPLE, STG2TRT, TAILOR1, TAILOR2, TITLE and WHERE."},
      {"misspelled statement",
       model_with("DATA=study", "TAILOR1 o11;", "TAILR1 o11;"),
       {},
       "ERROR: Line 2, column 14: Statement TAILR1 o11 is not valid in PROC TALVEN. Did you mean "
       "TAILOR1?"},
      {"misspelled ODS statement in a step",
       model_with("DATA=study", "RESPONSE y;", "RESPONSE y; ODSS HTML CLOSE;"),
       {},
       "ERROR: Line 3, column 51: Statement ODSS HTML CLOSE is not valid in PROC TALVEN. Did you "
       "mean ODS?"},
      {"misspelled statement outside a step",
       "LIBNAM lib '.';\n" + model("DATA=study"),
       {},
       "ERROR: Line 1, column 1: Statement LIBNAM lib '.' is not valid outside a PROC step. Did "
       "you mean LIBNAME?"},
      {"statement outside a step",
       "MAIN1 age;\n" + model("DATA=study"),
       {},
       "ERROR: Line 1, column 1: Statement MAIN1 age is not valid outside a PROC step."},
      {"unknown procedure",
       "PROC NOSUCH DATA=study; RUN;",
       {},
       "ERROR: Line 1, column 6: Procedure NOSUCH not found."},
      {"PROC without a name",
       "PROC ; RUN;",
       {},
       "ERROR: Line 1, column 6: Syntax error: expected a procedure name after PROC."},
      {"unterminated string",
       "PROC TALVEN DATA='study.csv;\nRUN;\n",
       {},
       "ERROR: Line 1, column 18: Syntax error: the quoted string that starts here is not closed."},
      {"unterminated comment",
       model("DATA=study") + "/* never closed",
       {},
       "ERROR: Line 5, column 1: Syntax error: the comment that starts here is not closed by */."},
      {"text after RUN",
       model_with("DATA=study", "RUN;", "RUN now;"),
       {},
       "ERROR: Line 4, column 5: Syntax error: expected ; after RUN, found now."},
      {"LIBNAME without folder",
       "LIBNAME lib;\n" + model("DATA=lib.study"),
       {},
       "ERROR: Line 1, column 12: Syntax error: expected the library's folder in quotes after "
       "LIBNAME LIB."},
      {"LIBNAME of a missing folder",
       "LIBNAME lib 'nowhere';\n" + model("DATA=lib.study"),
       {},
       "ERROR: Line 1, column 13: The folder nowhere of library LIB does not exist."},
      {"binary garbage as program", garbage(600, 7), {}, "ERROR: Line 1, column 1: Statement *"},
      {"NUL bytes in program",
       std::string("PROC TALVEN DATA=study\0;\nRUN;\n", 30),
       {},
       "ERROR: Line 1, column 23: Syntax error: expected an option of PROC TALVEN, found \\x00."},
      // Names and lists.
      {"no DATA=", model(""), {}, "ERROR: DATA= must be specified."},
      {"missing data set",
       model("DATA=nothere"),
       {},
       "ERROR: Line 1, column 13: DATA=: Data set WORK.NOTHERE does not exist (no file "
       "nothere.csv, nothere.sas7bdat or nothere.xpt in .)."},
      {"unknown variable",
       model_with("DATA=study", "MAIN1 age;", "MAIN1 agex;"),
       {},
       "ERROR: Line 2, column 9: Variable agex in the MAIN1 list is not in WORK.STUDY."},
      {"character variable",
       model_with("DATA=study", "TAILOR1 o11;", "TAILOR1 site;"),
       {},
       "ERROR: Line 2, column 22: Variable site in the TAILOR1 list is character; only numeric "
       "variables can be used there."},
      {"numbered range matching nothing",
       model_with("DATA=study", "MAIN1 age;", "MAIN1 x1-x3;"),
       {},
       "ERROR: Line 2, column 9: Variable x1 in the MAIN1 list is not in WORK.STUDY."},
      {"prefix matching nothing",
       model_with("DATA=study", "MAIN1 age;", "MAIN1 q:;"),
       {},
       "ERROR: Line 2, column 9: q: in the MAIN1 list matches no variable of WORK.STUDY."},
      {"broken range",
       model_with("DATA=study", "MAIN1 age;", "MAIN1 age-;"),
       {},
       "ERROR: Line 2, column 13: Syntax error in the MAIN1 list: expected a variable name after "
       "age-, found ;."},
      {"no RESPONSE",
       model_with("DATA=study", "RESPONSE y;", ""),
       {},
       "ERROR: RESPONSE must be specified."},
      {"a variable twice in one list",
       model_with("DATA=study", "MAIN1 age;", "MAIN1 age age;"),
       {},
       "ERROR: A problem occured during model estimation.  Diagnostic information is as follows:",
       with(singular, "Rank-deficient fit: stage-1 fit of the data; dependent columns age, age")},
      {"MAIN1 and TAILOR1 share a variable",
       model_with("DATA=study", "TAILOR1 o11;", "TAILOR1 age;"),
       {},
       "ERROR: Please remove variable age from MAIN1 as TAYLOR1 variables are included as MAIN1 "
       "automatically in the model."},
      // Option values.
      {"NBOOTSTRAP1=0",
       model("DATA=study NBOOTSTRAP1=0"),
       {},
       "ERROR: NBOOTSTRAP1 must be positive."},
      {"NBOOTSTRAP1=1e10",
       model("DATA=study NBOOTSTRAP1=1e10"),
       {},
       "ERROR: The value of NBOOTSTRAP1= is out of range."},
      {"NBOOTSTRAP2=-5",
       model("DATA=study NBOOTSTRAP2=-5"),
       {},
       "ERROR: NBOOTSTRAP2 must be positive."},
      {"ALPHA=1", model("DATA=study ALPHA=1"), {}, "ERROR: ALPHA must be less than 1."},
      {"ALPHA=0", model("DATA=study ALPHA=0"), {}, "ERROR: ALPHA must be positive."},
      {"NTREATS1=1",
       model("DATA=study NTREATS1=1"),
       {},
       "ERROR: NTREATS1 must be between 2 and 12."},
      {"NTREATS2=100000",
       model("DATA=study NTREATS2=100000"),
       {},
       "ERROR: NTREATS2 must be between 2 and 12."},
      {"SEED=0", model("DATA=study SEED=0"), {}, "ERROR: SEED must be between 1 and 2147483562."},
      {"NBOOTVALUE=5",
       model("DATA=study VALUE NBOOTVALUE=5"),
       {},
       "ERROR: NBOOTVALUE must be at least 10."},
      {"MALPHA=0", model("DATA=study VALUE MALPHA=0"), {}, "ERROR: MALPHA must be positive."},
      {"NBOOTTUNE=5",
       model("DATA=study VALUE NBOOTTUNE=5"),
       {},
       "ERROR: NBOOTTUNE must be at least 10."},
      {"OUTVALUE= without VALUE",
       model("DATA=study OUTVALUE=v"),
       {},
       "ERROR: OUTVALUE= needs VALUE."},
      {"VALUE",
       model("DATA=study VALUE NBOOTVALUE=20 NBOOTTUNE=10 NBOOTSTRAP2=20 SEED=5 CORES=1"),
       {},
       "NOTE: The bootstrap used SEED=5.",
       {},
       0},
      {"GRID_SCALE=-1",
       model("DATA=study GRID_SCALE=-1"),
       {},
       "ERROR: GRID_SCALE must be positive."},
      {"NGRID=1 with DERIVECI",
       model("DATA=study DERIVECI NGRID=1"),
       {},
       "ERROR: NGRID must be at least 2 when DERIVECI is specified."},
      {"NGRID=1000 with DERIVECI, grid too large",
       model_with("DATA=study DERIVECI NGRID=1000", "TAILOR2 o21;", "TAILOR2 o21 z1 z2;"),
       {},
       "ERROR: The grid of NGRID**4 points is too large; lower NGRID."},
      // Requests larger than the machine stop before the intervals allocate (terabytes: beyond
      // any machine's memory). A grid of a million rows alone is processed in blocks instead.
      {"NGRID=1000 with DERIVECI",
       model("DATA=study DERIVECI NGRID=1000 NBOOTSTRAP1=2147483647 NBOOTSTRAP2=10 SEED=3"),
       {},
       "ERROR: The intervals need about *"},
      {"NBOOTSTRAP1=2147483647",
       model("DATA=study DERIVECI NBOOTSTRAP1=2147483647 NBOOTSTRAP2=10 SEED=3"),
       {},
       "ERROR: The intervals need about *"},
      {"NBOOTSTRAP1=2000000000 with a large grid",
       model("DATA=study DERIVECI NBOOTSTRAP1=2000000000 NGRID=40 NBOOTSTRAP2=10 SEED=3"),
       {},
       "ERROR: The intervals need about *"},
      {"threads",
       model("DATA=study DERIVECI NBOOTSTRAP1=40 NBOOTSTRAP2=20 NGRID=2 SEED=5 CORES=3"),
       {},
       "NOTE: The bootstrap ran on 3 threads.",
       {},
       0},
      // Data files.
      {"empty data file",
       model("DATA=study"),
       {{"study.csv", ""}},
       "ERROR: Line 1, column 13: DATA=: File ./study.csv is empty: it has no line of variable "
       "names."},
      {"header only",
       model("DATA=study"),
       {{"study.csv", "id,age,o11,a1,stage2,o21,a2,y\n"}},
       "ERROR: The stage-2 sample has 0 observations: no observation is used.",
       {"ERROR: There is not enough data at stage 2 for the method to work."}},
      {"ragged row",
       model("DATA=study"),
       {{"study.csv", study + "1,2,3\n"}},
       "ERROR: Line 1, column 13: DATA=: File ./study.csv, line 62: the row has 3 fields where the "
       "header has 11."},
      {"duplicate names",
       model("DATA=study"),
       {{"study.csv", "id,age,age\n1,2,3\n"}},
       "ERROR: Line 1, column 13: DATA=: File ./study.csv, line 1: variable name age appears twice "
       "(columns 2 and 3)."},
      {"empty name",
       model("DATA=study"),
       {{"study.csv", "id,,y\n1,2,3\n"}},
       "ERROR: Line 1, column 13: DATA=: File ./study.csv, line 1: the name of variable 2 is "
       "empty."},
      {"unterminated quote",
       model("DATA=study"),
       {{"study.csv", "id,age\n1,\"2\n3,4\n"}},
       "ERROR: Line 1, column 13: DATA=: File ./study.csv, line 2: a quoted field is not closed."},
      {"binary garbage as CSV",
       model("DATA=study"),
       {{"study.csv", garbage(4000, 11)}},
       "ERROR: Line 1, column 13: DATA=: File ./study.csv, line 4: the row has 2 fields where the "
       "header has 1."},
      {"inf in a numeric column",
       model("DATA=study"),
       {{"study.csv", study_with(study, 5, 1, "inf")}},
       "ERROR: Line 2, column 9: Variable age in the MAIN1 list is character; only numeric "
       "variables can be used there.",
       {"ERROR: age is character because line 6 holds 'inf'" + only_numbers}},
      {"non-numeric treatment",
       model("DATA=study"),
       {{"study.csv", study_with(study, 3, 3, "A")}},
       "ERROR: Line 2, column 35: Variable a1 in the STG1TRT list is character; only numeric "
       "variables can be used there.",
       {"ERROR: a1 holds the values '-1', '1' and 'A'; a character variable is accepted in "
        "STG1TRT only when it holds two values and NTREATS1=2."}},
      {"n/a in the response",
       model("DATA=study"),
       {{"study.csv", study_with(study_with(study, 17, 10, "n/a"), 30, 10, "-")}},
       "ERROR: Line 3, column 48: Variable y in the RESPONSE list is character; only numeric "
       "variables can be used there.",
       {"ERROR: y is character because line 18 holds 'n/a'" + only_numbers}},
      {"three stage-1 treatments",
       model("DATA=study"),
       {{"study.csv", study_with(study, 3, 3, "0")}},
       "ERROR: Treatment variable in stage 1 has more than 2 treatments, this version of Proc "
       "TALVEN only allows 2 treatments.",
       {"STG1TRT variable a1 has more than 2 treatments among the observations used: -1, 0, 1; "
        "three treatments need NTREATS1=3 with two indicator variables in STG1TRT (point "
        "estimates only)."}},
      {"output path that cannot be written",
       model("DATA=study OUT='/proc/regime.csv'"),
       {},
       "ERROR: The data set /proc/regime.csv could not be written: *"},
      {"stage-2 sample coded the wrong way round",
       model("DATA=study OUTEST=est"),
       {{"study.csv", study_rows(study,
                                 [](auto& f, int) {
                                   f[4] = f[4] == "1" ? "0" : "1";
                                   f[5] = f[6] = "";
                                 })}},
       "ERROR: The stage-2 sample has 0 observations: no observation used has STG2SAMPLE stage2 "
       "= 1; 29 have 0.",
       {"ERROR: There is not enough data at stage 2 for the method to work."}},
      {"stage-2 treatments that are not whole numbers",
       model("DATA=study OUTEST=est"),
       {{"study.csv", study_rows(study,
                                 [](auto& f, int) {
                                   if (!f[6].empty()) f[6] = f[6] == "1" ? "1.5" : "-1.5";
                                 })}},
       "WARNING: STG2TRT variable a2 holds values that are not whole numbers; they are used "
       "truncated toward zero: -1.5 becomes -1, 1.5 becomes 1.",
       {},
       1},
      {"stage-2 treatments that truncation makes one",
       model("DATA=study OUTEST=est"),
       {{"study.csv", study_rows(study,
                                 [](auto& f, int) {
                                   if (!f[6].empty()) f[6] = f[6] == "1" ? "0.5" : "-0.5";
                                 })}},
       "ERROR: STG2TRT variable a2 has only one value (0) among the 29 observations used; "
       "NTREATS2=2 treatments are expected. Truncated toward zero, -0.5 and 0.5 both become 0.",
       {"WARNING: STG2TRT variable a2 holds values that are not whole numbers; they are used "
        "truncated toward zero: -0.5 becomes 0, 0.5 becomes 0."}},
      {"garbage .sas7bdat",
       model("DATA=study"),
       {{"study.csv", ""}, {"Study.sas7bdat", garbage(5000, 3)}},
       "ERROR: Line 1, column 13: DATA=: File ./Study.sas7bdat could not be read as a SAS data "
       "set: Invalid file, or file has unsupported features."},
      {"data set that is a folder",
       model("DATA=study"),
       {{"study.csv", ""}, {"study.csv/", ""}},
       "ERROR: Line 1, column 13: DATA=: File ./study.csv cannot be read: it is a folder."},
      {"all responses missing",
       model("DATA=study"),
       {{"study.csv", all_same(study, 10, "")}},
       "ERROR: The stage-2 sample has 0 observations: no observation is used.",
       {"ERROR: There is not enough data at stage 2 for the method to work."}},
      {"one stage-1 treatment only",
       model("DATA=study OUTEST=est"),
       {{"study.csv", all_same(study, 3, "1")}},
       "ERROR: STG1TRT variable a1 has only one value (1) among the 60 observations used; "
       "NTREATS1=2 treatments are expected.",
       with(with(singular,
                 "ERROR: A problem occured during model estimation.  Diagnostic information "
                 "is as follows:"),
            "Rank-deficient fit: stage-1 fit of the data; dependent columns intercept, o11, "
            "o11:a1, a1")},
      {"one stage-2 treatment only",
       model("DATA=study OUTEST=est"),
       {{"study.csv", all_same(study, 6, "-1")}},
       "ERROR: STG2TRT variable a2 has only one value (-1) among the 29 observations used; "
       "NTREATS2=2 treatments are expected.",
       with(singular,
            "Rank-deficient fit: stage-2 fit of the data; dependent columns intercept, o21, "
            "o21:a2, a2")},
      // Rank-deficient designs name the fit and the columns.
      {"two identical MAIN1 covariates",
       model_with("DATA=study OUTEST=est", "MAIN1 age;", "MAIN1 age z1;"),
       {{"study.csv", study_rows(study, [](auto& f, int) { f[7] = f[1]; })}},
       "ERROR: A problem occured during model estimation.  Diagnostic information is as follows:",
       with(singular, "Rank-deficient fit: stage-1 fit of the data; dependent columns age, z1")},
      {"TAILOR2 constant within the stage-2 sample",
       model("DATA=study OUTEST=est"),
       {{"study.csv", study_rows(study,
                                 [](auto& f, int) {
                                   if (f[4] == "1") f[5] = "0.5";
                                 })}},
       "ERROR: A problem occured during model estimation.  Diagnostic information is as follows:",
       with(singular,
            "Rank-deficient fit: stage-2 fit of the data; dependent columns intercept, o21, "
            "o21:a2, a2")},
      {"a covariance replicate without the one stage-2 subject of a MAIN2 indicator",
       model_with(ci + " OUTEST=est", "MAIN2 age;", "MAIN2 z1;"),
       {{"study.csv", study_rows(study,
                                 [first = true](auto& f, int) mutable {
                                   f[7] = f[4] == "1" && first ? "1" : "0";
                                   if (f[4] == "1") first = false;
                                 })}},
       "ERROR: A problem occured during model estimation.  Diagnostic information is as follows:",
       with(singular, "Rank-deficient fit: covariance replicate 4; dependent columns z1")},
      {"CORES=1e300",
       model("DATA=study CORES=1e300"),
       {},
       "ERROR: The value of CORES= is out of range."},
      {"SEED=2147483563",
       model("DATA=study SEED=2147483563"),
       {},
       "ERROR: SEED must be between 1 and 2147483562."},
      {"transport file cut short",
       model("DATA=study"),
       {{"study.csv", ""},
        {"study.xpt",
         std::string(
             "HEADER RECORD*******LIBRARY HEADER RECORD!!!!!!!000000000000000000000000000000  ") +
             "SAS     SAS     SASLIB"}},
       "ERROR: Line 1, column 13: DATA=: File ./study.xpt could not be read as a SAS data set: its "
       "length is not a whole number of 80-byte records; the file is truncated or damaged."},
      {"garbage .xpt",
       model("DATA=study"),
       {{"study.csv", ""}, {"study.xpt", garbage(800, 5)}},
       "ERROR: Line 1, column 13: DATA=: File ./study.xpt could not be read as a SAS data set: "
       "Invalid file, or file has unsupported features."},
      // Contrast files.
      {"contrast of the wrong width",
       model(ci + " CONTRAST1=con OUTEST=est"),
       {{"con.csv", "c1,c2,c3,c4\n0,0,0,1\n"}},
       "ERROR: Contrast1 Dataset should have 5 columns.",
       {"ERROR: The columns are used in this order: intercept, age, o11, o11:a1, a1."}},
      {"contrast columns named in another order",
       model(ci + " CONTRAST1=con NBOOTSTRAP1=40 OUTEST=est"),
       {{"con.csv", "intercept,age,o11,a1,o11_a1\n0,0,0,2,2\n"}},
       "WARNING: The columns of the CONTRAST1= data set are used by position, but their names "
       "suggest another order: column 4 is named a1. The order is intercept, age, o11, o11:a1, a1.",
       {},
       1},
      // A variable in two roles.
      {"response as a stage-1 covariate",
       model_with("DATA=study OUTEST=est", "MAIN1 age;", "MAIN1 age y;"),
       {},
       "ERROR: Variable y is the RESPONSE variable and cannot also be in MAIN1."},
      {"response as a stage-2 covariate",
       model_with("DATA=study OUTEST=est", "MAIN2 age;", "MAIN2 y;"),
       {},
       "ERROR: Variable y is the RESPONSE variable and cannot also be in MAIN2."},
      {"treatment as its own tailoring variable",
       model_with("DATA=study OUTEST=est", "TAILOR1 o11;", "TAILOR1 a1;"),
       {},
       "ERROR: Variable a1 is the STG1TRT variable and cannot also be in TAILOR1."},
      {"sample indicator as the stage-2 treatment",
       model_with("DATA=study OUTEST=est", "STG2TRT a2;", "STG2TRT stage2;"),
       {},
       "ERROR: Variable stage2 is the STG2SAMPLE variable and cannot also be in STG2TRT."},
      // Values and observations.
      {"STG2SAMPLE coded 1/2",
       model("DATA=study OUTEST=est"),
       {{"study.csv", study_rows(study, [](auto& f, int) { f[4] = f[4] == "1" ? "2" : "1"; })}},
       "ERROR: The stage-2 sample has 0 observations: no observation is used.",
       {"ERROR: There is not enough data at stage 2 for the method to work.",
        "WARNING: STG2SAMPLE variable stage2 must be 0 (outside the stage-2 sample) or 1 (in it); "
        "29 observations with the value 2 were left out."}},
      {"a stray STG2SAMPLE value",
       model("DATA=study OUTEST=est"),
       {{"study.csv", study_with(study, 7, 4, "7")}},
       "WARNING: STG2SAMPLE variable stage2 must be 0 (outside the stage-2 sample) or 1 (in it); 1 "
       "observation with the value 7 was left out.",
       {"NOTE: 1 of 60 observations were left out: stage2 neither 0 nor 1 in 1.",
        "WARNING: There are missing data in the dataset, complete case analysis was used."},
       1},
      {"stage-2 values of responders without STG2SAMPLE",
       model_with("DATA=study OUTEST=est", "STG2SAMPLE stage2;", ""),
       {},
       "WARNING: Without STG2SAMPLE every observation is in the stage-2 sample, and o21 is missing "
       "in 31 of 60 observations, which were therefore left out of both stages. If only some "
       "subjects entered stage 2, mark them with a STG2SAMPLE statement.",
       {"NOTE: 31 of 60 observations were left out: a2 missing in 31, o21 missing in 31."},
       1},
      {"a missing response",
       model("DATA=study OUTEST=est"),
       {{"study.csv", study_with(study_with(study, 3, 10, ""), 9, 1, "")}},
       "WARNING: There are missing data in the dataset, complete case analysis was used.",
       {"NOTE: 2 of 60 observations were left out: age missing in 1, y missing in 1."},
       1},
      // The study's sites alternate row by row: every group holds one observation and fails.
      {"BY NOTSORTED over data not sorted by the BY variable",
       model_with("DATA=study OUTEST=est", "RUN;", "BY site NOTSORTED;\nRUN;"),
       {},
       "NOTE: 60 of the 60 BY groups hold fewer than 5 observations, yet site takes only 3 "
       "values: with NOTSORTED a group ends wherever the value of site changes, so the data are "
       "probably not sorted by site. Sort them by site to analyse one group per value.",
       {"NOTE: The BY group site=site1 (1 of 60) has 1 observation."}},
      // OUT=.
      {"OUT= names the DATA= data set",
       model("DATA=study OUT=study"),
       {},
       "ERROR: Line 1, column 24: OUT=: The data set WORK.STUDY is read by this step (DATA=); "
       "write the output to another data set."},
      {"OUT= and OUTEST= name one data set",
       model("DATA=study OUTEST=est OUT=EST"),
       {},
       "ERROR: Line 1, column 35: OUT=: The data set WORK.EST is also written by this step "
       "(OUTEST=); write the output to another data set."},
      {"a DATA= variable has the name of an OUT= variable",
       model("DATA=study OUT=rec OUTEST=est"),
       {{"study.csv", "id,age,o11,a1,stage2,o21,a2,value1" + study.substr(study.find(",z2,"))}},
       "ERROR: OUT= adds the variable VALUE1, and data set WORK.STUDY already has a variable of "
       "that name; rename it."},
      // Settings.
      {"NBOOTSTRAP1 too small for ALPHA",
       model("DATA=study DERIVECI NBOOTSTRAP1=10 NBOOTSTRAP2=20 NGRID=2 SEED=5 OUTEST=est"),
       {},
       "WARNING: NBOOTSTRAP1=10 is too small for ALPHA=0.05: the limits are the extreme "
       "replicates; use NBOOTSTRAP1=40 or more.",
       {},
       1},
      {"NBOOTSTRAP2 too small",
       model("DATA=study DERIVECI NBOOTSTRAP1=40 NBOOTSTRAP2=10 NGRID=2 SEED=5 OUTEST=est"),
       {},
       "WARNING: NBOOTSTRAP2=10 is too small for a stable covariance of the stage-2 estimates; "
       "use NBOOTSTRAP2=20 or more.",
       {},
       1},
      {"DERIVECI with three stage-1 treatments",
       model_with("DATA=study DERIVECI NTREATS1=3 OUTEST=est", "STG1TRT a1;", "STG1TRT a1 z2;"),
       {{"study.csv", study_rows(study,
                                 [](auto& f, int row) {
                                   f[8] = row % 3 == 0 ? "1" : "0";
                                   if (row % 3 == 0) f[3] = "0";
                                 })}},
       "NOTE: Confidence intervals need two treatments at each stage; DERIVECI has no effect.",
       {},
       0},
      {"bootstrap without SEED=",
       model("DATA=study DERIVECI NBOOTSTRAP1=40 NBOOTSTRAP2=20 NGRID=2 OUTEST=est"),
       {},
       "NOTE: The bootstrap was seeded from the clock: SEED=*",
       {},
       0},
      {"character contrast",
       model(ci + " CONTRAST1=con"),
       {{"con.csv", "c1,c2,c3,c4,c5\n0,0,0,1,1\n0,0,0,\"nan\",1\n"}},
       "ERROR: Variable c4 of the CONTRAST1= data set is character; contrast coefficients must be "
       "numeric.",
       {"ERROR: c4 is character because line 3 holds 'nan'" + only_numbers}},
      {"empty contrast file",
       model(ci + " CONTRAST1=con"),
       {{"con.csv", ""}},
       "ERROR: Line 1, column 78: CONTRAST1=: File ./con.csv is empty: it has no line of variable "
       "names."},
      {"contrast in a quoted file that is a folder",
       model(ci + " CONTRAST1='sub.csv'"),
       {{"sub.csv/", ""}},
       "ERROR: Line 1, column 78: CONTRAST1=: File sub.csv cannot be read: it is a folder."},
      {"missing contrast data set",
       model(ci + " CONTRAST1=nocon"),
       {},
       "ERROR: Line 1, column 78: CONTRAST1=: Data set WORK.NOCON does not exist (no file "
       "nocon.csv, nocon.sas7bdat or nocon.xpt in .)."},
  };
}

TEST(Catalogue, EveryBadOrDoubtfulInputGivesItsOwnFirstMessage) {
  const std::vector<Case> cases = catalogue();
  for (const Case& c : cases) {
    e2e::Folder folder("catalogue");
    folder.write("study.csv", e2e::small_study(60));
    folder.write("con.csv", e2e::kContrasts);
    for (const auto& [name, bytes] : c.files) {
      if (name.back() == '/') {
        std::filesystem::create_directories(folder.path() / name);
      } else if (name == "study.csv" && bytes.empty() && c.files.size() > 1) {
        std::filesystem::remove(folder.path() / name);
      } else {
        folder.write(name, bytes);
      }
    }
    const TalvenRun r = folder.talven(c.program);
    EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.all();
    std::string first;
    if (c.status == 0 || c.first.rfind("NOTE: ", 0) == 0) {
      const std::string head = c.first.substr(0, c.first.find('*'));
      for (const std::string& l : r.log) {
        if (l.rfind(head, 0) == 0 && first.empty()) first = l;
      }
    } else {
      first = c.status == 2 ? r.first_error() : r.first_warning();
    }
    if (c.first.back() == '*') {
      const std::string prefix = c.first.substr(0, c.first.size() - 1);
      EXPECT_EQ(first.substr(0, prefix.size()), prefix) << c.name;
    } else {
      EXPECT_EQ(first, c.first) << c.name;
    }
    // OUTEST=est or OUT=rec in a run that stops: no file, not even a temporary one.
    if (c.status == 2) {
      for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
        const std::string file = entry.path().filename().string();
        EXPECT_TRUE(file != "est.csv" && file != "rec.csv" && file.front() != '.')
            << c.name << ": " << file;
      }
    }
    for (const std::string& line : c.also) {
      EXPECT_TRUE(std::any_of(r.log.begin(), r.log.end(),
                              [&](const std::string& l) {
                                const size_t start = l.find_first_not_of(' ');
                                return start != std::string::npos && l.substr(start) == line;
                              }))
          << c.name << ": no line " << line << "\n"
          << r.all();
    }
  }
  RecordProperty("catalogue_cases", static_cast<int>(cases.size()));
}

}  // namespace
