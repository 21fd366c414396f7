// The two interval terms of one main bootstrap replicate: the smooth term (term1) and the term
// that depends on the local value of the stage-2 treatment effects, one column per grid row
// (term2). Both are premultiplied by the replicate's sigma1n.
#ifndef KESTRION_ENGINE_CALCULATE_TERMS_H
#define KESTRION_ENGINE_CALCULATE_TERMS_H

#include <cstdint>

#include "numerics/array.h"
#include "numerics/error_record.h"

namespace kestrion {

// nGrid to the power d2 in wrapping 32-bit integer arithmetic (exponent 0 gives 1, base 1 gives
// 1, base 0 with a positive exponent gives 0). A power that wraps to a negative count leaves the
// grid-indexed arrays without columns.
int32_t grid_point_count(int32_t nGrid, int32_t d2);

// Number of grid rows including the centre, G + 1 in 32-bit arithmetic; 0 when that is not
// positive.
int64_t grid_row_count(int32_t G);

// The threshold ln(ln(n2)) in single precision, widened; 0 when n2 <= 1.
double indicator_threshold(int32_t n2);

// Every view is read from its first element, column-major. Shapes: btY1 n1; btInputH20 n1 x p20;
// btInputH21 n1 x p21; levels2 (K2-1) x K2; beta1hat, btBeta1stS p1; beta2hat, btBeta2ndS p2;
// btDesignM1 n1 x p1; btRespStatus n1 (0 = stage-2 subject); sigma1n p1 x p1; sigma2n d2 x d2 with
// d2 = p2 - p20 - p21 - 1; gamma (G+1) x d2; term1 p1 and term2 p1 x (G+1) are written only on
// success. n2 is the full-data stage-2 size: it sets the threshold and scales the statistic.
// gridScale is accepted and not read.
// Returns 0, or -1 with the report in `record`: an allocation failure, or a subject whose
// x' sigma2n x is not above 1e-15 ("svd in MOD calculateTerms").
int32_t calculateTerms(int32_t n1, int32_t p1, int32_t n2, int32_t p2, int32_t p20, int32_t p21,
                       int32_t K2, int32_t nGrid, double gridScale, ConstDblVec btY1,
                       ConstDblMat btInputH20, ConstDblMat btInputH21, ConstDblMat levels2,
                       ConstDblVec beta1hat, ConstDblVec beta2hat, ConstDblMat btDesignM1,
                       ConstIntVec btRespStatus, ConstDblMat sigma1n, ConstDblMat sigma2n,
                       ConstDblMat gamma, ConstDblVec btBeta1stS, ConstDblVec btBeta2ndS,
                       DblVec term1, DblMat term2, ErrorRecord& record);

}  // namespace kestrion

#endif  // KESTRION_ENGINE_CALCULATE_TERMS_H
