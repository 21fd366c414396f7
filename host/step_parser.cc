#include "host/step_parser.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <set>

#include "host/by_groups.h"
#include "host/data_set_options.h"
#include "host/suggest.h"
#include "host/text_util.h"
#include "host/token_cursor.h"
#include "host/variable_list.h"
#include "host/where.h"

namespace host {

namespace {

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
      : g_(grammar),
        step_(step),
        loader_(loader),
        sink_(error),
        services_(services),
        in_(step.options, step.options_end, counting_sink()) {
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
      // A character treatment may be named in every list, so it is found first.
      text_treatments_ = two_level_columns(current, *data->data_set);
      for (const ListStatement& l : current) {
        ItemValue& v = result_.items[l.entry->number];
        const std::vector<Token> body(l.statement->tokens.begin() + 1, l.statement->tokens.end());
        if (l.entry->numericOnly == TALVEN_VARLIST_TWO_LEVELS) {
          v.resolved = resolve_two_level_list(*l.entry, body, *data->data_set, &v.variables);
        } else {
          v.resolved = resolve_variable_list(body, *data->data_set->table, data->data_set->name,
                                             l.entry->keyword, l.entry->numericOnly != 0,
                                             &v.variables, counting_sink(), nullptr, &v.factors,
                                             &text_treatments_);
        }
      }
    }
  }

  ErrorSink counting_sink() {
    return [this](const std::string& m) { fail_line(m); };
  }
  void fail(const Token& t, const std::string& message) { fail_line(where(t) + ": " + message); }
  void fail_line(const std::string& message) {
    ++result_.errors;
    sink_(message);
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

  // After an error, continue at the next word that is an option of the grammar.
  void recover() {
    while (!in_.done()) {
      const Token* before = in_.previous();
      const bool after_value =
          before != nullptr && (before->is_punct("=") || before->is_punct("."));
      if (in_.name() && !after_value && find_entry(g_, in_.at().text) != nullptr) return;
      in_.advance();
    }
  }

  // Past "= value" here, if there is one: a name, string or signed number, or libref.member.
  void skip_assigned_value() {
    if (!in_.punct("=")) return;
    in_.advance();
    if (in_.punct("-") || in_.punct("+")) in_.advance();
    if (in_.done()) return;
    in_.advance();
    if (in_.punct(".") && in_.name(1)) in_.advance(2);
  }

  void parse_options() {
    while (!in_.done()) {
      const Token& key = in_.at();
      in_.advance();
      if (key.kind != TokenKind::kName) {
        in_.syntax_error(key, "", "an option of PROC " + proc_);
        recover();
        continue;
      }
      const TalvenGrammarEntry* e = find_entry(g_, key.text);
      if (e == nullptr) {
        std::string message = "Option " + to_upper(key.text);
        message.append(" is not known to PROC ").append(proc_).append(".").append(option_hint(key));
        in_.fail(key, message);
        // Its value goes with it, so that a second misspelled option is reported as well.
        skip_assigned_value();
        continue;
      }
      if (!parse_option(key, *e)) recover();
    }
  }

  // One option of the grammar, after its keyword; false after an error.
  bool parse_option(const Token& key, const TalvenGrammarEntry& e) {
    const std::string name = to_upper(key.text);
    if (e.kind == TALVEN_ITEM_VARLIST) {
      in_.fail(key, name + " is a statement of its own: write " + name +
                        " followed by its variables and a semicolon after the PROC statement.");
      return false;
    }
    if (e.kind == TALVEN_ITEM_FLAG) {
      if (in_.punct("=")) {
        in_.fail(in_.at(), "Syntax error: " + name + " takes no value.");
        return false;
      }
      result_.flags.insert(e.number);
      return true;
    }
    if (!in_.punct("=")) {
      in_.syntax_error(in_.at(), "", "= after " + name);
      return false;
    }
    in_.advance();
    ItemValue v;
    v.given = true;
    v.at = key;
    bool ok = false;
    if (e.kind == TALVEN_ITEM_DATASET || e.kind == TALVEN_ITEM_OUTPUT_DATASET) {
      ok = parse_data_set_name(name, &v.data_set_ref) &&
           parse_data_set_options_of(name, e.kind == TALVEN_ITEM_DATASET, &v.data_set_ref);
    } else if (e.kind == TALVEN_ITEM_INTEGER || e.kind == TALVEN_ITEM_REAL) {
      ok = parse_number(name, &v.number);
    } else {
      in_.fail(key, "Option " + name + " has a kind that this host does not know.");
    }
    if (ok) result_.items[e.number] = std::move(v);
    return ok;
  }

  bool parse_data_set_name(const std::string& option, DataSetRef* ref) {
    const Token& t = in_.at();
    if (t.kind == TokenKind::kString) {
      if (t.text.empty()) {
        in_.fail(t, "The file name after " + option + "= is empty.");
        return false;
      }
      ref->quoted = true;
      ref->path = t.text;
      in_.advance();
      return true;
    }
    if (t.kind != TokenKind::kName) {
      in_.syntax_error(t, "", "a data set name after " + option + "=");
      return false;
    }
    if (!in_.punct(".", 1)) {
      ref->libref = "WORK";
      ref->member = t.text;
      in_.advance();
      return true;
    }
    if (!in_.name(2)) {
      in_.syntax_error(in_.at(2), "", "a data set name after " + t.text + ".");
      in_.advance(2);
      return false;
    }
    ref->libref = t.text;
    ref->member = in_.at(2).text;
    in_.advance(3);
    return true;
  }

  // "(KEEP= ...)" after a data set name.
  bool parse_data_set_options_of(const std::string& option, bool input, DataSetRef* ref) {
    if (!in_.punct("(")) return true;
    if (!input) {
      in_.fail(in_.at(),
               "Data set options are not available for the output data set of " + option + "=.");
      in_.skip_group();
      return false;
    }
    auto options = std::make_shared<DataSetOptions>();
    if (!parse_data_set_options(in_, options.get())) return false;
    ref->options = std::move(options);
    return true;
  }

  bool parse_number(const std::string& option, double* value) {
    bool negative = false;
    if (in_.punct("-") || in_.punct("+")) {
      negative = in_.at().text == "-";
      in_.advance();
    }
    const Token& t = in_.at();
    if (t.kind != TokenKind::kNumber) {
      in_.syntax_error(t, "", "a number after " + option + "=");
      return false;
    }
    in_.advance();
    const double v = std::strtod(t.text.c_str(), nullptr);
    if (!std::isfinite(v)) {
      in_.fail(t, "The value of " + option + "= is too large.");
      return false;
    }
    *value = negative ? -v : v;
    return true;
  }

  // The value of an entry of the grammar when it is of `kind` and the step gives it.
  ItemValue* given(const TalvenGrammarEntry& e, int32_t kind) {
    auto it = e.kind == kind ? result_.items.find(e.number) : result_.items.end();
    return it == result_.items.end() || !it->second.given ? nullptr : &it->second;
  }

  void open_data_sets() {
    for (int32_t k = 0; k < g_.entryCount; ++k) {
      const TalvenGrammarEntry& e = g_.entries[k];
      ItemValue* v = given(e, TALVEN_ITEM_DATASET);
      if (v == nullptr || v->data_set) continue;
      auto opened = loader_.open(v->data_set_ref);
      if (!opened) {
        fail(v->at, to_upper(e.keyword) + "=: " + opened.error());
        continue;
      }
      std::unique_ptr<TalvenDataSet> ds = std::move(*opened);
      if (shape(e, v->data_set_ref, ds.get())) v->data_set = std::move(ds);
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
      // Once per step, before the first group's run.
      const std::string unsorted = unsorted_groups_note(shared.plan, *by_);
      if (!unsorted.empty()) note(unsorted);
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
      const std::string_view v = trim_trailing_blanks(t);
      if (v.empty()) continue;
      const auto place = std::lower_bound(
          values.begin(), values.end(), v,
          [](const std::string& a, std::string_view b) { return compare_texts(a, b) < 0; });
      if (place == values.end() || compare_texts(*place, v) != 0) values.emplace(place, v);
    }
    return values;
  }

  // The character variables with two values in the lists that accept them, by variable number:
  // treatments that the study layer codes -1 and 1.
  std::set<int32_t> two_level_columns(const std::vector<ListStatement>& lists,
                                      const TalvenDataSet& ds) {
    const DataTable& table = *ds.table;
    std::set<int32_t> coded;
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
        const Column& c = table.columns[static_cast<size_t>(n - 1)];
        if (c.type == VarType::kCharacter && distinct_texts(c).size() == 2) coded.insert(n);
      }
    }
    return coded;
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
      if (c.type != VarType::kCharacter || text_treatments_.count((*numbers)[k]) != 0 ||
          !reported.insert((*numbers)[k]).second) {
        continue;
      }
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

  // Output data sets are checked now, not when they are written: a step that would only fail
  // at its end, after a long computation, fails before it starts.
  void locate_outputs() {
    for (int32_t k = 0; k < g_.entryCount; ++k) {
      const TalvenGrammarEntry& e = g_.entries[k];
      ItemValue* given_output = given(e, TALVEN_ITEM_OUTPUT_DATASET);
      if (given_output == nullptr) continue;
      ItemValue& out = *given_output;
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
      const ItemValue* w = given(other, TALVEN_ITEM_OUTPUT_DATASET);
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
      const ItemValue* v = given(in, TALVEN_ITEM_DATASET);
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
  std::set<int32_t> text_treatments_;  // character treatments the study layer codes
  TokenCursor in_;  // the PROC statement's options
  std::optional<WhereClause> where_;
  std::optional<ByStatement> by_;
};

}  // namespace

ParseResult parse_step(const TalvenGrammar& grammar, const Step& step, DataSetLoader& loader,
                       const ErrorSink& error, const ParseServices& services) {
  return StepParser(grammar, step, loader, error, services).run();
}

}  // namespace host
