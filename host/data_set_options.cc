#include "host/data_set_options.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>

#include "host/statement_parser.h"
#include "host/suggest.h"
#include "host/text_util.h"

namespace host {

namespace {

const std::vector<std::string>& option_names() {
  static const std::vector<std::string> kNames = {"DROP", "FIRSTOBS", "KEEP",
                                                  "OBS",  "RENAME",   "WHERE"};
  return kNames;
}

class OptionsParser {
 public:
  OptionsParser(const std::vector<Token>& tokens, const Token& end, size_t* i,
                DataSetOptions* options, const ErrorSink& error)
      : t_(tokens), end_(end), i_(*i), out_(options), error_(error) {
    // Past the last token is the end, whatever token marks its place.
    end_.kind = TokenKind::kEnd;
  }

  bool run() {
    out_->at = at();
    ++i_;
    for (;;) {
      const Token& t = at();
      if (t.is_punct(")")) {
        ++i_;
        return ok_;
      }
      if (t.kind == TokenKind::kEnd) {
        fail(t, "Syntax error in the data set options: expected ), found " + found(t) + ".");
        return false;
      }
      if (t.kind != TokenKind::kName || t.literal || !at(1).is_punct("=")) {
        fail(t, "Syntax error in the data set options: expected an option such as KEEP=, found " +
                    found(t) + ".");
        recover();
        continue;
      }
      const std::string name = to_upper(t.text);
      i_ += 2;
      if (name == "KEEP" || name == "DROP") {
        variable_list(t, name == "KEEP" ? &out_->keep : &out_->drop);
      } else if (name == "RENAME") {
        rename(t);
      } else if (name == "WHERE") {
        where_option(t);
      } else if (name == "FIRSTOBS") {
        whole(t, 1, &out_->firstobs, &out_->firstobs_at);
      } else if (name == "OBS") {
        obs_option(t);
      } else {
        unknown_option(t, name);
      }
    }
  }

 private:
  // OBS=MAX reads every observation.
  void obs_option(const Token& t) {
    if (at().is_name("MAX")) {
      ++i_;
      out_->obs.reset();
    } else {
      whole(t, 0, &out_->obs, &out_->obs_at);
    }
  }

  void unknown_option(const Token& t, const std::string& name) {
    const std::string near = did_you_mean(name, option_names());
    std::vector<std::string> all;
    for (const std::string& n : option_names()) all.push_back(n + "=");
    fail(t, "Data set option " + name + "= is not known to talven." +
                (near.empty() ? " The data set options are " + join_names(all) + "." : near));
    skip_value();
  }

  const Token& at(size_t ahead = 0) const { return i_ + ahead < t_.size() ? t_[i_ + ahead] : end_; }

  static std::string found(const Token& t) {
    return t.kind == TokenKind::kEnd ? "the end of the statement" : t.as_written();
  }

  void fail(const Token& t, const std::string& message) {
    ok_ = false;
    error_(where(t) + ": " + message);
  }

  // An option's name: a plain name followed by "=".
  bool at_option() const {
    return at().kind == TokenKind::kName && !at().literal && at(1).is_punct("=");
  }

  // To the next option or the closing parenthesis.
  void recover() {
    ++i_;
    while (at().kind != TokenKind::kEnd && !at().is_punct(")") && !at_option()) skip_value();
  }

  void skip_value() {
    if (at().is_punct("(")) {
      int depth = 0;
      do {
        if (at().is_punct("(")) ++depth;
        if (at().is_punct(")")) --depth;
        ++i_;
      } while (depth > 0 && at().kind != TokenKind::kEnd);
      return;
    }
    if (at().kind != TokenKind::kEnd && !at().is_punct(")")) ++i_;
  }

  void variable_list(const Token& key, std::optional<VariableListOption>* target) {
    VariableListOption list;
    list.at = key;
    while (at().kind != TokenKind::kEnd && !at().is_punct(")") && !at_option()) {
      list.tokens.push_back(at());
      ++i_;
    }
    const std::string name = to_upper(key.text) + "=";
    if (!check_variable_list(list.tokens, at(), name, [&](const std::string& m) {
          ok_ = false;
          error_(m);
        })) {
      return;
    }
    *target = std::move(list);
  }

  void rename(const Token& key) {
    if (!at().is_punct("(")) {
      fail(at(), "Syntax error: expected ( after RENAME=, found " + found(at()) + ".");
      skip_value();
      return;
    }
    ++i_;
    bool any = false;
    while (!at().is_punct(")")) {
      if (at().kind != TokenKind::kName || !at(1).is_punct("=") || at(2).kind != TokenKind::kName) {
        fail(at(), "Syntax error in RENAME=: expected old=new, found " + found(at()) + ".");
        while (at().kind != TokenKind::kEnd && !at().is_punct(")")) ++i_;
        break;
      }
      out_->rename.emplace_back(at(), at(2));
      i_ += 3;
      any = true;
    }
    if (at().is_punct(")")) ++i_;
    if (!any && ok_) fail(key, "Syntax error: RENAME= names no variable to rename.");
  }

  void where_option(const Token& key) {
    if (!at().is_punct("(")) {
      fail(at(), "Syntax error: expected ( after WHERE=, found " + found(at()) + ".");
      skip_value();
      return;
    }
    const size_t open = i_;
    int depth = 0;
    std::vector<Token> inner;
    do {
      if (at().is_punct("(")) ++depth;
      if (at().is_punct(")")) --depth;
      if (i_ != open && depth > 0) inner.push_back(at());
      if (at().kind == TokenKind::kEnd) {
        fail(at(), "Syntax error: the expression of WHERE= is not closed by ).");
        return;
      }
      ++i_;
    } while (depth > 0);
    const Token close = t_[i_ - 1];
    auto clause = parse_where(inner, close, [&](const std::string& m) {
      ok_ = false;
      error_(m);
    });
    if (clause) out_->where = std::move(*clause);
    (void)key;
  }

  void whole(const Token& key, int64_t low, std::optional<int64_t>* target, Token* place) {
    const Token& v = at();
    const std::string name = to_upper(key.text);
    const double x = v.kind == TokenKind::kNumber ? std::strtod(v.text.c_str(), nullptr) : NAN;
    if (v.kind != TokenKind::kNumber || x != std::floor(x) || x < static_cast<double>(low) ||
        x > 9e15) {
      fail(v, name + "= needs a whole number of at least " + std::to_string(low) + ", found " +
                  found(v) + ".");
      skip_value();
      return;
    }
    ++i_;
    *target = static_cast<int64_t>(x);
    *place = v;
  }

  const std::vector<Token>& t_;
  Token end_;
  size_t& i_;
  DataSetOptions* out_;
  const ErrorSink& error_;
  bool ok_ = true;
};

}  // namespace

bool parse_data_set_options(const std::vector<Token>& tokens, const Token& end, size_t* i,
                            DataSetOptions* options, const ErrorSink& error) {
  return OptionsParser(tokens, end, i, options, error).run();
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
