#include "host/data_set_options.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>

#include "host/suggest.h"
#include "host/text_util.h"
#include "host/token_cursor.h"
#include "host/variable_list.h"

namespace host {

namespace {

const std::vector<std::string>& option_names() {
  static const std::vector<std::string> kNames = {"DROP", "FIRSTOBS", "KEEP",
                                                  "OBS",  "RENAME",   "WHERE"};
  return kNames;
}

class OptionsParser {
 public:
  OptionsParser(TokenCursor& outer, DataSetOptions* options)
      : outer_(outer),
        in_(outer.rest(), end_of(outer), outer.sink(), kOptionListStyle),
        out_(options) {}

  bool run() {
    const bool ok = options();
    outer_.advance(in_.position());
    return ok;
  }

 private:
  // Past the last token is the end, whatever token marks its place.
  static Token end_of(const TokenCursor& outer) {
    Token end = outer.end();
    end.kind = TokenKind::kEnd;
    return end;
  }

  bool options() {
    out_->at = in_.at();
    in_.advance();
    for (;;) {
      const Token& t = in_.at();
      if (t.is_punct(")")) {
        in_.advance();
        return in_.ok();
      }
      if (t.kind == TokenKind::kEnd) {
        in_.syntax_error(t, "the data set options", ")");
        return false;
      }
      if (!at_option()) {
        in_.syntax_error(t, "the data set options", "an option such as KEEP=");
        recover();
        continue;
      }
      in_.advance(2);
      option(t, to_upper(t.text));
    }
  }

  void option(const Token& t, const std::string& name) {
    if (name == "KEEP" || name == "DROP") {
      variable_list(t, name == "KEEP" ? &out_->keep : &out_->drop);
    } else if (name == "RENAME") {
      rename(t);
    } else if (name == "WHERE") {
      where_option();
    } else if (name == "FIRSTOBS") {
      whole(t, 1, &out_->firstobs, &out_->firstobs_at);
    } else if (name == "OBS") {
      obs_option(t);
    } else {
      unknown_option(t, name);
    }
  }

  // OBS=MAX reads every observation.
  void obs_option(const Token& t) {
    if (in_.word("MAX")) {
      in_.advance();
      out_->obs.reset();
    } else {
      whole(t, 0, &out_->obs, &out_->obs_at);
    }
  }

  void unknown_option(const Token& t, const std::string& name) {
    const std::string near = did_you_mean(name, option_names());
    std::vector<std::string> all;
    for (const std::string& n : option_names()) all.push_back(n + "=");
    in_.fail(t, "Data set option " + name + "= is not known to talven." +
                    (near.empty() ? " The data set options are " + join_names(all) + "." : near));
    skip_value();
  }

  // An option's name: a plain name followed by "=".
  bool at_option() const { return in_.name() && !in_.at().literal && in_.punct("=", 1); }

  bool at_close() const { return in_.done() || in_.punct(")"); }

  // To the next option or the closing parenthesis.
  void recover() {
    in_.advance();
    while (!at_close() && !at_option()) skip_value();
  }

  void skip_value() {
    if (in_.punct("(")) {
      in_.skip_group();
    } else if (!at_close()) {
      in_.advance();
    }
  }

  void variable_list(const Token& key, std::optional<VariableListOption>* target) {
    VariableListOption list;
    list.at = key;
    while (!at_close() && !at_option()) {
      list.tokens.push_back(in_.at());
      in_.advance();
    }
    if (check_variable_list(list.tokens, in_.at(), to_upper(key.text) + "=", in_.sink())) {
      *target = std::move(list);
    }
  }

  // The parenthesis that must follow RENAME= and WHERE=; skips the value when it is not there.
  bool opens_group(const std::string& option) {
    if (in_.punct("(")) return true;
    in_.syntax_error(in_.at(), "", "( after " + option + "=");
    skip_value();
    return false;
  }

  void rename(const Token& key) {
    if (!opens_group("RENAME")) return;
    in_.advance();
    bool any = false;
    while (!in_.punct(")")) {
      if (!in_.name() || !in_.punct("=", 1) || !in_.name(2)) {
        in_.syntax_error(in_.at(), "RENAME=", "old=new");
        while (!at_close()) in_.advance();
        break;
      }
      out_->rename.emplace_back(in_.at(), in_.at(2));
      in_.advance(3);
      any = true;
    }
    if (in_.punct(")")) in_.advance();
    if (!any && in_.ok()) in_.fail(key, "Syntax error: RENAME= names no variable to rename.");
  }

  void where_option() {
    if (!opens_group("WHERE")) return;
    const std::span<const Token> from = in_.rest();
    const size_t start = in_.position();
    if (!in_.skip_group()) {
      in_.fail(in_.at(), "Syntax error: the expression of WHERE= is not closed by ).");
      return;
    }
    const size_t inside = in_.position() - start - 2;
    auto clause = parse_where(from.subspan(1, inside), *in_.previous(), in_.sink());
    if (clause) out_->where = std::move(*clause);
  }

  void whole(const Token& key, int64_t low, std::optional<int64_t>* target, Token* place) {
    const Token& v = in_.at();
    const double x = v.kind == TokenKind::kNumber ? std::strtod(v.text.c_str(), nullptr) : NAN;
    if (v.kind != TokenKind::kNumber || x != std::floor(x) || x < static_cast<double>(low) ||
        x > 9e15) {
      in_.fail(v, to_upper(key.text) + "= needs a whole number of at least " + std::to_string(low) +
                      ", found " + in_.found(v) + ".");
      skip_value();
      return;
    }
    in_.advance();
    *target = static_cast<int64_t>(x);
    *place = v;
  }

  TokenCursor& outer_;
  TokenCursor in_;
  DataSetOptions* out_;
};

}  // namespace

bool parse_data_set_options(TokenCursor& in, DataSetOptions* options) {
  return OptionsParser(in, options).run();
}

std::shared_ptr<const DataTable> select_rows(const DataTable& table,
                                             const std::vector<int64_t>& rows) {
  auto out = std::make_shared<DataTable>();
  out->rows = static_cast<int64_t>(rows.size());
  out->columns.reserve(table.columns.size());
  for (const Column& c : table.columns) {
    Column copy;
    copy.name = c.name;
    copy.type = c.type;
    copy.first_text = c.first_text;
    if (c.type == VarType::kNumeric) {
      copy.numbers.reserve(rows.size());
      for (int64_t r : rows) copy.numbers.push_back(c.numbers[static_cast<size_t>(r)]);
    } else {
      copy.texts.reserve(rows.size());
      for (int64_t r : rows) copy.texts.push_back(c.texts[static_cast<size_t>(r)]);
    }
    out->columns.push_back(std::move(copy));
  }
  return out;
}

namespace {

// KEEP= and DROP=; true when either is given.
bool keep_and_drop(const DataTable& raw, const DataSetOptions& options,
                   const std::string& data_set_name, std::vector<char>& kept,
                   const ErrorSink& sink) {
  bool projected = false;
  if (options.keep) {
    std::vector<int32_t> numbers;
    if (resolve_variable_list(options.keep->tokens, raw, data_set_name, "KEEP=", false, &numbers,
                              sink)) {
      std::fill(kept.begin(), kept.end(), 0);
      for (int32_t n : numbers) kept[static_cast<size_t>(n - 1)] = 1;
    }
    projected = true;
  }
  if (options.drop) {
    std::vector<int32_t> numbers;
    if (resolve_variable_list(options.drop->tokens, raw, data_set_name, "DROP=", false, &numbers,
                              sink)) {
      for (int32_t n : numbers) kept[static_cast<size_t>(n - 1)] = 0;
    }
    projected = true;
  }
  return projected;
}

// RENAME= of the kept variables, after which no two kept variables may share a name; true when a
// variable was renamed.
bool rename_columns(const DataTable& raw, const DataSetOptions& options,
                    const std::string& data_set_name, const std::vector<char>& kept,
                    std::vector<std::string>& names, const ErrorSink& sink) {
  bool renamed = false;
  for (const auto& [from, to] : options.rename) {
    size_t k = 0;
    while (k < names.size() && !iequals(raw.columns[k].name, from.text)) ++k;
    if (k == names.size() || !kept[k]) {
      sink(where(from) + ": Variable " + from.as_written() + " in the RENAME= list is not in " +
           data_set_name + (k < names.size() ? " after KEEP= and DROP=." : "."));
      continue;
    }
    names[k] = to.text;
    renamed = true;
  }
  std::set<std::string> seen;
  for (size_t k = 0; k < names.size(); ++k) {
    if (kept[k] && !seen.insert(to_upper(names[k])).second) {
      sink(where(options.at) + ": After RENAME=, two variables of " + data_set_name +
           " are named " + names[k] + ".");
    }
  }
  return renamed;
}

std::shared_ptr<const DataTable> project(const DataTable& raw, const std::vector<char>& kept,
                                         const std::vector<std::string>& names) {
  auto out = std::make_shared<DataTable>();
  out->rows = raw.rows;
  for (size_t k = 0; k < raw.columns.size(); ++k) {
    if (!kept[k]) continue;
    Column c = raw.columns[k];
    c.name = names[k];
    out->columns.push_back(std::move(c));
  }
  return out;
}

// FIRSTOBS= and OBS= among the rows WHERE selected (every row when nothing selected them).
bool window_rows(const DataSetOptions& options, int64_t table_rows,
                 const std::string& data_set_name, bool selected, std::vector<int64_t>& rows,
                 const ErrorSink& sink) {
  const int64_t first = options.firstobs.value_or(1);
  if (options.firstobs && options.obs && *options.obs > 0 && first > *options.obs) {
    sink(where(options.firstobs_at) + ": FIRSTOBS=" + std::to_string(first) +
         " is greater than OBS=" + std::to_string(*options.obs) + " for " + data_set_name +
         ": no observation would be read.");
    return false;
  }
  if (!selected) {
    for (int64_t r = 0; r < table_rows; ++r) rows.push_back(r);
  }
  const auto count = static_cast<int64_t>(rows.size());
  const int64_t last = std::min(count, options.obs.value_or(count));
  std::vector<int64_t> window;
  for (int64_t p = first - 1; p < last; ++p) window.push_back(rows[static_cast<size_t>(p)]);
  rows = std::move(window);
  return true;
}

}  // namespace

std::optional<ShapedTable> shape_table(std::shared_ptr<const DataTable> table,
                                       const DataSetOptions* options,
                                       const WhereClause* where_statement,
                                       const std::string& data_set_name, const ErrorSink& error) {
  if (options == nullptr && where_statement == nullptr) {
    return ShapedTable{std::move(table), {}};
  }
  const DataTable& raw = *table;
  bool ok = true;
  const ErrorSink sink = [&](const std::string& m) {
    ok = false;
    error(m);
  };

  // Variables: KEEP= and DROP= by their old names, then RENAME=.
  std::vector<char> kept(raw.columns.size(), 1);
  std::vector<std::string> names;
  names.reserve(raw.columns.size());
  for (const Column& c : raw.columns) names.push_back(c.name);
  bool projected = false;
  if (options != nullptr) {
    projected = keep_and_drop(raw, *options, data_set_name, kept, sink);
    projected = rename_columns(raw, *options, data_set_name, kept, names, sink) || projected;
  }
  if (!ok) return std::nullopt;
  const std::shared_ptr<const DataTable> shaped =
      projected ? project(raw, kept, names) : std::move(table);

  // Observations: WHERE, then FIRSTOBS= and OBS= among those it selects.
  const WhereClause* clause =
      options != nullptr && options->where ? &*options->where : where_statement;
  std::vector<int64_t> rows;
  bool selected = false;
  if (clause != nullptr) {
    auto chosen = select_where(*clause, *shaped, data_set_name, sink);
    if (!chosen) return std::nullopt;
    rows = std::move(*chosen);
    selected = true;
  }
  if (options != nullptr && (options->firstobs || options->obs)) {
    if (!window_rows(*options, shaped->rows, data_set_name, selected, rows, sink)) {
      return std::nullopt;
    }
    selected = true;
  }
  ShapedTable out;
  out.table = selected ? select_rows(*shaped, rows) : shaped;
  if (clause != nullptr) out.where_text = clause->text();
  return out;
}

}  // namespace host
