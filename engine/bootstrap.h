// Nonparametric bootstrap resampling of whole rows (subjects), n draws per call in row order.
#ifndef KESTRION_ENGINE_BOOTSTRAP_H
#define KESTRION_ENGINE_BOOTSTRAP_H

#include <cstdint>

#include "engine/model.h"
#include "numerics/array.h"
#include "numerics/error_record.h"

namespace kestrion {

// Short form: one matrix (n x p, p may be 0) and one vector.
Status bootstrap(int32_t n, int32_t p, ConstDblMat matrixIn, ConstDblVec vectorIn, DblMat matrixOut,
                 DblVec vectorOut, ErrorRecord& record);

// Full form: the nine per-subject arrays of n subjects, all with one common set of row numbers;
// `in` and `out` have the same shape.
Status bootstrap(int32_t n, const ModelShape& shape, const SubjectArrays& in,
                 const SubjectArraysOut& out, ErrorRecord& record);

// The two halves of a call, for callers that draw on one thread and gather on others: draw_rows
// seeds as each call does and draws the n row numbers (1..n) into rows[0..n); gather_rows copies
// input row rows[i - 1] to output row i of every array.
void draw_rows(int32_t n, int32_t* rows);
void gather_rows(int32_t n, const int32_t* rows, ConstDblMat matrixIn, ConstDblVec vectorIn,
                 int32_t p, DblMat matrixOut, DblVec vectorOut);
void gather_rows(int32_t n, const int32_t* rows, const ModelShape& shape, const SubjectArrays& in,
                 const SubjectArraysOut& out);

}  // namespace kestrion

#endif  // KESTRION_ENGINE_BOOTSTRAP_H
