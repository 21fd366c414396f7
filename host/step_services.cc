#include "host/step_services.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/routine_table.h"
#include "host/routines.h"
#include "host/step_context.h"
#include "host/text_util.h"

namespace host {

namespace {

StepOutcome g_last_outcome;
std::optional<std::string> g_omitted_override;

// ---- The anchor.

bool omitted(const std::string& module) {
#ifdef KESTRION_FAULT_INJECTION
  std::string list;
  if (g_omitted_override) {
    list = *g_omitted_override;
  } else if (const char* v = std::getenv("TALVEN_OMIT_SUPPORT_MODULES")) {
    list = v;
  }
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    if (iequals(trim_blanks(std::string_view(list).substr(start, comma - start)), module)) {
      return true;
    }
    start = comma + 1;
  }
#else
  (void)module;
#endif
  return false;
}

int32_t a_getHostValue(const char* name, char* buffer, int32_t bufferSize) {
  const StepContext* step = running_step();
  if (step == nullptr || name == nullptr || !iequals(name, "DEBUG") || !step->env.debug) {
    return -1;
  }
  const std::string& v = *step->env.debug;
  if (buffer == nullptr || bufferSize <= 0) return -1;
  const size_t n = std::min(v.size(), static_cast<size_t>(bufferSize - 1));
  std::memcpy(buffer, v.data(), n);
  buffer[n] = '\0';
  return static_cast<int32_t>(n);
}

TalvenSupportEntry no_support_module() {
  return nullptr;
}

TalvenSupportEntry a_loadSupportModule(const char* name) {
  return routines::guarded(
      "loadSupportModule",
      [&]() -> TalvenSupportEntry {
        if (running_step() == nullptr || name == nullptr || omitted(to_upper(name))) {
          return nullptr;
        }
        return support_module_entry(name);
      },
      &no_support_module);
}

void host_message(const char* text) {
  if (running_step() == nullptr || text == nullptr) return;
  Severity severity = Severity::kPlain;
  std::string line = translate_codes(text, CodeMode::kRender, &severity);
  // The message is literal text: undo the doubling that made it a printf format.
  for (size_t p = line.find("%%"); p != std::string::npos; p = line.find("%%", p + 1)) {
    line.erase(p, 1);
  }
  if (severity == Severity::kPlain) {
    // Without a code, the two support-module messages keep their known weight.
    if (istarts_with(line, "Cannot load the SASPROCI")) {
      severity = Severity::kError;
      line = "ERROR: " + line;
    } else if (istarts_with(line, "Cannot load the SASPROCD")) {
      severity = Severity::kWarning;
      line = "WARNING: " + line;
    } else {
      severity = Severity::kNote;
      line = "NOTE: " + line;
    }
  }
  step_log().write(severity, line);
}

void a_hostMessage(const char* text) {
  routines::guarded("hostMessage", [&] { host_message(text); });
}

void a_endProcedure(int32_t code) {
  routines::endProcedure(code, 0);
}

const TalvenAnchor kAnchor = {sizeof(TalvenAnchor), &a_getHostValue, &a_loadSupportModule,
                              &a_hostMessage, &a_endProcedure};

std::string image_tag(const TalvenImageInformation* info) {
  return std::string(info->tag, TALVEN_IMAGE_TAG_LENGTH);
}

}  // namespace

void set_omitted_support_modules(const std::optional<std::string>& names) {
  g_omitted_override = names;
}

const StepOutcome& last_step_outcome() {
  return g_last_outcome;
}

StepOutcome run_procedure_step(TalvenMcnMain mcn_main, const std::string& name, const Step& step,
                               const StepEnvironment& env) {
  const auto started = std::chrono::steady_clock::now();
  StepContext context(name, step, env);
  const RunningStep running(&context);
  Log& log = *env.log;
  if (env.progress != nullptr) {
    std::FILE* terminal = env.progress;
    const auto seconds = [] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
    };
    context.progress.emplace(
        [terminal](std::string_view text) {
          std::fwrite(text.data(), 1, text.size(), terminal);
          std::fflush(terminal);
        },
        seconds, seconds());
  }

  bool driver_ran = false;
  const TalvenImageInformation* info = mcn_main(&kAnchor);
  if (info == nullptr || image_tag(info) != TALVEN_IMAGE_TAG) {
    log.error("The module of PROCEDURE " + name +
              " returned no image information; it is not a procedure module.");
  } else if (info->header == nullptr || info->header->driver == nullptr) {
    log.error("The module of PROCEDURE " + name + " has no procedure header or driver.");
  } else {
    const std::string header_name(info->header->name, strnlen(info->header->name, 8));
    if (!iequals(trim_blanks(header_name), name)) {
      log.error("The module loaded for PROCEDURE " + name + " holds the procedure " +
                std::string(trim_blanks(header_name)) + ".");
    } else {
      driver_ran = true;
      // The holder is the step's parse result in spirit; routines reach it through running_step().
      try {
        info->header->driver(reinterpret_cast<TalvenParseHolder*>(&context));
      } catch (...) {
        // A module must not let an exception out; if one does, the step is an error stop.
        log.error("PROCEDURE " + name + " stopped with an unexpected failure.");
        context.ended = true;
        context.end_code = TALVEN_END_ERROR;
      }
    }
  }

  if (context.progress) context.progress->clear();
  StepOutcome outcome;
  outcome.ended = context.ended;
  outcome.end_code = context.end_code;
  outcome.support_module = context.support_module;
  outcome.results = std::move(context.results);
  outcome.settings = std::move(context.settings);
  if (driver_ran && !context.ended) {
    log.error("PROCEDURE " + name + " returned without ending the procedure.");
  }
  outcome.failed = !driver_ran || !context.ended || context.end_code != TALVEN_END_OK;

  env.listing->finish_step();
  outcome.readers_ended = context.readers.size();
  std::vector<TalvenReader*> left;
  for (const auto& [reader, owned] : context.readers) left.push_back(reader);
  std::sort(left.begin(), left.end(),
            [](const TalvenReader* a, const TalvenReader* b) { return a->sequence < b->sequence; });
  for (TalvenReader* reader : left) {
    routines::guarded("readerEnd", [&] { note_observations_read(reader); });
  }
  context.readers.clear();
  outcome.blocks_freed = context.blocks.release_all();
  if (context.trace) {
    log.note("SASPROCD: the host ended " + std::to_string(outcome.readers_ended) +
             " readers and freed " + std::to_string(outcome.blocks_freed) +
             " blocks that PROCEDURE " + name + " left.");
  }
  if (driver_ran && outcome.failed) {
    log.note("The system stopped processing PROCEDURE " + name + " because of errors.");
  }
  outcome.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  char timing[128];
  std::snprintf(timing, sizeof timing, "PROCEDURE %s used: real time %.2f seconds", name.c_str(),
                outcome.seconds);
  log.note(timing);
  g_last_outcome = outcome;
  return outcome;
}

}  // namespace host
