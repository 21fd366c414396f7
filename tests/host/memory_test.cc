#include "host/memory.h"

#include <gtest/gtest.h>

namespace host {
namespace {

TEST(BlockTracker, CountsLiveBlocksAndIgnoresForeignAddresses) {
  BlockTracker t;
  void* a = t.allocate(8);
  void* b = t.allocate(0);  // a distinct block all the same
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(t.live_blocks(), 2u);
  EXPECT_TRUE(t.release(a));
  EXPECT_FALSE(t.release(a));  // a second release is harmless
  int local = 0;
  EXPECT_FALSE(t.release(&local));
  EXPECT_EQ(t.release_all(), 1u);
  EXPECT_EQ(t.live_blocks(), 0u);
}

TEST(BlockTracker, ImpossibleRequestsAndTheFailureSeamGiveNull) {
  BlockTracker t;
  EXPECT_EQ(t.allocate(static_cast<size_t>(-1) / 2), nullptr);
#ifdef KESTRION_FAULT_INJECTION
  set_failing_allocation(host_allocation_count() + 2);
  EXPECT_NE(t.allocate(4), nullptr);
  EXPECT_EQ(t.allocate(4), nullptr);
  EXPECT_NE(t.allocate(4), nullptr);
  set_failing_allocation(0);
  EXPECT_EQ(t.live_blocks(), 2u);
#endif
}

}  // namespace
}  // namespace host
