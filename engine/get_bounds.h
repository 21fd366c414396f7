// Maps one replicate's interval terms onto every reported target (the stage-1 coefficients, then
// the user contrasts) for every grid row.
#ifndef KESTRION_ENGINE_GET_BOUNDS_H
#define KESTRION_ENGINE_GET_BOUNDS_H

#include <cstdint>

#include "numerics/array.h"
#include "numerics/error_record.h"

namespace kestrion {

// term1 p1; term2 p1 x (G+1); contrastMatrix nC x p1 (not read when nC is 0); values
// (p1+nC) x (G+1), any strides: values(i, g) = c_i . term1 + c_i . term2(., g), where c_i is
// unit vector i for i <= p1 and contrast i - p1 otherwise. A negative G writes nothing.
// Fails only when "getBounds: contrasts" cannot be had (values untouched).
Status getBounds(ConstDblVec term1, ConstDblMat term2, ConstDblMat contrastMatrix, int32_t nC,
                 int32_t p1, int32_t d2, int32_t nGrid, DblMat values, ErrorRecord& record);

// The same in two steps, for callers that keep the targets: targets (p1 + nC) x p1 holds unit
// row i for i <= p1 and contrast i - p1 below them; bounds_of writes values(i, g) for the first
// `rows` columns of term2 with nothing allocated.
void fill_targets(ConstDblMat contrastMatrix, int32_t nC, int32_t p1, DblMat targets);
void bounds_of(ConstDblMat targets, ConstDblVec term1, ConstDblMat term2, int64_t rows,
               DblMat values);

}  // namespace kestrion

#endif  // KESTRION_ENGINE_GET_BOUNDS_H
