// Value types of the engine: the model's shape (public, kestrion_model.h) and the study's
// per-subject arrays, as every routine of the analysis sees them.
#ifndef KESTRION_ENGINE_MODEL_H
#define KESTRION_ENGINE_MODEL_H

#include <cstdint>

#include "kestrion_model.h"
#include "numerics/array.h"

namespace kestrion {

// The nine per-subject arrays of n subjects, all with one set of row numbers: outcomes, stage-2
// status (0 = in the stage-2 sample), treatment codes 1..K and the four covariate matrices
// (n x p10, n x p11, n x p20, n x p21).
template <typename Real, typename Code>
struct SubjectArraysOf {
  View<Real, 1> Y1;
  View<Real, 1> inputY2;
  View<Code, 1> respStatus;
  View<Code, 1> A1;
  View<Code, 1> inputA2;
  View<Real, 2> H10;
  View<Real, 2> H11;
  View<Real, 2> inputH20;
  View<Real, 2> inputH21;

  // Writable arrays are readable too.
  operator SubjectArraysOf<const Real, const Code>() const {  // NOLINT(google-explicit-constructor)
    return {Y1, inputY2, respStatus, A1, inputA2, H10, H11, inputH20, inputH21};
  }
};
using SubjectArrays = SubjectArraysOf<const double, const int32_t>;
using SubjectArraysOut = SubjectArraysOf<double, int32_t>;

// A study as the fit reads it: n1 subjects, n2 of them in the stage-2 sample, their arrays and
// the level tables ((K-1) x K; column k holds the treatment columns' values of treatment k).
struct StudyArrays {
  int32_t n1 = 0;
  int32_t n2 = 0;
  SubjectArrays subjects;
  ConstDblMat levels1;
  ConstDblMat levels2;
};

}  // namespace kestrion

#endif  // KESTRION_ENGINE_MODEL_H
