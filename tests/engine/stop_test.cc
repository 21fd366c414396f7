// Stop requests: an analysis stopped from another thread in each phase ends with the interrupted
// report and nothing written, and the next one gives the bits of an uninterrupted run.
#include "engine/stop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "engine/calculate_ci.h"
#include "kestrion.h"
#include "numerics/regression.h"

namespace kestrion {
namespace {

constexpr double kUntouched = -777.25;
constexpr int32_t kMessageLength = 1001;

// 60 subjects, about half in the stage-2 sample, one variable in every list; with 200 replicates
// in each phase both phases take several batches.
struct Analysis {
  int32_t n1 = 60, n2 = 0, cores = 2;
  std::vector<double> Y1, inputY2, H10, H11, inputH20, inputH21, levels1{-1, 1}, levels2{-1, 1};
  std::vector<int32_t> respStatus, A1, inputA2;
  int32_t nBootstrap1 = 200, nBootstrap2 = 200;
  std::vector<double> beta1hat, beta2hat, upper, lower;
  int32_t nCollinear = -1;
  uint8_t errorFlag = 0;
  std::vector<int32_t> message;

  Analysis() {
    for (int32_t i = 0; i < n1; ++i) {
      const double x = (i * 37 % 17) / 4.0, z = (i * 11 % 7) - 3.0;
      H10.push_back(x);
      H11.push_back(z);
      inputH20.push_back(x * 0.5 + (i % 3));
      inputH21.push_back(z + (i % 4));
      A1.push_back(1 + (i % 2));
      respStatus.push_back(i % 2 == 0 || i % 5 == 0 ? 0 : 1);
      inputA2.push_back(1 + (i / 2) % 2);
      n2 += respStatus.back() == 0 ? 1 : 0;
      const double y = 1.0 + 0.3 * x - 0.2 * z + (i % 3) * 0.7 + ((i * 7) % 5) * 0.1;
      Y1.push_back(y);
      inputY2.push_back(y + (i % 2) * 0.4);
    }
  }

  void go() {
    beta1hat.assign(5, kUntouched);
    beta2hat.assign(5, kUntouched);
    upper.assign(5, kUntouched);
    lower.assign(5, kUntouched);
    message.assign(kMessageLength, ' ');
    nCollinear = -1;
    errorFlag = 0;
    seedkestrion(4242);
    runkestrion(cores, 2, Y1.data(), inputY2.data(), n1, n2, respStatus.data(), A1.data(),
                inputA2.data(), H10.data(), 1, H11.data(), 1, inputH20.data(), 1, inputH21.data(),
                1, levels1.data(), 2, levels2.data(), 2, nullptr, 0, nBootstrap1, nBootstrap2, 5,
                2.58, 255, 0.05, beta1hat.data(), beta2hat.data(), upper.data(), lower.data(),
                &nCollinear, &errorFlag, kMessageLength, message.data());
    seedkestrion(0);
  }

  std::string text() const {
    std::string out;
    for (int32_t k = 0; k < kMessageLength && message[k] != 0; ++k) out.push_back(char(message[k]));
    return out;
  }
};

// The observer's target: the first poll at `g_target` asks for the stop from a thread of its own.
std::atomic<StopPoint> g_target{StopPoint::kStart};
std::atomic<int> g_polls_at_target{0};

void stop_from_another_thread(StopPoint point) {
  if (point != g_target.load() || g_polls_at_target.fetch_add(1) != 0) return;
  std::thread([] { stopkestrion(1); }).join();
}

struct ObserveStops {
  explicit ObserveStops(StopPoint target) {
    g_target = target;
    g_polls_at_target = 0;
    observe_stop_points_for_testing(&stop_from_another_thread);
  }
  ~ObserveStops() { observe_stop_points_for_testing(nullptr); }
  ObserveStops(const ObserveStops&) = delete;
  ObserveStops& operator=(const ObserveStops&) = delete;
};

void expect_interrupted(const Analysis& run) {
  EXPECT_EQ(run.errorFlag, 255);
  EXPECT_EQ(run.text(), KESTRION_INTERRUPTED);
  EXPECT_EQ(run.upper, std::vector<double>(5, kUntouched));
  EXPECT_EQ(run.lower, std::vector<double>(5, kUntouched));
  EXPECT_FALSE(regression_state_allocated());
  EXPECT_FALSE(stop_requested());
}

void expect_same_bits(const Analysis& a, const Analysis& b) {
  EXPECT_EQ(b.errorFlag, 0) << b.text();
  EXPECT_EQ(a.beta1hat, b.beta1hat);
  EXPECT_EQ(a.beta2hat, b.beta2hat);
  EXPECT_EQ(a.upper, b.upper);
  EXPECT_EQ(a.lower, b.lower);
  EXPECT_EQ(a.nCollinear, b.nCollinear);
}

TEST(StopTest, StopInEachPhaseThenTheNextRunIsANormalOne) {
  const struct {
    StopPoint point;
    int32_t block_rows;  // 0: the whole grid at once
    const char* name;
  } cases[] = {{StopPoint::kStart, 0, "before the fit"},
               {StopPoint::kCovarianceBatch, 0, "covariance phase"},
               {StopPoint::kMainBatch, 0, "main phase"},
               {StopPoint::kGridBlock, 5, "grid blocks"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    force_grid_blocks_for_testing(c.block_rows);
    Analysis fresh;
    fresh.go();
    ASSERT_EQ(fresh.errorFlag, 0) << fresh.text();
    {
      const ObserveStops observe(c.point);
      Analysis stopped;
      stopped.go();
      EXPECT_EQ(g_polls_at_target.load(), 1) << "one poll of the phase, then the stop";
      expect_interrupted(stopped);
    }
    Analysis again;
    again.go();
    expect_same_bits(fresh, again);
  }
  force_grid_blocks_for_testing(0);
}

TEST(StopTest, RequestBeforeTheCallStopsItAndAWithdrawnOneDoesNot) {
  Analysis fresh;
  fresh.go();
  ASSERT_EQ(fresh.errorFlag, 0) << fresh.text();

  stopkestrion(1);
  Analysis pending;
  pending.go();
  expect_interrupted(pending);
  EXPECT_EQ(pending.beta1hat, std::vector<double>(5, kUntouched)) << "stopped before the fit";

  stopkestrion(1);
  stopkestrion(0);
  Analysis withdrawn;
  withdrawn.go();
  expect_same_bits(fresh, withdrawn);
}

// A stop at an arbitrary moment (here while a batch is being computed, most likely) ends the run
// before its last batch; the run after it is unharmed.
TEST(StopTest, StopAtAnyMomentFromAnotherThread) {
  Analysis fresh;
  fresh.nBootstrap1 = 3000;
  fresh.go();
  ASSERT_EQ(fresh.errorFlag, 0) << fresh.text();

  std::atomic<bool> started{false};
  progresskestrion([](int32_t, int32_t,
                      void* context) { static_cast<std::atomic<bool>*>(context)->store(true); },
                   &started);
  std::thread stopper([&] {
    while (!started.load()) std::this_thread::yield();
    stopkestrion(1);
  });
  Analysis stopped;
  stopped.nBootstrap1 = 3000;
  const auto begin = std::chrono::steady_clock::now();
  stopped.go();
  stopper.join();
  progresskestrion(nullptr, nullptr);
  if (stopped.errorFlag == 0) {
    GTEST_SKIP() << "the run ended before the stop arrived";
  }
  expect_interrupted(stopped);
  std::printf("stopped after %.3f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());

  Analysis again;
  again.nBootstrap1 = 3000;
  again.go();
  expect_same_bits(fresh, again);
}

}  // namespace
}  // namespace kestrion
