// Reading a WHERE expression from the program's tokens, and its text for the log.
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "host/text_util.h"
#include "host/token_cursor.h"
#include "host/where.h"
#include "host/where_node.h"

namespace host {

namespace {

constexpr int kMaxDepth = 100;
// Evaluation recurses over the tree, so a chain of operators is bounded as well as the nesting.
constexpr int kMaxOperators = 2000;

int month_number(std::string_view m) {
  static constexpr const char* kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                            "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  for (int k = 0; k < 12; ++k) {
    if (iequals(m, kMonths[k])) return k + 1;
  }
  return 0;
}

// Days since 1 January 1960, SAS's day zero (the civil-from-days algorithm of H. Hinnant).
int64_t days_since_1960(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + 3653;  // 3653 days from 1960-01-01 to 1970-01-01
}

bool digits(std::string_view s, size_t min, size_t max, int64_t* value) {
  if (s.size() < min || s.size() > max) return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

// "01jan2020" or "1JAN20" (two-digit years from 1926 to 2025).
bool parse_date(std::string_view s, double* out) {
  size_t k = 0;
  while (k < s.size() && s[k] >= '0' && s[k] <= '9') ++k;
  int64_t day = 0, year = 0;
  if (!digits(s.substr(0, k), 1, 2, &day) || s.size() < k + 3) return false;
  const int month = month_number(s.substr(k, 3));
  const std::string_view y = s.substr(k + 3);
  if (month == 0 || !(digits(y, 2, 2, &year) || digits(y, 4, 4, &year))) return false;
  if (y.size() == 2) year += year < 26 ? 2000 : 1900;
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap)) return false;
  *out = static_cast<double>(days_since_1960(year, month, day));
  return true;
}

// "9:30", "09:30:15" or "9:30:15.5".
bool parse_time(std::string_view s, double* out) {
  const size_t c1 = s.find(':');
  if (c1 == std::string_view::npos) return false;
  const size_t c2 = s.find(':', c1 + 1);
  int64_t h = 0, m = 0;
  if (!digits(s.substr(0, c1), 1, 2, &h) ||
      !digits(s.substr(c1 + 1, c2 == std::string_view::npos ? std::string_view::npos : c2 - c1 - 1),
              2, 2, &m) ||
      m > 59) {
    return false;
  }
  double sec = 0.0;
  if (c2 != std::string_view::npos) {
    const std::string rest(s.substr(c2 + 1));
    char* stop = nullptr;
    if (rest.empty() || rest[0] < '0' || rest[0] > '9') return false;
    sec = std::strtod(rest.c_str(), &stop);
    if (*stop != '\0' || sec >= 60.0) return false;
  }
  *out = static_cast<double>(h * 3600 + m * 60) + sec;
  return true;
}

bool parse_typed_constant(const Token& t, double* out) {
  const std::string_view s = trim_blanks(t.text);
  if (t.suffix == "D") return parse_date(s, out);
  if (t.suffix == "T") return parse_time(s, out);
  const size_t colon = s.find(':');
  double day = 0.0, time = 0.0;
  if (colon == std::string_view::npos || !parse_date(s.substr(0, colon), &day) ||
      !parse_time(s.substr(colon + 1), &time)) {
    return false;
  }
  *out = day * 86400.0 + time;
  return true;
}

bool parse_hex(std::string_view s, std::string* out) {
  if (s.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    int v = 0;
    for (size_t k = i; k < i + 2; ++k) {
      const char c = ascii_upper(s[k]);
      if (c >= '0' && c <= '9') {
        v = v * 16 + (c - '0');
      } else if (c >= 'A' && c <= 'F') {
        v = v * 16 + (c - 'A' + 10);
      } else {
        return false;
      }
    }
    *out += static_cast<char>(v);
  }
  return true;
}

class Parser {
 public:
  Parser(std::span<const Token> tokens, const Token& end, const ErrorSink& error)
      : in_(tokens, end, error, kExpressionStyle) {}

  std::optional<WhereClause> run() {
    if (in_.done()) {
      fail(in_.end(), "an expression");
      return std::nullopt;
    }
    WhereNode root = parse_joined(0, WhereOp::kOr);
    if (in_.ok() && !in_.done()) fail(at(), "an operator or the end of the expression");
    if (!in_.ok()) return std::nullopt;
    return WhereClause(std::make_shared<const WhereNode>(std::move(root)));
  }

 private:
  const Token& at(size_t ahead = 0) const { return in_.at(ahead); }
  bool word(std::string_view w, size_t ahead = 0) const { return in_.word(w, ahead); }
  bool punct(std::string_view p, size_t ahead = 0) const { return in_.punct(p, ahead); }
  bool pair(std::string_view a, std::string_view b) const { return in_.pair(a, b); }

  void fail(const Token& t, const std::string& expected) {
    // The first problem is the one to mend.
    if (in_.ok()) in_.syntax_error(t, "the WHERE expression", expected);
  }

  WhereNode node(WhereOp op, const Token& t, std::string spelling) {
    WhereNode n;
    n.op = op;
    n.at = t;
    n.spelling = std::move(spelling);
    return n;
  }

  WhereNode binary(WhereOp op, const Token& t, std::string spelling, WhereNode left,
                   WhereNode right) {
    if (++operators_ > kMaxOperators && in_.ok()) {
      in_.fail(t, "The WHERE expression is too long: it has more than " +
                      std::to_string(kMaxOperators) + " operators.");
    }
    WhereNode n = node(op, t, std::move(spelling));
    n.kids.push_back(std::move(left));
    n.kids.push_back(std::move(right));
    return n;
  }

  bool deeper(int depth) {
    if (depth <= kMaxDepth) return true;
    if (in_.ok()) in_.fail(at(), "The WHERE expression is nested too deeply.");
    return false;
  }

  // Operands joined by OR (|), or by AND (&), from the left; AND binds the tighter.
  WhereNode parse_joined(int depth, WhereOp op) {
    const bool is_or = op == WhereOp::kOr;
    const auto operand = [&] {
      return is_or ? parse_joined(depth, WhereOp::kAnd) : parse_not(depth);
    };
    const char* spelling = is_or ? "OR" : "AND";
    WhereNode left = operand();
    while (in_.ok() && (word(spelling) || punct(is_or ? "|" : "&"))) {
      const Token t = at();
      in_.advance();
      left = binary(op, t, spelling, std::move(left), operand());
    }
    return left;
  }

  bool at_not() const {
    return word("NOT") || ((punct("^") || punct("~")) && !pair(at().text, "="));
  }

  WhereNode parse_not(int depth) {
    if (!deeper(depth)) return {};
    if (at_not()) {
      const Token t = at();
      in_.advance();
      WhereNode n = node(WhereOp::kNot, t, "NOT");
      n.kids.push_back(parse_not(depth + 1));
      return n;
    }
    return parse_comparison(depth);
  }

  // The relation at the current token, consuming it; nullopt when there is none.
  std::optional<std::pair<Relation, std::string>> relation() {
    static const struct {
      const char* word;
      Relation r;
    } kWords[] = {{"EQ", Relation::kEq}, {"NE", Relation::kNe}, {"LT", Relation::kLt},
                  {"LE", Relation::kLe}, {"GT", Relation::kGt}, {"GE", Relation::kGe}};
    for (const auto& w : kWords) {
      if (word(w.word)) {
        in_.advance();
        return std::make_pair(w.r, std::string(w.word));
      }
    }
    static const struct {
      const char* first;
      const char* second;
      Relation r;
    } kPairs[] = {{"^", "=", Relation::kNe},
                  {"~", "=", Relation::kNe},
                  {"<", "=", Relation::kLe},
                  {">", "=", Relation::kGe}};
    for (const auto& p : kPairs) {
      if (pair(p.first, p.second)) {
        in_.advance(2);
        return std::make_pair(p.r, std::string(p.first) + p.second);
      }
    }
    if (punct("=")) {
      in_.advance();
      return std::make_pair(Relation::kEq, std::string("="));
    }
    if (punct("<")) {
      in_.advance();
      return std::make_pair(Relation::kLt, std::string("<"));
    }
    if (punct(">")) {
      in_.advance();
      return std::make_pair(Relation::kGt, std::string(">"));
    }
    return std::nullopt;
  }

  WhereNode parse_comparison(int depth) {
    WhereNode left = parse_additive(depth);
    if (!in_.ok()) return left;
    const Token t = at();
    bool negated = false;
    if (word("NOT") &&
        (word("IN", 1) || word("BETWEEN", 1) || word("CONTAINS", 1) || word("LIKE", 1))) {
      negated = true;
      in_.advance();
    }
    if (word("IN")) {
      WhereNode n = test(WhereOp::kIn, t, "IN", negated, std::move(left));
      parse_list(&n, depth);
      return n;
    }
    if (word("BETWEEN")) {
      WhereNode n = test(WhereOp::kBetween, t, "BETWEEN", negated, std::move(left));
      n.kids.push_back(parse_additive(depth));
      if (in_.ok() && !word("AND")) fail(at(), "AND in BETWEEN ... AND ...");
      if (!in_.ok()) return n;
      in_.advance();
      n.kids.push_back(parse_additive(depth));
      return n;
    }
    const bool contains = word("CONTAINS") || (punct("?") && !negated);
    if (contains || word("LIKE")) {
      WhereNode n = contains ? test(WhereOp::kContains, t, "CONTAINS", negated, std::move(left))
                             : test(WhereOp::kLike, t, "LIKE", negated, std::move(left));
      n.kids.push_back(parse_additive(depth));
      return n;
    }
    if (word("IS")) return parse_is_missing(std::move(left), t);
    return parse_chain(std::move(left), depth);
  }

  // x [NOT] IN, BETWEEN, CONTAINS or LIKE, at the operator: its node with x, the operator read.
  WhereNode test(WhereOp op, const Token& t, const char* spelling, bool negated, WhereNode left) {
    in_.advance();
    WhereNode n = node(op, t, (negated ? "NOT " : "") + std::string(spelling));
    n.negated = negated;
    n.kids.push_back(std::move(left));
    return n;
  }

  // IS [NOT] MISSING or NULL, after IS.
  WhereNode parse_is_missing(WhereNode left, const Token& t) {
    in_.advance();
    WhereNode n = node(WhereOp::kIsMissing, t, "IS");
    if (word("NOT")) {
      in_.advance();
      n.negated = true;
      n.spelling += " NOT";
    }
    if (!word("MISSING") && !word("NULL")) {
      fail(at(), "MISSING or NULL after IS");
      return n;
    }
    n.spelling += " " + to_upper(at().text);
    in_.advance();
    n.kids.push_back(std::move(left));
    return n;
  }

  // A chain a < b < c means a < b AND b < c.
  WhereNode parse_chain(WhereNode left, int depth) {
    std::optional<WhereNode> chain;
    for (;;) {
      const Token op_at = at();
      const auto rel = relation();
      if (!rel) break;
      WhereNode right = parse_additive(depth);
      WhereNode cmp = node(WhereOp::kCompare, op_at, rel->second);
      cmp.relation = rel->first;
      cmp.kids.push_back(left);
      cmp.kids.push_back(right);
      chain = chain ? binary(WhereOp::kAnd, op_at, "AND", std::move(*chain), std::move(cmp))
                    : std::move(cmp);
      left = std::move(right);
      if (!in_.ok()) break;
    }
    return chain ? std::move(*chain) : left;
  }

  // ( constant, constant ... ): commas or blanks between.
  void parse_list(WhereNode* n, int depth) {
    if (!punct("(")) {
      fail(at(), "( after " + n->spelling);
      return;
    }
    in_.advance();
    for (;;) {
      if (punct(")") && n->kids.size() > 1) {
        in_.advance();
        return;
      }
      WhereNode value = parse_unary(depth);
      if (!in_.ok()) return;
      if (value.op != WhereOp::kNumber && value.op != WhereOp::kString) {
        fail(value.at, "a constant in the " + n->spelling + " list");
        return;
      }
      n->kids.push_back(std::move(value));
      if (punct(",")) in_.advance();
    }
  }

  // +, -, *, / and **, as written.
  WhereNode arithmetic(const Token& t, const std::string& spelling, WhereNode left,
                       WhereNode right) {
    WhereNode n = binary(WhereOp::kArithmetic, t, spelling, std::move(left), std::move(right));
    n.arithmetic = spelling == "**" ? '^' : spelling[0];
    return n;
  }

  WhereNode parse_additive(int depth) {
    WhereNode left = parse_multiplicative(depth);
    while (in_.ok() && (punct("+") || punct("-") || punct("--"))) {
      const Token t = at();
      in_.advance();
      WhereNode right = parse_multiplicative(depth);
      if (t.text == "--") {
        // x--1 is x - (-1): the lexer reads the two signs as one token.
        WhereNode negated = node(WhereOp::kNegate, t, "-");
        negated.kids.push_back(std::move(right));
        right = std::move(negated);
      }
      left = arithmetic(t, t.text == "--" ? std::string("-") : t.text, std::move(left),
                        std::move(right));
    }
    return left;
  }

  WhereNode parse_multiplicative(int depth) {
    WhereNode left = parse_power(depth);
    while (in_.ok() && (punct("*") || punct("/")) && !pair("*", "*")) {
      const Token t = at();
      in_.advance();
      left = arithmetic(t, t.text, std::move(left), parse_power(depth));
    }
    return left;
  }

  WhereNode parse_power(int depth) {
    WhereNode base = parse_unary(depth);
    if (in_.ok() && pair("*", "*")) {
      const Token t = at();
      in_.advance(2);
      if (!deeper(depth + 1)) return base;
      return arithmetic(t, "**", std::move(base), parse_power(depth + 1));
    }
    return base;
  }

  WhereNode parse_unary(int depth) {
    if (!deeper(depth)) return {};
    if (punct("-") || punct("+") || punct("--")) {
      const Token t = at();
      in_.advance();
      WhereNode inner = parse_unary(depth + 1);
      if (t.text == "+") return inner;
      if (inner.op == WhereOp::kNumber && !inner.parenthesized && t.text == "-") {
        inner.number = -inner.number;  // a negative constant, as in IN (-1, 1)
        inner.spelling = "-" + inner.spelling;
        inner.at = t;
        return inner;
      }
      WhereNode n = node(WhereOp::kNegate, t, "-");
      n.kids.push_back(std::move(inner));
      if (t.text == "--") {
        WhereNode twice = node(WhereOp::kNegate, t, "-");
        twice.kids.push_back(std::move(n));
        return twice;
      }
      return n;
    }
    return parse_primary(depth);
  }

  WhereNode parse_primary(int depth) {
    const Token t = at();
    if (punct("(")) {
      in_.advance();
      WhereNode inner = parse_joined(depth + 1, WhereOp::kOr);
      if (in_.ok() && !punct(")")) fail(at(), ")");
      if (!in_.ok()) return inner;
      in_.advance();
      inner.parenthesized = true;
      return inner;
    }
    if (t.kind == TokenKind::kNumber) {
      in_.advance();
      WhereNode n = node(WhereOp::kNumber, t, t.text);
      n.number = std::strtod(t.text.c_str(), nullptr);
      if (!std::isfinite(n.number)) {
        in_.fail(t, "The number " + t.text + " in the WHERE expression is too large.");
      }
      return n;
    }
    if (punct(".")) return parse_missing_value(t);
    if (t.kind == TokenKind::kString) return parse_string_constant(t);
    if (t.kind == TokenKind::kName && !is_keyword(t)) {
      in_.advance();
      WhereNode n = node(WhereOp::kVariable, t, t.as_written());
      n.text = t.text;
      return n;
    }
    fail(t, "a variable, a constant or (");
    return {};
  }

  // A missing value: "." alone, or .A to .Z and ._ written together.
  WhereNode parse_missing_value(const Token& t) {
    in_.advance();
    WhereNode n = node(WhereOp::kNumber, t, ".");
    n.number = std::numeric_limits<double>::quiet_NaN();
    const Token& next = at();
    if (next.kind == TokenKind::kName && !next.literal && next.line == t.line &&
        next.column == t.column + 1 && next.text.size() == 1) {
      n.number = special_missing(next.text[0]);
      n.spelling += to_upper(next.text);
      in_.advance();
    }
    return n;
  }

  // A quoted text, 'hh'x, or a date, time or datetime constant.
  WhereNode parse_string_constant(const Token& t) {
    in_.advance();
    if (t.suffix == "X") {
      WhereNode n = node(WhereOp::kString, t, t.as_written());
      if (!parse_hex(t.text, &n.text)) {
        in_.fail(t, t.as_written() + " in the WHERE expression is not a hexadecimal constant.");
      }
      return n;
    }
    if (!t.suffix.empty()) {
      WhereNode n = node(WhereOp::kNumber, t, t.as_written());
      if (!parse_typed_constant(t, &n.number)) {
        const char* kind = t.suffix == "D" ? "date" : t.suffix == "T" ? "time" : "datetime";
        in_.fail(t, t.as_written() + " in the WHERE expression is not a valid " + kind +
                        " constant (write dates as '01JAN2020'd, times as '09:30't, datetimes "
                        "as '01JAN2020:09:30:00'dt).");
      }
      return n;
    }
    WhereNode n = node(WhereOp::kString, t, t.as_written());
    n.text = t.text;
    return n;
  }

  static bool is_keyword(const Token& t) {
    for (const char* k : {"AND", "OR", "NOT", "IN", "BETWEEN", "IS", "CONTAINS", "LIKE", "EQ", "NE",
                          "LT", "LE", "GT", "GE"}) {
      if (t.is_name(k)) return true;
    }
    return false;
  }

  TokenCursor in_;
  int operators_ = 0;
};

}  // namespace

void render(const WhereNode& n, std::string* out) {
  if (n.parenthesized) *out += '(';
  switch (n.op) {
    case WhereOp::kNumber:
    case WhereOp::kString:
    case WhereOp::kVariable:
      *out += n.spelling;
      break;
    case WhereOp::kNegate:
      *out += '-';
      render(n.kids[0], out);
      break;
    case WhereOp::kNot:
      *out += "NOT ";
      render(n.kids[0], out);
      break;
    case WhereOp::kIsMissing:
      render(n.kids[0], out);
      *out += " " + n.spelling;
      break;
    case WhereOp::kIn:
      render(n.kids[0], out);
      *out += " " + n.spelling + " (";
      for (size_t k = 1; k < n.kids.size(); ++k) {
        if (k > 1) *out += ", ";
        render(n.kids[k], out);
      }
      *out += ')';
      break;
    case WhereOp::kBetween:
      render(n.kids[0], out);
      *out += " " + n.spelling + " ";
      render(n.kids[1], out);
      *out += " AND ";
      render(n.kids[2], out);
      break;
    default:
      render(n.kids[0], out);
      *out += " " + n.spelling + " ";
      render(n.kids[1], out);
      break;
  }
  if (n.parenthesized) *out += ')';
}

WhereClause::WhereClause(std::shared_ptr<const WhereNode> root) : root_(std::move(root)) {}

std::string WhereClause::text() const {
  std::string out;
  if (root_) render(*root_, &out);
  return out;
}

std::optional<WhereClause> parse_where(std::span<const Token> tokens, const Token& end,
                                       const ErrorSink& error) {
  return Parser(tokens, end, error).run();
}

WhereClause where_and(const WhereClause& a, const WhereClause& b) {
  WhereNode n;
  n.op = WhereOp::kAnd;
  n.spelling = "AND";
  n.at = b.root().at;
  n.kids.push_back(a.root());
  n.kids.push_back(b.root());
  n.kids[0].parenthesized = true;
  n.kids[1].parenthesized = true;
  return WhereClause(std::make_shared<const WhereNode>(std::move(n)));
}

}  // namespace host
