// Two-stage Q-learning refitted on a resample, and what the estimated regime's interval reads
// from a fit: its value and its treatment-effect coefficients.
#ifndef KESTRION_ENGINE_VALUE_REFIT_H
#define KESTRION_ENGINE_VALUE_REFIT_H

#include <cstdint>
#include <vector>

#include "engine/model.h"
#include "numerics/gram_solver.h"
#include "numerics/pivoted_qr.h"

namespace kestrion {

// One stage's design over the study's subjects, computed once for all the refits.
struct StageDesign {
  int32_t p = 0;
  int32_t K = 0;
  std::vector<double> levels;     // subject i's row at level l: p values from ((i-1) K + l-1) p
  std::vector<double> given;      // preconditioned, at the level given: p values from (i-1) p
  std::vector<int32_t> code;      // the level given (1 outside the stage-2 sample at stage 2)
  std::vector<double> y;          // the stage's outcome (stage 2: 0 outside its sample)
  Preconditioner preconditioner;  // from the full data's design of the stage

  size_t at(int32_t i, int32_t level) const {
    return ((static_cast<size_t>(i) - 1) * K + (level - 1)) * p;
  }
  const double* row(int32_t i, int32_t level) const { return levels.data() + at(i, level); }
  const double* preconditioned(int32_t i) const {
    return given.data() + (static_cast<size_t>(i) - 1) * p;
  }
};

// A resample's design rows are rows of the full data's, so they are built once per study. Obtain
// it on the calling thread: it allocates (std::bad_alloc) and builds the preconditioners.
struct RefitDesign {
  RefitDesign() = default;  // no subjects: for calls that refit nothing
  RefitDesign(const ModelShape& shape, const StudyArrays& study);
  int32_t n1 = 0;
  std::vector<char> in_stage2;  // per subject
  StageDesign stage1;
  StageDesign stage2;
};

// One thread's refits; reuse it. A resample with repeats is a weighted fit of its distinct
// subjects, weighted by their counts: by the preconditioned normal equations where they are
// safe (numerics/gram_solver.h), else by the pivoted QR of the distinct rows scaled by the
// counts' square roots, which is the QR of the repeated rows up to rounding and decides rank.
class Refitter {
 public:
  // Subjects rows[0 .. m) (row numbers 1..n1, repeats allowed). With minimize the stage-2
  // pseudo-outcome and the value take the smallest Q-value, which is the analysis of the negated
  // outcome read back. False when a stage's design is rank-deficient or too small.
  bool fit(const RefitDesign& design, const int32_t* rows, int32_t m, bool minimize);
  // Storage for resamples of up to m subjects, obtained on the calling thread so that fits on
  // other threads allocate nothing.
  void reserve(const RefitDesign& design, int32_t m);
  // The stage-2 regression alone on rows[0 .. count), all of them in the stage-2 sample.
  bool fit_stage2(const RefitDesign& design, const int32_t* rows, int32_t count);

  double value = 0.0;         // the mean over the resample of the best fitted stage-1 Q-value
  std::vector<double> beta1;  // p1, 0-based
  std::vector<double> beta2;  // p2
  int64_t qr_solves = 0;      // stage solves the normal equations left to the QR

 private:
  // Counts the resample's subjects; lists the distinct ones, those in the stage-2 sample first,
  // each group in order of first appearance.
  void count(const RefitDesign& design, const int32_t* rows, int32_t m);
  // The per-subject counts and the lists of count for resamples of up to m subjects.
  void fit_lists(const RefitDesign& design, int32_t m);
  void release();
  // The stage's regression on distinct_[0 .. n), weighted by their counts, total rows in all.
  bool solve(const StageDesign& stage, int32_t n, int32_t total, double* beta);

  std::vector<int32_t> counts_;    // per subject; zero between fits
  std::vector<int32_t> distinct_;  // the resample's subjects (see count)
  std::vector<int32_t> others_;    // scratch of count
  int32_t distinct_count_ = 0;
  int32_t distinct_in2_ = 0;      // of them in the stage-2 sample
  int32_t rows_in2_ = 0;          // rows of the resample in the stage-2 sample
  std::vector<double> response_;  // per subject of the solve at hand
  std::vector<double> design_;    // the QR's weighted rows
  std::vector<double> weighted_y_;
  GramSolver gram_;
  QrWorkspace qr_;
};

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
