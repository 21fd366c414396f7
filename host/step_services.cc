#include "host/step_services.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <type_traits>
#include <vector>

#include "host/csv_writer.h"
#include "host/memory.h"
#include "host/progress.h"
#include "host/statement_parser.h"
#include "host/text_util.h"

struct TalvenReader {
  TalvenDataSet* data_set = nullptr;
  int32_t capacity = 0;
  std::vector<std::pair<int32_t, double*>> bindings;  // 0-based column, target
  bool finished = false;
  int64_t row = -1;
  uint64_t sequence = 0;  // creation order, for the notes of readers the host ends
  int64_t delivered = 0;  // observations handed to the procedure
  bool advanced = false;  // asked for an observation at least once
  bool counted = false;   // its note is in the log
};

namespace host {

namespace {

// Everything one running step owns. Host routines carry no context argument, so the running
// step is reached through g_step.
struct StepContext {
  StepContext(const std::string& proc_name, const Step& s, const StepEnvironment& e)
      : name(proc_name), step(s), env(e) {}

  std::string name;
  const Step& step;
  const StepEnvironment& env;
  std::optional<ParseResult> parse;
  BlockTracker blocks;
  std::map<TalvenReader*, std::unique_ptr<TalvenReader>> readers;
  bool ended = false;
  int32_t end_code = -1;
  std::string support_module;
  bool trace = false;
  bool trace_listing = false;
  uint64_t readers_created = 0;
  std::optional<ProgressLine> progress;
};

StepContext* g_step = nullptr;
StepOutcome g_last_outcome;
std::optional<std::string> g_omitted_override;

Log& step_log() {
  // Whatever goes to the log may share the terminal with the progress line.
  if (g_step->progress) g_step->progress->clear();
  return *g_step->env.log;
}

void host_error(const std::string& text) {
  try {
    if (g_step != nullptr) step_log().error(text);
  } catch (...) {
    return;  // nothing more can be said without memory
  }
}

bool known_data_set(const TalvenDataSet* ds) {
  if (g_step == nullptr || ds == nullptr || !g_step->parse) return false;
  for (const auto& [item, value] : g_step->parse->items) {
    if (value.data_set.get() == ds) return true;
  }
  return false;
}

TalvenReader* known_reader(TalvenReader* r) {
  if (g_step == nullptr || r == nullptr) return nullptr;
  return g_step->readers.count(r) != 0 ? r : nullptr;
}

const ItemValue* given_item(int32_t item) {
  if (g_step == nullptr || !g_step->parse) return nullptr;
  return g_step->parse->find(item);
}

// ---- The routines of the table.

void r_endProcedure(int32_t code, int32_t /*zero*/) {
  if (g_step == nullptr) return;
  g_step->ended = true;
  g_step->end_code = code;
}

int32_t r_parseStatement(const TalvenGrammar* grammar, TalvenParseHolder* /*holder*/) {
  try {
    if (g_step == nullptr) return TALVEN_PARSE_FAILED;
    if (g_step->parse) return g_step->parse->status;  // parsed once per step
    if (grammar == nullptr || (grammar->entryCount > 0 && grammar->entries == nullptr) ||
        grammar->entryCount < 0) {
      host_error("PROCEDURE " + g_step->name + " handed the host an invalid grammar.");
      g_step->parse.emplace();
      g_step->parse->status = TALVEN_PARSE_FAILED;
      return g_step->parse->status;
    }
    g_step->parse = parse_step(*grammar, g_step->step, *g_step->env.loader,
                               [](const std::string& m) { host_error(m); });
    return g_step->parse->status;
  } catch (...) {
    return TALVEN_PARSE_FAILED;
  }
}

int32_t r_itemGiven(int32_t item) {
  return given_item(item) != nullptr ? 1 : 0;
}

double r_itemNumber(int32_t item) {
  const ItemValue* v = given_item(item);
  return v != nullptr ? v->number : 0.0;
}

TalvenDataSet* r_itemDataSet(int32_t item) {
  const ItemValue* v = given_item(item);
  return v != nullptr ? v->data_set.get() : nullptr;
}

int32_t r_itemVarCount(int32_t item) {
  const ItemValue* v = given_item(item);
  return v != nullptr && v->resolved ? static_cast<int32_t>(v->variables.size()) : 0;
}

int32_t r_itemVarNumber(int32_t item, int32_t index) {
  const ItemValue* v = given_item(item);
  if (v == nullptr || !v->resolved || index < 0 ||
      static_cast<size_t>(index) >= v->variables.size()) {
    return 0;
  }
  return v->variables[static_cast<size_t>(index)];
}

int32_t r_flagSet(int32_t flag) {
  if (g_step == nullptr || !g_step->parse) return 0;
  return g_step->parse->flags.count(flag) != 0 ? 1 : 0;
}

int64_t r_dataSetAttribute(TalvenDataSet* ds, int32_t code) {
  if (!known_data_set(ds)) return -1;
  if (code == TALVEN_ATTR_OBSERVATIONS) return ds->table->rows;
  if (code == TALVEN_ATTR_VARIABLES) return static_cast<int64_t>(ds->table->columns.size());
  return -1;
}

int32_t r_variableAttributes(TalvenDataSet* ds, int32_t var, char* name, int32_t nameSize,
                             int32_t* nameLength, int32_t* type) {
  if (!known_data_set(ds) || var < 1 || static_cast<size_t>(var) > ds->table->columns.size()) {
    return 1;
  }
  const Column& c = ds->table->columns[static_cast<size_t>(var) - 1];
  int32_t copied = 0;
  if (name != nullptr && nameSize > 0) {
    copied = static_cast<int32_t>(std::min(c.name.size(), static_cast<size_t>(nameSize - 1)));
    std::memcpy(name, c.name.data(), static_cast<size_t>(copied));
    name[copied] = '\0';
  }
  if (nameLength != nullptr) *nameLength = copied;
  if (type != nullptr) {
    *type = c.type == VarType::kNumeric ? TALVEN_VAR_NUMERIC : TALVEN_VAR_CHARACTER;
  }
  return 0;
}

int32_t r_declareVariables(TalvenDataSet* ds, int32_t code, const int32_t* numbers, int32_t count) {
  try {
    if (!known_data_set(ds) || code != TALVEN_DECLARE_VARIABLES || count < 0 ||
        (count > 0 && numbers == nullptr)) {
      return 1;
    }
    const int64_t nvars = static_cast<int64_t>(ds->table->columns.size());
    for (int32_t k = 0; k < count; ++k) {
      if (numbers[k] < 1 || numbers[k] > nvars) {
        host_error("PROCEDURE " + g_step->name + " declared variable number " +
                   std::to_string(numbers[k]) + " of " + ds->name + ", which has " +
                   std::to_string(nvars) + " variables.");
        return 1;
      }
    }
    ds->declared.assign(numbers, numbers + count);
    return 0;
  } catch (...) {
    return 1;
  }
}

int32_t r_prepareDataSet(TalvenDataSet* ds, int32_t code, int32_t /*item*/) {
  return known_data_set(ds) && code == TALVEN_PREPARE_READING ? 0 : 1;
}

const char* r_dataSetName(TalvenDataSet* ds) {
  return known_data_set(ds) ? ds->name.c_str() : "";
}

// Once per reader: when it reports the end of its data, or when it is ended before that.
void note_observations_read(TalvenReader* r) {
  try {
    if (r->counted || !r->advanced) return;
    r->counted = true;
    step_log().note("There were " + std::to_string(r->delivered) +
                    " observations read from the data set " + r->data_set->name + ".");
  } catch (...) {
    return;
  }
}

TalvenReader* r_readerCreate(TalvenDataSet* ds, int32_t count) {
  try {
    if (!known_data_set(ds) || count < 0) return nullptr;
    auto reader = std::make_unique<TalvenReader>();
    reader->data_set = ds;
    reader->capacity = count;
    reader->sequence = g_step->readers_created++;
    TalvenReader* raw = reader.get();
    g_step->readers.emplace(raw, std::move(reader));
    return raw;
  } catch (...) {
    return nullptr;
  }
}

int32_t r_readerBind(TalvenReader* r, int32_t var, double* target, int32_t length, int32_t type) {
  try {
    if (known_reader(r) == nullptr || target == nullptr || r->finished) return 1;
    const DataTable& t = *r->data_set->table;
    if (var < 1 || static_cast<size_t>(var) > t.columns.size() || length != 8 ||
        type != TALVEN_BIND_DOUBLE || r->bindings.size() >= static_cast<size_t>(r->capacity)) {
      host_error("PROCEDURE " + g_step->name + " bound variable number " + std::to_string(var) +
                 " of " + r->data_set->name + " in a way the host cannot honour.");
      return 1;
    }
    const Column& c = t.columns[static_cast<size_t>(var) - 1];
    if (c.type != VarType::kNumeric) {
      host_error("Variable " + c.name + " of " + r->data_set->name +
                 " is character; it cannot be read as a number.");
      return 1;
    }
    r->bindings.emplace_back(var - 1, target);
    return 0;
  } catch (...) {
    return 1;
  }
}

int32_t r_readerFinish(TalvenReader* r) {
  if (known_reader(r) == nullptr) return 1;
  r->finished = true;
  return 0;
}

int32_t r_readerNext(TalvenReader* r) {
  if (known_reader(r) == nullptr) return 0;
  r->advanced = true;
  if (r->row < r->data_set->table->rows) ++r->row;
  if (r->row < r->data_set->table->rows) {
    ++r->delivered;
    return 1;
  }
  note_observations_read(r);
  return 0;
}

int32_t r_readerTransfer(TalvenReader* r) {
  if (known_reader(r) == nullptr || r->row < 0 || r->row >= r->data_set->table->rows) return 1;
  const auto row = static_cast<size_t>(r->row);
  for (const auto& [column, target] : r->bindings) {
    *target = r->data_set->table->columns[static_cast<size_t>(column)].numbers[row];
  }
  return 0;
}

void r_readerEnd(TalvenReader* r) {
  if (known_reader(r) == nullptr) return;
  note_observations_read(r);
  g_step->readers.erase(r);
}

int32_t r_isMissing(double value) {
  return value != value ? 1 : 0;
}

void* r_allocate(size_t bytes) {
  return g_step != nullptr ? g_step->blocks.allocate(bytes) : nullptr;
}

void r_release(void* block) {
  if (g_step != nullptr && block != nullptr) g_step->blocks.release(block);
}

void r_fill(int32_t byte, void* address, size_t length) {
  if (address != nullptr) std::memset(address, byte, length);
}

int32_t r_compare(const void* a, const void* b, size_t length) {
  if (length == 0) return 0;
  if (a == nullptr || b == nullptr) return a == b ? 0 : 1;
  return std::memcmp(a, b, length);
}

void r_nameToText(char* field, int32_t length) {
  if (field == nullptr) return;
  for (int32_t k = length - 1; k >= 0 && (field[k] == ' ' || field[k] == '\0'); --k) {
    field[k] = '\0';
  }
}

void write_log_line(const char* format, va_list args) {
  try {
    if (g_step == nullptr || format == nullptr) return;
    Severity severity = Severity::kPlain;
    const std::string f = translate_codes(format, CodeMode::kRender, &severity);
    step_log().write(severity, format_printf(f.c_str(), args));
  } catch (...) {
    return;
  }
}

void r_log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_log_line(format, args);
  va_end(args);
}

void listing_text(const char* format, va_list args) {
  try {
    if (g_step == nullptr || format == nullptr) return;
    const std::string f = translate_codes(format, CodeMode::kPassThrough);
    g_step->env.listing->text(format_printf(f.c_str(), args));
  } catch (...) {
    return;
  }
}

void r_listingText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  listing_text(format, args);
  va_end(args);
}

void r_listingEndLine() {
  try {
    if (g_step == nullptr) return;
    const std::string line = g_step->env.listing->end_line();
    if (g_step->trace_listing) step_log().note("SASPROCD: listing: " + line);
  } catch (...) {
    return;
  }
}

void r_titles(int32_t line, const char* text, int32_t length) {
  try {
    if (g_step == nullptr) return;
    if (line == 0) {
      g_step->env.listing->clear_titles();
      return;
    }
    if (text == nullptr) return;
    const size_t n = length >= 0 ? strnlen(text, static_cast<size_t>(length)) : std::strlen(text);
    g_step->env.listing->set_title(line, std::string_view(text, n));
  } catch (...) {
    return;
  }
}

void r_startListing() {
  if (g_step != nullptr) g_step->env.listing->start();
}

int32_t format_into(char* buffer, int32_t size, const char* format, va_list args) {
  try {
    if (buffer == nullptr || size <= 0 || format == nullptr) return 0;
    const std::string f = translate_codes(format, CodeMode::kPassThrough);
    const int n = std::vsnprintf(buffer, static_cast<size_t>(size), f.c_str(), args);
    if (n < 0) {
      buffer[0] = '\0';
      return 0;
    }
    return n < size ? n : size - 1;  // what is in the buffer, never more
  } catch (...) {
    return 0;
  }
}

int32_t r_format(char* buffer, int32_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = format_into(buffer, size, format, args);
  va_end(args);
  return n;
}

// Checks what a procedure hands over for an output data set; empty when it is usable.
std::string invalid_output(const char* const* names, const int32_t* types, int32_t nVars,
                           const double* numbers, const char* const* texts, int64_t nObs) {
  if (nVars < 1 || names == nullptr || types == nullptr) return "it has no variables";
  if (nObs < 0 || nObs > INT32_MAX) return "its observation count is " + std::to_string(nObs);
  bool numeric = false, character = false;
  for (int32_t j = 0; j < nVars; ++j) {
    if (names[j] == nullptr || names[j][0] == '\0') {
      return "variable " + std::to_string(j + 1) + " has no name";
    }
    for (int32_t k = 0; k < j; ++k) {
      if (iequals(names[k], names[j])) {
        return std::string("variable name ") + names[j] + " appears twice";
      }
    }
    if (types[j] == TALVEN_VAR_NUMERIC) {
      numeric = true;
    } else if (types[j] == TALVEN_VAR_CHARACTER) {
      character = true;
    } else {
      return std::string("variable ") + names[j] + " has no known type";
    }
  }
  if (nObs > 0 && ((numeric && numbers == nullptr) || (character && texts == nullptr))) {
    return "its values are missing";
  }
  return {};
}

int32_t r_writeDataSet(int32_t item, const char* const* names, const int32_t* types, int32_t nVars,
                       const double* numbers, const char* const* texts, int64_t nObs) {
  if (g_step == nullptr) return 1;
  const ItemValue* v = given_item(item);
  std::string shown;
  try {
    if (v != nullptr) shown = v->data_set_ref.display();
    if (v == nullptr || v->output_path.empty()) {
      host_error("PROCEDURE " + g_step->name + " asked to write the data set of item " +
                 std::to_string(item) + ", which names no output data set.");
      return 1;
    }
    const std::string wrong = invalid_output(names, types, nVars, numbers, texts, nObs);
    if (!wrong.empty()) {
      host_error("PROCEDURE " + g_step->name + " handed the host an invalid data set " + shown +
                 ": " + wrong + ".");
      return 1;
    }
    DataTable table;
    table.rows = nObs;
    const auto n = static_cast<size_t>(nObs);
    for (int32_t j = 0; j < nVars; ++j) {
      Column c;
      c.name = names[j];
      const size_t first = static_cast<size_t>(j) * n;
      if (types[j] == TALVEN_VAR_NUMERIC) {
        c.type = VarType::kNumeric;
        if (n > 0) c.numbers.assign(numbers + first, numbers + first + n);
      } else {
        c.type = VarType::kCharacter;
        for (size_t i = 0; i < n; ++i) {
          c.texts.emplace_back(texts[first + i] != nullptr ? texts[first + i] : "");
        }
      }
      table.columns.push_back(std::move(c));
    }
    const std::string why = write_file_atomically(v->output_path, format_csv(table));
    if (!why.empty()) {
      host_error("The data set " + shown + " could not be written to " + v->output_path.string() +
                 ": " + why + ".");
      return 1;
    }
    step_log().note("The data set " + shown + " has " + std::to_string(nObs) +
                    " observations and " + std::to_string(nVars) + " variables.");
    return 0;
  } catch (...) {
    host_error("The data set " + shown + " could not be written: not enough memory.");
    return 1;
  }
}

void r_progress(int32_t done, int32_t total) {
  try {
    if (g_step != nullptr && g_step->progress) g_step->progress->update(done, total);
  } catch (...) {
    return;
  }
}

// ---- Tracing for "SASPROCD": each call becomes a NOTE line.

template <size_t N>
struct RoutineName {
  constexpr RoutineName(const char (&s)[N]) {  // NOLINT: implicit by design
    for (size_t i = 0; i < N; ++i) text[i] = s[i];
  }
  char text[N];
};

std::string show(int32_t v) {
  return std::to_string(v);
}
std::string show(int64_t v) {
  return std::to_string(v);
}
std::string show(uint64_t v) {
  return std::to_string(v);
}
std::string show(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}
std::string show(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

void trace_note(const std::string& text) {
  try {
    if (g_step != nullptr && g_step->trace) step_log().note("SASPROCD: " + text);
  } catch (...) {
    return;
  }
}

template <RoutineName Name, auto Fn>
struct Traced;

template <RoutineName Name, typename R, typename... A, R (*Fn)(A...)>
struct Traced<Name, Fn> {
  static R call(A... args) {
    std::string text = std::string(Name.text) + "(";
    bool first = true;
    ((text += (first ? "" : ", ") + show(args), first = false), ...);
    text += ")";
    if constexpr (std::is_void_v<R>) {
      trace_note(text);
      Fn(args...);
    } else {
      R result = Fn(args...);
      trace_note(text + " = " + show(result));
      return result;
    }
  }
};

void t_log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_log_line(format, args);
  va_end(args);
}

void t_listingText(const char* format, ...) {
  trace_note("listingText");
  va_list args;
  va_start(args, format);
  listing_text(format, args);
  va_end(args);
}

int32_t t_format(char* buffer, int32_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = format_into(buffer, size, format, args);
  va_end(args);
  trace_note("format(" + show(static_cast<const void*>(buffer)) + ", " + show(size) +
             ") = " + show(n));
  return n;
}

#define TALVEN_TRACED(name) &Traced<#name, &r_##name>::call

TalvenRoutines routine_table(bool traced) {
  TalvenRoutines t{};
  t.size = sizeof(TalvenRoutines);
  if (!traced) {
    t.endProcedure = &r_endProcedure;
    t.parseStatement = &r_parseStatement;
    t.itemGiven = &r_itemGiven;
    t.itemNumber = &r_itemNumber;
    t.itemDataSet = &r_itemDataSet;
    t.itemVarCount = &r_itemVarCount;
    t.itemVarNumber = &r_itemVarNumber;
    t.flagSet = &r_flagSet;
    t.dataSetAttribute = &r_dataSetAttribute;
    t.variableAttributes = &r_variableAttributes;
    t.declareVariables = &r_declareVariables;
    t.prepareDataSet = &r_prepareDataSet;
    t.dataSetName = &r_dataSetName;
    t.readerCreate = &r_readerCreate;
    t.readerBind = &r_readerBind;
    t.readerFinish = &r_readerFinish;
    t.readerNext = &r_readerNext;
    t.readerTransfer = &r_readerTransfer;
    t.readerEnd = &r_readerEnd;
    t.isMissing = &r_isMissing;
    t.allocate = &r_allocate;
    t.release = &r_release;
    t.fill = &r_fill;
    t.compare = &r_compare;
    t.nameToText = &r_nameToText;
    t.log = &r_log;
    t.listingText = &r_listingText;
    t.listingEndLine = &r_listingEndLine;
    t.titles = &r_titles;
    t.startListing = &r_startListing;
    t.format = &r_format;
    t.writeDataSet = &r_writeDataSet;
    t.progress = &r_progress;
    return t;
  }
  t.endProcedure = TALVEN_TRACED(endProcedure);
  t.parseStatement = TALVEN_TRACED(parseStatement);
  t.itemGiven = TALVEN_TRACED(itemGiven);
  t.itemNumber = TALVEN_TRACED(itemNumber);
  t.itemDataSet = TALVEN_TRACED(itemDataSet);
  t.itemVarCount = TALVEN_TRACED(itemVarCount);
  t.itemVarNumber = TALVEN_TRACED(itemVarNumber);
  t.flagSet = TALVEN_TRACED(flagSet);
  t.dataSetAttribute = TALVEN_TRACED(dataSetAttribute);
  t.variableAttributes = TALVEN_TRACED(variableAttributes);
  t.declareVariables = TALVEN_TRACED(declareVariables);
  t.prepareDataSet = TALVEN_TRACED(prepareDataSet);
  t.dataSetName = TALVEN_TRACED(dataSetName);
  t.readerCreate = TALVEN_TRACED(readerCreate);
  t.readerBind = TALVEN_TRACED(readerBind);
  t.readerFinish = TALVEN_TRACED(readerFinish);
  t.readerNext = TALVEN_TRACED(readerNext);
  t.readerTransfer = TALVEN_TRACED(readerTransfer);
  t.readerEnd = TALVEN_TRACED(readerEnd);
  t.isMissing = TALVEN_TRACED(isMissing);
  t.allocate = TALVEN_TRACED(allocate);
  t.release = TALVEN_TRACED(release);
  t.fill = TALVEN_TRACED(fill);
  t.compare = TALVEN_TRACED(compare);
  t.nameToText = TALVEN_TRACED(nameToText);
  t.log = &t_log;
  t.listingText = &t_listingText;
  t.listingEndLine = TALVEN_TRACED(listingEndLine);
  t.titles = TALVEN_TRACED(titles);
  t.startListing = TALVEN_TRACED(startListing);
  t.format = &t_format;
  t.writeDataSet = TALVEN_TRACED(writeDataSet);
  // Not traced: one call per replicate would bury the log.
  t.progress = &r_progress;
  return t;
}

#undef TALVEN_TRACED

int32_t fill_table(TalvenRoutines* table, bool traced) {
  if (table == nullptr) return 1;
  const TalvenRoutines full = routine_table(traced);
  // A module built against an older, shorter table gets only the entries it knows.
  const size_t size =
      table->size == 0 ? sizeof(TalvenRoutines) : std::min<size_t>(table->size, sizeof full);
  const uint32_t module_size = table->size;
  std::memcpy(static_cast<void*>(table), &full, size);
  table->size = module_size == 0 ? full.size : module_size;
  return 0;
}

int32_t support_sasproci(TalvenRoutines* table, TalvenParseHolder* /*holder*/,
                         const TalvenDebugSettings* /*debug*/, void* /*block16*/) {
  if (g_step == nullptr) return 1;
  g_step->support_module = "SASPROCI";
  g_step->trace = false;
  g_step->trace_listing = false;
  return fill_table(table, false);
}

int32_t support_sasprocd(TalvenRoutines* table, TalvenParseHolder* /*holder*/,
                         const TalvenDebugSettings* debug, void* /*block16*/) {
  if (g_step == nullptr) return 1;
  g_step->support_module = "SASPROCD";
  g_step->trace = true;
  g_step->trace_listing = debug != nullptr && debug->print != 0;
  return fill_table(table, true);
}

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
  if (g_step == nullptr || name == nullptr || !iequals(name, "DEBUG") || !g_step->env.debug) {
    return -1;
  }
  const std::string& v = *g_step->env.debug;
  if (buffer == nullptr || bufferSize <= 0) return -1;
  const size_t n = std::min(v.size(), static_cast<size_t>(bufferSize - 1));
  std::memcpy(buffer, v.data(), n);
  buffer[n] = '\0';
  return static_cast<int32_t>(n);
}

TalvenSupportEntry a_loadSupportModule(const char* name) {
  if (g_step == nullptr || name == nullptr) return nullptr;
  const std::string wanted = to_upper(name);
  if (wanted != "SASPROCI" && wanted != "SASPROCD") return nullptr;
  if (omitted(wanted)) return nullptr;
  return wanted == "SASPROCI" ? &support_sasproci : &support_sasprocd;
}

void a_hostMessage(const char* text) {
  try {
    if (g_step == nullptr || text == nullptr) return;
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
  } catch (...) {
    return;
  }
}

void a_endProcedure(int32_t code) {
  r_endProcedure(code, 0);
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
  StepContext* const outer = g_step;
  g_step = &context;
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
      // The holder is the step's parse result in spirit; routines reach it through g_step.
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
  for (TalvenReader* reader : left) note_observations_read(reader);
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
  g_step = outer;
  g_last_outcome = outcome;
  return outcome;
}

}  // namespace host
