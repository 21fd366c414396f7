// Two-stage Q-learning refitted on a resample by the pivoted QR solver, and what the estimated
// regime's interval reads from a fit: its value and its treatment-effect coefficients.
#ifndef KESTRION_ENGINE_VALUE_REFIT_H
#define KESTRION_ENGINE_VALUE_REFIT_H

#include <cstdint>
#include <vector>

#include "engine/model.h"
#include "numerics/pivoted_qr.h"

namespace kestrion {

// One thread's refits; reuse it, its storage grows to the largest resample.
class Refitter {
 public:
  // Subjects rows[0 .. m) (row numbers 1..n1, repeats allowed) of `study`. With minimize the
  // stage-2 pseudo-outcome and the value take the smallest Q-value, which is the analysis of the
  // negated outcome read back. False when a stage's design is rank-deficient or too small.
  bool fit(const ModelShape& shape, const StudyArrays& study, const int32_t* rows, int32_t m,
           bool minimize);
  // Storage for resamples of up to m subjects, obtained on the calling thread so that fits on
  // other threads allocate nothing.
  void reserve(const ModelShape& shape, int32_t m);
  // The stage-2 regression alone on rows[0 .. count), all of them in the stage-2 sample.
  bool fit_stage2(const ModelShape& shape, const StudyArrays& study, const int32_t* rows,
                  int32_t count);

  double value = 0.0;         // the mean over the resample of the best fitted stage-1 Q-value
  std::vector<double> beta1;  // p1, 0-based
  std::vector<double> beta2;  // p2

 private:
  std::vector<int32_t> stage2_rows_;
  std::vector<double> design_;
  std::vector<double> response_;
  QrWorkspace qr_;
};

// The best Q-value of subject i at a stage over its K levels (levels: (K-1) x K).
double best_q1(const ModelShape& shape, const StudyArrays& study, const double* beta1, int32_t i,
               bool minimize);
double best_q2(const ModelShape& shape, const StudyArrays& study, const double* beta2, int32_t i,
               bool minimize);

// x'beta_psi for stage 1 (TAILOR1 values, 1) and stage 2 (TAILOR2 values, 1), with two
// treatments at the stage: the treatment-effect part of the Q-function per unit of the
// treatment column.
double effect1(const ModelShape& shape, const StudyArrays& study, const double* beta1, int32_t i);
double effect2(const ModelShape& shape, const StudyArrays& study, const double* beta2, int32_t i);
// x' sigma x with the same x; sigma is d x d column-major.
double spread1(const ModelShape& shape, const StudyArrays& study, const std::vector<double>& sigma,
               int32_t i);
double spread2(const ModelShape& shape, const StudyArrays& study, const std::vector<double>& sigma,
               int32_t i);

}  // namespace kestrion

#endif  // KESTRION_ENGINE_VALUE_REFIT_H
