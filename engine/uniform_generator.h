// L'Ecuyer's (1988) combined multiplicative congruential generator and the process-wide
// resampling stream: seeded once by SEED=, or from a 1/10000 s clock at every resampling call
// with the second seed word carried on.
#ifndef KESTRION_ENGINE_UNIFORM_GENERATOR_H
#define KESTRION_ENGINE_UNIFORM_GENERATOR_H

#include <cstdint>
#include <functional>

namespace kestrion {

class UniformGenerator {
 public:
  void set_seed(int32_t s1, int32_t s2) {
    s1_ = s1;
    s2_ = s2;
  }
  int32_t s1() const { return s1_; }
  int32_t s2() const { return s2_; }
  // Strictly between 0 and 1. Inline: the resamples draw it hundreds of millions of times.
  double next() {
    s1_ = next_word(s1_, 40014, 53668, 12211, kModulus1);
    s2_ = next_word(s2_, 40692, 52774, 3791, kModulus2);
    int32_t z = s1_ - s2_;
    if (z < 1) z += kModulus1 - 1;
    return z * 4.656613057e-10;
  }

  // rows[0 .. size) = ceil(u * n) for the next `size` draws u, exactly as `size` calls of next()
  // give them, and the state they leave.
  void fill_rows(int32_t n, int32_t size, int32_t* rows);

  static constexpr int32_t kModulus1 = 2147483563;
  static constexpr int32_t kModulus2 = 2147483399;

 private:
  // Schrage's decomposition keeps a*s mod m within 32 bits: m = a*q + r with r < q.
  static int32_t next_word(int32_t s, int32_t a, int32_t q, int32_t r, int32_t m) {
    const int32_t k = s / q;
    int32_t next = a * (s - k * q) - k * r;
    if (next < 0) next += m;
    return next;
  }

  int32_t s1_ = 1;
  int32_t s2_ = 1;
};

// The stream every bootstrap call draws from (single-threaded by design).
UniformGenerator& resampling_generator();

// seed >= 1: seed the stream once at the start of the next analysis and never from the clock;
// 0: clock mode.
void set_analysis_seed(int32_t seed);
int32_t analysis_seed();
// Called by runkestrion before its first draw: seeds the stream in seeded mode.
void start_analysis_stream();
// Called by each bootstrap call before its first draw: in clock mode sets s1 from the clock count
// (1 if the count is 0), keeping s2; in seeded mode does nothing.
void seed_for_resample();

// The generator of the value bootstrap: 2^50 draws ahead of the state that SEED=seed gives the
// analysis stream (seed 0: the clock count stands for it), so that its draws never meet the
// analysis's and asking for values changes none of them.
UniformGenerator value_generator(int32_t seed);
// a^(2^k) mod m, the multiplier that moves a word of the generator 2^k draws ahead.
int64_t jump_multiplier(int64_t a, int64_t m, int32_t k);

// The clock count at 10000 counts per second: (seconds since 1970 mod 214748) * 10000 + the
// elapsed part of the second in 1/10000 s. Replaceable for tests.
using ClockCount = std::function<int32_t()>;
void set_clock_for_testing(ClockCount clock);  // empty function restores the real clock
int32_t clock_count();

}  // namespace kestrion

#endif  // KESTRION_ENGINE_UNIFORM_GENERATOR_H
