// Text treatments handed to the study layer: coded -1/1 in byte order of their values, with the
// same bits as the numeric codes, a note naming the coding (and the factor order when it differs),
// the coding as a named result, and refusals that name the variable, its list and its values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "frontend/text_column.h"
#include "talven_frontend.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Seen {
  std::vector<std::pair<int32_t, std::string>> lines;
  static void record(int32_t severity, const char* text, void* context) {
    static_cast<Seen*>(context)->lines.emplace_back(severity, text);
  }
  std::vector<std::string> of(int32_t severity) const {
    std::vector<std::string> out;
    for (const auto& [s, t] : lines) {
      if (s == severity) out.push_back(t);
    }
    return out;
  }
};

// n subjects with a stage-1 treatment both as text (with blanks, trailing blanks and nulls) and as
// the codes byte order gives it: "BMOD" -1, "MED" 1.
struct Data {
  std::vector<std::string> names = {"sev", "a1", "r", "o2", "a2", "y", "site"};
  std::vector<std::vector<double>> numbers;
  std::vector<const char*> text;
  std::vector<const char*> sites;
};

Data make(int n) {
  Data d;
  d.numbers.assign(d.names.size(), {});
  for (int i = 0; i < n; ++i) {
    const double sev = ((i * 13) % 9) * 0.25;
    const int pick = (i * 5 + i / 3) % 2;
    const bool missing = i % 17 == 4;
    const double a1 = missing ? kNaN : (pick == 0 ? 1.0 : -1.0);
    const double r = (i * 11) % 5 < 3 ? 1 : 0;
    const double o2 = ((i * 17) % 7) * 0.5;
    const double a2 = r == 1 ? ((i * 3 + i / 2) % 2 == 0 ? 1 : -1) : kNaN;
    const double y = 1 + 0.25 * sev + 0.5 * (pick == 0 ? 1 : -1) * (sev - 1) +
                     (r == 1 ? 0.75 * a2 * (o2 - 1.5) : 0) + ((i * 29) % 11 - 5) * 0.125;
    const double row[] = {sev, a1, r, o2, a2, y, 0};
    for (std::size_t c = 0; c < d.names.size(); ++c) d.numbers[c].push_back(row[c]);
    d.text.push_back(missing ? (i % 2 == 0 ? nullptr : "   ") : (pick == 0 ? "MED " : "BMOD"));
    d.sites.push_back(i % 3 == 0 ? "north" : "south");
  }
  return d;
}

struct Outcome {
  int32_t status = -1;
  Seen seen;
  std::vector<double> estimates;
  std::vector<std::string> coding;   // "variable value code"
  std::vector<std::string> regimes;  // the value table's Regime column, with VALUE
};

struct Model {
  bool text_a1 = false;
  std::vector<const char*> levels;  // factor order of a1, when any
  std::vector<std::pair<const char*, const char*>> roles = {
      {"TAILOR1", "sev"}, {"TAILOR2", "o2"}, {"RESPONSE", "y"},
      {"STG1TRT", "a1"},  {"STG2TRT", "a2"}, {"STG2SAMPLE", "r"}};
  bool text_site = false;
  bool value = false;
};

Outcome analyse(const Data& d, const Model& setup) {
  Outcome out;
  TalvenStudy* study = talven_study_new();
  talven_study_on_message(study, &Seen::record, &out.seen);
  for (const std::string& name : d.names) talven_study_add_column(study, name.c_str());
  auto column = [&](const char* name) {
    for (std::size_t c = 0; c < d.names.size(); ++c) {
      if (d.names[c] == name) return static_cast<int32_t>(c);
    }
    return int32_t{-1};
  };
  for (const auto& [role, name] : setup.roles) {
    const int32_t c = column(name);
    talven_study_set_role(study, role, 1, &c);
  }
  const auto n = static_cast<int64_t>(d.text.size());
  if (setup.text_a1) {
    talven_study_set_text_column(study, column("a1"), n, d.text.data(),
                                 static_cast<int32_t>(setup.levels.size()),
                                 setup.levels.empty() ? nullptr : setup.levels.data());
  }
  if (setup.text_site)
    talven_study_set_text_column(study, column("site"), n, d.sites.data(), 0, nullptr);
  if (setup.value) {
    const std::pair<const char*, double> options[] = {
        {"VALUE", 1}, {"NBOOTVALUE", 10}, {"NBOOTSTRAP2", 10}, {"MALPHA", 0.5}, {"SEED", 3}};
    for (const auto& [name, v] : options) talven_study_set_option(study, name, v);
  }
  std::vector<const double*> columns;
  for (const auto& values : d.numbers) columns.push_back(values.data());
  if (setup.text_a1) columns[static_cast<std::size_t>(column("a1"))] = nullptr;
  out.status = talven_study_analyse(study, n, columns.data(), 0, nullptr);
  if (out.status == 0) {
    out.estimates.resize(
        static_cast<std::size_t>(talven_study_count(study, TALVEN_COUNT_TABLE_ROWS)));
    talven_study_values(study, TALVEN_VALUES_TABLE_ESTIMATE, out.estimates.data());
  }
  const int64_t results = talven_study_result_count(study);
  std::vector<std::string> variable, value;
  std::vector<double> code;
  for (int64_t k = 0; k < results; ++k) {
    const std::string name = talven_study_result_name(study, k);
    const int64_t length = talven_study_result_length(study, k);
    for (int64_t e = 0; e < length; ++e) {
      if (name == "coding.Variable") variable.emplace_back(talven_study_result_text(study, k, e));
      if (name == "coding.Value") value.emplace_back(talven_study_result_text(study, k, e));
      if (name == "value.Regime") out.regimes.emplace_back(talven_study_result_text(study, k, e));
    }
    if (name == "coding.Code") {
      code.resize(static_cast<std::size_t>(length));
      talven_study_result_reals(study, k, code.data());
    }
  }
  for (std::size_t k = 0; k < variable.size() && k < value.size() && k < code.size(); ++k) {
    out.coding.push_back(variable[k] + " " + value[k] + " " + std::to_string(int(code[k])));
  }
  talven_study_free(study);
  return out;
}

TEST(TextTreatments, TextGivesTheBitsOfItsByteOrderCodesWithTheCodingNamed) {
  const Data d = make(120);
  const Outcome numeric = analyse(d, {});
  ASSERT_EQ(numeric.status, 0);
  const struct {
    std::vector<const char*> levels;
    std::vector<std::string> notes;
  } cases[] = {
      {{}, {"STG1TRT a1: 'BMOD' is coded -1 and 'MED' 1."}},
      {{"BMOD", "MED"}, {"STG1TRT a1: 'BMOD' is coded -1 and 'MED' 1."}},
      {{"MED", "BMOD"},
       {"STG1TRT a1: 'BMOD' is coded -1 and 'MED' 1.",
        "a1: the categories are ordered 'MED', 'BMOD' in the data, but text treatments are coded "
        "in byte order of their values: 'BMOD' is coded -1 and 'MED' 1."}},
  };
  for (const auto& c : cases) {
    Model setup;
    setup.text_a1 = true;
    setup.levels = c.levels;
    const Outcome text = analyse(d, setup);
    ASSERT_EQ(text.status, 0) << (text.seen.lines.empty() ? "" : text.seen.lines[0].second);
    ASSERT_EQ(text.estimates.size(), numeric.estimates.size());
    EXPECT_EQ(std::memcmp(text.estimates.data(), numeric.estimates.data(),
                          text.estimates.size() * sizeof(double)),
              0);
    std::vector<std::string> notes;
    for (const std::string& note : text.seen.of(TALVEN_MESSAGE_NOTE)) {
      if (note.find("coded") != std::string::npos) notes.push_back(note);
    }
    EXPECT_EQ(notes, c.notes) << c.levels.size();
    EXPECT_EQ(text.coding, (std::vector<std::string>{"a1 BMOD -1", "a1 MED 1"}));
  }
  EXPECT_TRUE(numeric.coding.empty());
}

// The value table names a text treatment's regimes by its values, in byte order.
TEST(TextTreatments, TheValueTableNamesRegimesByTheTreatmentsOwnValues) {
  const Data d = make(120);
  Model numeric_setup;
  numeric_setup.value = true;
  Model text_setup = numeric_setup;
  text_setup.text_a1 = true;
  const Outcome numeric = analyse(d, numeric_setup);
  const Outcome text = analyse(d, text_setup);
  ASSERT_EQ(numeric.status, 0);
  ASSERT_EQ(text.status, 0) << (text.seen.lines.empty() ? "" : text.seen.lines[0].second);
  ASSERT_EQ(text.regimes.size(), numeric.regimes.size());
  const std::vector<std::string> embedded = {
      "BMOD, then -1 if in stage 2", "BMOD, then 1 if in stage 2", "MED, then -1 if in stage 2",
      "MED, then 1 if in stage 2"};
  EXPECT_EQ(std::vector<std::string>(text.regimes.begin() + 1, text.regimes.begin() + 5), embedded);
  EXPECT_EQ(numeric.regimes[1], "-1, then -1 if in stage 2");
  EXPECT_EQ(text.regimes[5], "BMOD, then -1 if in stage 2 - BMOD, then 1 if in stage 2");
}

TEST(TextTreatments, TextWhereNumbersAreNeededIsRefusedWithItsListAndValues) {
  Data three = make(60);
  three.text[7] = "CBT";
  Model in_main;
  in_main.text_site = true;
  in_main.roles.emplace_back("MAIN1", "site");
  Model stage1;
  stage1.text_a1 = true;
  const struct {
    const Data* data;
    Model setup;
    std::vector<std::string> lines;
  } cases[] = {
      {&three,
       stage1,
       {"Variable a1 in the STG1TRT list is character; only numeric variables can be used there.",
        "a1 holds the values 'BMOD', 'CBT', 'MED'; a character variable is accepted in STG1TRT "
        "only when it holds two values and NTREATS1=2."}},
  };
  const Data d = make(60);
  for (const auto& c : cases) {
    const Outcome out = analyse(*c.data, c.setup);
    EXPECT_EQ(out.status, -1);
    std::vector<std::string> lines = out.seen.of(TALVEN_MESSAGE_ERROR);
    for (const std::string& plain : out.seen.of(TALVEN_MESSAGE_PLAIN)) lines.push_back(plain);
    EXPECT_EQ(lines, c.lines);
  }
  const Outcome site = analyse(d, in_main);
  EXPECT_EQ(site.status, -1);
  EXPECT_EQ(site.seen.of(TALVEN_MESSAGE_ERROR),
            std::vector<std::string>{"Variable site in the MAIN1 list is character; only numeric "
                                     "variables can be used there."});
  // A text variable in no list is never read.
  Model unused;
  unused.text_site = true;
  EXPECT_EQ(analyse(d, unused).status, 0);
}

TEST(TextTreatments, ValuesAreOrderedByBytesWithTrailingBlanksIgnored) {
  const char* values[] = {"b", "B ", nullptr, "a", "B", "  ", "b  "};
  const talven::TextColumn column = talven::read_text_column(7, values, 0, nullptr);
  EXPECT_EQ(column.values, (std::vector<std::string>{"B", "a", "b"}));
  EXPECT_EQ(column.index, (std::vector<int32_t>{2, 0, -1, 1, 0, -1, 2}));
  const struct {
    const char* a;
    const char* b;
    int expected;
  } cases[] = {{"A", "A  ", 0}, {"A", "A!", -1}, {"A\t", "A", -1}, {"\xc3\xa9", "z", 1}};
  for (const auto& c : cases) EXPECT_EQ(talven::compare_texts(c.a, c.b), c.expected) << c.a;
}

}  // namespace

namespace {

// Treatment values the coding changes, and data that stop the analysis, explain themselves.
TEST(TreatmentMessages, TruncationExtraLevelsAndAnEmptyStage2SampleAreExplained) {
  struct Case {
    const char* name;
    void (*change)(Data&);
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    std::vector<std::string> plain;
  };
  const Case cases[] = {
      {"stage-2 values of 1.5",
       [](Data& d) {
         for (double& a : d.numbers[4]) a *= 1.5;
       },
       {},
       {"STG2TRT variable a2 holds values that are not whole numbers; they are used truncated "
        "toward zero: -1.5 becomes -1, 1.5 becomes 1."},
       {}},
      {"stage-2 values of 0.5",
       [](Data& d) {
         for (double& a : d.numbers[4]) a *= 0.5;
       },
       {"STG2TRT variable a2 has only one value (0) among the 57 observations used; NTREATS2=2 "
        "treatments are expected. Truncated toward zero, -0.5 and 0.5 both become 0."},
       {"STG2TRT variable a2 holds values that are not whole numbers; they are used truncated "
        "toward zero: -0.5 becomes 0, 0.5 becomes 0."},
       {}},
      {"a third stage-1 value",
       [](Data& d) { d.numbers[1][9] = 0; },
       {"Treatment variable in stage 1 has more than 2 treatments, this version of Proc TALVEN "
        "only allows 2 treatments."},
       {},
       {"STG1TRT variable a1 has more than 2 treatments among the observations used: 1, -1, 0; "
        "three treatments need NTREATS1=3 with two indicator variables in STG1TRT (point "
        "estimates only)."}},
      {"nobody in the stage-2 sample",
       [](Data& d) {
         for (double& r : d.numbers[2]) r = 0;
       },
       {"The stage-2 sample has 0 observations: no observation used has STG2SAMPLE r = 1; 94 "
        "have 0.",
        "There is not enough data at stage 2 for the method to work."},
       {},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Data d = make(100);
    c.change(d);
    const Outcome out = analyse(d, {});
    EXPECT_EQ(out.status, c.errors.empty() ? 0 : -1);
    std::vector<std::string> errors = out.seen.of(TALVEN_MESSAGE_ERROR);
    if (errors.size() > c.errors.size()) errors.resize(c.errors.size());
    EXPECT_EQ(errors, c.errors);
    std::vector<std::string> warnings;
    for (const std::string& w : out.seen.of(TALVEN_MESSAGE_WARNING)) {
      if (w.rfind("STG2TRT", 0) == 0) warnings.push_back(w);
    }
    EXPECT_EQ(warnings, c.warnings);
    std::vector<std::string> plain;
    for (const std::string& p : out.seen.of(TALVEN_MESSAGE_PLAIN)) {
      if (p.rfind("STG", 0) == 0) plain.push_back(p);
    }
    EXPECT_EQ(plain, c.plain);
  }
}

}  // namespace
