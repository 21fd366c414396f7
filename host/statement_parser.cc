#include "host/statement_parser.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "host/csv_reader.h"
#include "host/suggest.h"
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
                           bool numeric_only, std::vector<int32_t>* numbers,
                           const ErrorSink& error) {
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
        const Token& t = *origin[k];
        error(where(t) + ": Variable " + c.name + " in the " + list +
              " list is character; only numeric variables can be used there.");
        const std::string why = character_explanation(c);
        if (!why.empty()) error(why);
        ok = false;
      }
    }
  }
  if (!ok) return false;
  *numbers = std::move(out);
  return true;
}

namespace {

const TalvenGrammarEntry* find_entry(const TalvenGrammar& g, std::string_view keyword) {
  for (int32_t k = 0; k < g.entryCount; ++k) {
    if (g.entries[k].keyword != nullptr && iequals(g.entries[k].keyword, keyword)) {
      return &g.entries[k];
    }
  }
  return nullptr;
}

class StepParser {
 public:
  StepParser(const TalvenGrammar& grammar, const Step& step, DataSetLoader& loader,
             const ErrorSink& error)
      : g_(grammar), step_(step), loader_(loader), sink_(error) {
    proc_ = grammar.procedure != nullptr ? to_upper(grammar.procedure) : to_upper(step.name.text);
  }

  ParseResult run() {
    parse_options();
    struct ListStatement {
      const TalvenGrammarEntry* entry;
      const Statement* statement;
    };
    std::vector<ListStatement> lists;
    for (const Statement& st : step_.body) {
      const Token& key = st.tokens.front();
      const TalvenGrammarEntry* e =
          key.kind == TokenKind::kName ? find_entry(g_, key.text) : nullptr;
      if (e == nullptr) {
        fail(key, "Statement " + describe_statement(st.tokens) + " is not valid in PROC " + proc_ +
                      "." + statement_hint(key));
        continue;
      }
      if (e->kind != TALVEN_ITEM_VARLIST) {
        fail(key, to_upper(key.text) + " is an option of the PROC " + proc_ +
                      " statement, not a statement of its own.");
        continue;
      }
      const std::vector<Token> body(st.tokens.begin() + 1, st.tokens.end());
      if (!check_variable_list(body, st.end, e->keyword, counting_sink())) continue;
      lists.push_back({e, &st});
      ItemValue& v = result_.items[e->number];  // the last statement of a kind holds
      v = ItemValue{};
      v.given = true;
      v.at = key;
    }
    open_data_sets();
    locate_outputs();

    const ItemValue* data = result_.find(g_.varListDataItem);
    if (data != nullptr && data->data_set) {
      for (const ListStatement& l : lists) {
        ItemValue& v = result_.items[l.entry->number];
        if (v.at.line != l.statement->tokens.front().line ||
            v.at.column != l.statement->tokens.front().column) {
          continue;  // an earlier statement of the same kind, overridden
        }
        const std::vector<Token> body(l.statement->tokens.begin() + 1, l.statement->tokens.end());
        v.resolved = resolve_variable_list(body, *data->data_set->table, data->data_set->name,
                                           l.entry->keyword, l.entry->numericOnly != 0,
                                           &v.variables, counting_sink());
      }
    }
    result_.status = result_.errors > 0 ? TALVEN_PARSE_FAILED + result_.errors - 1 : 0;
    return std::move(result_);
  }

 private:
  ErrorSink counting_sink() {
    return [this](const std::string& m) {
      ++result_.errors;
      sink_(m);
    };
  }
  void fail(const Token& t, const std::string& message) {
    ++result_.errors;
    sink_(where(t) + ": " + message);
  }
  void expected(const Token& t, const std::string& what) {
    fail(t, "Syntax error: expected " + what + ", found " + found(t) + ".");
  }

  // The grammar's options (with "=" when they take a value) or statements, in alphabetical order.
  std::vector<std::string> keywords(bool statements, bool with_equals) const {
    std::vector<std::string> out;
    for (int32_t k = 0; k < g_.entryCount; ++k) {
      const TalvenGrammarEntry& e = g_.entries[k];
      if (e.keyword == nullptr || (e.kind == TALVEN_ITEM_VARLIST) != statements) continue;
      const bool valued = e.kind != TALVEN_ITEM_FLAG && e.kind != TALVEN_ITEM_VARLIST;
      out.push_back(to_upper(e.keyword) + (with_equals && valued ? "=" : ""));
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // The nearest known options when one is near, else the list of them.
  std::string option_hint(const Token& typed) const {
    const std::string near = did_you_mean(typed.text, keywords(false, false));
    if (!near.empty()) return near;
    return " The options of PROC " + proc_ + " are " + join_names(keywords(false, true)) + ".";
  }

  std::string statement_hint(const Token& typed) const {
    if (typed.kind != TokenKind::kName) return {};
    std::vector<std::string> known = keywords(true, false);
    const std::vector<std::string> global = global_statements();
    known.insert(known.end(), global.begin(), global.end());
    const std::string near = did_you_mean(typed.text, known);
    if (!near.empty()) return near;
    return " The statements of PROC " + proc_ + " are " + join_names(keywords(true, false)) + ".";
  }

  const Token& at(size_t i) const {
    return i < step_.options.size() ? step_.options[i] : step_.options_end;
  }

  // After an error, continue at the next word that is an option of the grammar.
  size_t recover(size_t i) const {
    while (i < step_.options.size()) {
      const Token& t = step_.options[i];
      const bool after_value =
          i > 0 && (step_.options[i - 1].is_punct("=") || step_.options[i - 1].is_punct("."));
      if (t.kind == TokenKind::kName && !after_value && find_entry(g_, t.text) != nullptr) break;
      ++i;
    }
    return i;
  }

  // Past "= value" at i, if there is one: a name, string or signed number, or libref.member.
  size_t after_value(size_t i) const {
    if (!at(i).is_punct("=")) return i;
    ++i;
    if (at(i).is_punct("-") || at(i).is_punct("+")) ++i;
    if (at(i).kind == TokenKind::kEnd) return i;
    ++i;
    if (at(i).is_punct(".") && at(i + 1).kind == TokenKind::kName) i += 2;
    return i;
  }

  void parse_options() {
    size_t i = 0;
    const size_t n = step_.options.size();
    while (i < n) {
      const Token& key = step_.options[i];
      if (key.kind != TokenKind::kName) {
        expected(key, "an option of PROC " + proc_);
        i = recover(i + 1);
        continue;
      }
      const TalvenGrammarEntry* e = find_entry(g_, key.text);
      if (e == nullptr) {
        fail(key, "Option " + to_upper(key.text) + " is not known to PROC " + proc_ + "." +
                      option_hint(key));
        // Its value goes with it, so that a second misspelled option is reported as well.
        i = after_value(i + 1);
        continue;
      }
      const std::string name = to_upper(key.text);
      if (e->kind == TALVEN_ITEM_VARLIST) {
        fail(key, name + " is a statement of its own: write " + name +
                      " followed by its variables and a semicolon after the PROC statement.");
        i = recover(i + 1);
        continue;
      }
      if (e->kind == TALVEN_ITEM_FLAG) {
        if (at(i + 1).is_punct("=")) {
          fail(at(i + 1), "Syntax error: " + name + " takes no value.");
          i = recover(i + 1);
          continue;
        }
        result_.flags.insert(e->number);
        ++i;
        continue;
      }
      if (!at(i + 1).is_punct("=")) {
        expected(at(i + 1), "= after " + name);
        i = recover(i + 1);
        continue;
      }
      ItemValue v;
      v.given = true;
      v.at = key;
      size_t next = i + 2;
      bool ok = true;
      if (e->kind == TALVEN_ITEM_DATASET || e->kind == TALVEN_ITEM_OUTPUT_DATASET) {
        ok = parse_data_set_name(name, &next, &v.data_set_ref);
      } else if (e->kind == TALVEN_ITEM_INTEGER || e->kind == TALVEN_ITEM_REAL) {
        ok = parse_number(name, &next, &v.number);
      } else {
        fail(key, "Option " + name + " has a kind that this host does not know.");
        ok = false;
      }
      if (!ok) {
        i = recover(next);
        continue;
      }
      result_.items[e->number] = std::move(v);
      i = next;
    }
  }

  bool parse_data_set_name(const std::string& option, size_t* i, DataSetRef* ref) {
    const Token& t = at(*i);
    if (t.kind == TokenKind::kString) {
      if (t.text.empty()) {
        fail(t, "The file name after " + option + "= is empty.");
        return false;
      }
      ref->quoted = true;
      ref->path = t.text;
      *i += 1;
      return true;
    }
    if (t.kind != TokenKind::kName) {
      expected(t, "a data set name after " + option + "=");
      return false;
    }
    if (at(*i + 1).is_punct(".")) {
      if (at(*i + 2).kind != TokenKind::kName) {
        expected(at(*i + 2), "a data set name after " + t.text + ".");
        *i += 2;
        return false;
      }
      ref->libref = t.text;
      ref->member = at(*i + 2).text;
      *i += 3;
      return true;
    }
    ref->libref = "WORK";
    ref->member = t.text;
    *i += 1;
    return true;
  }

  bool parse_number(const std::string& option, size_t* i, double* value) {
    size_t k = *i;
    bool negative = false;
    if (at(k).is_punct("-") || at(k).is_punct("+")) {
      negative = at(k).text == "-";
      ++k;
    }
    const Token& t = at(k);
    if (t.kind != TokenKind::kNumber) {
      expected(t, "a number after " + option + "=");
      *i = k;
      return false;
    }
    const double v = std::strtod(t.text.c_str(), nullptr);
    *i = k + 1;
    if (!std::isfinite(v)) {
      fail(t, "The value of " + option + "= is too large.");
      return false;
    }
    *value = negative ? -v : v;
    return true;
  }

  void open_data_sets() {
    for (int32_t k = 0; k < g_.entryCount; ++k) {
      const TalvenGrammarEntry& e = g_.entries[k];
      if (e.kind != TALVEN_ITEM_DATASET) continue;
      auto it = result_.items.find(e.number);
      if (it == result_.items.end() || !it->second.given || it->second.data_set) continue;
      auto opened = loader_.open(it->second.data_set_ref);
      if (opened) {
        it->second.data_set = std::move(*opened);
      } else {
        fail(it->second.at, to_upper(e.keyword) + "=: " + opened.error());
      }
    }
  }

  // Output data sets are checked now, not when they are written: a step that would only fail
  // at its end, after a long computation, fails before it starts.
  void locate_outputs() {
    for (int32_t k = 0; k < g_.entryCount; ++k) {
      const TalvenGrammarEntry& e = g_.entries[k];
      if (e.kind != TALVEN_ITEM_OUTPUT_DATASET) continue;
      auto it = result_.items.find(e.number);
      if (it == result_.items.end() || !it->second.given) continue;
      ItemValue& out = it->second;
      const auto located = locate_output_data_set(out.data_set_ref, loader_.libraries());
      if (!located) {
        fail(out.at, to_upper(e.keyword) + "=: " + located.error());
        continue;
      }
      out.output_path = *located;
      // Replacing a data set the step reads would destroy its input.
      std::error_code ec;
      const std::filesystem::path target = std::filesystem::weakly_canonical(out.output_path, ec);
      // Two outputs of one step in one file: the later would silently replace the earlier.
      bool twice = false;
      for (int32_t j = 0; j < k && !twice; ++j) {
        const TalvenGrammarEntry& other = g_.entries[j];
        const ItemValue* w =
            other.kind == TALVEN_ITEM_OUTPUT_DATASET ? result_.find(other.number) : nullptr;
        if (w == nullptr || w->output_path.empty() ||
            std::filesystem::weakly_canonical(w->output_path, ec) != target) {
          continue;
        }
        fail(out.at, to_upper(e.keyword) + "=: The data set " + out.data_set_ref.display() +
                         " is also written by this step (" + to_upper(other.keyword) +
                         "=); write the output to another data set.");
        twice = true;
      }
      if (twice) continue;
      for (int32_t j = 0; j < g_.entryCount; ++j) {
        const TalvenGrammarEntry& in = g_.entries[j];
        const ItemValue* v = in.kind == TALVEN_ITEM_DATASET ? result_.find(in.number) : nullptr;
        if (v == nullptr || !v->data_set) continue;
        const auto source = locate_data_set(v->data_set_ref, loader_.libraries());
        if (source && std::filesystem::weakly_canonical(source->path, ec) == target) {
          fail(out.at, to_upper(e.keyword) + "=: The data set " + out.data_set_ref.display() +
                           " is read by this step (" + to_upper(in.keyword) +
                           "=); write the output to another data set.");
          break;
        }
      }
    }
  }

  const TalvenGrammar& g_;
  const Step& step_;
  DataSetLoader& loader_;
  const ErrorSink& sink_;
  std::string proc_;
  ParseResult result_;
};

}  // namespace

ParseResult parse_step(const TalvenGrammar& grammar, const Step& step, DataSetLoader& loader,
                       const ErrorSink& error) {
  return StepParser(grammar, step, loader, error).run();
}

}  // namespace host
