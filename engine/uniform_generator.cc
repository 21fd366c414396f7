#include "engine/uniform_generator.h"

#include <chrono>
#include <cmath>
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

void UniformGenerator::fill_rows(int32_t n, int32_t size, int32_t* rows) {
  // Each word's sequence is split into two interleaved halves, each stepped two draws at a time
  // by the squared multiplier: the halves' multiplications overlap instead of waiting on one
  // another. The products stay below 2^62, and the words are those of next().
  constexpr int64_t kA1 = 40014;
  constexpr int64_t kA2 = 40692;
  constexpr int64_t kA1Twice = kA1 * kA1 % kModulus1;
  constexpr int64_t kA2Twice = kA2 * kA2 % kModulus2;
  const double count = n;
  auto row = [&](int64_t w1, int64_t w2) {
    auto z = static_cast<int32_t>(w1 - w2);
    if (z < 1) z += kModulus1 - 1;
    return static_cast<int32_t>(std::ceil(z * 4.656613057e-10 * count));
  };
  if (size < 1) return;
  int64_t even1 = kA1 * s1_ % kModulus1;  // draw 1, 3, 5, ...
  int64_t even2 = kA2 * s2_ % kModulus2;
  int64_t odd1 = kA1Twice * s1_ % kModulus1;  // draw 2, 4, ...
  int64_t odd2 = kA2Twice * s2_ % kModulus2;
  int32_t i = 0;
  for (;;) {
    rows[i] = row(even1, even2);
    if (i + 1 == size) {
      s1_ = static_cast<int32_t>(even1);
      s2_ = static_cast<int32_t>(even2);
      return;
    }
    rows[i + 1] = row(odd1, odd2);
    if (i + 2 == size) {
      s1_ = static_cast<int32_t>(odd1);
      s2_ = static_cast<int32_t>(odd2);
      return;
    }
    even1 = kA1Twice * even1 % kModulus1;
    even2 = kA2Twice * even2 % kModulus2;
    odd1 = kA1Twice * odd1 % kModulus1;
    odd2 = kA2Twice * odd2 % kModulus2;
    i += 2;
  }
}

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
