#include "engine/get_bounds.h"

#include <algorithm>
#include <cstdint>

#include "engine/calculate_terms.h"
#include "numerics/dynamic_allocation.h"

namespace kestrion {

void fill_targets(ConstDblMat contrastMatrix, int32_t nC, int32_t p1, DblMat targets) {
  const int32_t m = p1 + nC;
  for (int32_t i = 1; i <= m; ++i) {
    for (int32_t c = 1; c <= p1; ++c) {
      targets(i, c) = i <= p1 ? (c == i ? 1.0 : 0.0) : contrastMatrix(i - p1, c);
    }
  }
}

void bounds_of(ConstDblMat targets, ConstDblVec term1, ConstDblMat term2, int64_t rows,
               DblMat values) {
  // Grid rows a chunk at a time: every (target, row) value is a + sum over c of
  // target(c) term2(c, row), c in order, with the rows innermost.
  constexpr int64_t kChunk = 256;
  const auto m = static_cast<int32_t>(targets.extent(0));
  const auto p1 = static_cast<int32_t>(targets.extent(1));
  const double* t1 = term1.data();
  const int64_t t1_stride = term1.stride(0);
  const double* t2 = term2.data();
  const int64_t t2_rows = term2.stride(0);
  const int64_t t2_cols = term2.stride(1);
  double* out = values.data();
  const int64_t out_rows = values.stride(0);
  const int64_t out_cols = values.stride(1);
  const double* rows_of_targets = targets.data();  // element (i, c) at (i-1) + (c-1)*m
  double grid_part[kChunk];
  for (int32_t i = 1; i <= m; ++i) {
    const double* row = rows_of_targets + (i - 1);
    double a = 0.0;
    for (int32_t c = 1; c <= p1; ++c) a += row[(c - 1) * int64_t{m}] * t1[(c - 1) * t1_stride];
    for (int64_t g0 = 0; g0 < rows; g0 += kChunk) {
      const int64_t len = std::min(kChunk, rows - g0);
      std::fill(grid_part, grid_part + len, 0.0);
      for (int32_t c = 1; c <= p1; ++c) {
        const double weight = row[(c - 1) * int64_t{m}];
        const double* column = t2 + (c - 1) * t2_rows + g0 * t2_cols;
        for (int64_t g = 0; g < len; ++g) grid_part[g] += weight * column[g * t2_cols];
      }
      double* target = out + (i - 1) * out_rows + g0 * out_cols;
      for (int64_t g = 0; g < len; ++g) target[g * out_cols] = a + grid_part[g];
    }
  }
}

Status getBounds(ConstDblVec term1, ConstDblMat term2, ConstDblMat contrastMatrix, int32_t nC,
                 int32_t p1, int32_t d2, int32_t nGrid, DblMat values, ErrorRecord& record) {
  DblArray2 contrasts;
  if (alloc(contrasts, {p1 + nC, p1}, record, "getBounds: contrasts") != 0) {
    return Status::kFailed;
  }
  fill_targets(contrastMatrix, nC, p1, contrasts);
  bounds_of(contrasts, term1, term2, grid_row_count(grid_point_count(nGrid, d2)), values);
  return dealloc(contrasts, record) == 0 ? Status::kOk : Status::kFailed;
}

}  // namespace kestrion
