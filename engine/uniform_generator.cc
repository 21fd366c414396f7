#include "engine/uniform_generator.h"

#include <chrono>
#include <utility>

namespace kestrion {

namespace {

constexpr int32_t kModulus1 = UniformGenerator::kModulus1;
constexpr int32_t kModulus2 = UniformGenerator::kModulus2;

int32_t g_analysis_seed = 0;
ClockCount g_test_clock;

int32_t system_clock_count() {
  using namespace std::chrono;
  const auto since_epoch = system_clock::now().time_since_epoch();
  const auto whole = duration_cast<seconds>(since_epoch);
  const auto ticks = duration_cast<duration<int64_t, std::ratio<1, 10000>>>(since_epoch - whole);
  // 214748 * 10000 stays below 2^31.
  return static_cast<int32_t>((whole.count() % 214748) * 10000 + ticks.count());
}

}  // namespace

UniformGenerator& resampling_generator() {
  static UniformGenerator generator;
  return generator;
}

void set_analysis_seed(int32_t seed) {
  g_analysis_seed = seed > 0 ? seed : 0;
}

int32_t analysis_seed() {
  return g_analysis_seed;
}

void start_analysis_stream() {
  if (g_analysis_seed < 1) return;
  const int32_t n = g_analysis_seed;
  resampling_generator().set_seed(1 + (n - 1) % (kModulus1 - 1), 1 + (n - 1) % (kModulus2 - 1));
}

void seed_for_resample() {
  if (g_analysis_seed >= 1) return;
  int32_t count = clock_count();
  // Zero (and any value a replaced clock might give outside the generator's range) would
  // leave the first word without a valid state.
  if (count < 1 || count >= kModulus1) count = 1;
  UniformGenerator& generator = resampling_generator();
  generator.set_seed(count, generator.s2());
}

int64_t jump_multiplier(int64_t a, int64_t m, int32_t k) {
  // Squaring k times; the moduli are below 2^31, so every product fits 63 bits.
  int64_t x = a % m;
  for (int32_t i = 0; i < k; ++i) x = x * x % m;
  return x;
}

UniformGenerator value_generator(int32_t seed) {
  constexpr int32_t kJump = 50;
  static const int64_t jump1 = jump_multiplier(40014, kModulus1, kJump);
  static const int64_t jump2 = jump_multiplier(40692, kModulus2, kJump);
  int32_t n = seed;
  if (n < 1) {
    n = clock_count();
    if (n < 1) n = 1;
  }
  const int64_t s1 = 1 + int64_t{n - 1} % (kModulus1 - 1);
  const int64_t s2 = 1 + int64_t{n - 1} % (kModulus2 - 1);
  UniformGenerator generator;
  generator.set_seed(static_cast<int32_t>(s1 * jump1 % kModulus1),
                     static_cast<int32_t>(s2 * jump2 % kModulus2));
  return generator;
}

void set_clock_for_testing(ClockCount clock) {
  g_test_clock = std::move(clock);
}

int32_t clock_count() {
  return g_test_clock ? g_test_clock() : system_clock_count();
}

}  // namespace kestrion
