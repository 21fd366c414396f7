#include "host/data_set_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/by_groups.h"
#include "host/csv_reader.h"
#include "host/token_cursor.h"
#include "tests/support/tokens.h"

namespace host {
namespace {

using test_support::lex;

std::shared_ptr<const DataTable> study() {
  static const auto t = *parse_csv(
      "id,age,x1,x2,site,y\n1,17,1,2,a,10\n2,18,3,4,a,20\n3,40,5,6,b,30\n4,61,7,8,b,40\n"
      "5,30,9,10,c,50\n",
      ',', "study.csv");
  return t;
}

// The names of the columns and the ids of the rows a step sees, or the first error.
std::string seen(const std::string& options, const std::string& where_statement = "") {
  Token end;
  std::vector<std::string> errors;
  const ErrorSink sink = [&](const std::string& m) { errors.push_back(m); };
  const std::vector<Token> tokens = lex(options, &end);
  DataSetOptions parsed;
  TokenCursor cursor(tokens, end, sink);
  if (!tokens.empty() && !parse_data_set_options(cursor, &parsed)) {
    return errors.empty() ? "?" : errors.front();
  }
  std::optional<WhereClause> statement;
  if (!where_statement.empty()) {
    Token wend;
    statement = parse_where(lex(where_statement, &wend), wend, sink);
  }
  const auto shaped = shape_table(study(), tokens.empty() ? nullptr : &parsed,
                                  statement ? &*statement : nullptr, "WORK.STUDY", sink);
  if (!shaped) return errors.empty() ? "?" : errors.front();
  std::string out;
  for (const Column& c : shaped->table->columns) out += c.name + " ";
  out += ":";
  const Column& id = shaped->table->columns.front();
  for (int64_t r = 0; r < shaped->table->rows; ++r) {
    out += " " + (id.type == VarType::kNumeric ? format_value(id.numbers[r]) : id.texts[r]);
  }
  if (!shaped->where_text.empty()) out += " WHERE " + shaped->where_text;
  return out;
}

// KEEP= and DROP= by the old names, then RENAME=, then WHERE (new names), then FIRSTOBS= and OBS=
// among the observations that WHERE selects.
TEST(DataSetOptions, ApplyInSasOrder) {
  const struct {
    const char* options;
    const char* where;
    const char* seen;
  } cases[] = {
      {"", "", "id age x1 x2 site y : 1 2 3 4 5"},
      {"(keep=y x: id)", "", "id x1 x2 y : 1 2 3 4 5"},  // data set order, not list order
      {"(drop=x1-x2 site)", "", "id age y : 1 2 3 4 5"},
      {"(keep=id age y drop=age)", "", "id y : 1 2 3 4 5"},
      {"(rename=(age=years y=outcome) where=(years >= 18))", "",
       "id years x1 x2 site outcome : 2 3 4 5 WHERE years >= 18"},
      {"(firstobs=2 obs=4)", "", "id age x1 x2 site y : 2 3 4"},
      {"(where=(age > 17) firstobs=2 obs=3)", "", "id age x1 x2 site y : 3 4 WHERE age > 17"},
      {"(obs=0)", "", "id age x1 x2 site y :"},
      {"(obs=max)", "", "id age x1 x2 site y : 1 2 3 4 5"},
      {"", "site in ('a', 'c')", "id age x1 x2 site y : 1 2 5 WHERE site IN ('a', 'c')"},
      // The data set's WHERE= is used instead of the step's WHERE statement.
      {"(where=(y > 30))", "y < 30", "id age x1 x2 site y : 4 5 WHERE y > 30"},
  };
  for (const auto& c : cases) EXPECT_EQ(seen(c.options, c.where), c.seen) << c.options;
}

TEST(DataSetOptions, MistakesNameTheOptionAndVariable) {
  const struct {
    const char* options;
    const char* error;
  } cases[] = {
      {"(kepp=id)",
       "Line 1, column 2: Data set option KEPP= is not known to talven. Did you mean "
       "KEEP?"},
      {"(in=flag)",
       "Line 1, column 2: Data set option IN= is not known to talven. The data set "
       "options are DROP=, FIRSTOBS=, KEEP=, OBS=, RENAME= and WHERE=."},
      {"(keep=id zz)", "Line 1, column 10: Variable zz in the KEEP= list is not in WORK.STUDY."},
      {"(drop=id rename=(id=x))",
       "Line 1, column 18: Variable id in the RENAME= list is not in WORK.STUDY after KEEP= and "
       "DROP=."},
      {"(rename=(x1=x2))",
       "Line 1, column 1: After RENAME=, two variables of WORK.STUDY are "
       "named x2."},
      {"(rename=(x1))", "Line 1, column 10: Syntax error in RENAME=: expected old=new, found x1."},
      {"(where=(age >= 18 and zz = 1))",
       "Line 1, column 23: Variable zz in the WHERE expression is not in WORK.STUDY."},
      {"(where=(age >= ))",
       "Line 1, column 16: Syntax error in the WHERE expression: expected a "
       "variable, a constant or (, found )."},
      {"(firstobs=0)",
       "Line 1, column 11: FIRSTOBS= needs a whole number of at least 1, found "
       "0."},
      {"(firstobs=4 obs=2)",
       "Line 1, column 11: FIRSTOBS=4 is greater than OBS=2 for "
       "WORK.STUDY: no observation would be read."},
      {"(keep=id",
       "Line 1, column 9: Syntax error in the data set options: expected ), found the "
       "end of the statement."},
  };
  for (const auto& c : cases) EXPECT_EQ(seen(c.options), c.error) << c.options;
}

Statement statement(const std::string& text) {
  Statement st;
  st.tokens = lex(text, &st.end);
  return st;
}

// The groups of a BY statement, as "label:count" items, or the first error.
std::string groups(const std::string& csv, const std::string& by_text) {
  std::vector<std::string> errors;
  const ErrorSink sink = [&](const std::string& m) { errors.push_back(m); };
  const auto by = parse_by(statement(by_text), sink);
  if (!by) return errors.front();
  const auto table = *parse_csv(csv, ',', "g.csv");
  const auto plan = plan_by_groups(*table, *by, "WORK.G", sink);
  if (!plan) return errors.front();
  std::string out;
  for (const ByGroup& g : plan->groups) out += g.label + ":" + std::to_string(g.count) + " ";
  return out;
}

TEST(ByGroups, GroupsInDataOrderOrTheFirstObservationOutOfOrder) {
  const std::string csv = "s,t,v\n1,b,1\n1,b,2\n2,a,3\n2,c,4\n.,z,5\n";
  EXPECT_EQ(groups(csv, "by t"),
            "Line 1, column 1: The data set WORK.G is not sorted in ascending order of t: "
            "observation 3 has t=a after t=b. Sort the data by the BY variables, or add "
            "NOTSORTED to the BY statement if the groups are contiguous.");
  EXPECT_EQ(groups(csv, "by t notsorted"), "t=b:2 t=a:1 t=c:1 t=z:1 ");
  EXPECT_EQ(groups(csv, "by s"),
            "Line 1, column 1: The data set WORK.G is not sorted in ascending order of s: "
            "observation 5 has s=. after s=2. Sort the data by the BY variables, or add "
            "NOTSORTED to the BY statement if the groups are contiguous.");
  const std::string sorted = "s,t,v\n.,z,5\n1,b,1\n1,b,2\n2,c,4\n2,a,3\n";
  EXPECT_EQ(groups(sorted, "by s descending t"), "s=. t=z:1 s=1 t=b:2 s=2 t=c:1 s=2 t=a:1 ");
  EXPECT_EQ(groups(sorted, "by descending s"),
            "Line 1, column 1: The data set WORK.G is not sorted in descending order of s: "
            "observation 2 has s=1 after s=.. Sort the data by the BY variables, or add "
            "NOTSORTED to the BY statement if the groups are contiguous.");
  EXPECT_EQ(groups(sorted, "by 'q r'n"),
            "Line 1, column 4: Variable 'q r'n in the BY statement is not in WORK.G.");
  EXPECT_EQ(
      groups(sorted, "by descending"),
      "Line 1, column 14: Syntax error in the BY statement: expected a variable name, found ;.");
}

// The unsorted-data NOTE of a BY statement over one column of BY values given as text.
std::string unsorted_note(const std::string& values, const std::string& by_text,
                          const std::string& second = "") {
  std::string csv = second.empty() ? "s,v\n" : "s,t,v\n";
  for (size_t i = 0; i < values.size(); ++i) {
    csv += std::string(1, values[i]) + (second.empty() ? "" : "," + std::string(1, second[i])) +
           ",1\n";
  }
  const ErrorSink sink = [](const std::string& m) { ADD_FAILURE() << m; };
  const auto by = parse_by(statement(by_text), sink);
  const auto plan = plan_by_groups(**parse_csv(csv, ',', "g.csv"), *by, "WORK.G", sink);
  return plan ? unsorted_groups_note(*plan, *by) : "no plan";
}

TEST(ByGroups, NotsortedOverMostlyTinyGroupsWithRecurringValuesGetsOneNote) {
  const std::string two_of_three =
      "3 of the 4 BY groups hold fewer than 5 observations, yet s takes only 2 values: with "
      "NOTSORTED a group ends wherever the value of s changes, so the data are probably not "
      "sorted by s. Sort them by s to analyse one group per value.";
  const struct {
    const char* values;
    const char* by;
    std::string note;
  } cases[] = {
      // Groups a:5 b:1 a:5 b:1: exactly half are small.
      {"aaaaabaaaaab", "by s notsorted", ""},
      // a:5 b:1 a:1 b:1: more than half.
      {"aaaaabab", "by s notsorted", two_of_three},
      // A group of 4 is small, one of 5 is not: a:4 b:5 a:4 b:5 is half small.
      {"aaaabbbbbaaaabbbbb", "by s notsorted", ""},
      {"aaaabbbbaaaabbbbb", "by s notsorted", two_of_three},
      // Small groups that each hold a value of their own are grouped data.
      {"abcdeeeee", "by s notsorted", ""},
      // Without NOTSORTED, grouped data never get the NOTE.
      {"abbcddd", "by s", ""},
      {"", "by s notsorted", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(unsorted_note(c.values, c.by), c.note) << c.values;
  // Groups (a,x):2 (b,x):2 (a,x):2 (b,y):2.
  EXPECT_EQ(unsorted_note("aabbaabb", "by s descending t notsorted", "xxxxxxyy"),
            "4 of the 4 BY groups hold fewer than 5 observations, yet s and t take only 3 "
            "combinations of values: with NOTSORTED a group ends wherever one of their values "
            "changes, so the data are probably not sorted by s and t. Sort them by s and t to "
            "analyse one group per combination.");
}

}  // namespace
}  // namespace host
