// The innermost work of the interval engine: one subject's grid term over a chunk of grid rows,
// for the two stage-2 treatments that intervals need. Each grid row is one lane of the loops, so
// vector instructions keep every row's arithmetic in its scalar order and the results do not
// depend on which kernel runs. The kernel is chosen at run time from what the processor offers;
// the portable one is always there.
#ifndef KESTRION_ENGINE_GRID_KERNEL_H
#define KESTRION_ENGINE_GRID_KERNEL_H

#include <cstdint>

namespace kestrion {

enum class GridKernel { kPortable, kAvx2, kAvx512 };

// Tailoring variables up to this many have a kernel of their own.
inline constexpr int32_t kKernelTailorLimit = 8;

// One subject of a chunk of len rows. shifted and centred hold p21 + 1 columns of `capacity`
// rows each (the grid values with and without the replicate's shift). For each row t:
//   u = sum_l h21[l] * v[l][t] + v[p21][t]  (v: shifted or centred)
//   best(u) = max(-1e15, 0 + level1 * u, 0 + level2 * u)
//   diff[t] = best(u_shifted) - best(u_centred)
//   sums[j * ld + t] += factors[j] * diff[t],  j = 0 .. p1 - 1
// diff has room for len values.
struct ChunkSubject {
  int32_t p21;
  const double* shifted;
  const double* centred;
  int64_t capacity;
  int64_t len;
  const double* h21;
  double level1;
  double level2;
  const double* factors;
  int32_t p1;
  double* sums;
  int64_t ld;
  double* diff;
};
// False (and nothing done) when p21 exceeds kKernelTailorLimit.
bool add_two_treatment_subject(const ChunkSubject& subject);

// The kernel in use: the widest the processor offers, unless a test chose another.
GridKernel grid_kernel();
bool grid_kernel_available(GridKernel kernel);
// For tests: false (and no change) when the processor lacks the kernel.
bool use_grid_kernel(GridKernel kernel);

}  // namespace kestrion

#endif  // KESTRION_ENGINE_GRID_KERNEL_H
