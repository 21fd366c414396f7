// Checking a WHERE expression against a table, and the rows for which it holds.
#include <cmath>
#include <limits>
#include <string_view>

#include "host/suggest.h"
#include "host/text_util.h"
#include "host/where.h"
#include "host/where_node.h"

namespace host {

namespace {

struct Bound {
  const WhereNode* node = nullptr;
  bool character = false;
  bool known = true;  // false below an unknown variable: its type says nothing
  int column = -1;
  std::vector<Bound> kids;
};

class Binder {
 public:
  Binder(const DataTable& table, const std::string& data_set, const ErrorSink& error)
      : table_(table), data_set_(data_set), error_(error) {}

  Bound bind(const WhereNode& n) {
    Bound b;
    b.node = &n;
    for (const WhereNode& k : n.kids) {
      b.kids.push_back(bind(k));
      b.known = b.known && b.kids.back().known;
    }
    if (!b.known) return b;
    switch (n.op) {
      case WhereOp::kNumber:
        break;
      case WhereOp::kString:
        b.character = true;
        break;
      case WhereOp::kVariable:
        b.column = find(n);
        b.known = b.column >= 0;
        b.character = b.column >= 0 &&
                      table_.columns[static_cast<size_t>(b.column)].type == VarType::kCharacter;
        break;
      case WhereOp::kNegate:
      case WhereOp::kArithmetic:
        for (const Bound& k : b.kids) {
          if (k.character) {
            fail(n, "The operands of " + n.spelling + " must be numeric: " + describe(k) +
                        " is character.");
          }
        }
        break;
      case WhereOp::kCompare:
      case WhereOp::kIn:
      case WhereOp::kBetween:
        for (size_t k = 1; k < b.kids.size(); ++k) {
          if (b.kids[k].character != b.kids[0].character) {
            fail(n, "The operands of " + n.spelling + " are of different types: " +
                        describe(b.kids[0]) + " is " + type_name(b.kids[0]) + " and " +
                        describe(b.kids[k]) + " is " + type_name(b.kids[k]) + ".");
            break;
          }
        }
        break;
      case WhereOp::kContains:
      case WhereOp::kLike:
        for (const Bound& k : b.kids) {
          if (!k.character) {
            fail(n, n.spelling + " needs character operands: " + describe(k) + " is numeric.");
            break;
          }
        }
        break;
      default:
        break;
    }
    return b;
  }

  bool ok() const { return ok_; }

 private:
  int find(const WhereNode& n) {
    for (size_t k = 0; k < table_.columns.size(); ++k) {
      if (iequals(table_.columns[k].name, n.text)) return static_cast<int>(k);
    }
    std::vector<std::string> names;
    for (const Column& c : table_.columns) names.push_back(c.name);
    fail(n, "Variable " + n.spelling + " in the WHERE expression is not in " + data_set_ + "." +
                did_you_mean(n.text, names));
    return -1;
  }

  static std::string type_name(const Bound& b) { return b.character ? "character" : "numeric"; }

  static std::string describe(const Bound& b) {
    std::string text;
    render(*b.node, &text);
    return text;
  }

  void fail(const WhereNode& n, const std::string& message) {
    ok_ = false;
    error_(where(n.at) + ": " + message);
  }

  const DataTable& table_;
  const std::string& data_set_;
  const ErrorSink& error_;
  bool ok_ = true;
};

struct Value {
  bool character = false;
  double number = 0.0;
  std::string_view text;
};

int compare(const Value& a, const Value& b) {
  return a.character ? compare_texts(a.text, b.text) : compare_numbers(a.number, b.number);
}

bool is_blank(std::string_view s) {
  return trim_trailing_blanks(s).empty();
}

bool truth(const Value& v) {
  return v.character ? !is_blank(v.text) : (!std::isnan(v.number) && v.number != 0.0);
}

// % matches any run of characters, _ any one.
bool like(std::string_view s, std::string_view p) {
  size_t si = 0, pi = 0, star = std::string_view::npos, mark = 0;
  while (si < s.size()) {
    if (pi < p.size() && (p[pi] == '_' || p[pi] == s[si])) {
      ++si;
      ++pi;
    } else if (pi < p.size() && p[pi] == '%') {
      star = pi++;
      mark = si;
    } else if (star != std::string_view::npos) {
      pi = star + 1;
      si = ++mark;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '%') ++pi;
  return pi == p.size();
}

Value number(double v) {
  Value out;
  out.number = v;
  return out;
}

Value boolean(bool v) {
  return number(v ? 1.0 : 0.0);
}

Value evaluate(const Bound& b, const DataTable& t, size_t row);

Value column_value(const Bound& b, const DataTable& t, size_t row) {
  const Column& c = t.columns[static_cast<size_t>(b.column)];
  if (c.type == VarType::kNumeric) return number(c.numbers[row]);
  Value v;
  v.character = true;
  v.text = c.texts[row];
  return v;
}

// A missing operand, a division by zero or a result out of range gives a missing value.
Value arithmetic(char op, double x, double y) {
  constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();
  if (std::isnan(x) || std::isnan(y)) return number(kMissing);
  double r = 0.0;
  switch (op) {
    case '+':
      r = x + y;
      break;
    case '-':
      r = x - y;
      break;
    case '*':
      r = x * y;
      break;
    case '/':
      r = y == 0.0 ? kMissing : x / y;
      break;
    default:
      r = std::pow(x, y);
      break;
  }
  return number(std::isfinite(r) ? r : kMissing);
}

bool holds(Relation relation, int c) {
  switch (relation) {
    case Relation::kEq:
      return c == 0;
    case Relation::kNe:
      return c != 0;
    case Relation::kLt:
      return c < 0;
    case Relation::kLe:
      return c <= 0;
    case Relation::kGt:
      return c > 0;
    case Relation::kGe:
      return c >= 0;
  }
  return false;
}

// IN, BETWEEN, IS MISSING, CONTAINS and LIKE, before their NOT.
bool matches(const Bound& b, const DataTable& t, size_t row) {
  const WhereNode& n = *b.node;
  const Value x = evaluate(b.kids[0], t, row);
  switch (n.op) {
    case WhereOp::kIn:
      for (size_t k = 1; k < b.kids.size(); ++k) {
        if (compare(x, evaluate(b.kids[k], t, row)) == 0) return true;
      }
      return false;
    case WhereOp::kBetween:
      return compare(x, evaluate(b.kids[1], t, row)) >= 0 &&
             compare(x, evaluate(b.kids[2], t, row)) <= 0;
    case WhereOp::kIsMissing:
      return x.character ? is_blank(x.text) : std::isnan(x.number);
    case WhereOp::kContains:
      return x.text.find(trim_trailing_blanks(evaluate(b.kids[1], t, row).text)) !=
             std::string_view::npos;
    default:  // LIKE
      return like(trim_trailing_blanks(x.text),
                  trim_trailing_blanks(evaluate(b.kids[1], t, row).text));
  }
}

Value evaluate(const Bound& b, const DataTable& t, size_t row) {
  const WhereNode& n = *b.node;
  switch (n.op) {
    case WhereOp::kNumber:
      return number(n.number);
    case WhereOp::kString: {
      Value v;
      v.character = true;
      v.text = n.text;
      return v;
    }
    case WhereOp::kVariable:
      return column_value(b, t, row);
    case WhereOp::kNegate: {
      const double x = evaluate(b.kids[0], t, row).number;
      return number(std::isnan(x) ? std::numeric_limits<double>::quiet_NaN() : -x);
    }
    case WhereOp::kNot:
      return boolean(!truth(evaluate(b.kids[0], t, row)));
    case WhereOp::kAnd:
      return boolean(truth(evaluate(b.kids[0], t, row)) && truth(evaluate(b.kids[1], t, row)));
    case WhereOp::kOr:
      return boolean(truth(evaluate(b.kids[0], t, row)) || truth(evaluate(b.kids[1], t, row)));
    case WhereOp::kArithmetic:
      return arithmetic(n.arithmetic, evaluate(b.kids[0], t, row).number,
                        evaluate(b.kids[1], t, row).number);
    case WhereOp::kCompare:
      return boolean(
          holds(n.relation, compare(evaluate(b.kids[0], t, row), evaluate(b.kids[1], t, row))));
    case WhereOp::kIn:
    case WhereOp::kBetween:
    case WhereOp::kIsMissing:
    case WhereOp::kContains:
    case WhereOp::kLike:
      return boolean(matches(b, t, row) != n.negated);
  }
  return boolean(false);
}

}  // namespace

std::optional<std::vector<int64_t>> select_where(const WhereClause& clause, const DataTable& table,
                                                 const std::string& data_set_name,
                                                 const ErrorSink& error) {
  Binder binder(table, data_set_name, error);
  const Bound bound = binder.bind(clause.root());
  if (!binder.ok()) return std::nullopt;
  std::vector<int64_t> rows;
  for (int64_t r = 0; r < table.rows; ++r) {
    if (truth(evaluate(bound, table, static_cast<size_t>(r)))) rows.push_back(r);
  }
  return rows;
}

}  // namespace host
