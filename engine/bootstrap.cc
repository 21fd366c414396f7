#include "engine/bootstrap.h"

#include <cmath>

#include "engine/uniform_generator.h"
#include "numerics/dynamic_allocation.h"

namespace kestrion {

namespace {

// rows[i - 1] is the input row of output row i.
template <typename T>
void gather(int32_t n, const int32_t* rows, View<const T, 1> in, View<T, 1> out) {
  for (int32_t i = 1; i <= n; ++i) out(i) = in(rows[i - 1]);
}

// Column by column, so that every write runs down contiguous storage.
template <typename T>
void gather(int32_t n, int32_t p, const int32_t* rows, View<const T, 2> in, View<T, 2> out) {
  for (int32_t j = 1; j <= p; ++j) {
    const auto from = in.column(j);
    const auto to = out.column(j);
    for (int32_t i = 1; i <= n; ++i) to(i) = from(rows[i - 1]);
  }
}

// Obtains the index and draws it; -1 (with the allocation report) when the index cannot be had.
Status start_resample(int32_t n, IntArray1& index, ErrorRecord& record) {
  if (alloc(index, {n}, record, "bootstrap: outputIndex") != 0) return Status::kFailed;
  draw_rows(n, index.data());
  return Status::kOk;
}

void finish_resample(IntArray1& index, ErrorRecord& record) {
  // Nothing the caller could do about a failed release of a scratch index.
  static_cast<void>(dealloc(index, record));
}

}  // namespace

void draw_rows(int32_t n, int32_t* rows) {
  seed_for_resample();
  // One uniform number per output row, in row order; the product is formed in double so that
  // the row numbers match the definition on every machine.
  UniformGenerator& generator = resampling_generator();
  const double count = n;
  for (int32_t i = 0; i < n; ++i)
    rows[i] = static_cast<int32_t>(std::ceil(generator.next() * count));
}

void gather_rows(int32_t n, const int32_t* rows, ConstDblMat matrixIn, ConstDblVec vectorIn,
                 int32_t p, DblMat matrixOut, DblVec vectorOut) {
  gather(n, rows, vectorIn, vectorOut);
  gather(n, p, rows, matrixIn, matrixOut);
}

void gather_rows(int32_t n, const int32_t* rows, const ModelShape& shape, const SubjectArrays& in,
                 const SubjectArraysOut& out) {
  gather(n, rows, in.Y1, out.Y1);
  gather(n, rows, in.inputY2, out.inputY2);
  gather(n, rows, in.respStatus, out.respStatus);
  gather(n, rows, in.A1, out.A1);
  gather(n, rows, in.inputA2, out.inputA2);
  gather(n, shape.p10, rows, in.H10, out.H10);
  gather(n, shape.p11, rows, in.H11, out.H11);
  gather(n, shape.p20, rows, in.inputH20, out.inputH20);
  gather(n, shape.p21, rows, in.inputH21, out.inputH21);
}

Status bootstrap(int32_t n, int32_t p, ConstDblMat matrixIn, ConstDblVec vectorIn, DblMat matrixOut,
                 DblVec vectorOut, ErrorRecord& record) {
  IntArray1 outputIndex;
  if (start_resample(n, outputIndex, record) != Status::kOk) return Status::kFailed;
  gather_rows(n, outputIndex.data(), matrixIn, vectorIn, p, matrixOut, vectorOut);
  finish_resample(outputIndex, record);
  return Status::kOk;
}

Status bootstrap(int32_t n, const ModelShape& shape, const SubjectArrays& in,
                 const SubjectArraysOut& out, ErrorRecord& record) {
  IntArray1 outputIndex;
  if (start_resample(n, outputIndex, record) != Status::kOk) return Status::kFailed;
  gather_rows(n, outputIndex.data(), shape, in, out);
  finish_resample(outputIndex, record);
  return Status::kOk;
}

}  // namespace kestrion
