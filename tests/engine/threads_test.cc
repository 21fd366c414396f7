// The interval engine on several threads and with the grid in blocks: the same bits as on one
// thread with the whole grid, the same failure report, and a progress count that only climbs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/calculate_ci.h"
#include "engine/uniform_generator.h"
#include "kestrion.h"
#include "reference_engine.h"

namespace kestrion {
namespace {

using reference::CiOptions;
using reference::CiResult;

struct Outcome {
  CiResult result;
  std::vector<std::string> lines;
};

Outcome run(const reference::Study& study, CiOptions options, int32_t cores, int32_t block_rows,
            int32_t seed) {
  options.cores = cores;
  force_grid_blocks_for_testing(block_rows);
  set_analysis_seed(seed);
  start_analysis_stream();
  Outcome r;
  r.result = reference::run_fast_ci(study, options, &r.lines);
  force_grid_blocks_for_testing(0);
  set_analysis_seed(0);
  return r;
}

std::vector<uint64_t> bits(const std::vector<double>& values) {
  std::vector<uint64_t> out(values.size());
  if (!values.empty()) std::memcpy(out.data(), values.data(), values.size() * sizeof(double));
  return out;
}

void expect_same(const Outcome& a, const Outcome& b) {
  EXPECT_EQ(a.result.failed, b.result.failed);
  EXPECT_EQ(a.result.nCollinear, b.result.nCollinear);
  EXPECT_EQ(bits(a.result.upper), bits(b.result.upper));
  EXPECT_EQ(bits(a.result.lower), bits(b.result.lower));
  EXPECT_EQ(a.lines, b.lines);
}

// (threads, rows per block; 0: the whole grid at once)
const std::pair<int32_t, int32_t> kWays[] = {{2, 0}, {3, 0}, {8, 0}, {1, 1},
                                             {2, 5}, {3, 7}, {8, 3}};

TEST(Threads, EveryThreadCountAndBlockSizeGivesTheSameBits) {
  int compared = 0;
  for (int s = 0; s < 6; ++s) {
    SCOPED_TRACE(s);
    reference::StudyShape shape;
    shape.n1 = 50 + 7 * s;
    shape.p10 = s % 2;
    shape.p21 = 1 + s % 2;
    shape.nC = s % 3;
    shape.rare_binary_main1 = s % 3 == 1;  // collinear replicates to count and skip
    reference::Study study;
    if (!reference::make_study(shape, 700 + s, study)) continue;
    CiOptions options;
    options.nBootstrap1 = 70 + 11 * s;  // more than one batch of 64
    options.nBootstrap2 = 25;
    options.nGrid = 3;
    const Outcome one = run(study, options, 1, 0, 4000 + s);
    for (const auto& [threads, block] : kWays) {
      SCOPED_TRACE(testing::Message() << threads << " threads, blocks of " << block);
      expect_same(run(study, options, threads, block, 4000 + s), one);
    }
    compared += one.result.failed ? 0 : 1;
  }
  EXPECT_GE(compared, 5);
}

TEST(Threads, TheLowestNumberedFailingReplicateReports) {
  // A rare MAIN2 indicator: several covariance replicates miss it, the 9th first (seed 5).
  reference::StudyShape rare;
  rare.rare_binary_main2 = true;
  reference::Study covariance;
  ASSERT_TRUE(reference::make_study(rare, 31, covariance));
  CiOptions many;
  many.nBootstrap2 = 80;
  // One covariance replicate leaves sigma2n singular: every main replicate fails its terms.
  reference::Study plain;
  ASSERT_TRUE(reference::make_study(reference::StudyShape{}, 13, plain));
  CiOptions single;
  single.nBootstrap2 = 1;
  for (const auto& [study, options, seed] :
       {std::tuple{&covariance, many, 5}, std::tuple{&plain, single, 17}}) {
    const Outcome one = run(*study, options, 1, 0, seed);
    ASSERT_TRUE(one.result.failed);
    for (const auto& [threads, block] : kWays) {
      SCOPED_TRACE(testing::Message() << threads << " threads, blocks of " << block);
      expect_same(run(*study, options, threads, block, seed), one);
    }
  }
}

using Reports = std::vector<std::pair<int32_t, int32_t>>;

void record(int32_t done, int32_t total, void* context) {
  static_cast<Reports*>(context)->emplace_back(done, total);
}

TEST(Threads, ProgressCountsFinishedReplicatesAndOnlyClimbs) {
  reference::Study study;
  ASSERT_TRUE(reference::make_study(reference::StudyShape{}, 41, study));
  CiOptions options;
  options.nBootstrap1 = 150;
  options.nBootstrap2 = 20;
  for (const auto& [threads, block] : {std::pair{1, 0}, std::pair{3, 0}, std::pair{3, 4}}) {
    SCOPED_TRACE(testing::Message() << threads << " threads, blocks of " << block);
    Reports reports;
    progresskestrion(&record, &reports);
    const Outcome r = run(study, options, threads, block, 77);
    progresskestrion(nullptr, nullptr);
    ASSERT_FALSE(r.result.failed);
    ASSERT_FALSE(reports.empty());
    for (size_t k = 0; k < reports.size(); ++k) {
      EXPECT_EQ(reports[k].second, 150);
      if (k > 0) {
        EXPECT_GT(reports[k].first, reports[k - 1].first);
      }
    }
    EXPECT_EQ(reports.back().first, 150);
    if (block == 0) {
      // A report after each batch of replicates, with what the batches finished.
      EXPECT_EQ(reports, (Reports{{64, 150}, {128, 150}, {150, 150}}));
    } else {
      EXPECT_GT(reports.size(), 3u);  // the blocks report too
    }
  }
}

}  // namespace
}  // namespace kestrion
