// The tree of a parsed WHERE expression, shared by its parser and its evaluator.
#ifndef TALVEN_HOST_WHERE_NODE_H
#define TALVEN_HOST_WHERE_NODE_H

#include <string>
#include <vector>

#include "host/lexer.h"

namespace host {

enum class WhereOp {
  kNumber,      // constant: number
  kString,      // constant: text
  kVariable,    // text: the name
  kNegate,      // -x
  kNot,         // NOT x
  kAnd,         // x AND y
  kOr,          // x OR y
  kArithmetic,  // x + y, x - y, x * y, x / y, x ** y (arithmetic holds the operator)
  kCompare,     // x = y and the others (compare holds the relation)
  kIn,          // x IN (kids 1...)
  kBetween,     // x BETWEEN y AND z
  kIsMissing,   // x IS MISSING
  kContains,    // x CONTAINS y
  kLike,        // x LIKE pattern
};

enum class Relation { kEq, kNe, kLt, kLe, kGt, kGe };

struct WhereNode {
  WhereOp op = WhereOp::kNumber;
  std::string spelling;  // constants and names as written; operators as written (words upper case)
  char arithmetic = 0;   // '+', '-', '*', '/', '^' (power)
  Relation relation = Relation::kEq;
  bool negated = false;  // NOT IN, NOT BETWEEN, IS NOT MISSING, NOT CONTAINS, NOT LIKE
  bool parenthesized = false;
  double number = 0.0;
  std::string text;  // string constants and variable names
  Token at;
  std::vector<WhereNode> kids;
};

// Appends the expression in the spelling the log shows.
void render(const WhereNode& n, std::string* out);

}  // namespace host

#endif  // TALVEN_HOST_WHERE_NODE_H
