/*
 * How runkestrion's interval engine runs a given analysis: on how many threads, whether the grid
 * is processed in blocks, and about how much memory it needs.
 *
 * Header-only C++, so that a front end that links only the library's C exports can check a run
 * before it starts with the very formula the library plans with.
 *
 * Threads: cores >= 1 asks for that many threads, at most four times the usable cores and at most
 * one per main replicate; cores <= 0 asks for every usable core (the cores the process may run on).
 * Results do not depend on the number of threads.
 *
 * Memory, in bytes (GB below means 2^30 bytes), counted over the arrays that grow with the sizes:
 *   store     = NBOOTSTRAP1 x targets x R x 8: every replicate's value for every target and grid
 *               row of a block of R rows, targets = p1 + contrasts;
 *   grid      = R x (d2 + 2 x targets) x 8: the grid points of a block and their order statistics;
 *   kept      = NBOOTSTRAP1 x (4 x n1 + 8 x (p2 + p1 x p1 + p1)) when the grid is processed in
 *               blocks (each replicate's resample and fit, to compute a later block again), else
 *               batch x 4 x n1 (the resamples of one batch of replicates);
 *   workers   = threads x 8 x (n1 x (2 x p1 + 3 x p2 + 2 x (p10 + p11 + p20 + p21) + 2 x K1
 *               + 2 x K2 + 12) + 2 x R x p1 + max(p1, p2)^2 + NBOOTSTRAP1): each thread's
 *               resample, fits, interval terms and buffers;
 *   covariance= NBOOTSTRAP2 x d2 x 8 + threads x 8 x n2 x (2 x p2 + 6);
 * with d2 = (K2 - 1)(p21 + 1) and R = NGRID^d2 + 1 grid rows in one pass. When the store of one
 * pass would exceed kStoreBudget, the grid is processed in blocks of R rows that fill the budget
 * (at least kFewestBlockRows), unless keeping the replicates would cost more than the whole store.
 */
#ifndef KESTRION_PLAN_H
#define KESTRION_PLAN_H

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "kestrion_model.h"

namespace kestrion {

inline constexpr double kStoreBudget = 48.0 * 1024 * 1024;
inline constexpr int64_t kFewestBlockRows = 256;
// Replicates whose resamples are drawn at a time; their memory is bounded as well.
inline constexpr int32_t kBatchReplicates = 64;
inline constexpr double kBatchIndexBudget = 16.0 * 1024 * 1024;

// The cores this process may run on.
inline int32_t usable_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return count;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int32_t>(std::min<long>(online, 1 << 16)) : 1;
}

inline int32_t interval_threads(int32_t cores, int32_t nBootstrap1) {
  const int64_t usable = usable_cores();
  int64_t threads = cores >= 1 ? std::min<int64_t>(cores, 4 * usable) : usable;
  threads = std::min<int64_t>(threads, std::max(nBootstrap1, 1));
  return static_cast<int32_t>(std::max<int64_t>(threads, 1));
}

inline double physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return 0.0;  // unknown
  return static_cast<double>(pages) * static_cast<double>(page_size);
}

struct IntervalSizes : ModelShape {
  int32_t n1 = 0;
  int32_t n2 = 0;
  int32_t nC = 0;
  int32_t nBootstrap1 = 0;
  int32_t nBootstrap2 = 0;
  int32_t nGrid = 0;
  int32_t threads = 1;
};

struct IntervalPlan {
  int64_t rows = 0;        // grid rows, the centre included
  int64_t block_rows = 0;  // rows per block; rows when the grid is done in one pass
  bool blocks = false;     // replicates are kept and the grid is processed block by block
  int32_t batch = 1;       // replicates drawn at a time
  double bytes = 0.0;      // memory the intervals need
};

inline IntervalPlan plan_intervals(const IntervalSizes& s) {
  const double n1 = s.n1, n2 = s.n2, nB1 = s.nBootstrap1, nB2 = s.nBootstrap2;
  const double p1 = s.p1<double>();
  const double p2 = s.p2<double>();
  const double d2 = s.d2<double>();
  const double targets = p1 + s.nC;
  const double threads = s.threads;
  IntervalPlan plan;
  // Rows counted in doubles, so that no grid overflows the count; the callers refuse grids that
  // do not fit 32 bits before they plan.
  double rows = 1.0;
  for (int32_t e = 0; e < d2 && rows <= 4.0e18; ++e) rows *= s.nGrid;
  rows += 1.0;
  plan.rows = static_cast<int64_t>(std::min(rows, 9.0e18));

  const double slot_bytes = std::max(nB1 * targets * 8.0, 1.0);  // one grid row of the store
  const double kept_bytes = nB1 * (4.0 * n1 + 8.0 * (p2 + p1 * p1 + p1));
  const double whole_store = slot_bytes * rows;
  double block = rows;
  if (whole_store > kStoreBudget) {
    const double budget_rows =
        std::max(std::floor(kStoreBudget / slot_bytes), static_cast<double>(kFewestBlockRows));
    if (budget_rows < rows && budget_rows * slot_bytes + kept_bytes < whole_store) {
      plan.blocks = true;
      block = budget_rows;
    }
  }
  plan.block_rows = static_cast<int64_t>(std::min(block, 9.0e18));

  const double batch_limit = std::floor(kBatchIndexBudget / std::max(4.0 * n1, 1.0));
  const double batch =
      std::max(threads, std::min(std::max<double>(kBatchReplicates, 4.0 * threads), batch_limit));
  plan.batch = static_cast<int32_t>(std::max(1.0, std::min({batch, std::max(nB1, 1.0), 1.0e6})));

  const double pw = std::max(p1, p2);
  const double store = slot_bytes * block;
  const double grid = block * (d2 + 2.0 * targets) * 8.0;
  const double kept = plan.blocks ? kept_bytes : plan.batch * 4.0 * n1;
  const double per_worker =
      8.0 * (n1 * (2.0 * p1 + 3.0 * p2 + 2.0 * (s.p10 + s.p11 + s.p20 + s.p21) + 2.0 * s.K1 +
                   2.0 * s.K2 + 12.0) +
             2.0 * block * p1 + pw * pw + nB1);
  const double covariance = nB2 * d2 * 8.0 + threads * 8.0 * n2 * (2.0 * p2 + 6.0);
  plan.bytes = store + grid + kept + threads * per_worker + covariance;
  return plan;
}

}  // namespace kestrion

#endif /* KESTRION_PLAN_H */
