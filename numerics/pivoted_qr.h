// Least squares by Householder QR with column pivoting: the fast solver of the value bootstrap's
// many small refits. Rank rule: after pivoting, column k of R is dependent when |R(k,k)| is at
// most tolerance times |R(1,1)| (the largest). A rank-deficient design is refused, as svdr_l2
// refuses one, rather than solved in a minimum-norm sense.
//
// Thread-safe: everything it changes is in the caller's workspace.
#ifndef KESTRION_NUMERICS_PIVOTED_QR_H
#define KESTRION_NUMERICS_PIVOTED_QR_H

#include <cstdint>
#include <vector>

namespace kestrion {

// Storage for fits of up to rows x columns; grows on demand, so reuse one per thread.
struct QrWorkspace {
  std::vector<double> a;       // the design, overwritten by R and the reflectors
  std::vector<double> qty;     // Q'y
  std::vector<double> norms;   // remaining column norms
  std::vector<int32_t> pivot;  // column of the design at position k
  std::vector<double> tau;
};

// design: m x n, column-major with leading dimension m; y: m; beta: n. False when the design is
// rank-deficient by the rule above (beta is then unspecified), or m < n.
bool qr_least_squares(const double* design, int32_t m, int32_t n, const double* y, double tolerance,
                      double* beta, QrWorkspace& ws);

// The design's rank by the same rule (for tests and diagnostics).
int32_t qr_rank(const double* design, int32_t m, int32_t n, double tolerance, QrWorkspace& ws);

// The triangle R of a design of full rank by the rule above: design * P = Q * R, with r n x n
// column-major (zeros below the diagonal) and pivot[k] the design's column at position k of P.
// False, with r and pivot unspecified, as qr_least_squares would refuse the design.
bool qr_triangle(const double* design, int32_t m, int32_t n, double tolerance, double* r,
                 int32_t* pivot, QrWorkspace& ws);

}  // namespace kestrion

#endif  // KESTRION_NUMERICS_PIVOTED_QR_H
