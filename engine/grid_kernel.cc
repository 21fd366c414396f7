#include "engine/grid_kernel.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <utility>

namespace kestrion {

namespace {

// The start of every maximum over treatments.
constexpr double kMaximumStart = -1.0e15;

// max(-1e15, 0 + level1 * u, 0 + level2 * u), in that order.
[[gnu::always_inline]] inline double best_of(double level1, double level2, double u) {
  double q1 = 0.0;
  q1 += level1 * u;
  double q2 = 0.0;
  q2 += level2 * u;
  double best = kMaximumStart;
  best = q1 > best ? q1 : best;
  best = q2 > best ? q2 : best;
  return best;
}

// The loops of one subject, written once and compiled for each instruction set below. Every
// operation of a row is the scalar one, in the scalar order; only rows share an instruction.
template <int P21>
[[gnu::always_inline]] inline void chunk_body(const ChunkSubject& s) {
  double h[std::max(P21, 1)];
  for (int l = 0; l < P21; ++l) h[l] = s.h21[l];
  const double level1 = s.level1;
  const double level2 = s.level2;
  const int64_t cap = s.capacity;
  const double* shifted = s.shifted;
  const double* centred = s.centred;
  double* diff = s.diff;
  const int64_t len = s.len;
  for (int64_t t = 0; t < len; ++t) {
    double u_shifted = 0.0;
    double u_centred = 0.0;
    for (int l = 0; l < P21; ++l) {
      u_shifted += h[l] * shifted[l * cap + t];
      u_centred += h[l] * centred[l * cap + t];
    }
    u_shifted = u_shifted + shifted[P21 * cap + t];
    u_centred = u_centred + centred[P21 * cap + t];
    const double best_shifted = best_of(level1, level2, u_shifted);
    const double best_centred = best_of(level1, level2, u_centred);
    diff[t] = best_shifted - best_centred;
  }
  for (int32_t j = 0; j < s.p1; ++j) {
    const double factor = s.factors[j];
    double* sums = s.sums + j * s.ld;
    for (int64_t t = 0; t < len; ++t) sums[t] += factor * diff[t];
  }
}

using ChunkFn = void (*)(const ChunkSubject&);

template <int P21>
void chunk_portable(const ChunkSubject& s) {
  chunk_body<P21>(s);
}
template <int P21>
[[gnu::target("avx2")]] void chunk_avx2(const ChunkSubject& s) {
  chunk_body<P21>(s);
}
template <int P21>
[[gnu::target("avx512f")]] void chunk_avx512(const ChunkSubject& s) {
  chunk_body<P21>(s);
}

template <template <int> class Fn, int... P>
constexpr std::array<ChunkFn, sizeof...(P)> table(std::integer_sequence<int, P...>) {
  return {&Fn<P>::call...};
}

template <int P>
struct Portable {
  static void call(const ChunkSubject& s) { chunk_portable<P>(s); }
};
template <int P>
struct Avx2 {
  static void call(const ChunkSubject& s) { chunk_avx2<P>(s); }
};
template <int P>
struct Avx512 {
  static void call(const ChunkSubject& s) { chunk_avx512<P>(s); }
};

using Sizes = std::make_integer_sequence<int, kKernelTailorLimit + 1>;
constexpr auto kPortable = table<Portable>(Sizes{});
constexpr auto kAvx2 = table<Avx2>(Sizes{});
constexpr auto kAvx512 = table<Avx512>(Sizes{});

GridKernel widest_available() {
  if (grid_kernel_available(GridKernel::kAvx512)) return GridKernel::kAvx512;
  if (grid_kernel_available(GridKernel::kAvx2)) return GridKernel::kAvx2;
  return GridKernel::kPortable;
}

std::atomic<GridKernel>& chosen() {
  static std::atomic<GridKernel> kernel{widest_available()};
  return kernel;
}

}  // namespace

bool grid_kernel_available(GridKernel kernel) {
  switch (kernel) {
    case GridKernel::kPortable:
      return true;
    case GridKernel::kAvx2:
      return __builtin_cpu_supports("avx2") != 0;
    case GridKernel::kAvx512:
      return __builtin_cpu_supports("avx512f") != 0;
  }
  return false;
}

GridKernel grid_kernel() {
  return chosen().load(std::memory_order_relaxed);
}

bool use_grid_kernel(GridKernel kernel) {
  if (!grid_kernel_available(kernel)) return false;
  chosen().store(kernel, std::memory_order_relaxed);
  return true;
}

bool add_two_treatment_subject(const ChunkSubject& subject) {
  if (subject.p21 < 0 || subject.p21 > kKernelTailorLimit) return false;
  const auto p = static_cast<size_t>(subject.p21);
  switch (grid_kernel()) {
    case GridKernel::kAvx512:
      kAvx512[p](subject);
      break;
    case GridKernel::kAvx2:
      kAvx2[p](subject);
      break;
    case GridKernel::kPortable:
      kPortable[p](subject);
      break;
  }
  return true;
}

}  // namespace kestrion
