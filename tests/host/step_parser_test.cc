#include "host/step_parser.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "host/csv_reader.h"
#include "host/text_util.h"

namespace host {
namespace {

enum : int32_t { kData = 1, kOther = 2, kN = 5, kAlpha = 19, kMain = 7, kTailor = 8, kAny = 9 };

const TalvenGrammarEntry kEntries[] = {
    {"DATA", TALVEN_ITEM_DATASET, kData, 0, 0},      {"OTHER", TALVEN_ITEM_DATASET, kOther, 0, 0},
    {"NTREATS1", TALVEN_ITEM_INTEGER, kN, 0, 0},     {"ALPHA", TALVEN_ITEM_REAL, kAlpha, 0, 0},
    {"DERIVECI", TALVEN_ITEM_FLAG, 1, 0, 0},         {"MAIN1", TALVEN_ITEM_VARLIST, kMain, 1, 0},
    {"TAILOR1", TALVEN_ITEM_VARLIST, kTailor, 1, 0}, {"ANY", TALVEN_ITEM_VARLIST, kAny, 0, 0},
};
const TalvenGrammar kGrammar = {"TALVEN", nullptr, 0, kEntries, 8, kData};

// Data sets from memory: the member name (upper case) gives the CSV text.
class MemoryLoader : public DataSetLoader {
 public:
  MemoryLoader() : DataSetLoader(libraries_) {}
  std::map<std::string, std::string> files;
  Result<std::unique_ptr<TalvenDataSet>> open(const DataSetRef& ref) override {
    auto it = files.find(to_upper(ref.member));
    if (it == files.end()) return Failure{"no data set " + ref.display()};
    ReadOutcome o = parse_csv(it->second, ',', ref.member);
    if (!o) return Failure{o.error()};
    auto ds = std::make_unique<TalvenDataSet>();
    ds->table = *o;
    ds->name = ref.display();
    return ds;
  }

 private:
  Libraries libraries_{"."};
};

struct Captured : ProgramActions {
  std::vector<Step> steps;
  void run_step(const Step& s) override { steps.push_back(s); }
  void libname(const Statement&) override {}
  void session_statement(const Statement&) override {}
  void error(int, int, const std::string&) override {}
  void warning(int, int, const std::string&) override {}
};

struct Parsed {
  ParseResult result;
  std::vector<std::string> errors;
};

Parsed parse(const std::string& program, MemoryLoader& loader) {
  Captured c;
  run_program_text(program, c);
  EXPECT_EQ(c.steps.size(), 1u);
  Parsed p;
  p.result = parse_step(kGrammar, c.steps.front(), loader,
                        [&](const std::string& m) { p.errors.push_back(m); });
  return p;
}

MemoryLoader study_loader() {
  MemoryLoader l;
  l.files["STUDY"] = "id,x1,x2,x3,grp,age,y,x10\n1,2,3,4,a,30,1,5\n";
  l.files["BROKEN"] = "a,b\n1\n";
  return l;
}

TEST(StatementParser, OptionsNumbersFlagsAndTheLastOneHolds) {
  MemoryLoader loader = study_loader();
  const Parsed p = parse(
      "proc talven data=study ntreats1=3 alpha=.1 DeriveCI ntreats1=-2.5e1 alpha=+1E-2;", loader);
  ASSERT_TRUE(p.errors.empty()) << p.errors.front();
  EXPECT_EQ(p.result.status, 0);
  EXPECT_EQ(p.result.find(kN)->number, -25.0);
  EXPECT_EQ(p.result.find(kAlpha)->number, 0.01);
  EXPECT_EQ(p.result.flags.count(1), 1u);
  EXPECT_EQ(p.result.find(kData)->data_set->name, "WORK.STUDY");
  EXPECT_EQ(p.result.find(kOther), nullptr);
}

TEST(StatementParser, EachSyntaxProblemIsOneErrorWithItsPlace) {
  MemoryLoader loader = study_loader();
  const struct {
    const char* program;
    std::vector<std::string> errors;
  } cases[] = {
      {"proc talven ntreats1=x;",
       {"Line 1, column 22: Syntax error: expected a number after NTREATS1=, found x."}},
      {"proc talven bogus=3 alpha=0.1;",
       {"Line 1, column 13: Option BOGUS is not known to PROC TALVEN. The options of PROC TALVEN "
        "are ALPHA=, DATA=, DERIVECI, NTREATS1= and OTHER=."}},
      // Each misspelling is reported with its value skipped, the nearest names suggested.
      {"proc talven derive_ci alfa=0.1 ntreats=2 data=lib.study;",
       {"Line 1, column 13: Option DERIVE_CI is not known to PROC TALVEN. Did you mean DERIVECI?",
        "Line 1, column 23: Option ALFA is not known to PROC TALVEN. Did you mean ALPHA?",
        "Line 1, column 32: Option NTREATS is not known to PROC TALVEN. Did you mean NTREATS1?"}},
      {"proc talven alpha 0.1 deriveci=1;",
       {"Line 1, column 19: Syntax error: expected = after ALPHA, found 0.1.",
        "Line 1, column 31: Syntax error: DERIVECI takes no value."}},
      {"proc talven data=;",
       {"Line 1, column 18: Syntax error: expected a data set name after "
        "DATA=, found ;."}},
      {"proc talven main1=x;",
       {"Line 1, column 13: MAIN1 is a statement of its own: write MAIN1 followed by its "
        "variables and a semicolon after the PROC statement."}},
      {"proc talven;\n alpha 3;",
       {"Line 2, column 2: ALPHA is an option of the PROC TALVEN "
        "statement, not a statement of its own."}},
      {"proc talven;\n weight w;",
       {"Line 2, column 2: Statement weight w is not valid in PROC TALVEN. The statements of PROC "
        "TALVEN are ANY, BY, FOOTNOTE, MAIN1, ODS, OPTIONS, TAILOR1, TITLE and WHERE."}},
      {"proc talven;\n tailr1 w; mian1 x; libnam x;",
       {"Line 2, column 2: Statement tailr1 w is not valid in PROC TALVEN. Did you mean TAILOR1?",
        "Line 2, column 12: Statement mian1 x is not valid in PROC TALVEN. Did you mean MAIN1?",
        "Line 2, column 21: Statement libnam x is not valid in PROC TALVEN. Did you mean "
        "LIBNAME?"}},
      {"proc talven;\n main1 ;",
       {"Line 2, column 8: Syntax error in the MAIN1 list: expected a "
        "variable name, found ;."}},
      {"proc talven;\n main1 x1- 3 a--;",
       {"Line 2, column 12: Syntax error in the MAIN1 list: expected a variable name after x1-, "
        "found 3.",
        "Line 2, column 17: Syntax error in the MAIN1 list: expected a variable name after a--, "
        "found ;."}},
      {"proc talven;\n main1 x1-y3;",
       {"Line 2, column 8: Syntax error in the MAIN1 list: x1-y3 is not a numbered range; both "
        "ends must be one name followed by different numbers, as in x1-x5."}},
      {"proc talven data=nothere;", {"Line 1, column 13: DATA=: no data set WORK.NOTHERE"}},
      {"proc talven data=broken;",
       {"Line 1, column 13: DATA=: File broken, line 2: the row has 1 field where the header has "
        "2"}},
  };
  for (const auto& c : cases) {
    const Parsed p = parse(c.program, loader);
    EXPECT_EQ(p.errors, c.errors) << c.program;
    EXPECT_GE(p.result.status, TALVEN_PARSE_FAILED) << c.program;
  }
}

std::vector<int32_t> resolve(const std::string& list, std::vector<std::string>* errors,
                             bool numeric_only = false) {
  MemoryLoader loader = study_loader();
  const Parsed p = parse(
      "proc talven data=study;\n" + std::string(numeric_only ? "main1 " : "any ") + list + ";",
      loader);
  *errors = p.errors;
  const ItemValue* v = p.result.find(numeric_only ? kMain : kAny);
  return v != nullptr ? v->variables : std::vector<int32_t>{};
}

TEST(VariableLists, EveryFormResolvesInTheOrderWritten) {
  // id x1 x2 x3 grp age y x10 ; grp is character.
  const struct {
    const char* list;
    std::vector<int32_t> numbers;
  } cases[] = {
      {"Y ID", {7, 1}},
      {"x1-x3", {2, 3, 4}},
      {"x3-x1", {4, 3, 2}},
      {"x2--age", {3, 4, 5, 6}},
      {"x2-numeric-age", {3, 4, 6}},
      {"id-character-y", {5}},
      {"id-char-y", {5}},
      {"x:", {2, 3, 4, 8}},
      {"X1:", {2, 8}},
      {"_all_", {1, 2, 3, 4, 5, 6, 7, 8}},
      {"_NUMERIC_", {1, 2, 3, 4, 6, 7, 8}},
      {"_character_ _char_", {5, 5}},
      {"y x1-x2 grp", {7, 2, 3, 5}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> errors;
    EXPECT_EQ(resolve(c.list, &errors), c.numbers) << c.list;
    EXPECT_TRUE(errors.empty()) << c.list << ": " << errors.front();
  }
}

TEST(VariableLists, NamesThatAreNotThereAndFormsThatMatchNothingAreErrors) {
  const std::string grp_is_text =
      "grp is character because line 2 holds 'a'; a numeric column holds numbers and these "
      "missing values only: an empty field, ., .A to .Z, ._ or NA.";
  const struct {
    const char* list;
    bool numeric_only;
    std::string error;
    std::string explanation = {};
  } cases[] = {
      {"id zz", false, "Line 2, column 8: Variable zz in the ANY list is not in WORK.STUDY."},
      {"x1-x4", false, "Line 2, column 5: Variable x4 in the ANY list is not in WORK.STUDY."},
      {"q:", false, "Line 2, column 5: q: in the ANY list matches no variable of WORK.STUDY."},
      {"x1-char-x3", false,
       "Line 2, column 5: x1-char-x3 in the ANY list matches no variable of WORK.STUDY."},
      {"age--x1", false,
       "Line 2, column 5: The range age--x1 in the ANY list runs backwards: age comes after x1 "
       "in WORK.STUDY."},
      {"id grp", true,
       "Line 2, column 10: Variable grp in the MAIN1 list is character; only numeric variables "
       "can be used there.",
       grp_is_text},
      {"_all_", true,
       "Line 2, column 7: Variable grp in the MAIN1 list is character; only numeric variables "
       "can be used there.",
       grp_is_text},
  };
  for (const auto& c : cases) {
    std::vector<std::string> errors;
    EXPECT_TRUE(resolve(c.list, &errors, c.numeric_only).empty()) << c.list;
    std::vector<std::string> expected{c.error};
    if (!c.explanation.empty()) expected.push_back(c.explanation);
    EXPECT_EQ(errors, expected) << c.list;
  }
}

// A product x*y is one entry, numbered 0, with its factors in the order written; its factors
// are checked as variables are; where only variables may stand (KEEP=) it is an error.
TEST(VariableLists, ProductsAreEntriesOfTheirFactors) {
  // id x1 x2 x3 grp age y x10 ; grp is character.
  MemoryLoader loader = study_loader();
  const Parsed p = parse("proc talven data=study;\n main1 age x1*X2 x3 * y*x1 x10;", loader);
  EXPECT_TRUE(p.errors.empty()) << p.errors.front();
  const ItemValue* v = p.result.find(kMain);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->variables, (std::vector<int32_t>{6, 0, 0, 8}));
  EXPECT_EQ(v->factors,
            (std::vector<std::vector<int32_t>>{{}, {2, 3}, {4, 7, 2}, {}}));

  const struct {
    const char* program;
    std::vector<std::string> errors;
  } refused[] = {
      {"proc talven data=study;\n main1 x1*zz;",
       {"Line 2, column 11: Variable zz in the MAIN1 list is not in WORK.STUDY."}},
      {"proc talven data=study;\n main1 x1*grp;",
       {"Line 2, column 8: Variable grp in the MAIN1 list is character; only numeric variables "
        "can be used there.",
        "grp is character because line 2 holds 'a'; a numeric column holds numbers and these "
        "missing values only: an empty field, ., .A to .Z, ._ or NA."}},
      {"proc talven data=study(keep=x1*x2 y);\n main1 y;",
       {"Line 1, column 29: The product x1*x2 cannot be used in the KEEP= list; only variables "
        "can."}},
  };
  for (const auto& c : refused) {
    MemoryLoader l = study_loader();
    EXPECT_EQ(parse(c.program, l).errors, c.errors) << c.program;
  }
  MemoryLoader l = study_loader();
  const Parsed dangling = parse("proc talven data=study;\n main1 x1*;", l);
  ASSERT_EQ(dangling.errors.size(), 1u);
  EXPECT_NE(dangling.errors[0].find("a variable name after x1*"), std::string::npos)
      << dangling.errors[0];
}

TEST(VariableLists, WithoutTheDataSetListsStayUnresolvedWithoutError) {
  MemoryLoader loader = study_loader();
  const Parsed p = parse("proc talven;\n main1 nothing_here x1-x9;", loader);
  EXPECT_TRUE(p.errors.empty());
  EXPECT_EQ(p.result.status, 0);
  ASSERT_NE(p.result.find(kMain), nullptr);
  EXPECT_FALSE(p.result.find(kMain)->resolved);
}

TEST(VariableLists, TheLastStatementOfAKindHolds) {
  MemoryLoader loader = study_loader();
  const Parsed p = parse("proc talven data=study;\n main1 zz;\n main1 y;", loader);
  EXPECT_TRUE(p.errors.empty());
  EXPECT_EQ(p.result.find(kMain)->variables, std::vector<int32_t>{7});
}

}  // namespace
}  // namespace host
