// A deliberately plain interval engine for tests: the loops of the interval terms, the bounds and
// the bootstrap driver written as the formulas read (column outside, subject inside, nothing
// cached, every array a std::vector), plus a generator of small random studies that both
// engines run on.
#ifndef TALVEN_TESTS_ENGINE_REFERENCE_ENGINE_H
#define TALVEN_TESTS_ENGINE_REFERENCE_ENGINE_H

#include <cstdint>
#include <string>
#include <vector>

#include "engine/calculate_terms.h"
#include "engine/model.h"
#include "numerics/array.h"

namespace kestrion {
struct ErrorRecord;
}

namespace kestrion::reference {

// Returns 0, or -1 at the first subject whose denominator is not above 1e-15 (nothing else is
// reported). Arguments as kestrion::calculateTerms.
int32_t calculate_terms(int32_t n1, int32_t p1, int32_t n2, int32_t p2, int32_t p20, int32_t p21,
                        int32_t K2, int32_t nGrid, ConstDblVec btY1, ConstDblMat btInputH20,
                        ConstDblMat btInputH21, ConstDblMat levels2, ConstDblVec beta1hat,
                        ConstDblVec beta2hat, ConstDblMat btDesignM1, ConstIntVec btRespStatus,
                        ConstDblMat sigma1n, ConstDblMat sigma2n, ConstDblMat gamma,
                        ConstDblVec btBeta2ndS, DblVec term1, DblMat term2);

// kestrion::calculateTerms with the flat argument list of calculate_terms: the terms read the
// stage-1 shape only through p1, so any p1 >= 1 is given as p10 = p1 - 1 with one treatment.
int32_t fast_terms(int32_t n1, int32_t p1, int32_t n2, int32_t p20, int32_t p21, int32_t K2,
                   int32_t nGrid, ConstDblVec btY1, ConstDblMat btInputH20, ConstDblMat btInputH21,
                   ConstDblMat levels2, ConstDblVec beta1hat, ConstDblVec beta2hat,
                   ConstDblMat btDesignM1, ConstIntVec btRespStatus, ConstDblMat sigma1n,
                   ConstDblMat sigma2n, ConstDblMat gamma, ConstDblVec btBeta1stS,
                   ConstDblVec btBeta2ndS, DblVec term1, DblMat term2, ErrorRecord& record);

// values ((p1 + nC) x (G + 1)).
void get_bounds(ConstDblVec term1, ConstDblMat term2, ConstDblMat contrastMatrix, int32_t nC,
                int32_t p1, int32_t d2, int32_t nGrid, DblMat values);

// Owning column-major matrix with a view.
struct Matrix {
  int64_t rows = 0;
  int64_t cols = 0;
  std::vector<double> data;
  Matrix() = default;
  Matrix(int64_t r, int64_t c, double fill = 0.0) : rows(r), cols(c), data(r * c, fill) {}
  double& operator()(int64_t i, int64_t j) { return data[(i - 1) + (j - 1) * rows]; }
  double operator()(int64_t i, int64_t j) const { return data[(i - 1) + (j - 1) * rows]; }
  DblMat view() { return make_view(data.data(), rows, cols); }
  ConstDblMat cview() const { return make_view(data.data(), rows, cols); }
};

inline DblVec vview(std::vector<double>& v) {
  return make_view(v.data(), int64_t(v.size()));
}
inline ConstDblVec cvview(const std::vector<double>& v) {
  return make_view(v.data(), int64_t(v.size()));
}
inline IntVec iview(std::vector<int32_t>& v) {
  return make_view(v.data(), int64_t(v.size()));
}
inline ConstIntVec ciview(const std::vector<int32_t>& v) {
  return make_view(v.data(), int64_t(v.size()));
}

// One study as the analysis driver would hand it to calculateCI, with the full-data fit done.
// It counts p1 and p2 itself rather than through ModelShape, so that a wrong count there shows
// as a disagreement of the two engines.
struct Study {
  int32_t n1 = 0, n2 = 0, p10 = 0, p11 = 0, p20 = 0, p21 = 0, K1 = 2, K2 = 2, nC = 0;
  int32_t p1 = 0, p2 = 0;
  std::vector<double> Y1, inputY2;
  std::vector<int32_t> respStatus, A1, inputA2;
  Matrix H10, H11, inputH20, inputH21, levels1, levels2, contrastMatrix;
  // From the full-data fit.
  Matrix designM2;
  std::vector<double> y2, beta1hat, beta2hat;
};

// The study as the engine's routines take it.
ModelShape shape_of(const Study& study);
StudyArrays study_of(const Study& study);

struct StudyShape {
  int32_t n1 = 40;
  int32_t p10 = 1, p11 = 1, p20 = 1, p21 = 1;
  int32_t nC = 0;
  bool stage2_marks = true;  // otherwise every subject is in the stage-2 sample
  // A MAIN1 (MAIN2) column with two ones: main (covariance) resamples that miss both fail.
  bool rare_binary_main1 = false;
  bool rare_binary_main2 = false;
  bool zero_one_levels = false;  // treatment values 0/1 instead of -1/1
};

// Fills a study from `seed` and runs the full-data two-stage fit; false when that fit failed.
bool make_study(const StudyShape& shape, uint64_t seed, Study& study);

struct CiResult {
  bool failed = false;  // the call ended early (collinearity or a failed regression)
  int32_t nCollinear = 0;
  std::vector<double> upper, lower;
};

struct CiOptions {
  int32_t nBootstrap1 = 30;
  int32_t nBootstrap2 = 30;
  int32_t nGrid = 3;
  double gridScale = 2.58;
  double alpha = 0.05;
  int32_t cores = 1;  // threads of the fast engine; the reference runs on one
};

// The reference bootstrap driver; draws from the same process-wide stream as calculateCI.
CiResult calculate_ci(const Study& study, const CiOptions& options);

// kestrion::calculateCI on the same study; `lines` receives its error record's lines (trailing
// blanks removed). upper and lower keep the value kUnwritten where the call did not write them.
inline constexpr double kUnwritten = -7.25e77;
CiResult run_fast_ci(const Study& study, const CiOptions& options,
                     std::vector<std::string>* lines = nullptr);

}  // namespace kestrion::reference

#endif  // TALVEN_TESTS_ENGINE_REFERENCE_ENGINE_H
