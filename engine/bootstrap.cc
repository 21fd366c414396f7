#include "engine/bootstrap.h"

#include <cmath>

#include "engine/engine_internal.h"
#include "engine/uniform_generator.h"
#include "numerics/dynamic_allocation.h"

namespace kestrion {

namespace {

// One uniform number per output row, in row order; the product is formed in double so that the
// row numbers match the definition on every machine.
void draw_rows(int32_t n, const IntArray1& index) {
  UniformGenerator& generator = resampling_generator();
  const double rows = n;
  for (int32_t i = 1; i <= n; ++i) {
    index(i) = static_cast<int32_t>(std::ceil(generator.next() * rows));
  }
}

// rows[i - 1] is the input row of output row i.
template <typename T>
void gather(int32_t n, const int32_t* rows, View<const T, 1> in, View<T, 1> out) {
  const auto from = detail::entries(in);
  const auto to = detail::entries(out);
  for (int32_t i = 1; i <= n; ++i) to[i] = from[rows[i - 1]];
}

// Column by column, so that every write runs down contiguous storage.
template <typename T>
void gather(int32_t n, int32_t p, const int32_t* rows, View<const T, 2> in, View<T, 2> out) {
  for (int32_t j = 1; j <= p; ++j) {
    const auto from = detail::column(in, j);
    const auto to = detail::column(out, j);
    for (int32_t i = 1; i <= n; ++i) to[i] = from[rows[i - 1]];
  }
}

// Obtains the index and draws it; -1 (with the allocation report) when the index cannot be had.
int32_t start_resample(int32_t n, IntArray1& index, ErrorRecord& record) {
  if (detail::obtain(index, {n}, record, "bootstrap: outputIndex") != 0) return -1;
  seed_for_resample();
  draw_rows(n, index);
  return 0;
}

void finish_resample(IntArray1& index, ErrorRecord& record) {
  // Nothing the caller could do about a failed release of a scratch index.
  static_cast<void>(dealloc(index, record));
}

}  // namespace

int32_t bootstrap(int32_t n, int32_t p, ConstDblMat matrixIn, ConstDblVec vectorIn,
                  DblMat matrixOut, DblVec vectorOut, ErrorRecord& record) {
  IntArray1 outputIndex;
  if (start_resample(n, outputIndex, record) != 0) return -1;
  const int32_t* rows = outputIndex.data();
  gather(n, rows, vectorIn, vectorOut);
  gather(n, p, rows, matrixIn, matrixOut);
  finish_resample(outputIndex, record);
  return 0;
}

int32_t bootstrap(int32_t n, ConstDblVec Y1, ConstDblMat H10, int32_t p10, ConstDblMat H11,
                  int32_t p11, ConstIntVec A1, ConstIntVec respStatus, ConstDblVec inputY2,
                  ConstDblMat inputH20, int32_t p20, ConstDblMat inputH21, int32_t p21,
                  ConstIntVec inputA2, DblVec btY1, DblMat btH10, DblMat btH11, IntVec btA1,
                  IntVec btRespStatus, DblVec btInputY2, DblMat btInputH20, DblMat btInputH21,
                  IntVec btInputA2, ErrorRecord& record) {
  IntArray1 outputIndex;
  if (start_resample(n, outputIndex, record) != 0) return -1;
  const int32_t* rows = outputIndex.data();
  gather(n, rows, Y1, btY1);
  gather(n, rows, inputY2, btInputY2);
  gather(n, rows, respStatus, btRespStatus);
  gather(n, rows, A1, btA1);
  gather(n, rows, inputA2, btInputA2);
  gather(n, p10, rows, H10, btH10);
  gather(n, p11, rows, H11, btH11);
  gather(n, p20, rows, inputH20, btInputH20);
  gather(n, p21, rows, inputH21, btInputH21);
  finish_resample(outputIndex, record);
  return 0;
}

}  // namespace kestrion
