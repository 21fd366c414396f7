#include "host/program.h"

#include <optional>

#include "host/session.h"
#include "host/suggest.h"
#include "host/text_util.h"

namespace host {

const std::vector<std::string>& global_statements() {
  static const std::vector<std::string> kStatements = {"FOOTNOTE", "LIBNAME", "ODS", "OPTIONS",
                                                       "PROC",     "QUIT",    "RUN", "TITLE"};
  return kStatements;
}

std::string where(int line, int column) {
  return "Line " + std::to_string(line) + ", column " + std::to_string(column);
}

std::string describe_statement(const std::vector<Token>& tokens) {
  std::string out;
  for (const Token& t : tokens) {
    if (!out.empty()) out += ' ';
    out += t.as_written();
    if (out.size() > 40) {
      out += " ...";
      break;
    }
  }
  return out;
}

namespace {

// Statements in order: PROC opens a step, RUN or QUIT (or the next PROC, LIBNAME or the end)
// runs it, and global statements outside a step act at once.
class ProgramReader {
 public:
  ProgramReader(std::string_view text, ProgramActions& actions) : lexer_(text), actions_(actions) {}

  void run() {
    for (;;) {
      std::optional<Statement> st = read_statement();
      if (!st) {
        // The rest of the text is swallowed by the open string or comment; the step it was in
        // cannot be trusted, so it is not run.
        step_.reset();
        return;
      }
      if (st->tokens.empty()) {
        if (!st->terminated) break;
        continue;  // an empty statement
      }
      if (!st->terminated) {
        actions_.warning(st->tokens.front().line, st->tokens.front().column,
                         "The last statement, " + describe_statement(st->tokens) +
                             ", is not ended by a semicolon; it is taken as ended.");
      }
      const bool terminated = st->terminated;
      statement(std::move(*st));
      if (!terminated) break;
    }
    drop_broken_step();
    finish_step();
  }

 private:
  // The tokens up to a semicolon or the end; none after a lexical error, which is reported.
  std::optional<Statement> read_statement() {
    Statement st;
    for (;;) {
      Token t = lexer_.next();
      if (t.kind == TokenKind::kError) {
        actions_.error(t.line, t.column, "Syntax error: " + t.text + ".");
        return std::nullopt;
      }
      if (t.kind == TokenKind::kEnd) {
        st.end = t;
        st.terminated = false;
        return st;
      }
      if (t.is_punct(";")) {
        st.end = t;
        return st;
      }
      st.tokens.push_back(std::move(t));
    }
  }

  void statement(Statement st) {
    const Token& first = st.tokens.front();
    if (first.is_name("PROC")) {
      finish_step();
      proc_statement(st);
    } else if (first.is_name("RUN") || first.is_name("QUIT")) {
      run_statement(st);
    } else if (first.is_name("LIBNAME")) {
      drop_broken_step();
      finish_step();
      actions_.libname(st);
    } else if (step_) {
      step_->body.push_back(std::move(st));
    } else if (is_session_statement(st)) {
      actions_.session_statement(st);
    } else {
      actions_.error(
          first.line, first.column,
          "Statement " + describe_statement(st.tokens) + " is not valid outside a PROC step." +
              (first.kind == TokenKind::kName ? did_you_mean(first.text, global_statements())
                                              : std::string()));
    }
  }

  void proc_statement(const Statement& st) {
    step_.emplace();
    broken_ = st.tokens.size() < 2 || st.tokens[1].kind != TokenKind::kName;
    if (broken_) {
      const Token& at = st.tokens.size() < 2 ? st.end : st.tokens[1];
      actions_.error(at.line, at.column, "Syntax error: expected a procedure name after PROC.");
      // The statements that follow belong to this broken step; collect and drop them.
      step_->name.kind = TokenKind::kError;
      return;
    }
    step_->proc_keyword = st.tokens.front();
    step_->name = st.tokens[1];
    step_->options.assign(st.tokens.begin() + 2, st.tokens.end());
    step_->options_end = st.end;
  }

  void run_statement(const Statement& st) {
    const Token& first = st.tokens.front();
    if (st.tokens.size() > 1) {
      actions_.error(st.tokens[1].line, st.tokens[1].column,
                     "Syntax error: expected ; after " + to_upper(first.text) + ", found " +
                         st.tokens[1].text + ".");
    }
    // RUN or QUIT with no open step does nothing, as users expect after a step that failed.
    if (broken_step()) {
      step_.reset();
    } else {
      finish_step();
    }
  }

  bool broken_step() const { return step_.has_value() && broken_; }

  void drop_broken_step() {
    if (broken_step()) step_.reset();
  }

  void finish_step() {
    if (step_) {
      Step done = std::move(*step_);
      step_.reset();
      actions_.run_step(done);
    }
  }

  Lexer lexer_;
  ProgramActions& actions_;
  std::optional<Step> step_;
  bool broken_ = false;  // step_ has no procedure name
};

}  // namespace

void run_program_text(std::string_view text, ProgramActions& actions) {
  ProgramReader(text, actions).run();
}

}  // namespace host
