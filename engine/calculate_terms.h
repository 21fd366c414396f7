// The two interval terms of one main bootstrap replicate: the smooth term (term1) and the term
// that depends on the local value of the stage-2 treatment effects, one column per grid row
// (term2). Both are premultiplied by the replicate's sigma1n.
#ifndef KESTRION_ENGINE_CALCULATE_TERMS_H
#define KESTRION_ENGINE_CALCULATE_TERMS_H

#include <cstdint>

#include "engine/model.h"
#include "numerics/array.h"
#include "numerics/error_record.h"
#include "numerics/work_arrays.h"

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

// What the terms of every replicate share: the full-data stage-2 size n2 (it sets the threshold
// and scales the statistic), the grid (gamma, (G+1) x d2 with G = nGrid**d2), the stage-2 level
// table ((K2-1) x K2), the full-data estimates (p1, p2) and sigma2n (d2 x d2).
// The parts of the smooth term that depend on a subject of the data alone, not on the replicate
// (n1 x 4, by data row): the fitted stage-1 value, the best stage-2 value and the best treatment
// part at the estimates, and x' sigma2n x.
struct SubjectTable {
  ConstDblMat values;
};

struct IntervalFrame {
  int32_t n2 = 0;
  int32_t nGrid = 0;
  ConstDblMat levels2;
  ConstDblVec beta1hat;
  ConstDblVec beta2hat;
  ConstDblMat sigma2n;
  ConstDblMat gamma;
  // Optional: with it and the replicate's source rows, the smooth term looks these parts up
  // instead of computing them again for every replicate (the same values).
  const SubjectTable* subjects = nullptr;
};

// One main replicate as the terms read it: its n1 resampled subjects (btY1 n1, btInputH20
// n1 x p20, btInputH21 n1 x p21, btRespStatus n1 with 0 = stage-2 subject) and its fit
// (btDesignM1 n1 x p1, sigma1n p1 x p1, btBeta1stS p1, btBeta2ndS p2).
struct ReplicateFit {
  int32_t n1 = 0;
  ConstDblVec btY1;
  ConstDblMat btInputH20;
  ConstDblMat btInputH21;
  ConstIntVec btRespStatus;
  ConstDblMat btDesignM1;
  ConstDblMat sigma1n;
  ConstDblVec btBeta1stS;
  ConstDblVec btBeta2ndS;
  const int32_t* source = nullptr;  // data row (1-based) of each resampled subject, if known
};

// Sizes come from `shape` (p1, p2, p20, p21, K2; the stage-1 numbers only through p1). Every view
// is read from its first element, column-major. term1 (p1) and term2 (p1 x (G+1)) are written
// only on success. The report of a failure is in `record`: an allocation failure, or a subject
// whose x' sigma2n x is not above 1e-15 ("svd in MOD calculateTerms").
Status calculateTerms(const ModelShape& shape, const IntervalFrame& frame,
                      const ReplicateFit& replicate, DblVec term1, DblMat term2,
                      ErrorRecord& record);

// The same terms in steps, with work arrays obtained beforehand, so that a thread can compute
// them without allocating and the grid can be taken a block of rows at a time. The grid is the
// rows of frame.gamma. term4TmpArray holds block_rows x p1.
struct TermsArrays {
  DblArray1 indicator1, denominator, indicator2;
  DblArray2 btH2Matrix;
  DblArray1 term1TmpArray, term2TmpArray, term3TmpArray;
  DblArray2 term4TmpArray;
  DblArray1 betaDiff;

  WorkArrays list(int32_t n1, int32_t p1, int32_t p2, int64_t block_rows);
};
// term1 and every subject's statistic (kept in arrays.indicator1 for grid_term); fails as
// calculateTerms does for a singular sigma2n.
Status smooth_term(const ModelShape& shape, const IntervalFrame& frame,
                   const ReplicateFit& replicate, TermsArrays& arrays, DblVec term1,
                   ErrorRecord& record);
// The subject table of the data: `data` is the data seen as a replicate of itself (its design,
// no source rows); values is n1 x 4.
void fill_subject_table(const ModelShape& shape, const IntervalFrame& frame,
                        const ReplicateFit& data, TermsArrays& arrays, DblMat values);
// The statistics alone, the very values smooth_term finds: for a block after the first.
Status screen_subjects(const ModelShape& shape, const IntervalFrame& frame,
                       const ReplicateFit& replicate, TermsArrays& arrays, ErrorRecord& record);
// term2 (p1 x rows of frame.gamma) from the statistics in arrays.indicator1.
void grid_term(const ModelShape& shape, const IntervalFrame& frame, const ReplicateFit& replicate,
               TermsArrays& arrays, DblMat term2);

}  // namespace kestrion

#endif  // KESTRION_ENGINE_CALCULATE_TERMS_H
