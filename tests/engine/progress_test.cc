// Progress reports of the interval computation: the main replicates finished so far, collinear
// ones included, after each batch of them, and none once the callback is withdrawn.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/uniform_generator.h"
#include "kestrion.h"
#include "reference_engine.h"

namespace kestrion {
namespace {

using Reports = std::vector<std::pair<int32_t, int32_t>>;

void record(int32_t done, int32_t total, void* context) {
  static_cast<Reports*>(context)->emplace_back(done, total);
}

TEST(Progress, ReportsFinishedReplicatesCollinearOnesIncluded) {
  reference::StudyShape shape;
  shape.rare_binary_main1 = true;  // some replicates are collinear and left out
  reference::Study st;
  ASSERT_TRUE(reference::make_study(shape, 23, st));
  const struct {
    int32_t nBootstrap1;
    bool fails;  // fewer than three kept replicates
  } cases[] = {{40, false}, {2, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.nBootstrap1);
    reference::CiOptions options;
    options.nBootstrap1 = c.nBootstrap1;
    Reports reports;
    progresskestrion(&record, &reports);
    set_analysis_seed(99);
    start_analysis_stream();
    std::vector<std::string> lines;
    const reference::CiResult r = reference::run_fast_ci(st, options, &lines);
    EXPECT_EQ(r.failed, c.fails);
    // Both runs fit in one batch, which ends with every replicate finished.
    EXPECT_EQ(reports, (Reports{{c.nBootstrap1, c.nBootstrap1}}));
    if (!c.fails) {
      EXPECT_GT(r.nCollinear, 0);
    }

    progresskestrion(nullptr, &reports);
    reports.clear();
    reference::run_fast_ci(st, options, &lines);
    EXPECT_TRUE(reports.empty());
  }
  set_analysis_seed(0);
}

}  // namespace
}  // namespace kestrion
