#include "host/memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host {

namespace {
int64_t g_allocations = 0;
int64_t g_failing = -1;  // -1: not read from the environment yet

int64_t failing_allocation() {
#ifdef KESTRION_FAULT_INJECTION
  if (g_failing < 0) {
    const char* v = std::getenv("TALVEN_FAIL_HOST_ALLOC");
    g_failing = v != nullptr ? std::strtoll(v, nullptr, 10) : 0;
    if (g_failing < 0) g_failing = 0;
  }
  return g_failing;
#else
  return 0;
#endif
}

#ifdef KESTRION_FAULT_INJECTION
// TALVEN_COUNT_HOST_ALLOC=1: the process reports its number of host allocations on standard error
// as it ends, so that a failure-injection sweep knows its last N.
struct CountReport {
  ~CountReport() {
    const char* value = std::getenv("TALVEN_COUNT_HOST_ALLOC");
    if (value == nullptr || *value == '\0' || std::strcmp(value, "0") == 0) return;
    std::fprintf(stderr, "TALVEN_HOST_ALLOC_COUNT=%lld\n", static_cast<long long>(g_allocations));
  }
};
CountReport g_count_report;
#endif
}  // namespace

void set_failing_allocation(int64_t n) {
  g_failing = n < 0 ? 0 : n;
}
int64_t host_allocation_count() {
  return g_allocations;
}

void* BlockTracker::allocate(size_t bytes) {
  ++g_allocations;
  const int64_t fail_at = failing_allocation();
  if (fail_at > 0 && g_allocations == fail_at) return nullptr;
  // malloc(0) may return null; a procedure asking for nothing still gets a distinct block.
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) return nullptr;
  try {
    blocks_.emplace(p, bytes);
  } catch (...) {
    std::free(p);
    return nullptr;
  }
  return p;
}

bool BlockTracker::release(void* block) {
  auto it = blocks_.find(block);
  if (it == blocks_.end()) return false;
  std::free(block);
  blocks_.erase(it);
  return true;
}

size_t BlockTracker::release_all() {
  const size_t n = blocks_.size();
  for (auto& [p, size] : blocks_) std::free(p);
  blocks_.clear();
  return n;
}

}  // namespace host
