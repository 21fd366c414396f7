// Least squares through our own singular value decomposition (Golub-Reinsch, EISPACK form), with
// a relative rank test. The module keeps the singular values and right singular vectors of the
// last fit (`sigma`, `v`) for getMInverse until nullify_data or the next svdr_l2.
//
// Calling order: svdr_l2 -> optionally getMInverse -> nullify_data or the next svdr_l2. Not
// thread-safe: one fit at a time in the process.
#ifndef KESTRION_NUMERICS_REGRESSION_H
#define KESTRION_NUMERICS_REGRESSION_H

#include <cstdint>
#include <vector>

#include "numerics/array.h"
#include "numerics/error_record.h"
#include "numerics/work_arrays.h"

namespace kestrion {

// The rank tolerance of the analysis: 1e-10 in single precision, widened.
inline constexpr double kRankTolerance = static_cast<double>(1e-10f);

// design is m x n (not changed), y has m entries, beta receives n coefficients.
[[nodiscard]] int32_t svdr_l2(ConstDblMat design, int32_t m, int32_t n, ConstDblVec y,
                              double tolerance, DblVec beta, ErrorRecord& record);
// a = u * diag(w) * v^T; a is m x n and not changed, w has n, u is m x n, v is n x n.
[[nodiscard]] int32_t svd(int32_t m, int32_t n, ConstDblMat a, DblVec w, DblMat u, DblMat v,
                          ErrorRecord& record);
double safe_hypot(double a, double b);
// svdr_l2 through the explicit left singular vectors: the straightforward path, kept so tests can
// hold the faster svdr_l2 to it. Same results to rounding, same rank decisions, same reports.
[[nodiscard]] int32_t svdr_l2_reference(ConstDblMat design, int32_t m, int32_t n, ConstDblVec y,
                                        double tolerance, DblVec beta, ErrorRecord& record);
// result (n x n) = scale * (design^T design)^-1 from the last successful svdr_l2. Always 0; a
// rank failure shows only in the record.
int32_t getMInverse(DblMat result, int32_t scale, int32_t n, ErrorRecord& record);
[[nodiscard]] int32_t nullify_data(ErrorRecord& record);

// After svdr_l2 found `design` (m x n) rank-deficient, while the module still holds its
// decomposition: the columns (1-based, ascending) that take part in a linear dependency. A column
// of zeros is one on its own. Otherwise column k takes part when a right singular vector v of a
// singular value at or below tolerance times the largest has more than rounding on the non-zero
// columns and k's contribution |v(k)| * |column k| is not negligible (1e-6) beside the largest
// one. Empty when the module holds no decomposition of n columns.
std::vector<int32_t> dependent_columns(ConstDblMat design, int32_t m, int32_t n, double tolerance);

// Storage for least-squares fits of at most rows x columns, obtained once on one thread and then
// used by fits that allocate nothing, so that several threads can fit at once, each with its own
// workspace. It keeps the decomposition of its last fit, as the module state does.
struct RegressionWorkspace {
  struct Descriptions {
    const char* sigma;
    const char* u;
    const char* v;
    const char* scratch;
    const char* rotations;
  };
  DblArray1 sigma;
  DblArray2 u;
  DblArray2 v;
  DblArray1 scratch;
  IntArray1 rotations;
  int32_t columns = 0;  // of the last decomposition

  WorkArrays list(int32_t rows, int32_t capacity, const Descriptions& descriptions);
};

// svdr_l2, getMInverse and dependent_columns with a workspace instead of the module state: the
// same results, reports and labels. A fit larger than the workspace is refused with code 301.
[[nodiscard]] int32_t least_squares_in(RegressionWorkspace& workspace, ConstDblMat design,
                                       int32_t m, int32_t n, ConstDblVec y, double tolerance,
                                       DblVec beta, ErrorRecord& record);
int32_t inverse_cross_product_in(const RegressionWorkspace& workspace, DblMat result, int32_t scale,
                                 int32_t n, ErrorRecord& record);
std::vector<int32_t> dependent_columns_in(const RegressionWorkspace& workspace, ConstDblMat design,
                                          int32_t m, int32_t n, double tolerance);

// Read access to the module state, for tests.
bool regression_state_allocated();
// The singular values of the last decomposition, in the order found (empty when released).
std::vector<double> regression_singular_values();

}  // namespace kestrion

#endif  // KESTRION_NUMERICS_REGRESSION_H
