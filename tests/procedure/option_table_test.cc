// A row added to the option table reaches every front end without another edit: the procedure's
// grammar, the study layer's reading and checks, and the Python and R argument lists and help.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/bindings/bindings.h"
#include "talven_options.h"
#include "procedure/statement_items.h"

namespace talven_test {
namespace {

using talven::OptionCheck;
using talven::OptionKind;
using talven::OptionRow;
using talven::StudyOptions;

const char* positive(int32_t n) {
  return n > 0 ? nullptr : "MAXITER must be positive.";
}

// Today's table and one new integer option, checked last.
std::vector<OptionRow> extended_table() {
  std::vector<OptionRow> rows(std::begin(talven::kOptionTable), std::end(talven::kOptionTable));
  rows.push_back({.statement = "MAXITER",
                  .kind = OptionKind::kInteger,
                  .item = 26,
                  .argument = "maxiter",
                  .description = "iterations at most",
                  .fallback = 50,
                  .check_rank = 99,
                  .integer_problem = &positive});
  return rows;
}

std::string first_problem(const std::vector<OptionRow>& rows,
                          const std::vector<std::pair<const char*, double>>& given) {
  talven::OptionValues values(rows);
  for (const auto& [name, value] : given) EXPECT_TRUE(values.set(name, value)) << name;
  StudyOptions options;
  OptionCheck check{options, 10, [](const std::string&) {}, {}};
  return values.read(check) ? "" : check.problem;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(OptionTable, ANewRowReachesTheGrammarTheChecksAndThePackages) {
  const std::vector<OptionRow> rows = extended_table();
  const OptionRow& added = rows.back();

  const TalvenGrammarEntry entry = talven::grammar_entry(added, rows);
  EXPECT_STREQ(entry.keyword, "MAXITER");
  EXPECT_EQ(entry.kind, TALVEN_ITEM_INTEGER);
  EXPECT_EQ(entry.number, 26);

  // Read by name in any case, range-checked as an integer, then by its own rule, after every
  // option that comes before it.
  const struct {
    std::vector<std::pair<const char*, double>> given;
    std::string problem;
  } cases[] = {
      {{}, ""},
      {{{"maxiter", 7}}, ""},
      {{{"MAXITER", 0}}, "MAXITER must be positive."},
      {{{"MaxIter", 3e9}}, "The value of MAXITER= is out of range."},
      {{{"MAXITER", 0}, {"NBOOTSTRAP1", -1}}, "NBOOTSTRAP1 must be positive."},
      {{{"MAXITER", 0}, {"SEED", 0}}, "SEED must be between 1 and 2147483562."},
  };
  for (const auto& c : cases) EXPECT_EQ(first_problem(rows, c.given), c.problem);
  EXPECT_FALSE(talven::OptionValues(talven::kOptionTable).set("MAXITER", 1));

  namespace gen = talven::bindings;
  EXPECT_TRUE(contains(gen::python_signature(rows), "maxiter: int = 50"));
  EXPECT_TRUE(contains(gen::python_table(rows), "(\"maxiter\", \"MAXITER\", \"integer\", None)"));
  EXPECT_TRUE(contains(gen::python_parameters(rows), "maxiter:\n        iterations at most"));
  EXPECT_TRUE(contains(gen::r_signature(rows, 7), "maxiter = 50)"));
  EXPECT_TRUE(contains(gen::r_table(rows), "\"MAXITER\""));
  EXPECT_TRUE(contains(gen::r_arguments(rows), "\\item{maxiter}{iterations at most"));
  EXPECT_FALSE(contains(gen::python_signature(talven::kOptionTable), "maxiter"));
}

// The checks run in their specified order whatever the order of the rows: the first problem of
// several is always the same one.
TEST(OptionTable, TheFirstOfSeveralProblemsFollowsTheCheckOrder) {
  const std::vector<OptionRow> rows(std::begin(talven::kOptionTable),
                                    std::end(talven::kOptionTable));
  const struct {
    std::vector<std::pair<const char*, double>> given;
    std::string problem;
  } cases[] = {
      {{{"GRID_SCALE", 0}, {"ALPHA", 2}}, "ALPHA must be less than 1."},
      {{{"NTREATS2", 1e10}, {"NTREATS1", 1}}, "The value of NTREATS2= is out of range."},
      {{{"NTREATS2", 1}, {"NTREATS1", 1}}, "NTREATS1 must be between 2 and 11."},
      {{{"NGRID", 1}, {"DERIVECI", 1}, {"ALPHA", 0}},
       "NGRID must be at least 2 when DERIVECI is specified."},
      {{{"NGRID", 1}, {"DERIVECI", 1}, {"NTREATS1", 3}}, "ALPHA must be positive."},
      {{{"SEED", 2147483563}, {"CORES", 1e12}}, "The value of CORES= is out of range."},
      {{{"ALPHA", 1.0 / 0.0}}, "The value of ALPHA= is out of range."},
  };
  for (const auto& c : cases) {
    std::vector<std::pair<const char*, double>> given = c.given;
    if (c.problem == "ALPHA must be positive.") given.emplace_back("ALPHA", 0);
    EXPECT_EQ(first_problem(rows, given), c.problem);
  }
}

}  // namespace
}  // namespace talven_test
