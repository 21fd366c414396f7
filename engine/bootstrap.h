// Nonparametric bootstrap resampling of whole rows (subjects), n draws per call in row order.
#ifndef KESTRION_ENGINE_BOOTSTRAP_H
#define KESTRION_ENGINE_BOOTSTRAP_H

#include <cstdint>

#include "numerics/array.h"
#include "numerics/error_record.h"

namespace kestrion {

// Short form: one matrix (n x p, p may be 0) and one vector.
int32_t bootstrap(int32_t n, int32_t p, ConstDblMat matrixIn, ConstDblVec vectorIn,
                  DblMat matrixOut, DblVec vectorOut, ErrorRecord& record);

// Full form: the nine per-subject arrays of the analysis, all with one common set of row numbers.
int32_t bootstrap(int32_t n, ConstDblVec Y1, ConstDblMat H10, int32_t p10, ConstDblMat H11,
                  int32_t p11, ConstIntVec A1, ConstIntVec respStatus, ConstDblVec inputY2,
                  ConstDblMat inputH20, int32_t p20, ConstDblMat inputH21, int32_t p21,
                  ConstIntVec inputA2, DblVec btY1, DblMat btH10, DblMat btH11, IntVec btA1,
                  IntVec btRespStatus, DblVec btInputY2, DblMat btInputH20, DblMat btInputH21,
                  IntVec btInputA2, ErrorRecord& record);

}  // namespace kestrion

#endif  // KESTRION_ENGINE_BOOTSTRAP_H
