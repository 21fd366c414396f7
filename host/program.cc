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

void run_program_text(std::string_view text, ProgramActions& actions) {
  Lexer lexer(text);
  std::optional<Step> step;
  auto finish_step = [&] {
    if (step) {
      Step done = std::move(*step);
      step.reset();
      actions.run_step(done);
    }
  };

  for (;;) {
    Statement st;
    bool lexical_error = false;
    for (;;) {
      Token t = lexer.next();
      if (t.kind == TokenKind::kError) {
        actions.error(t.line, t.column, "Syntax error: " + t.text + ".");
        lexical_error = true;
        break;
      }
      if (t.kind == TokenKind::kEnd) {
        st.end = t;
        st.terminated = false;
        break;
      }
      if (t.is_punct(";")) {
        st.end = t;
        break;
      }
      st.tokens.push_back(std::move(t));
    }
    if (lexical_error) {
      // The rest of the text is swallowed by the open string or comment; the step it was in
      // cannot be trusted, so it is not run.
      step.reset();
      return;
    }
    if (st.tokens.empty()) {
      if (!st.terminated) break;
      continue;  // an empty statement
    }
    if (!st.terminated) {
      actions.warning(st.tokens.front().line, st.tokens.front().column,
                      "The last statement, " + describe_statement(st.tokens) +
                          ", is not ended by a semicolon; it is taken as ended.");
    }

    const bool terminated = st.terminated;
    const Token& first = st.tokens.front();
    if (first.is_name("PROC")) {
      finish_step();
      if (st.tokens.size() < 2 || st.tokens[1].kind != TokenKind::kName) {
        const Token& at = st.tokens.size() < 2 ? st.end : st.tokens[1];
        actions.error(at.line, at.column, "Syntax error: expected a procedure name after PROC.");
        // The statements that follow belong to this broken step; collect and drop them.
        step.emplace();
        step->name.kind = TokenKind::kError;
      } else {
        step.emplace();
        step->proc_keyword = first;
        step->name = st.tokens[1];
        step->options.assign(st.tokens.begin() + 2, st.tokens.end());
        step->options_end = st.end;
      }
    } else if (first.is_name("RUN") || first.is_name("QUIT")) {
      if (st.tokens.size() > 1) {
        actions.error(st.tokens[1].line, st.tokens[1].column,
                      "Syntax error: expected ; after " + to_upper(first.text) + ", found " +
                          st.tokens[1].text + ".");
      }
      // RUN or QUIT with no open step does nothing, as users expect after a step that failed.
      if (step && step->name.kind == TokenKind::kError) {
        step.reset();
      } else {
        finish_step();
      }
    } else if (first.is_name("LIBNAME")) {
      if (step && step->name.kind == TokenKind::kError) step.reset();
      finish_step();
      actions.libname(st);
    } else if (step) {
      step->body.push_back(std::move(st));
    } else if (is_session_statement(st)) {
      actions.session_statement(st);
    } else {
      actions.error(
          first.line, first.column,
          "Statement " + describe_statement(st.tokens) + " is not valid outside a PROC step." +
              (first.kind == TokenKind::kName ? did_you_mean(first.text, global_statements())
                                              : std::string()));
    }
    if (!terminated) break;
  }
  if (step && step->name.kind == TokenKind::kError) step.reset();
  finish_step();
}

}  // namespace host
