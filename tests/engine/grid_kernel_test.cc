// Every grid kernel the processor offers gives the portable kernel's bits: each grid row is one
// lane, so vector instructions change how many rows an instruction takes, never a row's
// arithmetic.
#include "engine/grid_kernel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "engine/calculate_terms.h"
#include "numerics/error_record.h"
#include "reference_engine.h"

namespace kestrion {
namespace {

using reference::Matrix;

std::vector<uint64_t> bits(const std::vector<double>& values) {
  std::vector<uint64_t> out(values.size());
  std::memcpy(out.data(), values.data(), values.size() * sizeof(double));
  return out;
}

struct Terms {
  std::vector<double> term1;
  Matrix term2;
};

TEST(GridKernel, EveryKernelGivesThePortableBits) {
  const GridKernel in_use = grid_kernel();
  std::mt19937_64 engine(515);
  const auto normal = [&] {
    const double u = std::max(static_cast<double>(engine() >> 11) * 0x1.0p-53, 1e-300);
    return std::sqrt(-2.0 * std::log(u)) *
           std::cos(6.283185307179586 * (engine() >> 11) * 0x1.0p-53);
  };
  int kernels_compared = 0;
  for (int trial = 0; trial < 40; ++trial) {
    SCOPED_TRACE(trial);
    // Up to the last tailoring count with a kernel of its own, and one beyond it.
    const int32_t p21 = trial % (kKernelTailorLimit + 2);
    const int32_t n1 = 20 + trial, p1 = 2 + trial % 5, p20 = trial % 2, K2 = 2;
    const int32_t d2 = p21 + 1;
    const int32_t nGrid = p21 <= 2 ? 5 : 2;
    const int64_t rows = grid_row_count(grid_point_count(nGrid, d2));
    std::vector<double> btY1(n1), beta1hat(p1), beta2hat(p20 + 2 * (p21 + 1)), btBeta1stS(p1);
    std::vector<double> btBeta2ndS(beta2hat.size());
    std::vector<int32_t> status(n1);
    Matrix H20(n1, p20), H21(n1, p21), levels2(1, 2), A(n1, p1), sigma1n(p1, p1), sigma2n(d2, d2),
        gamma(rows, d2);
    for (auto* v : {&btY1, &beta1hat, &beta2hat, &btBeta2ndS, &btBeta1stS}) {
      for (double& x : *v) x = normal();
    }
    for (auto* m : {&H20, &H21, &A, &sigma1n, &gamma}) {
      for (double& x : m->data) x = normal();
    }
    for (int32_t& s : status) s = engine() % 4 == 0 ? 1 : 0;
    levels2(1, 1) = -1.0;
    levels2(1, 2) = 1.0;
    // A large covariance puts most subjects on the grid.
    for (int32_t i = 1; i <= d2; ++i) sigma2n(i, i) = 50.0 + i;

    const auto terms = [&] {
      Terms t{std::vector<double>(p1), Matrix(p1, rows)};
      ErrorRecord record;
      EXPECT_EQ(reference::fast_terms(n1, p1, 150, p20, p21, K2, nGrid, reference::cvview(btY1),
                                      H20.cview(), H21.cview(), levels2.cview(),
                                      reference::cvview(beta1hat), reference::cvview(beta2hat),
                                      A.cview(), reference::ciview(status), sigma1n.cview(),
                                      sigma2n.cview(), gamma.cview(), reference::cvview(btBeta1stS),
                                      reference::cvview(btBeta2ndS), reference::vview(t.term1),
                                      t.term2.view(), record),
                0);
      return t;
    };
    ASSERT_TRUE(use_grid_kernel(GridKernel::kPortable));
    const Terms portable = terms();
    for (const GridKernel kernel : {GridKernel::kAvx2, GridKernel::kAvx512}) {
      if (!use_grid_kernel(kernel)) continue;
      const Terms vector = terms();
      EXPECT_EQ(bits(vector.term1), bits(portable.term1));
      EXPECT_EQ(bits(vector.term2.data), bits(portable.term2.data));
      ++kernels_compared;
    }
  }
  ASSERT_TRUE(use_grid_kernel(in_use));
  if (kernels_compared == 0) GTEST_SKIP() << "this processor has only the portable kernel";
}

}  // namespace
}  // namespace kestrion
