// Splits program text into statements and groups them into steps.
#ifndef TALVEN_HOST_PROGRAM_H
#define TALVEN_HOST_PROGRAM_H

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/lexer.h"
#include "host/log.h"

namespace host {

struct Statement {
  std::vector<Token> tokens;  // without the closing ';'
  Token end;                  // the ';' (or the end of the text when it is missing)
  bool terminated = true;
};

// One PROC step: the PROC statement and the statements that follow it up to its end.
struct Step {
  Token proc_keyword;
  Token name;                  // the procedure's name as written
  std::vector<Token> options;  // the PROC statement after the name
  Token options_end;           // its ';'
  std::vector<Statement> body;
};

// What the program structure asks of its runner, in program order.
class ProgramActions {
 public:
  virtual ~ProgramActions() = default;
  virtual void run_step(const Step& step) = 0;
  virtual void libname(const Statement& statement) = 0;
  // TITLE, FOOTNOTE or OPTIONS outside a step (inside one they are statements of the step).
  virtual void session_statement(const Statement& statement) = 0;
  // A problem with the program's structure, at line/column.
  virtual void error(int line, int column, const std::string& message) = 0;
  virtual void warning(int line, int column, const std::string& message) = 0;
};

// Receives one message per problem, each naming its place.
using ErrorSink = std::function<void(const std::string& message)>;

// Where the messages about a statement go: severity, the token they concern, the text.
using StatementReport = std::function<void(Severity, const Token&, const std::string&)>;

// Reads the whole text; each step is run as soon as it ends, so the log follows the program.
void run_program_text(std::string_view text, ProgramActions& actions);

// The statements that may stand outside a PROC step (in upper case).
const std::vector<std::string>& global_statements();

// "line L, column C" for messages.
std::string where(int line, int column);
inline std::string where(const Token& t) {
  return where(t.line, t.column);
}

// The statement as the user wrote it, for messages: tokens joined by blanks, cut when long.
std::string describe_statement(const std::vector<Token>& tokens);

}  // namespace host

#endif  // TALVEN_HOST_PROGRAM_H
