#include "host/runner.h"

#include "host/step_services.h"
#include "host/text_util.h"

namespace host {

int exit_status(int errors, int warnings, bool step_failed) {
  if (errors > 0 || step_failed) return 2;
  return warnings > 0 ? 1 : 0;
}

ProgramRunner::ProgramRunner(const RunSettings& settings, Log& log, Listing& listing)
    : settings_(settings),
      log_(log),
      listing_(listing),
      libraries_(settings.work),
      modules_(settings.module_folders) {}

int ProgramRunner::run(std::string_view text) {
  run_program_text(text, *this);
  return exit_status(log_.errors(), log_.warnings(), step_failed_);
}

void ProgramRunner::run_step(const Step& step) {
  const std::string name = to_upper(step.name.text);
  const Result<TalvenMcnMain> entry = modules_.load(step.name.text);
  if (!entry) {
    log_.error(where(step.name) + ": " + entry.error());
    step_failed_ = true;
    return;
  }
  // Each step reads its data afresh: a file changed between steps is seen as it is now.
  DataSetLoader loader(libraries_);
  loader.set_note_sink([this](const std::string& note) { log_.note(note); });
  StepEnvironment env;
  env.log = &log_;
  env.listing = &listing_;
  env.loader = &loader;
  env.debug = settings_.debug;
  env.progress = settings_.progress;
  const StepOutcome outcome = run_procedure_step(*entry, name, step, env);
  if (outcome.failed) step_failed_ = true;
}

void ProgramRunner::libname(const Statement& st) {
  const std::vector<Token>& t = st.tokens;
  if (t.size() < 2 || t[1].kind != TokenKind::kName) {
    const Token& at = t.size() < 2 ? st.end : t[1];
    error(at.line, at.column, "Syntax error: expected a libref after LIBNAME.");
    return;
  }
  if (t.size() < 3 || t[2].kind != TokenKind::kString) {
    const Token& at = t.size() < 3 ? st.end : t[2];
    error(at.line, at.column,
          "Syntax error: expected the library's folder in quotes after LIBNAME " +
              to_upper(t[1].text) + ".");
    return;
  }
  if (t.size() > 3) {
    error(t[3].line, t[3].column,
          "Syntax error: expected ; after the folder, found " + t[3].text + ".");
    return;
  }
  const Result<void> assigned = libraries_.assign(t[1].text, t[2].text);
  if (!assigned) {
    error(t[2].line, t[2].column, assigned.error());
    return;
  }
  log_.note("Libref " + to_upper(t[1].text) + " refers to the folder " + t[2].text + ".");
}

void ProgramRunner::error(int line, int column, const std::string& message) {
  log_.error(where(line, column) + ": " + message);
}

void ProgramRunner::warning(int line, int column, const std::string& message) {
  log_.warning(where(line, column) + ": " + message);
}

}  // namespace host
