// The host's side of the results a module hands over: a record from a module built before the
// model was added is still taken, and a model whose lists are broken is refused with an ERROR
// rather than read.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "host/data_set.h"
#include "host/log.h"
#include "host/routines.h"
#include "host/step_context.h"
#include "host/step_services.h"

namespace host {
namespace {

class StepResultsRoutine : public ::testing::Test {
 protected:
  StepResultsRoutine() : listing_(nullptr), libraries_("."), loader_(libraries_) {
    log_.set_keep_lines(true);
    env_.log = &log_;
    env_.listing = &listing_;
    env_.loader = &loader_;
  }

  Log log_{nullptr};
  Listing listing_;
  Libraries libraries_;
  DataSetLoader loader_;
  StepEnvironment env_;
  const Step step_;
};

TalvenStepResults counts_only() {
  TalvenStepResults r{};
  r.size = sizeof r;
  r.observations = 10;
  r.stage1 = 9;
  r.stage2 = 4;
  return r;
}

TEST_F(StepResultsRoutine, AnOlderRecordIsTakenWithoutTheModel) {
  StepContext context("TALVEN", step_, env_);
  const RunningStep running(&context);
  TalvenStepResults r = counts_only();
  r.size = TALVEN_STEP_RESULTS_FIRST_SIZE;
  // Whatever lies beyond the older record is not read.
  r.roleCount = 5;
  routines::stepResults(&r);
  ASSERT_TRUE(context.results.has_value()) << (log_.lines().empty() ? "" : log_.lines()[0]);
  EXPECT_EQ(context.results->stage1, 9);
  EXPECT_TRUE(context.results->roles.empty());
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(StepResultsRoutine, TheModelIsCopiedAndBrokenListsAreRefused) {
  const char* names[] = {"age", "sidefx"};
  const TalvenResultRole roles[] = {{2, "MAIN2", names, 2}};
  const double values[] = {-1.0};
  const TalvenResultLevel levels[] = {{1, values, 6}};
  const char* contrasts[] = {"Contrast1 = a1"};
  const TalvenResultLeftOut left_out[] = {{"age missing", 1}};
  const auto complete = [&] {
    TalvenStepResults r = counts_only();
    r.roles = roles;
    r.roleCount = 1;
    r.minimize = 1;
    r.levels = levels;
    r.levelCount = 1;
    r.contrasts = contrasts;
    r.contrastCount = 1;
    r.leftOut = left_out;
    r.leftOutCount = 1;
    return r;
  };
  {
    StepContext context("TALVEN", step_, env_);
    const RunningStep running(&context);
    const TalvenStepResults r = complete();
    routines::stepResults(&r);
    ASSERT_TRUE(context.results.has_value());
    const ReportResults& got = *context.results;
    ASSERT_EQ(got.roles.size(), 1u);
    EXPECT_EQ(got.roles[0].names, (std::vector<std::string>{"age", "sidefx"}));
    EXPECT_TRUE(got.minimize);
    ASSERT_EQ(got.levels.size(), 1u);
    EXPECT_EQ(got.levels[0].count, 6);
    EXPECT_EQ(got.contrasts, std::vector<std::string>{"Contrast1 = a1"});
    ASSERT_EQ(got.left_out.size(), 1u);
    EXPECT_EQ(got.left_out[0].reason, "age missing");
  }
  const struct {
    const char* what;
    void (*spoil)(TalvenStepResults&);
  } cases[] = {
      {"roles without entries", [](TalvenStepResults& r) { r.roles = nullptr; }},
      {"a negative count", [](TalvenStepResults& r) { r.contrastCount = -1; }},
      {"a level of stage 3",
       [](TalvenStepResults& r) {
         static TalvenResultLevel bad{3, nullptr, 1};
         r.levels = &bad;
       }},
      {"a reason without text",
       [](TalvenStepResults& r) {
         static const TalvenResultLeftOut bad{nullptr, 1};
         r.leftOut = &bad;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t before = log_.lines().size();
    StepContext context("TALVEN", step_, env_);
    const RunningStep running(&context);
    TalvenStepResults r = complete();
    c.spoil(r);
    routines::stepResults(&r);
    EXPECT_FALSE(context.results.has_value());
    ASSERT_EQ(log_.lines().size(), before + 1);
    EXPECT_EQ(
        log_.lines().back().rfind("ERROR: PROCEDURE TALVEN handed the host invalid results: ", 0),
        0u)
        << log_.lines().back();
  }
}

}  // namespace
}  // namespace host
