// Host routines: the log, the listing and its titles, formatting, and the progress line.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "host/routines.h"
#include "host/step_context.h"
#include "host/step_services.h"

namespace host::routines {

void report_failure(const char* routine, bool out_of_memory) noexcept {
  try {
    host_error(std::string("The host could not complete the call ") + routine +
               " of the procedure: " +
               (out_of_memory ? "there is not enough memory." : "an unexpected failure."));
  } catch (...) {
    return;  // nothing more can be said without memory
  }
}

void log_v(const char* format, va_list args) {
  if (running_step() == nullptr || format == nullptr) return;
  Severity severity = Severity::kPlain;
  const std::string f = translate_codes(format, CodeMode::kRender, &severity);
  step_log().write(severity, format_printf(f.c_str(), args));
}

void log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  guarded("log", [&] { log_v(format, args); });
  va_end(args);
}

void listing_text_v(const char* format, va_list args) {
  const StepContext* step = running_step();
  if (step == nullptr || format == nullptr) return;
  const std::string f = translate_codes(format, CodeMode::kPassThrough);
  step->env.listing->text(format_printf(f.c_str(), args));
}

void listingText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  guarded("listingText", [&] { listing_text_v(format, args); });
  va_end(args);
}

void listingEndLine() {
  const StepContext* step = running_step();
  if (step == nullptr) return;
  const std::string line = step->env.listing->end_line();
  if (step->trace_listing) step_log().note("SASPROCD: listing: " + line);
}

void titles(int32_t line, const char* text, int32_t length) {
  const StepContext* step = running_step();
  if (step == nullptr) return;
  if (line == 0) {
    step->env.listing->clear_titles();
    return;
  }
  if (text == nullptr) return;
  const size_t n = length >= 0 ? strnlen(text, static_cast<size_t>(length)) : std::strlen(text);
  step->env.listing->set_title(line, std::string_view(text, n));
}

void startListing() {
  const StepContext* step = running_step();
  if (step != nullptr) step->env.listing->start();
}

int32_t format_v(char* buffer, int32_t size, const char* format, va_list args) {
  if (buffer == nullptr || size <= 0 || format == nullptr) return 0;
  const std::string f = translate_codes(format, CodeMode::kPassThrough);
  const int n = std::vsnprintf(buffer, static_cast<size_t>(size), f.c_str(), args);
  if (n < 0) {
    buffer[0] = '\0';
    return 0;
  }
  return n < size ? n : size - 1;  // what is in the buffer, never more
}

int32_t format(char* buffer, int32_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = guarded(
      "format", [&] { return format_v(buffer, size, format, args); }, &failure_format);
  va_end(args);
  return n;
}

void progress(int32_t done, int32_t total) {
  StepContext* step = running_step();
  if (step != nullptr && step->progress) step->progress->update(done, total);
}

}  // namespace host::routines
