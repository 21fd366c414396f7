#include "host/statement_parser.h"

#include <cstdlib>
#include <optional>
#include <set>

#include "host/csv_reader.h"
#include "host/text_util.h"

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
  kChar
};

struct Element {
  ElementKind kind = ElementKind::kName;
  Token first;
  Token second;
  VarType type = VarType::kNumeric;  // typed ranges
  std::string text;                  // as written, for messages
};

std::string found(const Token& t) {
  switch (t.kind) {
    case TokenKind::kEnd:
      return "the end of the program";
    case TokenKind::kString:
      return "the string '" + t.text + "'";
    default:
      return t.text == ";" ? std::string(";") : t.text;
  }
}

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

std::optional<std::vector<Element>> parse_elements(const std::vector<Token>& tokens,
                                                   const Token& end, const std::string& list,
                                                   const ErrorSink& error) {
  std::vector<Element> out;
  bool ok = true;
  auto at = [&](size_t i) -> const Token& { return i < tokens.size() ? tokens[i] : end; };
  auto fail = [&](const Token& t, const std::string& what) {
    error(where(t) + ": Syntax error in the " + list + " list: expected " + what + ", found " +
          found(t) + ".");
    ok = false;
  };
  if (tokens.empty()) fail(end, "a variable name");
  size_t i = 0;
  while (i < tokens.size()) {
    const Token& t = tokens[i];
    Element e;
    e.first = t;
    if (t.kind != TokenKind::kName) {
      fail(t, "a variable name");
      ++i;
      continue;
    }
    if (t.is_name("_ALL_") || t.is_name("_NUMERIC_") || t.is_name("_CHARACTER_") ||
        t.is_name("_CHAR_")) {
      e.kind = t.is_name("_ALL_")       ? ElementKind::kAll
               : t.is_name("_NUMERIC_") ? ElementKind::kNumeric
                                        : ElementKind::kChar;
      e.text = to_upper(t.text);
      out.push_back(e);
      ++i;
      continue;
    }
    if (at(i + 1).is_punct(":")) {
      e.kind = ElementKind::kPrefix;
      e.text = t.text + ":";
      out.push_back(e);
      i += 2;
      continue;
    }
    if (at(i + 1).is_punct("--")) {
      if (at(i + 2).kind != TokenKind::kName) {
        fail(at(i + 2), "a variable name after " + t.text + "--");
        i += 3;
        continue;
      }
      e.kind = ElementKind::kNameRange;
      e.second = at(i + 2);
      e.text = t.text + "--" + e.second.text;
      out.push_back(e);
      i += 3;
      continue;
    }
    if (at(i + 1).is_punct("-")) {
      const Token& mid = at(i + 2);
      if (range_type(mid) && at(i + 3).is_punct("-")) {
        if (at(i + 4).kind != TokenKind::kName) {
          fail(at(i + 4), "a variable name after " + t.text + "-" + mid.text + "-");
          i += 5;
          continue;
        }
        e.kind = ElementKind::kTypedRange;
        e.type = *range_type(mid);
        e.second = at(i + 4);
        e.text = t.text + "-" + mid.text + "-" + e.second.text;
        out.push_back(e);
        i += 5;
        continue;
      }
      if (mid.kind != TokenKind::kName) {
        fail(mid, "a variable name after " + t.text + "-");
        i += 3;
        continue;
      }
      std::string p1, d1, p2, d2;
      if (!split_number(t.text, &p1, &d1) || !split_number(mid.text, &p2, &d2) ||
          !iequals(p1, p2)) {
        error(where(t) + ": Syntax error in the " + list + " list: " + t.text + "-" + mid.text +
              " is not a numbered range; both ends must be one name followed by different "
              "numbers, as in x1-x5.");
        ok = false;
        i += 3;
        continue;
      }
      if (d1.size() > 9 || d2.size() > 9) {
        error(where(t) + ": The numbered range " + t.text + "-" + mid.text + " in the " + list +
              " list is too long.");
        ok = false;
        i += 3;
        continue;
      }
      e.kind = ElementKind::kNumbered;
      e.second = mid;
      e.text = t.text + "-" + mid.text;
      out.push_back(e);
      i += 3;
      continue;
    }
    e.kind = ElementKind::kName;
    e.text = t.text;
    out.push_back(e);
    ++i;
  }
  if (!ok) return std::nullopt;
  return out;
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

bool resolve_variable_list(const std::vector<Token>& tokens, const DataTable& table,
                           const std::string& data_set_name, const std::string& list,
                           bool numeric_only, std::vector<int32_t>* numbers, const ErrorSink& error,
                           std::vector<Token>* origins) {
  numbers->clear();
  Token end;
  if (!tokens.empty()) {
    end = tokens.back();
    end.kind = TokenKind::kEnd;
  }
  const auto elements = parse_elements(tokens, end, list, error);
  if (!elements) return false;
  bool ok = true;
  std::vector<int32_t> out;
  std::vector<const Token*> origin;  // the element that brought each variable in
  auto missing = [&](const Token& t, const std::string& name) {
    error(where(t) + ": Variable " + name + " in the " + list + " list is not in " + data_set_name +
          ".");
    ok = false;
  };
  auto matches_nothing = [&](const Element& e) {
    error(where(e.first) + ": " + e.text + " in the " + list + " list matches no variable of " +
          data_set_name + ".");
    ok = false;
  };
  auto add_span = [&](const Element& e, std::optional<VarType> type) {
    const int a = find_variable(table, e.first.text);
    const int b = find_variable(table, e.second.text);
    if (a < 0) missing(e.first, e.first.text);
    if (b < 0) missing(e.second, e.second.text);
    if (a < 0 || b < 0) return;
    if (a > b) {
      error(where(e.first) + ": The range " + e.text + " in the " + list +
            " list runs backwards: " + table.columns[static_cast<size_t>(a)].name +
            " comes after " + table.columns[static_cast<size_t>(b)].name + " in " + data_set_name +
            ".");
      ok = false;
      return;
    }
    bool any = false;
    for (int k = a; k <= b; ++k) {
      if (!type || table.columns[static_cast<size_t>(k)].type == *type) {
        out.push_back(k + 1);
        origin.push_back(&e.first);
        any = true;
      }
    }
    if (!any) matches_nothing(e);
  };
  auto add_matching = [&](const Element& e, auto&& keep) {
    bool any = false;
    for (size_t k = 0; k < table.columns.size(); ++k) {
      if (keep(table.columns[k])) {
        out.push_back(static_cast<int32_t>(k + 1));
        origin.push_back(&e.first);
        any = true;
      }
    }
    if (!any) matches_nothing(e);
  };

  for (const Element& e : *elements) {
    switch (e.kind) {
      case ElementKind::kName: {
        const int k = find_variable(table, e.first.text);
        if (k < 0) {
          missing(e.first, e.first.text);
        } else {
          out.push_back(k + 1);
          origin.push_back(&e.first);
        }
        break;
      }
      case ElementKind::kNumbered: {
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
          const int k = find_variable(table, name);
          if (k < 0) {
            missing(e.first, name);
            break;  // one message per range is enough
          }
          out.push_back(k + 1);
          origin.push_back(&e.first);
          if (v == to) break;
        }
        break;
      }
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
    }
  }
  if (numeric_only) {
    std::set<int32_t> reported;
    for (size_t k = 0; k < out.size(); ++k) {
      const int32_t n = out[k];
      const Column& c = table.columns[static_cast<size_t>(n - 1)];
      if (c.type == VarType::kCharacter && reported.insert(n).second) {
        error(character_variable_message(*origin[k], c.name, list));
        const std::string why = character_explanation(c);
        if (!why.empty()) error(why);
        ok = false;
      }
    }
  }
  if (!ok) return false;
  *numbers = std::move(out);
  if (origins != nullptr) {
    origins->clear();
    for (const Token* t : origin) origins->push_back(*t);
  }
  return true;
}

std::string character_variable_message(const Token& at, const std::string& name,
                                       const std::string& list) {
  return where(at) + ": Variable " + name + " in the " + list +
         " list is character; only numeric variables can be used there.";
}

}  // namespace host
