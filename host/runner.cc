#include "host/runner.h"

#include <cstdlib>
#include <ctime>
#include <set>

#include "host/csv_writer.h"
#include "host/interrupt.h"
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
      modules_(settings.module_folders),
      reports_(log, settings.report_info) {
  report_ = [this](Severity severity, const Token& at, const std::string& message) {
    const std::string text = where(at) + ": " + message;
    if (severity == Severity::kError) {
      log_.error(text);
    } else if (severity == Severity::kWarning) {
      log_.warning(text);
    } else {
      log_.note(text);
    }
  };
  // OPTIONS DATE shows when the session began; SOURCE_DATE_EPOCH fixes it for repeatable output.
  std::time_t now = std::time(nullptr);
  bool utc = false;
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
    char* end = nullptr;
    const long long seconds = std::strtoll(epoch, &end, 10);
    if (end != epoch && *end == '\0') {
      now = static_cast<std::time_t>(seconds);
      utc = true;
    }
  }
  listing_.set_date_text(session_date_text(now, utc));
  reports_.set_created(session_date_text(now, utc));
  for (const auto& [file, what] : settings.protected_files) reports_.protect(file, what);
}

void ProgramRunner::session_statement(const Statement& statement) {
  check_interrupt();
  apply_session_statement(statement, log_, listing_, report_, &reports_);
}

Result<void> ProgramRunner::open_html(const std::filesystem::path& file) {
  Result<void> usable = reports_.check(file);
  if (usable) reports_.open_run_report(file);
  return usable;
}

int ProgramRunner::run(std::string_view text) {
  try {
    run_program_text(text, *this);
  } catch (const RunInterrupted& stop) {
    log_.error("The run was interrupted by signal " + signal_name(stop.signal) + ".");
    reports_.finish();
    return 128 + stop.signal;
  }
  reports_.finish();
  return exit_status(log_.errors(), log_.warnings(), step_failed_);
}

void ProgramRunner::run_step(const Step& given) {
  check_interrupt();
  // The step's own messages go to the HTML reports with it.
  StepMessages messages(log_);
  const Step step =
      without_session_statements(given, [this](const Statement& st) { session_statement(st); });
  const std::string name = to_upper(step.name.text);
  ReportStep record;
  record.procedure = name;
  record.line = step.proc_keyword.line;
  for (const std::string& t : listing_.user_titles()) {
    if (!t.empty()) record.titles.push_back(t);
  }
  for (const std::string& f : listing_.footnotes()) {
    if (!f.empty()) record.footnotes.push_back(f);
  }
  const Result<TalvenMcnMain> entry = modules_.load(step.name.text);
  if (!entry) {
    log_.error(where(step.name) + ": " + entry.error());
    step_failed_ = true;
  } else {
    run_groups(*entry, name, step, messages, &record);
  }
  record.messages = messages.take();
  if (reports_.collecting()) reports_.add_step(record);
  check_interrupt();
}

void ProgramRunner::run_groups(TalvenMcnMain entry, const std::string& name, const Step& step,
                               StepMessages& messages, ReportStep* record) {
  // Each step reads its data afresh: a file changed between steps is seen as it is now.
  DataSetLoader loader(libraries_);
  loader.set_note_sink([this](const std::string& note) { log_.note(note); });
  StepEnvironment env;
  env.log = &log_;
  env.listing = &listing_;
  env.loader = &loader;
  env.debug = settings_.debug;
  env.progress = settings_.progress;
  // With a BY statement the first run's parse splits DATA= into groups; each group is a run.
  StepShared shared;
  env.shared = &shared;
  std::vector<std::vector<ReportSetting>> settings;
  for (;;) {
    StepOutcome outcome = run_procedure_step(entry, name, step, env);
    if (outcome.failed) step_failed_ = true;
    ReportGroup group;
    if (shared.planned && shared.current < shared.plan.groups.size()) {
      group.by_line = shared.plan.groups[shared.current].label;
    }
    // The procedure's own title line, which it set for the results it handed over.
    if (outcome.results && record->heading.empty() && !listing_.titles().empty()) {
      record->heading = std::string(trim_blanks(listing_.titles().front()));
    }
    group.results = std::move(outcome.results);
    group.messages = messages.take();
    record->groups.push_back(std::move(group));
    settings.push_back(std::move(outcome.settings));
    if (!shared.planned) break;
    for (auto& [item, out] : shared.outputs) {
      // A group that failed adds no rows.
      if (out.group_written && !outcome.failed && !append_rows(&out.table, out.group)) {
        log_.error("The groups of " + out.shown + " do not have the same variables.");
        step_failed_ = true;
      }
      out.group = DataTable();
      out.group_written = false;
    }
    if (++shared.current >= shared.plan.groups.size()) break;
  }
  listing_.set_by_line("");
  write_group_outputs(shared);
  record->options = merge_settings(record->groups, settings);
}

void ProgramRunner::write_group_outputs(const StepShared& shared) {
  // An interrupted step leaves its outputs as earlier steps wrote them.
  if (interrupt_signal() != 0) return;
  for (const auto& [item, out] : shared.outputs) {
    if (out.table.columns.empty()) continue;  // no group ended normally
    std::set<std::string> names;
    bool clash = false;
    for (const Column& c : out.table.columns) {
      if (!names.insert(to_upper(c.name)).second) {
        log_.error("The data set " + out.shown + " is not written: the BY variable " + c.name +
                   " has the name of one of its variables; rename it with RENAME=.");
        clash = true;
        break;
      }
    }
    if (clash) {
      step_failed_ = true;
      continue;
    }
    const Result<void> written = write_file_atomically(out.path, format_csv(out.table));
    if (!written) {
      log_.error(write_failure(out.shown, out.path, written.error()));
      step_failed_ = true;
      continue;
    }
    log_.note("The data set " + out.shown + " has " + std::to_string(out.table.rows) +
              " observations and " + std::to_string(out.table.columns.size()) + " variables.");
  }
}

namespace {

// The one character of DLM='c' or DLM='hh'x; none when the value is not a single usable one.
std::optional<char> delimiter_character(const Token& v) {
  std::string value = v.text;
  if (v.kind == TokenKind::kString && v.suffix == "X" && v.text.size() == 2) {
    value = std::string(1, static_cast<char>(std::strtol(v.text.c_str(), nullptr, 16)));
  }
  if (v.kind != TokenKind::kString || value.size() != 1 || value == "\"" || value == "\n" ||
      value == "\r" || (v.suffix != "" && v.suffix != "X")) {
    return std::nullopt;
  }
  return value[0];
}

}  // namespace

void ProgramRunner::libname(const Statement& st) {
  check_interrupt();
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
  std::optional<char> delimiter;
  for (size_t i = 3; i < t.size();) {
    if (!(t[i].is_name("DLM") || t[i].is_name("DELIMITER")) || i + 2 >= t.size() ||
        !t[i + 1].is_punct("=")) {
      error(t[i].line, t[i].column,
            "Syntax error: expected ; or DLM= after the folder, found " + t[i].as_written() + ".");
      return;
    }
    const Token& v = t[i + 2];
    delimiter = delimiter_character(v);
    if (!delimiter) {
      error(v.line, v.column,
            "DLM= needs one character in quotes, as in DLM=';' or DLM='09'x for a tab; found " +
                v.as_written() + ".");
      return;
    }
    i += 3;
  }
  const Result<void> assigned = libraries_.assign(t[1].text, t[2].text, delimiter);
  if (!assigned) {
    error(t[2].line, t[2].column, assigned.error());
    return;
  }
  std::string shown;
  if (delimiter) {
    shown = *delimiter == '\t'
                ? std::string(" (text files with tabs between fields)")
                : " (text files with " + std::string(1, *delimiter) + " between fields" +
                      (*delimiter == ';' ? " and , as the decimal mark)" : ")");
  }
  log_.note("Libref " + to_upper(t[1].text) + " refers to the folder " + t[2].text + shown + ".");
}

void ProgramRunner::error(int line, int column, const std::string& message) {
  log_.error(where(line, column) + ": " + message);
}

void ProgramRunner::warning(int line, int column, const std::string& message) {
  log_.warning(where(line, column) + ": " + message);
}

}  // namespace host
