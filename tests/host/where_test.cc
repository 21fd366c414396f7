#include "host/where.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "host/csv_reader.h"
#include "tests/support/tokens.h"

namespace host {
namespace {

using test_support::lex;

struct Parsed {
  std::optional<WhereClause> clause;
  std::vector<std::string> errors;
};

Parsed parse(const std::string& text) {
  Parsed p;
  Token end;
  const std::vector<Token> tokens = lex(text, &end);
  p.clause = parse_where(tokens, end, [&](const std::string& m) { p.errors.push_back(m); });
  return p;
}

// id x y name, with missing values of each kind: x is ., .A and ._ on rows 4 to 6.
std::shared_ptr<const DataTable> table() {
  static const auto t = [] {
    auto outcome = parse_csv(
        "id,x,y,name,baseline score\n"
        "1,-2,10,ab,1\n2,0,20,abc,2\n3,5,,b,3\n4,.,40,,4\n5,.A,50,a b,5\n6,._,60,B,6\n",
        ',', "t.csv");
    return *outcome;
  }();
  return t;
}

// The ids of the rows the expression selects.
std::vector<int> ids(const std::string& text, std::vector<std::string>* errors = nullptr) {
  Parsed p = parse(text);
  EXPECT_TRUE(p.clause) << text << ": " << (p.errors.empty() ? "" : p.errors.front());
  if (!p.clause) return {};
  std::vector<std::string> found;
  auto rows = select_where(*p.clause, *table(), "WORK.T",
                           [&](const std::string& m) { found.push_back(m); });
  if (errors != nullptr) *errors = found;
  if (!rows) return {-1};
  std::vector<int> out;
  for (int64_t r : *rows) out.push_back(static_cast<int>(table()->columns[0].numbers[r]));
  return out;
}

// Each row of the table against the rows a second, hand-written reading of the expression
// selects (special missing values in x: . on row 4, .A on row 5, ._ on row 6).
TEST(Where, SelectsWhatSasWouldSelect) {
  const struct {
    const char* where;
    std::vector<int> ids;
  } cases[] = {
      {"x > 0", {3}},
      {"x < 0", {1, 4, 5, 6}},  // missing is smaller than every number
      {"x = .", {4}},
      {"x = .a", {5}},
      {"x < .", {6}},  // ._ < . < .A
      {"x is missing", {4, 5, 6}},
      {"x is not null", {1, 2, 3}},
      {"x ^= 0 and y ge 20", {4, 5, 6}},
      {"x ~= 0 & not (y < 40)", {4, 5, 6}},
      {"x eq -2 or y = 60", {1, 6}},
      {"x in (-2, 5)", {1, 3}},
      {"x not in (-2 5 .)", {2, 5, 6}},
      {"y between 20 and 40", {2, 4}},
      {"y not between 20 and 40", {1, 3, 5, 6}},  // a missing y is below 20
      {"1 < id < 4", {2, 3}},
      {"x * 2 + 1 >= 1", {2, 3}},
      {"(y - 10) / 10 = id - 1", {1, 2, 4, 5, 6}},
      {"y / x >= -5", {1}},            // y/0 and missing operands are missing
      {"x / y < 0", {1, 3, 4, 5, 6}},  // ... and a missing result is below 0
      {"-x > 1", {1}},
      {"x ** 2 = 4", {1}},
      {"x--2 = 0", {1}},
      {"name = 'ab'", {1}},
      {"name = 'ab  '", {1}},           // trailing blanks do not count
      {"name < 'b'", {1, 2, 4, 5, 6}},  // blank sorts first; 'B' < 'a'
      {"name in ('B', 'b')", {3, 6}},
      {"name is missing", {4}},
      {"name contains 'b'", {1, 2, 3, 5}},
      {"name ? 'a'", {1, 2, 5}},
      {"name not contains 'b'", {4, 6}},
      {"name like 'a%'", {1, 2, 5}},
      {"name like '_b'", {1}},
      {"'baseline score'n >= 5", {5, 6}},
      {"x", {1, 3}},  // a number is true when it is neither 0 nor missing
      {"name", {1, 2, 3, 5, 6}},
      {"not x", {2, 4, 5, 6}},
  };
  for (const auto& c : cases) EXPECT_EQ(ids(c.where), c.ids) << c.where;
}

TEST(Where, TextIsTheExpressionInOneSpelling) {
  const struct {
    const char* where;
    const char* text;
  } cases[] = {
      {"age>=18", "age >= 18"},
      {"x ne 1 and (y in (1,2) or z is null)", "x NE 1 AND (y IN (1, 2) OR z IS NULL)"},
      {"not a between -1 and 2", "NOT a BETWEEN -1 AND 2"},
      {"'my var'n = 'it''s'", "'my var'n = 'it''s'"},
      {"d >= '01jan2020'd", "d >= '01jan2020'd"},
      {"x = .A", "x = .A"},
  };
  for (const auto& c : cases) {
    const Parsed p = parse(c.where);
    ASSERT_TRUE(p.clause) << c.where << ": " << p.errors.front();
    EXPECT_EQ(p.clause->text(), c.text);
  }
}

TEST(Where, DateAndTimeConstantsAreSasNumbers) {
  const struct {
    const char* constant;
    double value;
  } cases[] = {
      {"'01jan1960'd", 0},    {"'02JAN1960'D", 1},
      {"'31dec1959'd", -1},   {"'29feb2000'd", 14669},
      {"'1jan20'd", 21915},   {"'12:30't", 45000},
      {"'00:00:01.5't", 1.5}, {"'01jan1960:00:01:00'dt", 60},
  };
  for (const auto& c : cases) {
    const Parsed check = parse(std::string(c.constant) + " - " + std::to_string(c.value) + " = 0");
    ASSERT_TRUE(check.clause) << c.constant;
    auto rows = select_where(*check.clause, *table(), "T", [](const std::string&) {});
    ASSERT_TRUE(rows) << c.constant;
    EXPECT_EQ(rows->size(), 6u) << c.constant;  // true on every row: the constant has the value
  }
  const Parsed bad = parse("d = '30feb2020'd");
  EXPECT_FALSE(bad.clause);
  ASSERT_EQ(bad.errors.size(), 1u);
  EXPECT_NE(bad.errors[0].find("is not a valid date constant"), std::string::npos);
}

TEST(Where, SyntaxErrorsNameTheirPlace) {
  const struct {
    const char* where;
    const char* error;
  } cases[] = {
      {"",
       "Line 1, column 1: Syntax error in the WHERE expression: expected an expression, "
       "found the end of the expression."},
      {"x >",
       "Line 1, column 4: Syntax error in the WHERE expression: expected a variable, a "
       "constant or (, found the end of the expression."},
      {"x = 1 y",
       "Line 1, column 7: Syntax error in the WHERE expression: expected an operator "
       "or the end of the expression, found y."},
      {"(x = 1",
       "Line 1, column 7: Syntax error in the WHERE expression: expected ), found the "
       "end of the expression."},
      {"x in 1",
       "Line 1, column 6: Syntax error in the WHERE expression: expected ( after IN, "
       "found 1."},
      {"x in (y)",
       "Line 1, column 7: Syntax error in the WHERE expression: expected a constant "
       "in the IN list, found y."},
      {"x between 1",
       "Line 1, column 12: Syntax error in the WHERE expression: expected AND in "
       "BETWEEN ... AND ..., found the end of the expression."},
      {"x is 3",
       "Line 1, column 6: Syntax error in the WHERE expression: expected MISSING or "
       "NULL after IS, found 3."},
  };
  for (const auto& c : cases) {
    const Parsed p = parse(c.where);
    EXPECT_FALSE(p.clause) << c.where;
    EXPECT_EQ(p.errors, std::vector<std::string>{c.error}) << c.where;
  }
  // Nesting or chains beyond any sensible size are refused instead of exhausting the stack.
  const Parsed deep = parse(std::string(5000, '(') + "x" + std::string(5000, ')'));
  EXPECT_FALSE(deep.clause);
  EXPECT_NE(deep.errors.at(0).find("nested too deeply"), std::string::npos);
  std::string chain = "x";
  for (int k = 0; k < 3000; ++k) chain += " + x";
  const Parsed longer = parse(chain + " > 0");
  EXPECT_FALSE(longer.clause);
  EXPECT_NE(longer.errors.at(0).find("more than 2000 operators"), std::string::npos);
}

TEST(Where, UnknownVariablesAndMixedTypesAreErrors) {
  const struct {
    const char* where;
    const char* error;
  } cases[] = {
      {"xx > 1", "Line 1, column 1: Variable xx in the WHERE expression is not in WORK.T."},
      {"nmae = 'a'",
       "Line 1, column 1: Variable nmae in the WHERE expression is not in WORK.T. "
       "Did you mean name?"},
      {"x > 'a'",
       "Line 1, column 3: The operands of > are of different types: x is numeric and "
       "'a' is character."},
      {"name in (1, 2)",
       "Line 1, column 6: The operands of IN are of different types: name is "
       "character and 1 is numeric."},
      {"name + 1 > 0", "Line 1, column 6: The operands of + must be numeric: name is character."},
      {"x contains 'a'", "Line 1, column 3: CONTAINS needs character operands: x is numeric."},
      {"zz > 1 and name > 1",
       "Line 1, column 1: Variable zz in the WHERE expression is not in "
       "WORK.T."},
  };
  for (const auto& c : cases) {
    std::vector<std::string> errors;
    EXPECT_EQ(ids(c.where, &errors), std::vector<int>{-1}) << c.where;
    ASSERT_FALSE(errors.empty()) << c.where;
    EXPECT_EQ(errors.front(), c.error) << c.where;
  }
}

}  // namespace
}  // namespace host
