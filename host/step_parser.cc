// The parser of one step's statements against a procedure's grammar, with the statements and data
// set options the host handles itself.
#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <set>

#include "host/by_groups.h"
#include "host/data_set_options.h"
#include "host/statement_parser.h"
#include "host/suggest.h"
#include "host/text_util.h"
#include "host/where.h"

namespace host {

namespace {

std::string found(const Token& t) {
  switch (t.kind) {
    case TokenKind::kEnd:
      return "the end of the program";
    case TokenKind::kString:
      return "the string '" + t.text + "'";
    default:
      return t.text == ";" ? std::string(";") : t.as_written();
  }
}

const TalvenGrammarEntry* find_entry(const TalvenGrammar& g, std::string_view keyword) {
  for (int32_t k = 0; k < g.entryCount; ++k) {
    if (g.entries[k].keyword != nullptr && iequals(g.entries[k].keyword, keyword)) {
      return &g.entries[k];
    }
  }
  return nullptr;
}

struct ListStatement {
  const TalvenGrammarEntry* entry;
  const Statement* statement;
};

class StepParser {
 public:
  StepParser(const TalvenGrammar& grammar, const Step& step, DataSetLoader& loader,
             const ErrorSink& error, const ParseServices& services)
      : g_(grammar), step_(step), loader_(loader), sink_(error), services_(services) {
    proc_ = grammar.procedure != nullptr ? to_upper(grammar.procedure) : to_upper(step.name.text);
    shared_ = services.shared != nullptr ? services.shared : &own_shared_;
  }

  ParseResult run() {
    parse_options();
    const std::vector<ListStatement> lists = parse_statements();
    open_data_sets();
    locate_outputs();
    resolve_lists(lists);
    result_.status = result_.errors > 0 ? TALVEN_PARSE_FAILED + result_.errors - 1 : 0;
    return std::move(result_);
  }

 private:
  // The statements of the step's body; the variable lists among them, resolved later.
  std::vector<ListStatement> parse_statements() {
    std::vector<ListStatement> lists;
    for (const Statement& st : step_.body) {
      const Token& key = st.tokens.front();
      const TalvenGrammarEntry* e =
          key.kind == TokenKind::kName ? find_entry(g_, key.text) : nullptr;
      if (e == nullptr && key.is_name("WHERE")) {
        where_statement(st);
        continue;
      }
      if (e == nullptr && key.is_name("BY")) {
        by_ = parse_by(st, counting_sink());
        continue;
      }
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
    return lists;
  }

  // The variable lists against the data set they name variables of, once it is open.
  void resolve_lists(const std::vector<ListStatement>& lists) {
    ItemValue* data =
        result_.items.count(g_.varListDataItem) != 0 ? &result_.items[g_.varListDataItem] : nullptr;
    if (data != nullptr && data->given && data->data_set) {
      std::vector<ListStatement> current;
      for (const ListStatement& l : lists) {
        const ItemValue& v = result_.items[l.entry->number];
        // An earlier statement of the same kind is overridden by the last one.
        if (v.at.line == l.statement->tokens.front().line &&
            v.at.column == l.statement->tokens.front().column) {
          current.push_back(l);
        }
      }
      // Coding a character treatment changes what every list sees, so it comes first.
      code_two_level_lists(current, data->data_set.get());
      for (const ListStatement& l : current) {
        ItemValue& v = result_.items[l.entry->number];
        const std::vector<Token> body(l.statement->tokens.begin() + 1, l.statement->tokens.end());
        if (l.entry->numericOnly == TALVEN_VARLIST_TWO_LEVELS) {
          v.resolved = resolve_two_level_list(*l.entry, body, *data->data_set, &v.variables);
        } else {
          v.resolved = resolve_variable_list(body, *data->data_set->table, data->data_set->name,
                                             l.entry->keyword, l.entry->numericOnly != 0,
                                             &v.variables, counting_sink());
        }
      }
    }
  }

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

  // The procedure's statements and those the host offers in every step.
  std::vector<std::string> step_statements() const {
    std::vector<std::string> out = keywords(true, false);
    for (const char* s : {"BY", "FOOTNOTE", "ODS", "OPTIONS", "TITLE", "WHERE"})
      out.emplace_back(s);
    std::sort(out.begin(), out.end());
    return out;
  }

  // The nearest known options when one is near, else the list of them.
  std::string option_hint(const Token& typed) const {
    std::string near = did_you_mean(typed.text, keywords(false, false));
    if (!near.empty()) return near;
    return " The options of PROC " + proc_ + " are " + join_names(keywords(false, true)) + ".";
  }

  std::string statement_hint(const Token& typed) const {
    if (typed.kind != TokenKind::kName) return {};
    std::vector<std::string> known = step_statements();
    const std::vector<std::string>& global = global_statements();
    known.insert(known.end(), global.begin(), global.end());
    std::string near = did_you_mean(typed.text, known);
    if (!near.empty()) return near;
    return " The statements of PROC " + proc_ + " are " + join_names(step_statements()) + ".";
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
        std::string message = "Option " + to_upper(key.text);
        message.append(" is not known to PROC ").append(proc_).append(".").append(option_hint(key));
        fail(key, message);
        // Its value goes with it, so that a second misspelled option is reported as well.
        i = after_value(i + 1);
        continue;
      }
      const std::string name = to_upper(key.text);
      if (e->kind == TALVEN_ITEM_VARLIST) {
        std::string message = name;
        message.append(" is a statement of its own: write ")
            .append(name)
            .append(" followed by its variables and a semicolon after the PROC statement.");
        fail(key, message);
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
        ok =
            parse_data_set_name(name, &next, &v.data_set_ref) &&
            parse_data_set_options_of(name, e->kind == TALVEN_ITEM_DATASET, &next, &v.data_set_ref);
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

  // "(KEEP= ...)" after a data set name.
  bool parse_data_set_options_of(const std::string& option, bool input, size_t* i,
                                 DataSetRef* ref) {
    if (!at(*i).is_punct("(")) return true;
    if (!input) {
      fail(at(*i),
           "Data set options are not available for the output data set of " + option + "=.");
      int depth = 0;
      do {
        if (at(*i).is_punct("(")) ++depth;
        if (at(*i).is_punct(")")) --depth;
        ++*i;
      } while (depth > 0 && *i < step_.options.size());
      return false;
    }
    auto options = std::make_shared<DataSetOptions>();
    if (!parse_data_set_options(step_.options, step_.options_end, i, options.get(),
                                counting_sink())) {
      return false;
    }
    ref->options = std::move(options);
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
      if (!opened) {
        fail(it->second.at, to_upper(e.keyword) + "=: " + opened.error());
        continue;
      }
      std::unique_ptr<TalvenDataSet> ds = std::move(*opened);
      if (shape(e, it->second.data_set_ref, ds.get())) it->second.data_set = std::move(ds);
    }
  }

  // The data set as the step sees it: through its options and the step's WHERE, and for DATA=
  // in a step with BY, only the group being run. False after an error (reported).
  bool shape(const TalvenGrammarEntry& e, const DataSetRef& ref, TalvenDataSet* ds) {
    const bool is_data = e.number == g_.varListDataItem;
    const DataSetOptions* options = ref.options.get();
    const WhereClause* statement = is_data && where_ ? &*where_ : nullptr;
    if (statement != nullptr && options != nullptr && options->where) {
      note("The WHERE statement is not used for " + ds->name +
           ": its WHERE= data set option takes precedence.");
    }
    const int before = result_.errors;
    auto shaped = shape_table(ds->table, options, statement, ds->name, counting_sink());
    if (!shaped || result_.errors > before) return false;
    ds->table = std::move(shaped->table);
    ds->where_text = std::move(shaped->where_text);
    if (is_data && by_) return select_by_group(ds);
    return true;
  }

  bool select_by_group(TalvenDataSet* ds) {
    StepShared& shared = *shared_;
    if (!shared.planned) {
      auto plan = plan_by_groups(*ds->table, *by_, ds->name, counting_sink());
      if (!plan) {
        shared.plan_failed = true;
        return false;
      }
      shared.by = by_;
      shared.plan = std::move(*plan);
      shared.planned = true;
      shared.current = 0;
    }
    const std::vector<ByGroup>& groups = shared.plan.groups;
    if (groups.empty()) return true;  // no observations: one run, which sees none
    const ByGroup& g = groups[std::min(shared.current, groups.size() - 1)];
    std::vector<int64_t> rows;
    for (int64_t r = g.first; r < g.first + g.count; ++r) rows.push_back(r);
    ds->table = select_rows(*ds->table, rows);
    note("The BY group " + g.label + " (" + std::to_string(shared.current + 1) + " of " +
         std::to_string(groups.size()) + ") has " + std::to_string(g.count) + " observation" +
         (g.count == 1 ? "" : "s") + ".");
    return true;
  }

  void where_statement(const Statement& st) {
    std::vector<Token> body(st.tokens.begin() + 1, st.tokens.end());
    if (body.empty()) {  // WHERE; cancels the WHERE statements before it
      where_.reset();
      return;
    }
    bool also = false;
    if (body.front().is_name("ALSO")) {
      also = true;
      body.erase(body.begin());
    } else if (body.size() > 1 && body[0].is_name("SAME") && body[1].is_name("AND")) {
      also = true;
      body.erase(body.begin(), body.begin() + 2);
    }
    auto clause = parse_where(body, st.end, counting_sink());
    if (!clause) return;
    where_ = also && where_ ? where_and(*where_, *clause) : std::move(*clause);
  }

  void note(const std::string& text) {
    if (services_.note) services_.note(text);
  }

  // The option that gives a list's level count, for messages ("NTREATS1").
  std::string keyword_of(int32_t item) const {
    for (int32_t k = 0; k < g_.entryCount; ++k) {
      const TalvenGrammarEntry& e = g_.entries[k];
      if (e.number == item && e.kind == TALVEN_ITEM_INTEGER && e.keyword != nullptr) {
        return to_upper(e.keyword);
      }
    }
    return "the number of levels";
  }

  // True when the list's level count allows coding: its option absent or 2.
  bool two_levels_allowed(const TalvenGrammarEntry& e) const {
    const ItemValue* levels = result_.find(e.levelsItem);
    return levels == nullptr || std::trunc(levels->number) == 2.0;
  }

  // The distinct values of a character column (trailing blanks aside; blank is missing), in
  // SAS's sort order.
  static std::vector<std::string> distinct_texts(const Column& c) {
    std::vector<std::string> values;
    for (const std::string& t : c.texts) {
      std::string_view v = t;
      while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
      if (v.empty()) continue;
      const auto place = std::lower_bound(
          values.begin(), values.end(), v,
          [](const std::string& a, std::string_view b) { return compare_texts(a, b) < 0; });
      if (place == values.end() || compare_texts(*place, v) != 0) values.emplace(place, v);
    }
    return values;
  }

  using CodedColumns = std::map<size_t, std::pair<std::string, std::vector<std::string>>>;

  // The character variables with two values in the lists that accept them, by column, with the
  // list's name and the two values.
  CodedColumns two_level_columns(const std::vector<ListStatement>& lists, const TalvenDataSet& ds) {
    const DataTable& table = *ds.table;
    CodedColumns coded;
    for (const ListStatement& l : lists) {
      if (l.entry->numericOnly != TALVEN_VARLIST_TWO_LEVELS || !two_levels_allowed(*l.entry)) {
        continue;
      }
      std::vector<int32_t> numbers;
      const std::vector<Token> body(l.statement->tokens.begin() + 1, l.statement->tokens.end());
      if (!resolve_variable_list(body, table, ds.name, l.entry->keyword, false, &numbers,
                                 [](const std::string&) {})) {
        continue;  // reported when the list is resolved
      }
      for (int32_t n : numbers) {
        const auto k = static_cast<size_t>(n - 1);
        const Column& c = table.columns[k];
        if (c.type != VarType::kCharacter || coded.count(k) != 0) continue;
        std::vector<std::string> values = distinct_texts(c);
        if (values.size() == 2) coded[k] = {to_upper(l.entry->keyword), std::move(values)};
      }
    }
    return coded;
  }

  // The first value becomes -1, the second 1; a blank value is missing.
  static void code_column(Column& c, const std::vector<std::string>& values) {
    c.numbers.reserve(c.texts.size());
    for (const std::string& t : c.texts) {
      std::string_view v = t;
      while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
      c.numbers.push_back(v.empty() ? std::nan("") : compare_texts(v, values[0]) == 0 ? -1.0 : 1.0);
    }
    c.texts.clear();
    c.type = VarType::kNumeric;
    c.first_text.reset();
  }

  // Character treatments with two values become -1 and 1 in a copy of the table.
  void code_two_level_lists(const std::vector<ListStatement>& lists, TalvenDataSet* ds) {
    const CodedColumns coded = two_level_columns(lists, *ds);
    if (coded.empty()) return;
    auto copy = std::make_shared<DataTable>(*ds->table);
    for (const auto& [k, how] : coded) {
      Column& c = copy->columns[k];
      const std::vector<std::string>& values = how.second;
      code_column(c, values);
      note(how.first + " " + c.name + ": '" + values[0] + "' is coded -1 and '" + values[1] +
           "' 1.");
    }
    ds->original = ds->table;
    ds->table = std::move(copy);
  }

  // A list of TALVEN_VARLIST_TWO_LEVELS: numeric variables, and character ones coded above; any
  // other character variable is the usual error, with the values it holds.
  bool resolve_two_level_list(const TalvenGrammarEntry& e, const std::vector<Token>& body,
                              const TalvenDataSet& ds, std::vector<int32_t>* numbers) {
    std::vector<Token> origins;
    const std::string list = e.keyword;
    if (!resolve_variable_list(body, *ds.table, ds.name, list, false, numbers, counting_sink(),
                               &origins)) {
      return false;
    }
    bool ok = true;
    std::set<int32_t> reported;
    for (size_t k = 0; k < numbers->size(); ++k) {
      const Column& c = ds.table->columns[static_cast<size_t>((*numbers)[k] - 1)];
      if (c.type != VarType::kCharacter || !reported.insert((*numbers)[k]).second) continue;
      ok = false;
      const std::vector<std::string> values = distinct_texts(c);
      std::vector<std::string> shown;
      for (size_t v = 0; v < values.size() && v < 10; ++v) shown.push_back("'" + values[v] + "'");
      if (values.size() > 10) shown.push_back(std::to_string(values.size() - 10) + " more");
      fail_line(character_variable_message(origins[k], c.name, list));
      fail_line(c.name +
                (values.empty() ? " holds no value" : " holds the values " + join_names(shown)) +
                "; a character variable is accepted in " + to_upper(list) +
                " only when it holds two values and " + keyword_of(e.levelsItem) + "=2.");
    }
    if (!ok) numbers->clear();
    return ok;
  }

  void fail_line(const std::string& message) {
    ++result_.errors;
    sink_(message);
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
      if (written_earlier(k, e, out, target)) continue;
      refuse_if_read(e, out, target);
    }
  }

  bool written_earlier(int32_t k, const TalvenGrammarEntry& e, const ItemValue& out,
                       const std::filesystem::path& target) {
    std::error_code ec;
    for (int32_t j = 0; j < k; ++j) {
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
      return true;
    }
    return false;
  }

  void refuse_if_read(const TalvenGrammarEntry& e, const ItemValue& out,
                      const std::filesystem::path& target) {
    std::error_code ec;
    for (int32_t j = 0; j < g_.entryCount; ++j) {
      const TalvenGrammarEntry& in = g_.entries[j];
      const ItemValue* v = in.kind == TALVEN_ITEM_DATASET ? result_.find(in.number) : nullptr;
      if (v == nullptr || !v->data_set) continue;
      const auto source = locate_data_set(v->data_set_ref, loader_.libraries());
      if (source && std::filesystem::weakly_canonical(source->path, ec) == target) {
        fail(out.at, to_upper(e.keyword) + "=: The data set " + out.data_set_ref.display() +
                         " is read by this step (" + to_upper(in.keyword) +
                         "=); write the output to another data set.");
        return;
      }
    }
  }

  const TalvenGrammar& g_;
  const Step& step_;
  DataSetLoader& loader_;
  const ErrorSink& sink_;
  const ParseServices& services_;
  StepShared own_shared_;
  StepShared* shared_ = nullptr;
  std::string proc_;
  ParseResult result_;
  std::optional<WhereClause> where_;
  std::optional<ByStatement> by_;
};

}  // namespace

ParseResult parse_step(const TalvenGrammar& grammar, const Step& step, DataSetLoader& loader,
                       const ErrorSink& error, const ParseServices& services) {
  return StepParser(grammar, step, loader, error, services).run();
}

}  // namespace host
