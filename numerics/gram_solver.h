// Least squares with integer row weights (a resample's repeat counts) through the Gram matrix of
// preconditioned rows: with the triangle R0 of a reference design (design * P = Q * R0), a row x
// becomes R0^-T P' x, the reference's own Gram matrix becomes the identity and a resample's stays
// close to a multiple of it. The normal equations then lose nothing that the QR would keep, at a
// fraction of its cost: accumulating the matrix reads each distinct row once, however often the
// resample repeats it.
//
// A solve declines (returns false) unless its triangle's condition number is small enough that
// the rounding of the normal equations stays far below the results' accuracy, and that the
// pivoted QR's rank rule (pivoted_qr.h) would certainly find the weighted design of full rank.
// A caller then solves by the pivoted QR, whose rule decides rank.
//
// Thread-safe: a Preconditioner is read-only after build; each thread has its own GramSolver.
#ifndef KESTRION_NUMERICS_GRAM_SOLVER_H
#define KESTRION_NUMERICS_GRAM_SOLVER_H

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "numerics/pivoted_qr.h"

namespace kestrion {

// body(std::integral_constant<int32_t, P>) with P = n for the usual small designs, else P = 0
// (the size known only at run time): fixed sizes unroll the short loops over a row's columns.
template <typename Body>
decltype(auto) with_fixed_size(int32_t n, const Body& body) {
  switch (n) {
    case 3:
      return body(std::integral_constant<int32_t, 3>{});
    case 4:
      return body(std::integral_constant<int32_t, 4>{});
    case 5:
      return body(std::integral_constant<int32_t, 5>{});
    case 6:
      return body(std::integral_constant<int32_t, 6>{});
    case 7:
      return body(std::integral_constant<int32_t, 7>{});
    case 8:
      return body(std::integral_constant<int32_t, 8>{});
    default:
      return body(std::integral_constant<int32_t, 0>{});
  }
}

class Preconditioner {
 public:
  // From the reference design (m x n, column-major); false, and every solve declines, when the
  // QR's rank rule at `tolerance` refuses it.
  bool build(const double* design, int32_t m, int32_t n, double tolerance, QrWorkspace& ws);
  int32_t columns() const { return n_; }
  // out = R0^-T P' x (n values each).
  void apply(const double* x, double* out) const;
  // beta = P R0^-1 beta_tilde: the coefficients of the design's own columns. The two must not
  // overlap.
  void recover(const double* beta_tilde, double* beta) const;
  // The largest Frobenius-norm condition number a solve accepts; 0 when unusable.
  double condition_limit() const { return limit_; }

 private:
  int32_t n_ = 0;
  std::vector<double> r_;  // n x n, column-major
  std::vector<int32_t> pivot_;
  double limit_ = 0.0;
};

// One system sum w x x' beta~ = sum w x y over preconditioned rows x.
class GramSolver {
 public:
  // Storage for n columns, obtained up front so that later resets allocate nothing.
  void reserve(int32_t n);
  void reset(int32_t n);
  struct Row {
    const double* x;
    double weight;
    double y;
  };
  // Adds rows k = 0 .. count-1, row(k) giving each. Sums run in row order, so every path below
  // gives the same bits.
  template <typename RowOf>
  void add_rows(int32_t count, const RowOf& row) {
    with_fixed_size(n_, [&](auto fixed) { accumulate<decltype(fixed)::value>(count, row); });
  }
  // beta in the design's columns; false, with beta unspecified, when declined (see above).
  bool solve(const Preconditioner& pre, double* beta);

 private:
  template <int32_t Fixed, typename RowOf>
  void accumulate(int32_t count, const RowOf& row) {
    const int32_t n = Fixed > 0 ? Fixed : n_;
    double* g = g_.data();
    double* rhs = rhs_.data();
    for (int32_t k = 0; k < count; ++k) {
      const Row r = row(k);
      for (int32_t a = 0; a < n; ++a) {
        const double wa = r.weight * r.x[a];
        double* line = g + static_cast<size_t>(a) * n;
        for (int32_t b = a; b < n; ++b) line[b] += wa * r.x[b];
        rhs[a] += wa * r.y;
      }
    }
  }

  int32_t n_ = 0;
  std::vector<double> g_;  // n x n, row-major; the upper triangle is used
  std::vector<double> rhs_;
  std::vector<double> inverse_;
};

}  // namespace kestrion

#endif  // KESTRION_NUMERICS_GRAM_SOLVER_H
