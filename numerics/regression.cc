#include "numerics/regression.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <memory>
#include <new>

#include "numerics/dynamic_allocation.h"
#include "numerics/work_arrays.h"

namespace kestrion {

namespace {

constexpr std::string_view kSvdrLabel = "svdr_l2 in MOD regression";
constexpr std::string_view kSvdLabel = "svd in MOD regression";
constexpr std::string_view kMInverseLabel = "getMInverse in MOD regression";
constexpr std::string_view kNullifyLabel = "nullify_data in MOD regression";
constexpr std::string_view kRankNote = "Design matrix doesn't have full rank.";

// The decomposition of the last fit, kept for getMInverse.
DblArray1 g_sigma;
DblArray2 g_v;

void report(ErrorRecord& record, ErrorCode code, std::string_view label,
            std::optional<std::string_view> note = std::nullopt) {
  ErrorDetails details;
  details.routine_label = label;
  details.note_1 = note;
  report_error(record, code, details);
}

double sign_of(double magnitude, double sign_source) {
  return sign_source >= 0.0 ? std::fabs(magnitude) : -std::fabs(magnitude);
}

// The decomposition works on column-major matrices with unit row stride and lower bounds 1: every
// inner loop below runs down a column through its raw pointer.
DblMat unit_rows_view(double* data, int64_t m, int64_t n, int64_t ld) {
  return DblMat(data, {1, 1}, {m, n}, {1, ld});
}
double* column_of(const DblMat& u, int64_t j) {
  return u.column(j).data();
}

// Rows are processed in blocks of this many so that a row operation (which runs across columns)
// still reads each column contiguously; the per-row sums live on the stack.
constexpr int64_t kRowBlock = 256;

// Plane rotations recorded during one sweep and applied to u afterwards in a single pass over its
// rows: with a million rows each rotation on its own would stream two whole columns through
// memory. Every element still sees the same rotations in the same order, so the result is
// bit-for-bit that of applying them one by one.
struct RotationBatch {
  int32_t* first;
  int32_t* second;
  double* cosine;
  double* sine;
  int64_t count = 0;
  void add(int64_t a, int64_t b, double c, double s) {
    first[count] = static_cast<int32_t>(a);
    second[count] = static_cast<int32_t>(b);
    cosine[count] = c;
    sine[count] = s;
    ++count;
  }
};

void rotate(double* a, double* b, int64_t length, double c, double s) {
  for (int64_t j = 0; j < length; ++j) {
    const double y = a[j];
    const double z = b[j];
    a[j] = y * c + z * s;
    b[j] = -y * s + z * c;
  }
}

void apply_rotations(DblMat u, int64_t m, RotationBatch& batch, double* response) {
  if (response != nullptr) {
    // Only u^T y is wanted: rotate its entries as the columns of u would be rotated.
    for (int64_t r = 0; r < batch.count; ++r) {
      rotate(response + batch.first[r] - 1, response + batch.second[r] - 1, 1, batch.cosine[r],
             batch.sine[r]);
    }
    batch.count = 0;
    return;
  }
  for (int64_t j0 = 0; j0 < m; j0 += kRowBlock) {
    const int64_t length = std::min(kRowBlock, m - j0);
    for (int64_t r = 0; r < batch.count; ++r) {
      rotate(column_of(u, batch.first[r]) + j0, column_of(u, batch.second[r]) + j0, length,
             batch.cosine[r], batch.sine[r]);
    }
  }
  batch.count = 0;
}

// Householder step on the columns first..last of u with the vector in column `pivot`: for each
// column j, dot_j = sum over rows dot_from..m of u(k, pivot) u(k, j), then u(k, j) +=
// factor(dot_j) u(k, pivot) over rows update_from..m. Every dot is complete before any column
// changes (no dot involves another target column), and rows are visited in blocks so that each
// column streams through memory once per pass; sums run in row order as in the plain loops.
// Up to four dot products with the pivot column at once: independent sums keep the adder busy
// while each one still adds its terms in row order.
template <int N>
void dot_group(const double* up, const double* const* columns, double* const* out, int64_t k0,
               int64_t k1) {
  double sum[N];
  for (int c = 0; c < N; ++c) sum[c] = *out[c];
  for (int64_t k = k0; k <= k1; ++k) {
    const double p = up[k - 1];
    for (int c = 0; c < N; ++c) sum[c] += p * columns[c][k - 1];
  }
  for (int c = 0; c < N; ++c) *out[c] = sum[c];
}

// sums[j - first] = sum over rows dot_from..m of u(k, pivot) u(k, j), for j = first..last; with
// `extra` (a vector of m entries) also *extra_sum, its dot product with the pivot column, which
// joins the leftover columns rather than running a chain of its own.
void column_dots(DblMat u, int64_t m, int64_t pivot, int64_t first, int64_t last, int64_t dot_from,
                 double* sums, const double* extra = nullptr, double* extra_sum = nullptr) {
  const double* up = column_of(u, pivot);
  if (first <= last) std::fill(sums, sums + (last - first + 1), 0.0);
  if (extra != nullptr) *extra_sum = 0.0;
  for (int64_t k0 = dot_from; k0 <= m; k0 += kRowBlock) {
    const int64_t k1 = std::min(m, k0 + kRowBlock - 1);
    int64_t j = first;
    for (; j + 3 <= last; j += 4) {
      const double* columns[4] = {column_of(u, j), column_of(u, j + 1), column_of(u, j + 2),
                                  column_of(u, j + 3)};
      double* out[4] = {sums + (j - first), sums + (j + 1 - first), sums + (j + 2 - first),
                        sums + (j + 3 - first)};
      dot_group<4>(up, columns, out, k0, k1);
    }
    const double* columns[4];
    double* out[4];
    int count = 0;
    for (; j <= last; ++j, ++count) {
      columns[count] = column_of(u, j);
      out[count] = sums + (j - first);
    }
    if (extra != nullptr) {
      columns[count] = extra;
      out[count] = extra_sum;
      ++count;
    }
    switch (count) {
      case 1:
        dot_group<1>(up, columns, out, k0, k1);
        break;
      case 2:
        dot_group<2>(up, columns, out, k0, k1);
        break;
      case 3:
        dot_group<3>(up, columns, out, k0, k1);
        break;
      case 4:
        dot_group<4>(up, columns, out, k0, k1);
        break;
      default:
        break;
    }
  }
}

template <typename Factor>
void transform_columns(DblMat u, int64_t m, int64_t pivot, int64_t first, int64_t last,
                       int64_t dot_from, int64_t update_from, double* sums, Factor factor) {
  if (first > last) return;
  const double* up = column_of(u, pivot);
  column_dots(u, m, pivot, first, last, dot_from, sums);
  for (int64_t j = first; j <= last; ++j) sums[j - first] = factor(sums[j - first]);
  for (int64_t k0 = update_from; k0 <= m; k0 += kRowBlock) {
    const int64_t k1 = std::min(m, k0 + kRowBlock - 1);
    for (int64_t j = first; j <= last; ++j) {
      double* uj = column_of(u, j);
      const double f = sums[j - first];
      for (int64_t k = k0; k <= k1; ++k) uj[k - 1] += f * up[k - 1];
    }
  }
}

// Golub-Reinsch on u (which holds the matrix on entry), producing w, u and v. rv1 and sums have
// n entries; batch has room for n rotations. Returns false when a singular value does not converge
// within 30 sweeps.
//
// With a response (m entries, m >= n) the left singular vectors are never formed: every left
// transformation is applied to the response instead, whose first n entries end as u^T y. w and v
// are the same bits as without it, since nothing that produces them reads u's left factors.
//
// Exempt from the complexity limit: the Golub-Reinsch algorithm in the form of EISPACK's SVD, step
// for step, so that it can be checked against that routine line by line.
// NOLINTNEXTLINE(readability-function-cognitive-complexity)
bool decompose(int64_t m, int64_t n, DblMat u, double* w_data, DblMat v, double* rv1_data,
               RotationBatch& batch, double* sums, double* response = nullptr) {
  auto w = [w_data](int64_t i) -> double& { return w_data[i - 1]; };
  auto rv1 = [rv1_data](int64_t i) -> double& { return rv1_data[i - 1]; };

  // Householder reduction to bidiagonal form.
  double g = 0.0;
  double scale = 0.0;
  double x = 0.0;
  int64_t l = 1;
  //
  // Step i changes rows i + 1 .. m of columns i + 1 .. n twice, first by the column reflection
  // and then by the row reflection. The row reflection is built from row i alone, so row i is
  // updated first and both reflections then go through the rows below in one pass, block by
  // block: each element still receives the column update and then the row update, with the same
  // operands as in two separate passes, and a tall matrix streams through memory once less.
  //
  // The same pass also sums |u(k, i + 1)| for the next step's scale, in the same row order, while
  // the values are at hand.
  bool scale_ready = false;
  double next_scale = 0.0;
  for (int64_t i = 1; i <= n; ++i) {
    l = i + 1;
    rv1(i) = scale * g;
    g = 0.0;
    double s = 0.0;
    scale = 0.0;
    double* ui = column_of(u, i);
    bool column_step = false;
    double column_scale = 0.0;
    if (i <= m) {
      if (scale_ready) {
        scale = next_scale;
      } else {
        for (int64_t k = i; k <= m; ++k) scale += std::fabs(ui[k - 1]);
      }
      if (scale != 0.0) {
        for (int64_t k = i; k <= m; ++k) {
          ui[k - 1] /= scale;
          s += ui[k - 1] * ui[k - 1];
        }
        const double f = u(i, i);
        g = -sign_of(std::sqrt(s), f);
        const double h = f * g - s;
        u(i, i) = f - g;
        double response_dot = 0.0;
        if (l <= n || response != nullptr) {
          column_dots(u, m, i, l, n, i, sums, response, &response_dot);
          for (int64_t j = l; j <= n; ++j) sums[j - l] = sums[j - l] / h;
          for (int64_t j = l; j <= n; ++j) u(i, j) += sums[j - l] * ui[i - 1];
        }
        if (response != nullptr) {
          const double f_y = response_dot / h;
          for (int64_t k = i; k <= m; ++k) response[k - 1] += f_y * ui[k - 1];
        }
        column_step = true;
        column_scale = scale;
      }
    }
    w(i) = scale * g;
    g = 0.0;
    s = 0.0;
    scale = 0.0;
    bool row_step = false;
    if (i <= m && i != n) {
      for (int64_t k = l; k <= n; ++k) scale += std::fabs(u(i, k));
      if (scale != 0.0) {
        for (int64_t k = l; k <= n; ++k) {
          u(i, k) /= scale;
          s += u(i, k) * u(i, k);
        }
        const double f = u(i, l);
        g = -sign_of(std::sqrt(s), f);
        const double h = f * g - s;
        u(i, l) = f - g;
        for (int64_t k = l; k <= n; ++k) rv1(k) = u(i, k) / h;
        row_step = true;
      }
    }
    scale_ready = false;
    if ((column_step && l <= n) || (row_step && i != m)) {
      scale_ready = l <= n;
      next_scale = 0.0;
      const double* next = l <= n ? column_of(u, l) : nullptr;
      double row_sums[kRowBlock];
      for (int64_t j0 = l; j0 <= m; j0 += kRowBlock) {
        const int64_t j1 = std::min(m, j0 + kRowBlock - 1);
        if (column_step) {
          for (int64_t k = l; k <= n; ++k) {
            double* uk = column_of(u, k);
            const double f = sums[k - l];
            for (int64_t j = j0; j <= j1; ++j) uk[j - 1] += f * ui[j - 1];
          }
        }
        if (row_step) {
          std::fill(row_sums, row_sums + (j1 - j0 + 1), 0.0);
          for (int64_t k = l; k <= n; ++k) {
            const double uik = u(i, k);
            const double* uk = column_of(u, k);
            for (int64_t j = j0; j <= j1; ++j) row_sums[j - j0] += uk[j - 1] * uik;
          }
          for (int64_t k = l; k <= n; ++k) {
            const double rk = rv1(k);
            double* uk = column_of(u, k);
            for (int64_t j = j0; j <= j1; ++j) uk[j - 1] += row_sums[j - j0] * rk;
          }
        }
        if (next != nullptr) {
          for (int64_t j = j0; j <= j1; ++j) next_scale += std::fabs(next[j - 1]);
        }
      }
    }
    if (row_step) {
      for (int64_t k = l; k <= n; ++k) u(i, k) *= scale;
    }
    if (column_step) {
      for (int64_t k = i; k <= m; ++k) ui[k - 1] *= column_scale;
    }
    x = std::max(x, std::fabs(w(i)) + std::fabs(rv1(i)));
  }

  // Accumulation of the right-hand transformations.
  for (int64_t i = n; i >= 1; --i) {
    if (i < n) {
      if (g != 0.0) {
        // Dividing twice avoids a possible underflow of u(i, l) * g.
        for (int64_t j = l; j <= n; ++j) v(j, i) = (u(i, j) / u(i, l)) / g;
        for (int64_t j = l; j <= n; ++j) {
          double s = 0.0;
          for (int64_t k = l; k <= n; ++k) s += u(i, k) * v(k, j);
          for (int64_t k = l; k <= n; ++k) v(k, j) += s * v(k, i);
        }
      }
      for (int64_t j = l; j <= n; ++j) {
        v(i, j) = 0.0;
        v(j, i) = 0.0;
      }
    }
    v(i, i) = 1.0;
    g = rv1(i);
    l = i;
  }

  // Accumulation of the left-hand transformations.
  const int64_t mn = response != nullptr ? 0 : std::min(m, n);
  for (int64_t i = mn; i >= 1; --i) {
    l = i + 1;
    g = w(i);
    for (int64_t j = l; j <= n; ++j) u(i, j) = 0.0;
    double* ui = column_of(u, i);
    if (g != 0.0) {
      if (i != mn) {
        const double uii = ui[i - 1];
        transform_columns(u, m, i, l, n, l, i, sums,
                          [uii, g](double dot) { return (dot / uii) / g; });
      }
      for (int64_t j = i; j <= m; ++j) ui[j - 1] /= g;
    } else {
      for (int64_t j = i; j <= m; ++j) ui[j - 1] = 0.0;
    }
    ui[i - 1] += 1.0;
  }

  // Diagonalisation of the bidiagonal form.
  const double tst1 = x;
  for (int64_t k = n; k >= 1; --k) {
    int its = 0;
    for (;;) {
      // Split test. rv1(1) is 0, so for finite values the loop stops at l = 1 at the latest; a
      // NaN makes every test fail, and then l = 1 sends the value to the iteration limit.
      l = k;
      bool cancel = false;
      for (; l >= 1; --l) {
        if (tst1 + std::fabs(rv1(l)) == tst1) break;
        if (l == 1) break;
        if (tst1 + std::fabs(w(l - 1)) == tst1) {
          cancel = true;
          break;
        }
      }
      if (cancel) {
        const int64_t l1 = l - 1;
        double c = 0.0;
        double s = 1.0;
        for (int64_t i = l; i <= k; ++i) {
          const double f = s * rv1(i);
          rv1(i) = c * rv1(i);
          if (tst1 + std::fabs(f) == tst1) break;
          const double gi = w(i);
          const double h = safe_hypot(f, gi);
          w(i) = h;
          c = gi / h;
          s = -f / h;
          batch.add(l1, i, c, s);
        }
        apply_rotations(u, m, batch, response);
      }

      // Convergence test.
      double z = w(k);
      if (l == k) {
        if (z < 0.0) {
          w(k) = -z;
          double* vk = column_of(v, k);
          for (int64_t j = 0; j < n; ++j) vk[j] = -vk[j];
        }
        break;
      }
      if (its == 30) return false;
      ++its;

      // Shift from the bottom 2 by 2 minor.
      double xs = w(l);
      double y = w(k - 1);
      double gs = rv1(k - 1);
      double h = rv1(k);
      double f = 0.5 * (((gs + z) / h) * ((gs - z) / y) + y / h - h / y);
      gs = safe_hypot(f, 1.0);
      f = xs - (z / xs) * z + (h / xs) * (y / (f + sign_of(gs, f)) - h);

      // Next QR transformation.
      double c = 1.0;
      double s = 1.0;
      for (int64_t i1 = l; i1 <= k - 1; ++i1) {
        const int64_t i = i1 + 1;
        gs = rv1(i);
        y = w(i);
        h = s * gs;
        gs = c * gs;
        z = safe_hypot(f, h);
        rv1(i1) = z;
        c = f / z;
        s = h / z;
        f = xs * c + gs * s;
        gs = -xs * s + gs * c;
        h = y * s;
        y = y * c;
        rotate(column_of(v, i1), column_of(v, i), n, c, s);
        z = safe_hypot(f, h);
        w(i1) = z;
        // With a zero radius the previous rotation stands.
        if (z != 0.0) {
          c = f / z;
          s = h / z;
        }
        f = c * gs + s * y;
        xs = -s * gs + c * y;
        batch.add(i1, i, c, s);
      }
      apply_rotations(u, m, batch, response);
      rv1(l) = 0.0;
      rv1(k) = f;
      w(k) = xs;
    }
  }
  return true;
}

// Scratch storage that stays off the checked allocation family, so that the seam's count of
// checked allocations per fit is exactly the documented arrays.
template <typename T = double>
struct Scratch {
  T small[64];
  std::unique_ptr<T[]> large;
  T* get(int64_t n) {
    if (n <= 64) return small;
    large.reset(new (std::nothrow) T[static_cast<size_t>(n)]);
    return large.get();
  }
};

bool unit_rows(const View<double, 2>& a, int64_t m, int64_t n) {
  return a.stride(0) == 1 && (n <= 1 || a.stride(1) >= m);
}

bool all_finite(const ConstDblMat& design, int64_t m, int64_t n, const ConstDblVec& y) {
  for (int64_t j = 1; j <= n; ++j) {
    for (int64_t i = 1; i <= m; ++i) {
      if (!std::isfinite(design(i, j))) return false;
    }
  }
  for (int64_t i = 1; i <= m; ++i) {
    if (!std::isfinite(y(i))) return false;
  }
  return true;
}

}  // namespace

double safe_hypot(double a, double b) {
  // Without this the loop below never ends: inf/inf and NaN never make 4 + r equal 4.
  if (std::isinf(a) || std::isinf(b)) return HUGE_VAL;
  if (std::isnan(a) || std::isnan(b)) return std::nan("");
  double p = std::max(std::fabs(a), std::fabs(b));
  if (p == 0.0) return 0.0;
  double r = std::min(std::fabs(a), std::fabs(b)) / p;
  r *= r;
  for (;;) {
    const double t = 4.0 + r;
    if (t == 4.0) break;
    const double s = r / t;
    const double u = 1.0 + 2.0 * s;
    p = u * p;
    const double q = s / u;
    r = q * q * r;
  }
  return p;
}

namespace {

// svd works on unit-stride copies of strided arguments; this moves the leading block in and out.
template <typename From>
void copy_block(const From& from, const DblMat& to, int64_t rows, int64_t columns) {
  for (int64_t j = 1; j <= columns; ++j) {
    for (int64_t i = 1; i <= rows; ++i) to(i, j) = from(i, j);
  }
}

}  // namespace

int32_t svd(int32_t m, int32_t n, ConstDblMat a_in, DblVec w_in, DblMat u_in, DblMat v_in,
            ErrorRecord& record) {
  if (m < 0 || n < 0 || a_in.extent(0) < m || a_in.extent(1) < n || w_in.extent(0) < n ||
      u_in.extent(0) < m || u_in.extent(1) < n || v_in.extent(0) < n || v_in.extent(1) < n) {
    report(record, ErrorCode::kNonConformable, kSvdLabel);
    return -1;
  }
  const ConstDblMat a = a_in.one_based();
  const DblVec w = w_in.one_based();
  const DblMat u = u_in.one_based();
  const DblMat v = v_in.one_based();

  // Work on unit-stride storage: the caller's arrays when they have it, copies otherwise.
  Scratch<> u_scratch;
  Scratch<> v_scratch;
  Scratch<> w_scratch;
  Scratch<> rv1_scratch;
  Scratch<> cosine_scratch;
  Scratch<> sine_scratch;
  Scratch<> sums_scratch;
  Scratch<int32_t> first_scratch;
  Scratch<int32_t> second_scratch;
  const bool direct_u = unit_rows(u, m, n);
  const bool direct_v = unit_rows(v, n, n);
  const bool direct_w = w.stride(0) == 1;
  const DblMat du =
      unit_rows_view(direct_u ? u.data() : u_scratch.get(int64_t{m} * n), m, n,
                     direct_u ? std::max<int64_t>(u.stride(1), 1) : std::max<int32_t>(m, 1));
  const DblMat dv =
      unit_rows_view(direct_v ? v.data() : v_scratch.get(int64_t{n} * n), n, n,
                     direct_v ? std::max<int64_t>(v.stride(1), 1) : std::max<int32_t>(n, 1));
  double* dw = direct_w ? w.data() : w_scratch.get(n);
  double* rv1 = rv1_scratch.get(n);
  double* sums = sums_scratch.get(n);
  RotationBatch batch{first_scratch.get(n), second_scratch.get(n), cosine_scratch.get(n),
                      sine_scratch.get(n)};
  if (n > 0 && ((m > 0 && du.data() == nullptr) || dv.data() == nullptr || dw == nullptr ||
                rv1 == nullptr || batch.first == nullptr || batch.second == nullptr ||
                batch.cosine == nullptr || batch.sine == nullptr || sums == nullptr)) {
    report(record, ErrorCode::kAllocation, kSvdLabel);
    return -1;
  }

  copy_block(a, du, m, n);
  const bool converged = decompose(m, n, du, dw, dv, rv1, batch, sums);
  if (!direct_u) copy_block(du, u, m, n);
  if (!direct_v) copy_block(dv, v, n, n);
  if (!direct_w) {
    for (int64_t i = 1; i <= n; ++i) w(i) = dw[i - 1];
  }
  if (!converged) {
    report(record, ErrorCode::kGeneral, kSvdLabel, "Number of iterations exceeded!");
    return -1;
  }
  return 0;
}

namespace {

bool conformable(const ConstDblMat& design, int32_t m, int32_t n, const ConstDblVec& y,
                 const DblVec& beta) {
  return m >= 0 && n >= 0 && design.extent(0) >= m && design.extent(1) >= n && y.extent(0) >= m &&
         beta.extent(0) >= n;
}

// Where one fit keeps its decomposition and its scratch: the module's own arrays for svdr_l2, or a
// workspace obtained beforehand.
struct FitStorage {
  double* sigma;       // n
  DblMat u;            // m x n, unit rows
  DblMat v;            // n x n, unit rows
  double* projection;  // m
  double* rv1;         // n
  double* sums;        // n
  RotationBatch batch;

  bool complete(int32_t m) const {
    return m <= 0 ||
           (projection != nullptr && rv1 != nullptr && sums != nullptr && batch.first != nullptr &&
            batch.second != nullptr && batch.cosine != nullptr && batch.sine != nullptr);
  }
};

// The decomposition of `design` into the storage. Without form_u (and with m >= n) u is never
// formed: every left transformation goes to `projection` (y on entry), whose first n entries end
// as u^T y, and u keeps the bidiagonal reduction.
bool decompose_design(const ConstDblMat& design, int32_t m, int32_t n, const ConstDblVec& y,
                      bool form_u, FitStorage& f) {
  for (int64_t j = 1; m > 0 && j <= n; ++j) {
    const double* source = &design(1, j);
    double* target = column_of(f.u, j);
    if (design.stride(0) == 1) {
      std::copy(source, source + m, target);
    } else {
      for (int64_t i = 1; i <= m; ++i) target[i - 1] = design(i, j);
    }
  }
  if (form_u) return decompose(m, n, f.u, f.sigma, f.v, f.rv1, f.batch, f.sums);
  for (int64_t i = 1; i <= m; ++i) f.projection[i - 1] = y(i);
  return decompose(m, n, f.u, f.sigma, f.v, f.rv1, f.batch, f.sums, f.projection);
}

// u(., j)^T y: from the projection when the decomposition made one, else from the formed u.
double projected_response(int64_t j, const double* projection, const DblMat& u, int32_t m,
                          const ConstDblVec& y) {
  if (projection != nullptr) return projection[j - 1];
  const double* uj = column_of(u, j);
  const double* yv = y.data();
  const int64_t y_stride = y.stride(0);
  double d = 0.0;
  if (y_stride == 1) {
    for (int64_t i = 0; i < m; ++i) d += uj[i] * yv[i];
  } else {
    for (int64_t i = 0; i < m; ++i) d += uj[i] * yv[i * y_stride];
  }
  return d;
}

// beta over the singular values above tolerance times the largest; returns how many there were.
int32_t solve_kept(int32_t m, int32_t n, const ConstDblVec& y, double tolerance, const DblVec& beta,
                   const FitStorage& f, const double* projection) {
  double sigma_max = -DBL_MAX;
  for (int64_t j = 1; j <= n; ++j) sigma_max = std::max(sigma_max, f.sigma[j - 1]);

  double* b = beta.data();
  const int64_t beta_stride = beta.stride(0);
  for (int64_t k = 0; k < n; ++k) b[k * beta_stride] = 0.0;
  const double threshold = sigma_max * tolerance;
  int32_t rank = 0;
  for (int64_t j = 1; j <= n; ++j) {
    const double sj = f.sigma[j - 1];
    if (!(sj > threshold)) continue;
    ++rank;
    const double d = projected_response(j, projection, f.u, m, y);
    for (int64_t k = 1; k <= n; ++k) b[(k - 1) * beta_stride] += d * f.v(k, j) / sj;
  }
  return rank;
}

// Checks shared by both entries; false after the report.
bool usable_fit(const ConstDblMat& design, int32_t m, int32_t n, const ConstDblVec& y,
                const DblVec& beta, ErrorRecord& record) {
  if (!conformable(design, m, n, y, beta)) {
    report(record, ErrorCode::kNonConformable, kSvdrLabel);
    return false;
  }
  // A NaN would derail the decomposition and an infinity would turn every coefficient into NaN;
  // refuse both before anything is allocated.
  if (!all_finite(design.one_based(), m, n, y.one_based())) {
    report(record, ErrorCode::kGeneral, kSvdrLabel,
           "Non-finite value in the design matrix or response.");
    return false;
  }
  return true;
}

// Decomposition, solution and rank test in given storage: 0, or -1 after the report (a failed
// decomposition adds "Error occured." as svdr_l2 does).
int32_t fit_in(const ConstDblMat& design, int32_t m, int32_t n, const ConstDblVec& y,
               double tolerance, const DblVec& beta, bool form_u, FitStorage& f,
               ErrorRecord& record) {
  form_u = form_u || m < n;
  if (!f.complete(m)) {
    report(record, ErrorCode::kAllocation, kSvdLabel);
    report(record, ErrorCode::kGeneral, kSvdrLabel, "Error occured.");
    return -1;
  }
  if (!decompose_design(design.one_based(), m, n, y.one_based(), form_u, f)) {
    report(record, ErrorCode::kGeneral, kSvdLabel, "Number of iterations exceeded!");
    report(record, ErrorCode::kGeneral, kSvdrLabel, "Error occured.");
    return -1;
  }
  if (solve_kept(m, n, y.one_based(), tolerance, beta.one_based(), f,
                 form_u ? nullptr : f.projection) < n) {
    report(record, ErrorCode::kSingular, kSvdrLabel, kRankNote);
    return -1;
  }
  return 0;
}

// Least squares over the kept singular values, with the module's arrays. With form_u the left
// singular vectors are formed and u^T y is taken from them (the straightforward path, kept as the
// reference); without it the left transformations go straight to a copy of y (m >= n only), which
// skips the costliest part of the decomposition on tall designs. sigma and v, and so the rank
// test, are identical.
int32_t least_squares(ConstDblMat design, int32_t m, int32_t n, ConstDblVec y, double tolerance,
                      DblVec beta, ErrorRecord& record, bool form_u) {
  if (!usable_fit(design, m, n, y, beta, record)) return -1;
  DblArray2 u;
  if (alloc(g_sigma, {n}, record, "regression: sigma") != 0 ||
      alloc(u, {m, n}, record, "regression: u") != 0 ||
      alloc(g_v, {n, n}, record, "regression: u") != 0) {
    report(record, ErrorCode::kGeneral, kSvdrLabel, "Error occured.");
    return -1;
  }
  Scratch<> projection;
  Scratch<> rv1;
  Scratch<> sums;
  Scratch<> cosine;
  Scratch<> sine;
  Scratch<int32_t> first;
  Scratch<int32_t> second;
  FitStorage f{g_sigma.data(),
               unit_rows_view(u.data(), m, n, std::max<int64_t>(m, 1)),
               unit_rows_view(g_v.data(), n, n, std::max<int64_t>(n, 1)),
               form_u || m < n ? nullptr : projection.get(m),
               rv1.get(n),
               sums.get(n),
               {first.get(n), second.get(n), cosine.get(n), sine.get(n)}};
  if (form_u || m < n) f.projection = f.rv1;  // not used; keeps complete() simple
  const int32_t result = fit_in(design, m, n, y, tolerance, beta, form_u, f, record);
  if (dealloc(u, record) != 0 && result == 0) {
    report(record, ErrorCode::kGeneral, kSvdrLabel, "Error occured.");
    return -1;
  }
  return result;
}

// n x n views of a decomposition's v and its singular values.
struct Decomposition {
  const double* sigma;
  ConstDblMat v;
};

Decomposition module_decomposition(int32_t n) {
  return {g_sigma.data(), unit_rows_view(g_v.data(), n, n, std::max<int64_t>(n, 1))};
}

bool module_holds(int32_t n) {
  return g_sigma.allocated() && g_v.allocated() && g_sigma.extent(0) >= n && g_v.extent(0) >= n &&
         g_v.extent(1) >= n;
}

int32_t inverse_cross_product(const Decomposition& d, DblMat result, int32_t scale, int32_t n,
                              ErrorRecord& record) {
  double sigma_min = DBL_MAX;
  double sigma_max = -DBL_MAX;
  for (int64_t i = 1; i <= n; ++i) {
    sigma_min = std::min(sigma_min, d.sigma[i - 1]);
    sigma_max = std::max(sigma_max, d.sigma[i - 1]);
  }
  if (sigma_min < sigma_max * kRankTolerance) {
    report(record, ErrorCode::kSingular, kMInverseLabel, kRankNote);
    return 0;
  }
  for (int64_t j = 1; j <= n; ++j) {
    for (int64_t k = 1; k <= n; ++k) result(k, j) = 0.0;
  }
  for (int64_t i = 1; i <= n; ++i) {
    const double s2 = d.sigma[i - 1] * d.sigma[i - 1];
    for (int64_t j = 1; j <= n; ++j) {
      const double vji = d.v(j, i);
      for (int64_t k = 1; k <= n; ++k) result(k, j) += d.v(k, i) / s2 * vji;
    }
  }
  // The count is widened through single precision, as the cross-product scaling always was.
  const double factor = static_cast<double>(static_cast<float>(scale));
  for (int64_t j = 1; j <= n; ++j) {
    for (int64_t k = 1; k <= n; ++k) result(k, j) *= factor;
  }
  return 0;
}

std::vector<int32_t> dependent_in(const Decomposition& d, ConstDblMat design, int32_t m, int32_t n,
                                  double tolerance) {
  // Relative to the largest contribution, a rounding residue is some 1e-15 and a real part of a
  // dependency rarely below 1e-3.
  constexpr double kNegligible = 1e-6;
  constexpr double kRounding = 1e-8;
  std::vector<double> norm(static_cast<size_t>(n), 0.0);
  std::vector<bool> dependent(static_cast<size_t>(n), false);
  for (int32_t k = 1; k <= n; ++k) {
    double sum = 0.0;
    for (int32_t i = 1; i <= m; ++i) sum += design(i, k) * design(i, k);
    norm[k - 1] = std::sqrt(sum);
    if (norm[k - 1] == 0.0) dependent[k - 1] = true;
  }
  double sigma_max = -DBL_MAX;
  for (int32_t j = 1; j <= n; ++j) sigma_max = std::max(sigma_max, d.sigma[j - 1]);
  const double threshold = sigma_max * tolerance;
  for (int32_t j = 1; j <= n; ++j) {
    if (d.sigma[j - 1] > threshold) continue;
    // The part of the vector on non-zero columns; a vector of zero columns alone leaves only
    // rounding there, which must not count as a dependency.
    double part = 0.0;
    double largest = 0.0;
    for (int32_t k = 1; k <= n; ++k) {
      if (norm[k - 1] == 0.0) continue;
      part += d.v(k, j) * d.v(k, j);
      largest = std::max(largest, std::fabs(d.v(k, j)) * norm[k - 1]);
    }
    if (!(std::sqrt(part) > kRounding)) continue;
    for (int32_t k = 1; k <= n; ++k) {
      if (std::fabs(d.v(k, j)) * norm[k - 1] > kNegligible * largest) dependent[k - 1] = true;
    }
  }
  std::vector<int32_t> columns;
  for (int32_t k = 1; k <= n; ++k) {
    if (dependent[k - 1]) columns.push_back(k);
  }
  return columns;
}

FitStorage workspace_storage(RegressionWorkspace& w, int32_t m, int32_t n) {
  double* scratch = w.scratch.data();
  const int64_t rows = w.u.extent(0);
  const int64_t columns = w.sigma.extent(0);
  int32_t* index = w.rotations.data();
  return {w.sigma.data(),
          unit_rows_view(w.u.data(), m, n, std::max<int64_t>(m, 1)),
          unit_rows_view(w.v.data(), n, n, std::max<int64_t>(n, 1)),
          scratch,
          scratch + rows,
          scratch + rows + columns,
          {index, index + columns, scratch + rows + 2 * columns, scratch + rows + 3 * columns}};
}

bool workspace_holds(const RegressionWorkspace& w, int32_t m, int32_t n) {
  return w.sigma.extent(0) >= n && w.u.extent(0) >= m && w.u.extent(1) >= n && w.v.extent(0) >= n &&
         w.v.extent(1) >= n;
}

}  // namespace

int32_t svdr_l2(ConstDblMat design, int32_t m, int32_t n, ConstDblVec y, double tolerance,
                DblVec beta, ErrorRecord& record) {
  return least_squares(design, m, n, y, tolerance, beta, record, /*form_u=*/false);
}

int32_t svdr_l2_reference(ConstDblMat design, int32_t m, int32_t n, ConstDblVec y, double tolerance,
                          DblVec beta, ErrorRecord& record) {
  return least_squares(design, m, n, y, tolerance, beta, record, /*form_u=*/true);
}

int32_t getMInverse(DblMat result_in, int32_t scale, int32_t n, ErrorRecord& record) {
  // A call without the decomposition it needs (released, or of fewer columns) gets a report
  // instead of reading outside the module state.
  if (n > 0 && (!module_holds(n) || result_in.extent(0) < n || result_in.extent(1) < n)) {
    report(record, ErrorCode::kNonConformable, kMInverseLabel);
    return 0;
  }
  return inverse_cross_product(module_decomposition(n), result_in.one_based(), scale, n, record);
}

int32_t nullify_data(ErrorRecord& record) {
  if (dealloc(g_v, record) != 0 || dealloc(g_sigma, record) != 0) {
    report(record, ErrorCode::kGeneral, kNullifyLabel, "Could not deallocate part of data.");
    return -1;
  }
  return 0;
}

std::vector<int32_t> dependent_columns(ConstDblMat design, int32_t m, int32_t n, double tolerance) {
  if (n <= 0 || !module_holds(n) || design.extent(1) < n) return {};
  return dependent_in(module_decomposition(n), design.one_based(), m, n, tolerance);
}

WorkArrays RegressionWorkspace::list(int32_t rows, int32_t capacity, const Descriptions& d) {
  return {{sigma, {capacity}, d.sigma},
          {u, {rows, capacity}, d.u},
          {v, {capacity, capacity}, d.v},
          {scratch, {rows + 4 * capacity}, d.scratch},
          {rotations, {2 * capacity}, d.rotations}};
}

int32_t least_squares_in(RegressionWorkspace& w, ConstDblMat design, int32_t m, int32_t n,
                         ConstDblVec y, double tolerance, DblVec beta, ErrorRecord& record) {
  if (!usable_fit(design, m, n, y, beta, record)) return -1;
  if (!workspace_holds(w, m, n)) {
    report(record, ErrorCode::kNonConformable, kSvdrLabel);
    return -1;
  }
  w.columns = n;
  FitStorage f = workspace_storage(w, m, n);
  return fit_in(design, m, n, y, tolerance, beta, false, f, record);
}

int32_t inverse_cross_product_in(const RegressionWorkspace& w, DblMat result, int32_t scale,
                                 int32_t n, ErrorRecord& record) {
  if (n > 0 && (w.columns != n || result.extent(0) < n || result.extent(1) < n)) {
    report(record, ErrorCode::kNonConformable, kMInverseLabel);
    return 0;
  }
  const Decomposition d{w.sigma.data(), unit_rows_view(w.v.data(), n, n, std::max<int64_t>(n, 1))};
  return inverse_cross_product(d, result.one_based(), scale, n, record);
}

std::vector<int32_t> dependent_columns_in(const RegressionWorkspace& w, ConstDblMat design,
                                          int32_t m, int32_t n, double tolerance) {
  if (n <= 0 || w.columns != n || design.extent(1) < n) return {};
  const Decomposition d{w.sigma.data(), unit_rows_view(w.v.data(), n, n, std::max<int64_t>(n, 1))};
  return dependent_in(d, design.one_based(), m, n, tolerance);
}

bool regression_state_allocated() {
  return g_sigma.allocated() || g_v.allocated();
}

std::vector<double> regression_singular_values() {
  if (!g_sigma.allocated()) return {};
  return std::vector<double>(g_sigma.data(), g_sigma.data() + g_sigma.size());
}

}  // namespace kestrion
