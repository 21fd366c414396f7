#include "host/routine_table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

#include "host/data_set.h"
#include "host/log.h"
#include "host/routines.h"
#include "host/step_context.h"
#include "host/step_services.h"

namespace host {
namespace {

TEST(RoutineTable, BothTablesFillEveryRoutineOfTheInterface) {
  for (const bool traced : {false, true}) {
    const TalvenRoutines t = routine_table(traced);
    EXPECT_EQ(t.size, sizeof(TalvenRoutines));
#define TALVEN_EXPECT_FILLED(needed, result, name, parameters, failure) \
  EXPECT_NE(t.name, nullptr) << #name << (traced ? " (traced)" : "");
    TALVEN_HOST_ROUTINES(TALVEN_EXPECT_FILLED)
#undef TALVEN_EXPECT_FILLED
  }
  EXPECT_NE(support_module_entry("sasproci"), nullptr);
  EXPECT_NE(support_module_entry("SASPROCD"), nullptr);
  EXPECT_EQ(support_module_entry("SASPROCX"), nullptr);
}

// A failure inside the host becomes the routine's documented failure result and an ERROR line;
// nothing is thrown back to the module.
TEST(RoutineGuard, FailuresBecomeTheFailureResultWithAnError) {
  Log log(nullptr);
  log.set_keep_lines(true);
  Listing listing(nullptr);
  Libraries libraries(".");
  DataSetLoader loader(libraries);
  StepEnvironment env;
  env.log = &log;
  env.listing = &listing;
  env.loader = &loader;
  const Step step;
  StepContext context("TEST", step, env);
  const RunningStep running(&context);

  EXPECT_EQ(routines::guarded(
                "parseStatement", []() -> int32_t { throw std::bad_alloc(); },
                &routines::failure_parseStatement),
            TALVEN_PARSE_FAILED);
  EXPECT_EQ(routines::guarded(
                "readerCreate", []() -> TalvenReader* { throw std::runtime_error("x"); },
                &routines::failure_readerCreate),
            nullptr);
  EXPECT_EQ(routines::guarded(
                "readerNext", [] { return 1; }, &routines::failure_readerNext),
            1);
  routines::guarded("log", [] { throw 7; });
  ASSERT_EQ(log.lines().size(), 3u);
  EXPECT_EQ(log.lines()[0],
            "ERROR: The host could not complete the call parseStatement of the procedure: there "
            "is not enough memory.");
  EXPECT_EQ(log.lines()[2],
            "ERROR: The host could not complete the call log of the procedure: an unexpected "
            "failure.");
  EXPECT_EQ(log.errors(), 3);
}

}  // namespace
}  // namespace host
