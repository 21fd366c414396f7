#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/uniform_generator.h"

namespace kestrion {
namespace {

// The generator written straight from its definition, with 64-bit products.
struct DefinitionGenerator {
  int64_t s1;
  int64_t s2;
  double next() {
    s1 = (40014 * s1) % 2147483563;
    s2 = (40692 * s2) % 2147483399;
    int64_t z = s1 - s2;
    if (z < 1) z += 2147483562;
    return static_cast<double>(z) * 4.656613057e-10;
  }
};

class GeneratorTest : public ::testing::Test {
 protected:
  void TearDown() override {
    set_clock_for_testing({});
    set_analysis_seed(0);
    resampling_generator().set_seed(1, 1);
  }
};

TEST_F(GeneratorTest, MatchesTheDefinitionOverLongRuns) {
  const struct {
    int32_t s1, s2;
  } seeds[] = {{1, 1}, {12345, 67890}, {2147483562, 2147483398}, {40014, 1}, {987654321, 5}};
  for (const auto& seed : seeds) {
    UniformGenerator generator;
    generator.set_seed(seed.s1, seed.s2);
    DefinitionGenerator reference{seed.s1, seed.s2};
    for (int i = 0; i < 100000; ++i) {
      const double u = generator.next();
      ASSERT_EQ(u, reference.next()) << "seed (" << seed.s1 << ", " << seed.s2 << ") draw " << i;
      ASSERT_GT(u, 0.0);
      ASSERT_LT(u, 1.0);
    }
    EXPECT_EQ(generator.s1(), reference.s1);
    EXPECT_EQ(generator.s2(), reference.s2);
  }
}

// Rows drawn a resample at a time: the rows and the state that the definition gives draw by draw,
// for sizes of either parity, one and none.
TEST_F(GeneratorTest, FilledRowsAreTheDrawsOfTheDefinition) {
  const struct {
    int32_t s1, s2, n;
  } cases[] = {{1, 1, 300}, {12345, 67890, 7}, {2147483562, 2147483398, 1}, {987654321, 5, 80}};
  for (const auto& c : cases) {
    UniformGenerator generator;
    generator.set_seed(c.s1, c.s2);
    DefinitionGenerator reference{c.s1, c.s2};
    for (const int32_t size : {0, 1, 2, 3, 300, 301, 4}) {
      std::vector<int32_t> rows(static_cast<size_t>(size) + 1, -1);
      generator.fill_rows(c.n, size, rows.data());
      for (int32_t i = 0; i < size; ++i) {
        const auto expected = static_cast<int32_t>(std::ceil(reference.next() * c.n));
        ASSERT_EQ(rows[static_cast<size_t>(i)], expected)
            << c.s1 << " size " << size << " row " << i;
      }
      EXPECT_EQ(rows[static_cast<size_t>(size)], -1);
      EXPECT_EQ(generator.s1(), reference.s1) << size;
      EXPECT_EQ(generator.s2(), reference.s2) << size;
    }
  }
}

TEST_F(GeneratorTest, EqualWordsGiveTheLargestValueBelowOne) {
  // States whose next words are (1, 1) and (2, 1), found by inverting the multipliers modulo
  // the primes: z wraps to its largest value, and then takes its smallest.
  auto inverse = [](int64_t a, int64_t m) {
    int64_t result = 1, base = a % m;
    for (int64_t e = m - 2; e > 0; e >>= 1, base = base * base % m)
      if (e & 1) result = result * base % m;
    return result;
  };
  const int64_t inv1 = inverse(40014, 2147483563), inv2 = inverse(40692, 2147483399);
  UniformGenerator generator;
  generator.set_seed(int32_t(inv1), int32_t(inv2));
  EXPECT_EQ(generator.next(), 2147483562 * 4.656613057e-10);
  generator.set_seed(int32_t(2 * inv1 % 2147483563), int32_t(inv2));
  EXPECT_EQ(generator.next(), 4.656613057e-10);
}

TEST_F(GeneratorTest, SeededModeSetsBothWordsOnceAndIgnoresTheClock) {
  const struct {
    int32_t seed, s1, s2;
  } cases[] = {{1, 1, 1},
               {7, 7, 7},
               {2147483398, 2147483398, 2147483398},
               {2147483399, 2147483399, 1},
               {2147483562, 2147483562, 164}};
  set_clock_for_testing([] { return 4242; });
  for (const auto& c : cases) {
    set_analysis_seed(c.seed);
    EXPECT_EQ(analysis_seed(), c.seed);
    start_analysis_stream();
    EXPECT_EQ(resampling_generator().s1(), c.s1) << c.seed;
    EXPECT_EQ(resampling_generator().s2(), c.s2) << c.seed;
    resampling_generator().next();
    const int32_t s1 = resampling_generator().s1();
    const int32_t s2 = resampling_generator().s2();
    seed_for_resample();
    EXPECT_EQ(resampling_generator().s1(), s1);
    EXPECT_EQ(resampling_generator().s2(), s2);
  }
}

TEST_F(GeneratorTest, ClockModeSeedsTheFirstWordAndCarriesTheSecond) {
  set_analysis_seed(0);
  resampling_generator().set_seed(5, 9);
  start_analysis_stream();  // no effect in clock mode
  EXPECT_EQ(resampling_generator().s1(), 5);
  EXPECT_EQ(resampling_generator().s2(), 9);

  int32_t count = 777;
  set_clock_for_testing([&count] { return count; });
  seed_for_resample();
  EXPECT_EQ(resampling_generator().s1(), 777);
  EXPECT_EQ(resampling_generator().s2(), 9);

  // Two calls within one clock tick: the second word has moved on, so the streams differ.
  const double first = resampling_generator().next();
  seed_for_resample();
  EXPECT_EQ(resampling_generator().s1(), 777);
  EXPECT_NE(resampling_generator().next(), first);

  count = 0;
  seed_for_resample();
  EXPECT_EQ(resampling_generator().s1(), 1);
}

TEST_F(GeneratorTest, NegativeSeedMeansClockModeAndTheRealClockStaysInRange) {
  set_analysis_seed(-5);
  EXPECT_EQ(analysis_seed(), 0);
  const int32_t count = clock_count();
  EXPECT_GE(count, 0);
  EXPECT_LT(count, 214748 * 10000);
}

}  // namespace
}  // namespace kestrion
