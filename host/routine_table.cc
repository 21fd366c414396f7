#include "host/routine_table.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

#include "host/routines.h"
#include "host/step_context.h"
#include "host/text_util.h"

namespace host {

namespace {

using routines::guarded;

template <size_t N>
struct RoutineName {
  constexpr RoutineName(const char (&s)[N]) {  // NOLINT: implicit by design
    for (size_t i = 0; i < N; ++i) text[i] = s[i];
  }
  char text[N];
};

// ---- Tracing for "SASPROCD": each call becomes a NOTE line.

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
  const StepContext* step = running_step();
  if (step != nullptr && step->trace) step_log().note("SASPROCD: " + text);
}

// Routines whose calls are not traced: one call per replicate would bury the log.
template <auto Fn>
constexpr bool kTraced = true;
template <>
constexpr bool kTraced<&routines::progress> = false;
// Handing over results is not a service the procedure asks of the host; a debug log with or
// without a report stays the same.
template <>
constexpr bool kTraced<&routines::stepResults> = false;

// The printf-style routines cannot forward their arguments; each has its own traced form.
void traced_log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  guarded("log", [&] { routines::log_v(format, args); });
  va_end(args);
}

void traced_listingText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  guarded("listingText", [&] {
    trace_note("listingText");
    routines::listing_text_v(format, args);
  });
  va_end(args);
}

int32_t traced_format(char* buffer, int32_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = guarded(
      "format",
      [&] {
        const int32_t written = routines::format_v(buffer, size, format, args);
        trace_note("format(" + show(static_cast<const void*>(buffer)) + ", " + show(size) +
                   ") = " + show(written));
        return written;
      },
      &routines::failure_format);
  va_end(args);
  return n;
}

template <auto Fn>
constexpr auto kTracedVariadic = nullptr;
template <>
constexpr auto kTracedVariadic<&routines::log> = &traced_log;
template <>
constexpr auto kTracedVariadic<&routines::listingText> = &traced_listingText;
template <>
constexpr auto kTracedVariadic<&routines::format> = &traced_format;

// The two table entries of one routine: guarded, and guarded with its call traced.
template <RoutineName Name, auto Fn, auto Failure>
struct Entry;

template <RoutineName Name, typename R, typename... A, R (*Fn)(A...), auto Failure>
struct Entry<Name, Fn, Failure> {
  static R plain(A... args) noexcept {
    return guarded(
        Name.text, [&] { return Fn(args...); }, Failure);
  }
  static R traced(A... args) noexcept {
    return guarded(
        Name.text,
        [&] {
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
        },
        Failure);
  }
  static constexpr R (*entry(bool trace))(A...) { return trace && kTraced<Fn> ? &traced : &plain; }
};

// The printf-style routines guard themselves and have a traced form of their own.
template <RoutineName Name, auto Fn, auto Failure>
constexpr auto table_entry(bool trace) {
  if constexpr (std::is_same_v<decltype(kTracedVariadic<Fn>), const std::nullptr_t>) {
    return Entry<Name, Fn, Failure>::entry(trace);
  } else {
    return trace ? kTracedVariadic<Fn> : Fn;
  }
}

// ---- The support modules.

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
  StepContext* step = running_step();
  if (step == nullptr) return 1;
  step->support_module = "SASPROCI";
  step->trace = false;
  step->trace_listing = false;
  return fill_table(table, false);
}

int32_t support_sasprocd(TalvenRoutines* table, TalvenParseHolder* /*holder*/,
                         const TalvenDebugSettings* debug, void* /*block16*/) {
  StepContext* step = running_step();
  if (step == nullptr) return 1;
  step->support_module = "SASPROCD";
  step->trace = true;
  step->trace_listing = debug != nullptr && debug->print != 0;
  return fill_table(table, true);
}

}  // namespace

TalvenRoutines routine_table(bool traced) {
  TalvenRoutines t{};
  t.size = sizeof(TalvenRoutines);
#define TALVEN_TABLE_ENTRY(needed, result, name, parameters, failure) \
  t.name = table_entry<#name, &routines::name, &routines::failure_##name>(traced);
  TALVEN_HOST_ROUTINES(TALVEN_TABLE_ENTRY)
#undef TALVEN_TABLE_ENTRY
  return t;
}

TalvenSupportEntry support_module_entry(const std::string& name) {
  const std::string wanted = to_upper(name);
  if (wanted == "SASPROCI") return &support_sasproci;
  if (wanted == "SASPROCD") return &support_sasprocd;
  return nullptr;
}

}  // namespace host
