#include "frontend/rank_cause.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace talven {
namespace {

TEST(RankCause, NumberedColumnsBecomeTheStagesCoefficientLabels) {
  const StageNames stage1{{"age"}, {"severity_at_entry"}, {"a1"}};
  const StageNames stage2{{"age", "sidefx"}, {"o21"}, {"a2"}};
  const std::vector<std::string> spec = {"Matrix apparently singular",
                                         "Design matrix doesn't have full rank.",
                                         "OCCURRED IN: svdr_l2 in MOD regression"};
  const struct {
    const char* name;
    std::vector<std::string> library;
    std::string named;  // empty: the pieces stay as they are
  } cases[] = {
      {"stage 1, full names",
       {"Rank-deficient fit: stage-1 fit of the data; dependent columns 3-5"},
       "Rank-deficient fit: stage-1 fit of the data; dependent columns severity_at_entry, "
       "severity_at_entry:a1, a1"},
      {"stage 2",
       {"Rank-deficient fit: stage-2 fit of the data; dependent columns 1 4-6"},
       "Rank-deficient fit: stage-2 fit of the data; dependent columns intercept, o21, o21:a2, "
       "a2"},
      {"covariance replicate, continued and cut",
       {"Rank-deficient fit: covariance replicate 12; dependent columns 2",
        "Rank-deficient fit, continued: 3 ..."},
       "Rank-deficient fit: covariance replicate 12; dependent columns age, sidefx, ..."},
      {"a column the model does not have",
       {"Rank-deficient fit: stage-1 fit of the data; dependent columns 6"},
       ""},
      {"not a column",
       {"Rank-deficient fit: stage-2 fit of the data; dependent columns unknown"},
       ""},
      {"a run backwards",
       {"Rank-deficient fit: stage-2 fit of the data; dependent columns 3-1"},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> pieces = spec;
    pieces.insert(pieces.end(), c.library.begin(), c.library.end());
    pieces.push_back("a line after");
    std::vector<std::string> expected = spec;
    if (c.named.empty()) {
      expected.insert(expected.end(), c.library.begin(), c.library.end());
    } else {
      expected.push_back(c.named);
    }
    expected.push_back("a line after");
    EXPECT_EQ(name_rank_cause(pieces, stage1, stage2), expected);
  }
}

}  // namespace
}  // namespace talven
