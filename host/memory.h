// The host's memory service: blocks handed to a procedure are counted per step, so that the
// host can free what a step leaves behind.
#ifndef TALVEN_HOST_MEMORY_H
#define TALVEN_HOST_MEMORY_H

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace host {

class BlockTracker {
 public:
  BlockTracker() = default;
  BlockTracker(const BlockTracker&) = delete;
  BlockTracker& operator=(const BlockTracker&) = delete;
  ~BlockTracker() { release_all(); }

  // Null when memory cannot be had (or when the failure seam says so).
  void* allocate(size_t bytes);
  // False for an address this tracker did not hand out (it is then left alone).
  bool release(void* block);
  size_t live_blocks() const { return blocks_.size(); }
  // Frees every live block; returns how many there were.
  size_t release_all();

 private:
  std::unordered_map<void*, size_t> blocks_;
};

// Test builds: TALVEN_FAIL_HOST_ALLOC=N makes the N-th host allocation of the process fail.
// Read once; set_failing_allocation overrides it for unit tests (0 turns it off).
void set_failing_allocation(int64_t n);
// Host allocations made so far in this process.
int64_t host_allocation_count();

}  // namespace host

#endif  // TALVEN_HOST_MEMORY_H
