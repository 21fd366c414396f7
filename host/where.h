// WHERE expressions, as in the WHERE statement and the WHERE= data set option: parsing from the
// program's tokens, checking against a table, and selecting the rows for which they hold, with
// SAS's rules for missing values (a missing value is smaller than every number; .A to .Z and ._
// are ordered ._ < . < .A < ... < .Z; arithmetic with a missing value gives a missing value).
//
// Precedence, from the loosest: OR (|); AND (&); NOT (^, ~); comparisons (=, ^=, ~=, <, <=, >,
// >=, EQ, NE, LT, LE, GT, GE; chained as in 1 < x < 5), [NOT] IN (list), [NOT] BETWEEN a AND b,
// IS [NOT] MISSING / NULL, [NOT] CONTAINS (?), [NOT] LIKE; + and -; * and /; **; unary - and +.
#ifndef TALVEN_HOST_WHERE_H
#define TALVEN_HOST_WHERE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/data_table.h"
#include "host/lexer.h"
#include "host/program.h"

namespace host {

struct WhereNode;

// A parsed expression. Copies share the tree.
class WhereClause {
 public:
  WhereClause() = default;
  explicit WhereClause(std::shared_ptr<const WhereNode> root);

  // The expression as the log shows it: "age >= 18 AND site IN (1, 2)".
  std::string text() const;
  const WhereNode& root() const { return *root_; }
  bool empty() const { return root_ == nullptr; }

 private:
  std::shared_ptr<const WhereNode> root_;
};

// Parses the expression written as `tokens` (`end` marks where it stops, for messages). Every
// problem goes to `error` with its line and column; nullopt then.
std::optional<WhereClause> parse_where(std::span<const Token> tokens, const Token& end,
                                       const ErrorSink& error);

// Both must hold (WHERE ALSO, WHERE SAME AND).
WhereClause where_and(const WhereClause& a, const WhereClause& b);

// The rows of `table` (0-based, in order) for which the clause holds. A variable that is not in
// the table, or operands of the wrong type, are errors naming the variable or operator, its place
// and the data set; nullopt then.
std::optional<std::vector<int64_t>> select_where(const WhereClause& clause, const DataTable& table,
                                                 const std::string& data_set_name,
                                                 const ErrorSink& error);

}  // namespace host

#endif  // TALVEN_HOST_WHERE_H
