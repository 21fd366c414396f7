// The SAS habits users bring (TITLE, OPTIONS, WHERE, data set options, BY, name literals, CSV
// dialects, character treatments), run by the talven command. Each feature is checked against a
// second evaluation written differently here: a file filtered, edited or split by this test and
// analysed without the feature must give the same listing.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace {

using e2e::Folder;
using e2e::TalvenRun;

// A CSV table held as text fields; numbers are read where the test needs them.
struct Csv {
  std::vector<std::string> names;
  std::vector<std::vector<std::string>> rows;

  static Csv parse(const std::string& text) {
    Csv out;
    std::vector<std::vector<std::string>> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      std::vector<std::string> fields;
      const std::string line = text.substr(start, end - start);
      size_t from = 0;
      for (size_t comma; (comma = line.find(',', from)) != std::string::npos; from = comma + 1) {
        fields.push_back(line.substr(from, comma - from));
      }
      fields.push_back(line.substr(from));
      lines.push_back(fields);
    }
    out.names = lines.front();
    out.rows.assign(lines.begin() + 1, lines.end());
    return out;
  }

  size_t column(const std::string& name) const {
    for (size_t k = 0; k < names.size(); ++k) {
      if (names[k] == name) return k;
    }
    ADD_FAILURE() << "no column " << name;
    return 0;
  }

  std::string text(char delimiter = ',') const {
    std::string out;
    auto line = [&](const std::vector<std::string>& fields) {
      for (size_t k = 0; k < fields.size(); ++k)
        out += (k ? std::string(1, delimiter) : "") + fields[k];
      out += '\n';
    };
    line(names);
    for (const auto& r : rows) line(r);
    return out;
  }

  Csv where(const std::function<bool(const std::vector<std::string>&)>& keep) const {
    Csv out{names, {}};
    for (const auto& r : rows) {
      if (keep(r)) out.rows.push_back(r);
    }
    return out;
  }
};

// A row's number in a column; nullopt when missing.
std::optional<double> num(const std::vector<std::string>& row, size_t column) {
  if (row[column].empty()) return std::nullopt;
  return std::stod(row[column]);
}

const char* const kOptions = "DERIVECI NBOOTSTRAP1=40 NBOOTSTRAP2=30 NGRID=2 SEED=5";

std::string program(const std::string& data, const std::string& extra = "",
                    const std::string& before = "") {
  return before + "PROC TALVEN DATA=" + data + " " + kOptions +
         ";\n  MAIN1 age; TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2;\n"
         "  MAIN2 age; TAILOR2 o21; STG2TRT a2; RESPONSE y;\n" +
         extra + "RUN;\n";
}

std::string listing(const Folder& folder) {
  return e2e::read_file(folder.path() / "out.txt");
}

// WHERE against a subset the test makes itself: the listing must be the same byte for byte, and
// the log must say how many observations were read and which WHERE selected them.
TEST(SasHabits, WhereSelectsWhatAFilterWrittenInTheTestSelects) {
  const Csv study = Csv::parse(e2e::small_study(200));
  const size_t id = study.column("id"), age = study.column("age"), o11 = study.column("o11"),
               o21 = study.column("o21"), z1 = study.column("z1"), z2 = study.column("z2"),
               site = study.column("site"), y = study.column("y");
  using Row = std::vector<std::string>;
  const struct {
    const char* where;
    const char* text;  // as the log shows it
    std::function<bool(const Row&)> keep;
  } cases[] = {
      {"age >= 45", "age >= 45", [&](const Row& r) { return *num(r, age) >= 45; }},
      {"age between 35 and 60 and o11>-0.5", "age BETWEEN 35 AND 60 AND o11 > -0.5",
       [&](const Row& r) {
         return *num(r, age) >= 35 && *num(r, age) <= 60 && *num(r, o11) > -0.5;
       }},
      {"site in ('site0', 'site2')", "site IN ('site0', 'site2')",
       [&](const Row& r) { return r[site] == "site0" || r[site] == "site2"; }},
      {"site ne 'site1' | y > 1.5", "site NE 'site1' OR y > 1.5",
       [&](const Row& r) { return r[site] != "site1" || *num(r, y) > 1.5; }},
      {"not (z1 < 0.3)", "NOT (z1 < 0.3)", [&](const Row& r) { return *num(r, z1) >= 0.3; }},
      {"z1 * 2 - z2 > 0", "z1 * 2 - z2 > 0",
       [&](const Row& r) { return *num(r, z1) * 2 - *num(r, z2) > 0; }},
      // Missing values are smaller than every number: the subjects outside the stage-2 sample
      // (o21 missing) are kept.
      {"o21 < 0.2", "o21 < 0.2", [&](const Row& r) { return !num(r, o21) || *num(r, o21) < 0.2; }},
      {"o21 is missing or o21 > -0.3", "o21 IS MISSING OR o21 > -0.3",
       [&](const Row& r) { return !num(r, o21) || *num(r, o21) > -0.3; }},
      {"'site'n like 'site_' and id not in (3, 5, 7) and mod_free = 1",
       "'site'n LIKE 'site_' AND id NOT IN (3, 5, 7) AND mod_free = 1",
       [&](const Row& r) {
         const double i = *num(r, id);
         return i != 3 && i != 5 && i != 7;
       }},
  };
  Folder folder("where");
  Csv with_flag = study;
  with_flag.names.push_back("mod_free");
  for (auto& r : with_flag.rows) r.push_back("1");
  folder.write("study.csv", with_flag.text());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.where);
    const Csv kept = with_flag.where(c.keep);
    folder.write("kept.csv", kept.text());
    const TalvenRun alone = folder.talven(program("kept"));
    ASSERT_EQ(alone.status, 0) << alone.all();
    const std::string expected = listing(folder);
    const std::string read = "NOTE: There were " + std::to_string(kept.rows.size()) +
                             " observations read from the data set WORK.STUDY. WHERE " + c.text +
                             ";";
    for (const std::string& p : {program("study", std::string("  WHERE ") + c.where + ";\n"),
                                 program(std::string("study(where=(") + c.where + "))")}) {
      const TalvenRun r = folder.talven(p);
      EXPECT_EQ(r.status, 0) << r.all();
      EXPECT_EQ(listing(folder), expected);
      EXPECT_TRUE(r.has(read)) << r.all();
    }
  }
}

TEST(SasHabits, DataSetOptionsSeeWhatAnEditedFileHolds) {
  const Csv study = Csv::parse(e2e::small_study(200));
  Folder folder("dsopt");
  folder.write("study.csv", study.text());
  // Observations 11 to 150, without z1 and z2, y called outcome.
  Csv edited = study;
  edited.rows.assign(study.rows.begin() + 10, study.rows.begin() + 150);
  edited.names[study.column("y")] = "outcome";
  folder.write("edited.csv", edited.text());
  auto with_outcome = [](std::string p) {
    p.replace(p.find("RESPONSE y"), 10, "RESPONSE outcome");
    return p;
  };
  const TalvenRun alone = folder.talven(with_outcome(program("edited")));
  ASSERT_EQ(alone.status, 0) << alone.all();
  const std::string expected = listing(folder);
  const TalvenRun r = folder.talven(
      with_outcome(program("study(drop=z1-z2 rename=(y=outcome) firstobs=11 obs=150)")));
  EXPECT_EQ(r.status, 0) << r.all();
  EXPECT_EQ(listing(folder), expected);
  EXPECT_TRUE(r.has("NOTE: There were 140 observations read from the data set WORK.STUDY."));
  // KEEP= leaves out what the model needs: the list names the variable that is not there.
  const TalvenRun kept = folder.talven(program("study(keep=id age o11 a1 stage2 o21 a2)"));
  EXPECT_EQ(kept.first_error(),
            "ERROR: Line 3, column 48: Variable y in the RESPONSE list is not in WORK.STUDY.");
}

// Splits a listing into its pages: each begins at a line holding the procedure's title.
std::vector<std::string> pages(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  const std::string title = "PROC TALVEN -- Q-Learning";
  for (size_t at = text.find(title); at != std::string::npos; at = text.find(title, at + 1)) {
    const size_t line = text.rfind('\n', at);
    const size_t begin = line == std::string::npos ? 0 : line + 1;
    if (begin > start || !out.empty()) out.push_back(text.substr(start, begin - start));
    start = begin;
  }
  out.push_back(text.substr(start));
  if (!out.empty() && out.front().empty()) out.erase(out.begin());
  return out;
}

// Each BY group's page is the listing of that group's observations analysed alone, below its BY
// line; OUTEST= collects the groups' rows behind the BY variable.
TEST(SasHabits, EachByGroupIsThatGroupAnalysedAlone) {
  Csv study = Csv::parse(e2e::small_study(240));
  const size_t site = study.column("site");
  Csv sorted{study.names, {}};
  for (const char* s : {"site0", "site1", "site2"}) {
    for (const auto& r : study.where([&](const auto& row) { return row[site] == s; }).rows) {
      sorted.rows.push_back(r);
    }
  }
  // A fourth group too small to analyse: it fails, and the others still run.
  for (int k = 0; k < 3; ++k) {
    sorted.rows.push_back(sorted.rows[static_cast<size_t>(k)]);
    sorted.rows.back()[site] = "site9";
  }
  Folder folder("by");
  folder.write("study.csv", sorted.text());
  const TalvenRun r = folder.talven(program("study OUTEST=est", "  BY site;\n"));
  EXPECT_EQ(r.status, 2) << r.all();
  EXPECT_TRUE(r.has("ERROR: There is not enough data at stage 2 for the method to work."));
  const std::vector<std::string> by_pages = pages(listing(folder));
  ASSERT_EQ(by_pages.size(), 3u) << listing(folder);
  const Csv est = Csv::parse(e2e::read_file(folder.path() / "est.csv"));
  ASSERT_EQ(est.names.front(), "site");
  size_t est_row = 0;
  for (int g = 0; g < 3; ++g) {
    const std::string label = "site=site" + std::to_string(g);
    SCOPED_TRACE(label);
    EXPECT_TRUE(r.has("NOTE: The BY group " + label + " (" + std::to_string(g + 1) +
                      " of 4) has 80 observations."))
        << r.all();
    folder.write(
        "group.csv",
        sorted.where([&](const auto& row) { return row[site] == "site" + std::to_string(g); })
            .text());
    const TalvenRun alone = folder.talven(program("group OUTEST=gest"));
    ASSERT_EQ(alone.status, 0) << alone.all();
    // The page without its BY line and the blank line after it.
    std::string page = by_pages[static_cast<size_t>(g)];
    const size_t dashes = (80 - label.size() - 2) / 2;
    const std::string by_line = std::string(dashes, '-') + " " + label + " " +
                                std::string(80 - dashes - label.size() - 2, '-') + "\n\n";
    const size_t at = page.find(by_line);
    ASSERT_NE(at, std::string::npos) << page;
    page.erase(at, by_line.size());
    EXPECT_EQ(page, listing(folder));
    const Csv gest = Csv::parse(e2e::read_file(folder.path() / "gest.csv"));
    for (const auto& row : gest.rows) {
      ASSERT_LT(est_row, est.rows.size());
      std::vector<std::string> want = {"site" + std::to_string(g)};
      want.insert(want.end(), row.begin(), row.end());
      EXPECT_EQ(est.rows[est_row++], want);
    }
  }
  EXPECT_EQ(est_row, est.rows.size());  // the failed group added no rows
  EXPECT_TRUE(r.has("NOTE: The data set WORK.EST has " + std::to_string(est_row) +
                    " observations and 6 variables."));
}

// OUTVALUE= under BY: each group's value rows behind the BY variable, as the group alone gives.
TEST(SasHabits, OutvalueCollectsEachByGroupsValueTable) {
  Csv study = Csv::parse(e2e::small_study(240));
  const size_t site = study.column("site");
  Csv sorted{study.names, {}};
  for (const char* s : {"site0", "site1"}) {
    for (const auto& r : study.where([&](const auto& row) { return row[site] == s; }).rows) {
      sorted.rows.push_back(r);
    }
  }
  Folder folder("by_value");
  folder.write("study.csv", sorted.text());
  const std::string value = " VALUE NBOOTVALUE=20 NBOOTTUNE=10 NBOOTSTRAP2=20 SEED=9 OUTVALUE=";
  const TalvenRun r = folder.talven(program("study" + value + "v", "  BY site;\n"));
  ASSERT_EQ(r.status, 0) << r.all();
  const Csv all = Csv::parse(e2e::read_file(folder.path() / "v.csv"));
  ASSERT_EQ(all.names.front(), "site");
  size_t at = 0;
  for (int g = 0; g < 2; ++g) {
    const std::string label = "site" + std::to_string(g);
    folder.write("group.csv",
                 sorted.where([&](const auto& row) { return row[site] == label; }).text());
    const TalvenRun alone = folder.talven(program("group" + value + "gv"));
    ASSERT_EQ(alone.status, 0) << alone.all();
    const Csv group = Csv::parse(e2e::read_file(folder.path() / "gv.csv"));
    EXPECT_EQ(group.rows.size(), 11u);
    for (const auto& row : group.rows) {
      ASSERT_LT(at, all.rows.size());
      std::vector<std::string> want = {label};
      want.insert(want.end(), row.begin(), row.end());
      EXPECT_EQ(all.rows[at++], want);
    }
  }
  EXPECT_EQ(at, all.rows.size());
}

// OUT= under BY, WHERE and character treatments: the observations read, the BY variable first,
// the treatments with their own text, and for each group what the group alone gives.
TEST(SasHabits, OutHoldsTheObservationsReadGroupByGroup) {
  Csv study = Csv::parse(e2e::small_study(240));
  const size_t site = study.column("site"), a1 = study.column("a1"), age = study.column("age");
  for (auto& r : study.rows) r[a1] = r[a1] == "-1" ? "CD" : "MR";
  Csv sorted{study.names, {}};
  for (const char* s : {"site0", "site1", "site2"}) {
    for (const auto& r : study.where([&](const auto& row) { return row[site] == s; }).rows) {
      sorted.rows.push_back(r);
    }
  }
  Folder folder("out_by");
  folder.write("study.csv", sorted.text());
  const TalvenRun r = folder.talven(program("study OUT=o", "  WHERE age >= 35;\n  BY site;\n"));
  ASSERT_EQ(r.status, 0) << r.all();
  const Csv out = Csv::parse(e2e::read_file(folder.path() / "o.csv"));
  ASSERT_EQ(out.names.front(), "site");
  EXPECT_EQ(out.names.size(),
            study.names.size() + 7 + 2);  // _STAGE1/2, Q1_L1/2, REC1, Q2.., VALUE1
  size_t row = 0;
  for (int g = 0; g < 3; ++g) {
    const std::string name = "site" + std::to_string(g);
    folder.write(
        "group.csv",
        sorted.where([&](const auto& x) { return x[site] == name && std::stod(x[age]) >= 35; })
            .text());
    const TalvenRun alone = folder.talven(program("group OUT=og"));
    ASSERT_EQ(alone.status, 0) << alone.all();
    const Csv og = Csv::parse(e2e::read_file(folder.path() / "og.csv"));
    const size_t og_site = og.column("site");
    for (auto want : og.rows) {
      want.erase(want.begin() + static_cast<long>(og_site));
      want.insert(want.begin(), name);
      ASSERT_LT(row, out.rows.size());
      EXPECT_EQ(out.rows[row++], want) << name;
    }
  }
  EXPECT_EQ(row, out.rows.size());
  const size_t out_a1 = out.column("a1");
  for (const auto& x : out.rows) EXPECT_TRUE(x[out_a1] == "CD" || x[out_a1] == "MR") << x[out_a1];
}

struct Case {
  const char* name;
  std::string program;
  std::map<std::string, std::string> files;
  int status;
  std::vector<std::string> log;           // lines the log holds
  std::vector<std::string> listing = {};  // lines the listing holds (trailing blanks aside)
  bool listing_as_plain = false;          // the listing equals that of the plain model on study.csv
};

bool holds_line(const std::string& text, const std::string& line) {
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string l = text.substr(start, end - start);
    while (!l.empty() && l.back() == ' ') l.pop_back();
    if (l == line) return true;
  }
  return false;
}

std::string centred(const std::string& text, int width = 80) {
  return std::string(static_cast<size_t>((width - static_cast<int>(text.size())) / 2), ' ') + text;
}

std::vector<Case> cases() {
  const std::string study = e2e::small_study(120);
  const Csv csv = Csv::parse(study);
  const size_t a1 = csv.column("a1"), a2 = csv.column("a2");
  // The treatments as text: -1 is "CD", 1 is "MR" (CD sorts first, as -1 must).
  Csv lettered = csv;
  for (auto& r : lettered.rows) {
    r[a1] = r[a1] == "-1" ? "CD" : "MR";
    if (!r[a2].empty()) r[a2] = r[a2] == "-1" ? "\"arm A\"" : "\"arm B\"";
  }
  Csv three = lettered;
  three.rows[4][a1] = "XX";
  // The European form of the same file.
  std::string european = csv.text(';');
  for (size_t k = 1; k + 1 < european.size(); ++k) {
    if (european[k] == '.' && std::isdigit(static_cast<unsigned char>(european[k - 1]))) {
      european[k] = ',';
    }
  }
  Csv spaced = csv;
  spaced.names[csv.column("age")] = "age in years";
  std::string spaced_program = program("study");
  spaced_program.replace(spaced_program.find("MAIN1 age"), 9, "MAIN1 'age in years'n");
  spaced_program.replace(spaced_program.find("MAIN2 age"), 9, "MAIN2 'age in years'N");
  const std::string plain = program("study");
  return {
      {"TITLE and FOOTNOTE around the procedure's title",
       program("study", "  TITLE2 'Sites 0-2';\n", "TITLE 'Wave 1'; FOOTNOTE 'Confidential';\n"),
       {},
       0,
       {},
       {centred("Wave 1"), centred("Sites 0-2"),
        centred("PROC TALVEN -- Q-Learning and Adaptive Confidence Intervals"),
        centred("Confidential")}},
      {"OPTIONS with line size and page numbers",
       program("study", "", "options nodate number ls=100; title 'Wave 1';\n"),
       {},
       0,
       {},
       {centred("Wave 1", 100) + std::string(46, ' ') + "1"}},
      {"OPTIONS that have no effect, and NONOTES",
       program("study", "", "options formchar='|----|+|---+=|-/\\<>*' mprint;\n"),
       {},
       0,
       {"NOTE: Line 1, column 9: The system options FORMCHAR= and MPRINT have no effect in "
        "talven."},
       {},
       true},
      {"an unknown system option is a warning",
       program("study", "", "options nodtae;\n"),
       {},
       1,
       {"WARNING: Line 1, column 9: NODTAE is not a system option that talven knows; it is "
        "ignored. Did you mean NODATE?"},
       {},
       true},
      {"a name literal for a column whose name is no SAS name",
       spaced_program,
       {{"study.csv", spaced.text()}},
       0,
       {},
       {"age in years                0.0186         0.0259      0.0108"}},
      {"a semicolon file with decimal commas",
       plain,
       {{"study.csv", european}},
       0,
       {"NOTE: The line of names of ./study.csv holds no comma but semicolons: it is read with ; "
        "between the fields and , as the decimal mark."},
       {},
       true},
      {"LIBNAME DLM= for a library of such files",
       "LIBNAME eu '.' DLM=';';\n" + program("eu.study"),
       {{"study.csv", european}},
       0,
       {"NOTE: Libref EU refers to the folder . (text files with ; between fields and , as the "
        "decimal mark)."},
       {},
       true},
      {"character treatments with two values",
       plain,
       {{"study.csv", lettered.text()}},
       0,
       {"NOTE: STG1TRT a1: 'CD' is coded -1 and 'MR' 1.",
        "NOTE: STG2TRT a2: 'arm A' is coded -1 and 'arm B' 1."},
       {},
       true},
      {"a character treatment with three values",
       plain,
       {{"study.csv", three.text()}},
       2,
       {"ERROR: Line 2, column 35: Variable a1 in the STG1TRT list is character; only numeric "
        "variables can be used there.",
        "ERROR: a1 holds the values 'CD', 'MR' and 'XX'; a character variable is accepted in "
        "STG1TRT only when it holds two values and NTREATS1=2."}},
      {"a character treatment with more than two treatments",
       program("study NTREATS2=3"),
       {{"study.csv", lettered.text()}},
       2,
       {"ERROR: a2 holds the values 'arm A' and 'arm B'; a character variable is accepted in "
        "STG2TRT only when it holds two values and NTREATS2=2."}},
      {"a WHERE that names an unknown variable",
       program("study", "  WHERE agee > 30;\n"),
       {},
       2,
       {"ERROR: Line 4, column 9: Variable agee in the WHERE expression is not in WORK.STUDY. "
        "Did you mean age?"}},
      {"a WHERE that mixes types",
       program("study", "  WHERE site > 3;\n"),
       {},
       2,
       {"ERROR: Line 4, column 14: The operands of > are of different types: site is character "
        "and 3 is numeric."}},
      {"BY on data that are not sorted",
       program("study", "  BY z1;\n"),
       {},
       2,
       {"ERROR: Line 4, column 3: The data set WORK.STUDY is not sorted in ascending order of z1: "
        "observation 4 has z1=0.146798 after z1=0.972498. Sort the data by the BY variables, "
        "or add NOTSORTED to the BY statement if the groups are contiguous."}},
      {"misspelled statements and options of the new kinds",
       "TITEL 'x';\n" + program("study(kepp=id)", "  WHER z1 > 0;\n", "options nonote;\n"),
       {},
       2,
       {"ERROR: Line 1, column 1: Statement TITEL 'x' is not valid outside a PROC step. Did you "
        "mean TITLE?",
        "WARNING: Line 2, column 9: NONOTE is not a system option that talven knows; it is "
        "ignored. Did you mean NONOTES?",
        "ERROR: Line 3, column 24: Data set option KEPP= is not known to talven. Did you mean "
        "KEEP?",
        "ERROR: Line 6, column 3: Statement WHER z1 > 0 is not valid in PROC TALVEN. Did you mean "
        "WHERE?"}},
  };
}

TEST(SasHabits, EachFeatureShowsInTheListingAndTheLog) {
  Folder folder("habits");
  folder.write("study.csv", e2e::small_study(120));
  ASSERT_EQ(folder.talven(program("study")).status, 0);
  const std::string plain = listing(folder);
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    folder.write("study.csv", e2e::small_study(120));
    for (const auto& [name, bytes] : c.files) folder.write(name, bytes);
    const TalvenRun r = folder.talven(c.program);
    EXPECT_EQ(r.status, c.status) << r.all();
    for (const std::string& line : c.log) EXPECT_TRUE(r.has(line)) << line << "\n" << r.all();
    const std::string got = listing(folder);
    for (const std::string& line : c.listing) {
      EXPECT_TRUE(holds_line(got, line)) << "[" << line << "]\n" << got;
    }
    if (c.listing_as_plain) {
      EXPECT_EQ(got, plain);
    }
  }
  // NONOTES leaves every NOTE out of the log, warnings and errors stay.
  const TalvenRun quiet = folder.talven("options nonotes;\n" + program("study"));
  EXPECT_EQ(quiet.status, 0);
  for (const std::string& line : quiet.log) EXPECT_EQ(line.rfind("NOTE:", 0), std::string::npos);
  EXPECT_EQ(listing(folder), plain);
}

}  // namespace
