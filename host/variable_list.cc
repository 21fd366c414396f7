#include "host/variable_list.h"

#include <cstdlib>
#include <optional>
#include <set>

#include "host/csv_reader.h"
#include "host/text_util.h"
#include "host/token_cursor.h"

namespace host {

namespace {

enum class ElementKind {
  kName,
  kNumbered,
  kNameRange,
  kTypedRange,
  kPrefix,
  kAll,
  kNumeric,
  kChar,
  kProduct
};

struct Element {
  ElementKind kind = ElementKind::kName;
  Token first;
  Token second;
  VarType type = VarType::kNumeric;  // typed ranges
  std::string text;                  // as written, for messages
  std::vector<Token> factors;        // products
};

std::optional<VarType> range_type(const Token& t) {
  if (t.is_name("NUMERIC")) return VarType::kNumeric;
  if (t.is_name("CHARACTER") || t.is_name("CHAR")) return VarType::kCharacter;
  return std::nullopt;
}

// Splits off the digits that end a name ("x12" -> "x", "12").
bool split_number(const std::string& name, std::string* prefix, std::string* digits) {
  size_t k = name.size();
  while (k > 0 && name[k - 1] >= '0' && name[k - 1] <= '9') --k;
  if (k == name.size() || k == 0) return false;
  *prefix = name.substr(0, k);
  *digits = name.substr(k);
  return true;
}

// The elements of a variable list, each with the tokens it was written with.
class ElementParser {
 public:
  ElementParser(const std::vector<Token>& tokens, const Token& end, const std::string& list,
                const ErrorSink& error)
      : in_(tokens, end, error), list_(list) {}

  std::optional<std::vector<Element>> parse() {
    if (in_.done()) expected(in_.end(), "a variable name");
    while (!in_.done()) {
      if (!in_.name()) {
        expected(in_.at(), "a variable name");
        in_.advance();
        continue;
      }
      element();
    }
    if (!in_.ok()) return std::nullopt;
    return std::move(out_);
  }

 private:
  void expected(const Token& t, const std::string& what) {
    in_.syntax_error(t, "the " + list_ + " list", what);
  }

  void add(Element e, ElementKind kind, std::string text) {
    e.kind = kind;
    e.text = std::move(text);
    out_.push_back(std::move(e));
  }

  // The element that starts with the name here.
  void element() {
    const Token& t = in_.at();
    Element e;
    e.first = t;
    if (t.is_name("_ALL_") || t.is_name("_NUMERIC_") || t.is_name("_CHARACTER_") ||
        t.is_name("_CHAR_")) {
      add(e,
          t.is_name("_ALL_")       ? ElementKind::kAll
          : t.is_name("_NUMERIC_") ? ElementKind::kNumeric
                                   : ElementKind::kChar,
          to_upper(t.text));
      in_.advance();
    } else if (in_.punct(":", 1)) {
      add(e, ElementKind::kPrefix, t.text + ":");
      in_.advance(2);
    } else if (in_.punct("--", 1)) {
      if (in_.name(2)) {
        e.second = in_.at(2);
        add(e, ElementKind::kNameRange, t.text + "--" + e.second.text);
      } else {
        expected(in_.at(2), "a variable name after " + t.text + "--");
      }
      in_.advance(3);
    } else if (in_.punct("-", 1)) {
      dashed_range(e);
    } else if (in_.punct("*", 1)) {
      product(e);
    } else {
      add(e, ElementKind::kName, t.text);
      in_.advance();
    }
  }

  // x*y*z: one term, the product of the variables named.
  void product(Element e) {
    std::string text = in_.at().text;
    e.factors.push_back(in_.at());
    in_.advance();
    while (in_.punct("*")) {
      if (!in_.name(1)) {
        expected(in_.at(1), "a variable name after " + text + "*");
        in_.advance(2);
        return;
      }
      text += "*" + in_.at(1).text;
      e.factors.push_back(in_.at(1));
      in_.advance(2);
    }
    add(e, ElementKind::kProduct, text);
  }

  // a-NUMERIC-b, a-CHARACTER-b or the numbered range x1-x5, at the name before the dash.
  void dashed_range(Element e) {
    const Token& t = in_.at();
    const Token& mid = in_.at(2);
    if (range_type(mid) && in_.punct("-", 3)) {
      if (in_.name(4)) {
        e.type = *range_type(mid);
        e.second = in_.at(4);
        add(e, ElementKind::kTypedRange, t.text + "-" + mid.text + "-" + e.second.text);
      } else {
        expected(in_.at(4), "a variable name after " + t.text + "-" + mid.text + "-");
      }
      in_.advance(5);
      return;
    }
    if (mid.kind != TokenKind::kName) {
      expected(mid, "a variable name after " + t.text + "-");
    } else if (std::string p1, d1, p2, d2; !split_number(t.text, &p1, &d1) ||
                                           !split_number(mid.text, &p2, &d2) || !iequals(p1, p2)) {
      in_.fail(t, "Syntax error in the " + list_ + " list: " + t.text + "-" + mid.text +
                      " is not a numbered range; both ends must be one name followed by different "
                      "numbers, as in x1-x5.");
    } else if (d1.size() > 9 || d2.size() > 9) {
      in_.fail(t, "The numbered range " + t.text + "-" + mid.text + " in the " + list_ +
                      " list is too long.");
    } else {
      e.second = mid;
      add(e, ElementKind::kNumbered, t.text + "-" + mid.text);
    }
    in_.advance(3);
  }

  TokenCursor in_;
  const std::string& list_;
  std::vector<Element> out_;
};

std::optional<std::vector<Element>> parse_elements(const std::vector<Token>& tokens,
                                                   const Token& end, const std::string& list,
                                                   const ErrorSink& error) {
  return ElementParser(tokens, end, list, error).parse();
}

int find_variable(const DataTable& table, std::string_view name) {
  for (size_t k = 0; k < table.columns.size(); ++k) {
    if (iequals(table.columns[k].name, name)) return static_cast<int>(k);
  }
  return -1;
}

}  // namespace

bool check_variable_list(const std::vector<Token>& tokens, const Token& end,
                         const std::string& list, const ErrorSink& error) {
  return parse_elements(tokens, end, list, error).has_value();
}

namespace {

// The variables of a list's elements, in order, each with the element that brought it in.
class ListResolver {
 public:
  ListResolver(const DataTable& table, const std::string& data_set_name, const std::string& list,
               const ErrorSink& error, bool products)
      : table_(table),
        data_set_name_(data_set_name),
        list_(list),
        error_(error),
        products_allowed_(products) {}

  void add(const Element& e) {
    switch (e.kind) {
      case ElementKind::kName: {
        const int k = find_variable(table_, e.first.text);
        if (k < 0) {
          missing(e.first, e.first.text);
        } else {
          keep(k + 1, e);
        }
        break;
      }
      case ElementKind::kNumbered:
        add_numbered(e);
        break;
      case ElementKind::kNameRange:
        add_span(e, std::nullopt);
        break;
      case ElementKind::kTypedRange:
        add_span(e, e.type);
        break;
      case ElementKind::kPrefix:
        add_matching(e, [&](const Column& c) { return istarts_with(c.name, e.first.text); });
        break;
      case ElementKind::kAll:
        add_matching(e, [](const Column&) { return true; });
        break;
      case ElementKind::kNumeric:
        add_matching(e, [](const Column& c) { return c.type == VarType::kNumeric; });
        break;
      case ElementKind::kChar:
        add_matching(e, [](const Column& c) { return c.type == VarType::kCharacter; });
        break;
      case ElementKind::kProduct:
        add_product(e);
        break;
    }
  }

  // Character variables, each reported once, in a list that takes numeric ones only.
  // A character treatment with two values is accepted anywhere: the study layer codes it -1/1.
  void refuse_character(const std::set<int32_t>* text_treatments) {
    std::set<int32_t> reported;
    for (size_t k = 0; k < out_.size(); ++k) {
      std::vector<int32_t> used = factors_[k];
      if (out_[k] != 0) used.push_back(out_[k]);
      for (const int32_t n : used) {
        const Column& c = table_.columns[static_cast<size_t>(n - 1)];
        const bool treatment = text_treatments != nullptr && text_treatments->count(n) != 0;
        if (c.type == VarType::kCharacter && !treatment && reported.insert(n).second) {
          error_(character_variable_message(*origin_[k], c.name, list_));
          const std::string why = character_explanation(c);
          if (!why.empty()) error_(why);
          ok_ = false;
        }
      }
    }
  }

  bool ok() const { return ok_; }
  std::vector<int32_t>& numbers() { return out_; }
  std::vector<std::vector<int32_t>>& factors() { return factors_; }
  const std::vector<const Token*>& origins() const { return origin_; }

 private:
  void keep(int32_t number, const Element& e, std::vector<int32_t> factors = {}) {
    out_.push_back(number);
    origin_.push_back(&e.first);
    factors_.push_back(std::move(factors));
  }

  // Where the procedure takes products, their factors are variables of the data.
  void add_product(const Element& e) {
    if (!products_allowed_) {
      error_(where(e.first) + ": The product " + e.text + " cannot be used in the " + list_ +
             " list; only variables can.");
      ok_ = false;
      return;
    }
    std::vector<int32_t> factors;
    for (const Token& t : e.factors) {
      const int k = find_variable(table_, t.text);
      if (k < 0) {
        missing(t, t.text);
        return;
      }
      factors.push_back(k + 1);
    }
    keep(0, e, std::move(factors));
  }

  void missing(const Token& t, const std::string& name) {
    error_(where(t) + ": Variable " + name + " in the " + list_ + " list is not in " +
           data_set_name_ + ".");
    ok_ = false;
  }

  void matches_nothing(const Element& e) {
    error_(where(e.first) + ": " + e.text + " in the " + list_ + " list matches no variable of " +
           data_set_name_ + ".");
    ok_ = false;
  }

  // x1-x5, or x5-x1 downwards.
  void add_numbered(const Element& e) {
    std::string p1, d1, p2, d2;
    split_number(e.first.text, &p1, &d1);
    split_number(e.second.text, &p2, &d2);
    const long from = std::strtol(d1.c_str(), nullptr, 10);
    const long to = std::strtol(d2.c_str(), nullptr, 10);
    // x01-x10 names x01, x02, ...: keep the written width when the first end has one.
    const size_t width = (d1.size() > 1 && d1[0] == '0') ? d1.size() : 0;
    const long step = from <= to ? 1 : -1;
    for (long v = from;; v += step) {
      std::string digits = std::to_string(v);
      if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
      const std::string name = p1 + digits;
      const int k = find_variable(table_, name);
      if (k < 0) {
        missing(e.first, name);
        break;  // one message per range is enough
      }
      keep(k + 1, e);
      if (v == to) break;
    }
  }

  // a--b, or a-NUMERIC-b and a-CHARACTER-b with `type`.
  void add_span(const Element& e, std::optional<VarType> type) {
    const int a = find_variable(table_, e.first.text);
    const int b = find_variable(table_, e.second.text);
    if (a < 0) missing(e.first, e.first.text);
    if (b < 0) missing(e.second, e.second.text);
    if (a < 0 || b < 0) return;
    if (a > b) {
      error_(where(e.first) + ": The range " + e.text + " in the " + list_ +
             " list runs backwards: " + table_.columns[static_cast<size_t>(a)].name +
             " comes after " + table_.columns[static_cast<size_t>(b)].name + " in " +
             data_set_name_ + ".");
      ok_ = false;
      return;
    }
    bool any = false;
    for (int k = a; k <= b; ++k) {
      if (!type || table_.columns[static_cast<size_t>(k)].type == *type) {
        keep(k + 1, e);
        any = true;
      }
    }
    if (!any) matches_nothing(e);
  }

  template <typename Keep>
  void add_matching(const Element& e, Keep&& wanted) {
    bool any = false;
    for (size_t k = 0; k < table_.columns.size(); ++k) {
      if (wanted(table_.columns[k])) {
        keep(static_cast<int32_t>(k + 1), e);
        any = true;
      }
    }
    if (!any) matches_nothing(e);
  }

  const DataTable& table_;
  const std::string& data_set_name_;
  const std::string& list_;
  const ErrorSink& error_;
  std::vector<int32_t> out_;
  std::vector<const Token*> origin_;
  std::vector<std::vector<int32_t>> factors_;
  bool products_allowed_;
  bool ok_ = true;
};

}  // namespace

bool resolve_variable_list(const std::vector<Token>& tokens, const DataTable& table,
                           const std::string& data_set_name, const std::string& list,
                           bool numeric_only, std::vector<int32_t>* numbers, const ErrorSink& error,
                           std::vector<Token>* origins,
                           std::vector<std::vector<int32_t>>* products,
                           const std::set<int32_t>* text_treatments) {
  numbers->clear();
  if (products != nullptr) products->clear();
  Token end;
  if (!tokens.empty()) {
    end = tokens.back();
    end.kind = TokenKind::kEnd;
  }
  const auto elements = parse_elements(tokens, end, list, error);
  if (!elements) return false;
  ListResolver resolver(table, data_set_name, list, error, products != nullptr);
  for (const Element& e : *elements) resolver.add(e);
  if (numeric_only) resolver.refuse_character(text_treatments);
  if (!resolver.ok()) return false;
  *numbers = std::move(resolver.numbers());
  if (products != nullptr) *products = std::move(resolver.factors());
  if (origins != nullptr) {
    origins->clear();
    for (const Token* t : resolver.origins()) origins->push_back(*t);
  }
  return true;
}

std::string character_variable_message(const Token& at, const std::string& name,
                                       const std::string& list) {
  return where(at) + ": Variable " + name + " in the " + list +
         " list is character; only numeric variables can be used there.";
}

}  // namespace host
