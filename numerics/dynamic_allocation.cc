#include "numerics/dynamic_allocation.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace kestrion {

namespace {

constexpr const char* kind_letters(Kind kind) {
  switch (kind) {
    case Kind::Int:
      return "int";
    case Kind::Dbl:
      return "dbl";
    case Kind::Str:
      return "str";
    case Kind::Log:
      return "log";
  }
  return "???";
}

// Labels are built on the stack: the failure path runs when memory is short and must not need
// any itself.
struct LabelBuffer {
  char text[48];
  int length = 0;
  std::string_view view() const { return std::string_view(text, length > 0 ? length : 0); }
};

LabelBuffer make_label(Kind kind, int rank, bool release) {
  LabelBuffer label;
  // The historical dbl releases of rank 3 to 7 have no underscore before "dealloc".
  const char* routine =
      !release ? "_alloc" : (kind == Kind::Dbl && rank >= 3 ? "dealloc" : "_dealloc");
  label.length = std::snprintf(label.text, sizeof label.text, "%s%d%s in MOD dynamic_allocation",
                               kind_letters(kind), rank, routine);
  return label;
}

#ifdef KESTRION_FAULT_INJECTION
struct Seam {
  bool environment_read = false;
  int64_t countdown = 0;  // 0: disarmed; otherwise the call that makes it reach 0 fails
  int64_t calls = 0;
};
Seam g_seam;

void read_environment_once() {
  if (g_seam.environment_read) return;
  g_seam.environment_read = true;
  const char* value = std::getenv("KESTRION_FAIL_ALLOC");
  if (value == nullptr || *value == '\0') return;
  char* end = nullptr;
  const long long n = std::strtoll(value, &end, 10);
  if (*end == '\0' && n > 0) g_seam.countdown = n;
}

bool injected_failure() {
  read_environment_once();
  ++g_seam.calls;
  return g_seam.countdown > 0 && --g_seam.countdown == 0;
}

// KESTRION_COUNT_ALLOC=1: the process reports its number of checked allocations on standard error
// as it ends, so that a failure-injection sweep knows its last N.
struct CountReport {
  ~CountReport() {
    const char* value = std::getenv("KESTRION_COUNT_ALLOC");
    if (value == nullptr || *value == '\0' || std::strcmp(value, "0") == 0) return;
    std::fprintf(stderr, "KESTRION_ALLOC_COUNT=%lld\n", static_cast<long long>(g_seam.calls));
  }
};
CountReport g_count_report;
#endif

}  // namespace

std::string alloc_label(Kind kind, int rank) {
  return std::string(make_label(kind, rank, false).view());
}

std::string dealloc_label(Kind kind, int rank) {
  return std::string(make_label(kind, rank, true).view());
}

uint64_t allocation_limit_bytes() {
  static const uint64_t limit = [] {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    uint64_t bytes = 0;
    if (pages <= 0 || page_size <= 0 ||
        __builtin_mul_overflow(static_cast<uint64_t>(pages), static_cast<uint64_t>(page_size),
                               &bytes)) {
      return UINT64_MAX;  // unknown: leave the decision to the allocator
    }
    return bytes;
  }();
  return limit;
}

namespace detail {

bool admit_request(const int64_t* extent, int rank, uint64_t element_bytes, uint64_t& count) {
#ifdef KESTRION_FAULT_INJECTION
  if (injected_failure()) return false;
#endif
  count = 1;
  for (int d = 0; d < rank; ++d) {
    if (extent[d] < 0 || __builtin_mul_overflow(count, static_cast<uint64_t>(extent[d]), &count)) {
      return false;
    }
  }
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(count, element_bytes, &bytes)) return false;
  return bytes <= allocation_limit_bytes();
}

int32_t report_allocation_failure(ErrorRecord& record, ErrorCode code, Kind kind, int rank,
                                  bool release, const char* description) {
  const LabelBuffer label = make_label(kind, rank, release);
  ErrorDetails details;
  details.routine_label = label.view();
  if (description != nullptr) details.object_name = std::string_view(description);
  report_error(record, code, details);
  return -1;
}

}  // namespace detail

#ifdef KESTRION_FAULT_INJECTION
namespace fault {

void fail_nth_allocation(int64_t n) {
  // An explicit arming supersedes the environment variable.
  g_seam.environment_read = true;
  g_seam.countdown = n > 0 ? n : 0;
}

int64_t allocation_count() {
  return g_seam.calls;
}

void reset_counter() {
  g_seam.calls = 0;
}

}  // namespace fault
#endif

}  // namespace kestrion
