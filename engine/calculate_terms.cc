#include "engine/calculate_terms.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "numerics/dynamic_allocation.h"

namespace kestrion {

namespace {

// A maximum over treatments starts here, not at minus infinity.
constexpr double kMaximumStart = -1.0e15;
constexpr double kDenominatorFloor = 1e-15;

// Scratch for the grid term, on the stack so that the per-replicate hot path allocates nothing
// beyond the documented work arrays.
constexpr int64_t kGridScratch = 4096;

// 1-based access from a view's first element; the strides come from the view.
template <typename T>
struct Vec {
  T* data;
  int64_t stride;
  T& operator()(int64_t i) const { return data[(i - 1) * stride]; }
};
template <typename T>
struct Mat {
  T* data;
  int64_t row_stride;
  int64_t col_stride;
  T& operator()(int64_t i, int64_t j) const {
    return data[(i - 1) * row_stride + (j - 1) * col_stride];
  }
};
template <typename T>
Vec<T> vec(View<T, 1> v) {
  return {v.data(), v.stride(0)};
}
template <typename T>
Mat<T> mat(View<T, 2> m) {
  return {m.data(), m.stride(0), m.stride(1)};
}

// The stage-2 model as the interval terms see it: one subject's covariates and the level table.
struct Stage2Model {
  int32_t p20;
  int32_t p21;
  int32_t K2;
  Mat<const double> H20;
  Mat<const double> H21;
  Mat<const double> levels;

  // q_k(i; v): the treatment part of the stage-2 value for treatment k; v(c) gives entry c of a
  // treatment-dependent coefficient vector.
  template <typename V>
  double treatment_part(int64_t i, int32_t k, const V& v) const {
    double q = 0.0;
    for (int32_t m = 1; m <= K2 - 1; ++m) {
      double u = 0.0;
      for (int32_t l = 1; l <= p21; ++l) u += H21(i, l) * v(int64_t{m - 1} * p21 + l);
      u = u + v(int64_t{K2 - 1} * p21 + m);
      q += levels(m, k) * u;
    }
    return q;
  }

  template <typename V>
  double best_treatment_part(int64_t i, const V& v) const {
    double best = kMaximumStart;
    for (int32_t k = 1; k <= K2; ++k) {
      const double q = treatment_part(i, k, v);
      if (q > best) best = q;
    }
    return best;
  }

  // The part of Q_k(i; b) that does not depend on the treatment.
  double common_part(int64_t i, Vec<const double> b) const {
    double main = 0.0;
    for (int32_t l = 1; l <= p20; ++l) main += H20(i, l) * b(1 + l);
    double tailor = 0.0;
    for (int32_t l = 1; l <= p21; ++l) tailor += H21(i, l) * b(1 + p20 + l);
    return b(1) + main + tailor;
  }

  // max_k Q_k(i; b) for a full stage-2 coefficient vector b.
  double best_value(int64_t i, Vec<const double> b) const {
    const double common = common_part(i, b);
    const auto b_nr = [&](int64_t c) { return b(int64_t{p20} + p21 + 1 + c); };
    double best = kMaximumStart;
    for (int32_t k = 1; k <= K2; ++k) {
      const double q = common + treatment_part(i, k, b_nr);
      if (q > best) best = q;
    }
    return best;
  }
};

// Buffers of one chunk of grid rows, carved from one stack array.
struct GridChunk {
  int64_t capacity = 0;         // rows per chunk; 0 when even one row does not fit
  double* shifted = nullptr;    // d2 columns: s * delta_nr + gamma row
  double* centred = nullptr;    // d2 columns: gamma row
  double* u_shifted = nullptr;  // K2 - 1 columns
  double* u_centred = nullptr;
  double* q = nullptr;
  double* best_shifted = nullptr;
  double* best_centred = nullptr;
  double* difference = nullptr;

  GridChunk(double* scratch, int64_t rows, int32_t d2, int32_t K2) {
    const int64_t per_row = 2 * int64_t{d2} + 2 * int64_t{std::max(K2 - 1, 0)} + 4;
    capacity = std::min(rows, kGridScratch / per_row);
    if (capacity < 1) {
      capacity = 0;
      return;
    }
    double* next = scratch;
    const auto take = [&](int64_t columns) {
      double* start = next;
      next += columns * capacity;
      return start;
    };
    shifted = take(d2);
    centred = take(d2);
    u_shifted = take(std::max(K2 - 1, 0));
    u_centred = take(std::max(K2 - 1, 0));
    q = take(1);
    best_shifted = take(1);
    best_centred = take(1);
    difference = take(1);
  }
};

// For rows [0, len) of a chunk: u_m = sum_l h21_l * v((m-1) p21 + l) + v((K2-1) p21 + m), then
// the best treatment part over k, with v the chunk's columns. Written as loops over the rows so
// that they vectorise; the arithmetic is that of Stage2Model::treatment_part.
void best_parts_over_rows(const double* v, double* u, double* q, double* best, int64_t len,
                          int64_t capacity, const Stage2Model& model, int64_t i) {
  const int32_t p21 = model.p21;
  const int32_t K2 = model.K2;
  for (int32_t m = 1; m <= K2 - 1; ++m) {
    double* um = u + int64_t{m - 1} * capacity;
    for (int64_t t = 0; t < len; ++t) um[t] = 0.0;
    for (int32_t l = 1; l <= p21; ++l) {
      const double h = model.H21(i, l);
      const double* vc = v + (int64_t{m - 1} * p21 + l - 1) * capacity;
      for (int64_t t = 0; t < len; ++t) um[t] += h * vc[t];
    }
    const double* vt = v + (int64_t{K2 - 1} * p21 + m - 1) * capacity;
    for (int64_t t = 0; t < len; ++t) um[t] = um[t] + vt[t];
  }
  for (int64_t t = 0; t < len; ++t) best[t] = kMaximumStart;
  for (int32_t k = 1; k <= K2; ++k) {
    for (int64_t t = 0; t < len; ++t) q[t] = 0.0;
    for (int32_t m = 1; m <= K2 - 1; ++m) {
      const double level = model.levels(m, k);
      const double* um = u + int64_t{m - 1} * capacity;
      for (int64_t t = 0; t < len; ++t) q[t] += level * um[t];
    }
    for (int64_t t = 0; t < len; ++t) best[t] = q[t] > best[t] ? q[t] : best[t];
  }
}

// The K2 = 2 case (the only one with intervals) in one pass over the rows for P21 tailoring
// variables: the same operations as best_parts_over_rows on both grids, then their difference,
// without the intermediate arrays.
template <int P21>
void two_treatment_differences(const GridChunk& chunk, int64_t len, const Stage2Model& model,
                               int64_t i) {
  double h[P21 > 0 ? P21 : 1];
  for (int32_t l = 1; l <= P21; ++l) h[l - 1] = model.H21(i, l);
  const double level1 = model.levels(1, 1);
  const double level2 = model.levels(1, 2);
  const int64_t cap = chunk.capacity;
  const double* shifted = chunk.shifted;
  const double* centred = chunk.centred;
  double* diff = chunk.difference;
  const auto best = [&](double u) {
    double q1 = 0.0;
    q1 += level1 * u;
    double q2 = 0.0;
    q2 += level2 * u;
    double b = kMaximumStart;
    b = q1 > b ? q1 : b;
    b = q2 > b ? q2 : b;
    return b;
  };
  for (int64_t t = 0; t < len; ++t) {
    double u_shifted = 0.0;
    double u_centred = 0.0;
    for (int l = 0; l < P21; ++l) {
      u_shifted += h[l] * shifted[l * cap + t];
      u_centred += h[l] * centred[l * cap + t];
    }
    u_shifted = u_shifted + shifted[P21 * cap + t];
    u_centred = u_centred + centred[P21 * cap + t];
    diff[t] = best(u_shifted) - best(u_centred);
  }
}

// Fills chunk.difference for subject i; false when no specialised pass fits.
bool fast_differences(const GridChunk& chunk, int64_t len, const Stage2Model& model, int64_t i) {
  if (model.K2 != 2) return false;
  switch (model.p21) {
    case 0:
      two_treatment_differences<0>(chunk, len, model, i);
      return true;
    case 1:
      two_treatment_differences<1>(chunk, len, model, i);
      return true;
    case 2:
      two_treatment_differences<2>(chunk, len, model, i);
      return true;
    case 3:
      two_treatment_differences<3>(chunk, len, model, i);
      return true;
    default:
      return false;
  }
}

}  // namespace

int32_t grid_point_count(int32_t nGrid, int32_t d2) {
  if (d2 < 0) {
    if (nGrid == 1) return 1;
    if (nGrid == -1) return d2 % 2 == 0 ? 1 : -1;
    return 0;
  }
  // Unsigned arithmetic wraps exactly as repeated 32-bit multiplication would.
  uint32_t result = 1;
  uint32_t base = static_cast<uint32_t>(nGrid);
  for (uint32_t e = static_cast<uint32_t>(d2); e != 0; e >>= 1) {
    if (e & 1u) result *= base;
    base *= base;
  }
  return static_cast<int32_t>(result);
}

int64_t grid_row_count(int32_t G) {
  const auto rows = static_cast<int32_t>(static_cast<uint32_t>(G) + 1u);
  return rows > 0 ? rows : 0;
}

double indicator_threshold(int32_t n2) {
  if (n2 <= 1) return 0.0;
  const float log_n2 = std::log(static_cast<float>(n2));
  return static_cast<double>(std::log(log_n2));
}

int32_t calculateTerms(int32_t n1, int32_t p1, int32_t n2, int32_t p2, int32_t p20, int32_t p21,
                       int32_t K2, int32_t nGrid, double /*gridScale*/, ConstDblVec btY1,
                       ConstDblMat btInputH20, ConstDblMat btInputH21, ConstDblMat levels2,
                       ConstDblVec beta1hat, ConstDblVec beta2hat, ConstDblMat btDesignM1,
                       ConstIntVec btRespStatus, ConstDblMat sigma1n, ConstDblMat sigma2n,
                       ConstDblMat gamma, ConstDblVec btBeta1stS, ConstDblVec btBeta2ndS,
                       DblVec term1, DblMat term2, ErrorRecord& record) {
  const int32_t d2 = p2 - p20 - p21 - 1;
  const int32_t G = grid_point_count(nGrid, d2);
  const int64_t rows = grid_row_count(G);
  const double lambda = indicator_threshold(n2);
  const int64_t nr = int64_t{p20} + p21 + 1;  // treatment-dependent part follows position nr

  // Work arrays are freed by their destructors on every early return; only the releases of a
  // normal return are reported.
  DblArray1 indicator1, denominator, indicator2, term1TmpArray, term2TmpArray, term3TmpArray,
      betaDiff;
  DblArray2 btH2Matrix, term4TmpArray;
  // term4TmpArray is kept grid row first so that one column's sums are contiguous.
  if (alloc(indicator1, {n1}, record, "calculateTerms: indicator1") != 0 ||
      alloc(denominator, {n1}, record, "calculateTerms: denominator") != 0 ||
      alloc(indicator2, {n1}, record, "calculateTerms: indicator2") != 0 ||
      alloc(btH2Matrix, {n1, p2}, record, "calculateTerms: btH2Matrix") != 0 ||
      alloc(term1TmpArray, {p1}, record, "calculateTerms: term1TmpArray") != 0 ||
      alloc(term2TmpArray, {p1}, record, "calculateTerms: term2TmpArray") != 0 ||
      alloc(term3TmpArray, {p1}, record, "calculateTerms: term3TmpArray") != 0 ||
      alloc(term4TmpArray, {static_cast<int32_t>(rows), p1}, record,
            "calculateTerms: term4TmpArray") != 0 ||
      alloc(betaDiff, {p1}, record, "calculateTerms: betaDiff") != 0) {
    return -1;
  }

  const Stage2Model model{p20, p21, K2, mat(btInputH20), mat(btInputH21), mat(levels2)};
  const Mat<const double> A = mat(btDesignM1);
  const Vec<const int32_t> status = vec(btRespStatus);
  const Vec<const double> y1 = vec(btY1);
  const Vec<const double> b1hat = vec(beta1hat);
  const Vec<const double> b2hat = vec(beta2hat);
  const Vec<const double> b2boot = vec(btBeta2ndS);
  const Mat<const double> sig2 = mat(sigma2n);
  const Mat<const double> sig1 = mat(sigma1n);
  const Mat<const double> grid = mat(gamma);

  // Design row template: intercept, H20, H21, K2 - 1 copies of H21, K2 - 1 ones. Its last d2
  // columns are the x_i of the statistic.
  {
    const Mat<double> h2 = mat(btH2Matrix.view());
    const auto fill_column = [&](int64_t c, auto value) {
      if (c > p2) return;
      for (int64_t i = 1; i <= n1; ++i) h2(i, c) = value(i);
    };
    int64_t c = 1;
    fill_column(c++, [](int64_t) { return 1.0; });
    for (int32_t l = 1; l <= p20; ++l) fill_column(c++, [&](int64_t i) { return model.H20(i, l); });
    for (int32_t copy = 0; copy < K2; ++copy) {
      for (int32_t l = 1; l <= p21; ++l) {
        fill_column(c++, [&](int64_t i) { return model.H21(i, l); });
      }
    }
    for (int32_t m = 1; m <= K2 - 1; ++m) fill_column(c++, [](int64_t) { return 1.0; });
  }
  const Mat<const double> h2 = mat(ConstDblMat(btH2Matrix.view()));
  const auto x = [&](int64_t i, int64_t c) { return h2(i, nr + c); };

  double* const S1 = term1TmpArray.data();
  double* const S2 = term2TmpArray.data();
  double* const S3 = term3TmpArray.data();
  double* const S4 = term4TmpArray.data();  // S4[(g - 1) + (j - 1) * rows]
  std::fill(S1, S1 + p1, 0.0);
  std::fill(S2, S2 + p1, 0.0);
  std::fill(S3, S3 + p1, 0.0);
  std::fill(S4, S4 + rows * p1, 0.0);
  std::fill(indicator1.data(), indicator1.data() + n1, 1.0);

  const double s = std::sqrt(static_cast<double>(static_cast<float>(n1)));
  const double N1 = static_cast<double>(static_cast<float>(n1));
  const double N2 = static_cast<double>(static_cast<float>(n2));
  // The statistic is decided once per subject and reused by every column, which the column-outer
  // formulation would only recompute; with p1 = 0 no column pass ever computes it.
  const bool screened = n2 > 1 && p1 >= 1;
  const auto delta = [&](int64_t c) { return b2boot(c) - b2hat(c); };

  // Per-subject pass: everything except the grid term. Each sum still adds its subjects in order.
  for (int64_t i = 1; i <= n1; ++i) {
    double fitted = 0.0;
    for (int64_t l = 1; l <= p1; ++l) fitted += A(i, l) * b1hat(l);
    const auto R = static_cast<double>(status(i));
    const double w = 1.0 - R;
    // A subject outside the stage-2 sample is weighed by its own outcome alone: its stage-2
    // value is multiplied by 0 and must not turn the sum into NaN when it is not finite.
    const double residual =
        status(i) == 1 ? y1(i) - fitted : R * y1(i) + w * model.best_value(i, b2hat) - fitted;
    for (int64_t j = 1; j <= p1; ++j) S1[j - 1] += residual * A(i, j);
    if (!screened) continue;

    double den = 0.0;
    for (int64_t c = 1; c <= d2; ++c) {
      double row = 0.0;
      for (int64_t r = 1; r <= d2; ++r) row += sig2(c, r) * x(i, r);
      den += x(i, c) * row;
    }
    double t = 0.0;
    for (int64_t c = 1; c <= d2; ++c) t += x(i, c) * b2boot(nr + c);
    denominator.data()[i - 1] = den;
    if (!(den > kDenominatorFloor)) {
      ErrorDetails details;
      details.routine_label = "svd in MOD calculateTerms";
      details.note_1 = "The denominator is zero when calculate indicator 1 ";
      details.note_2 = "as sigma2n is singular, please try a larger NBOOTSTRAP2 !";
      report_error(record, 100, details);
      return -1;
    }
    const double T = N2 * t * t / den;
    indicator1.data()[i - 1] = T;

    // Subjects outside the stage-2 sample carry weight 0 in every later sum.
    if (status(i) != 0) continue;
    double main = 0.0;
    for (int32_t l = 1; l <= p20; ++l) main += model.H20(i, l) * delta(1 + l);
    double tailor = 0.0;
    for (int32_t l = 1; l <= p21; ++l) tailor += model.H21(i, l) * delta(1 + p20 + l);
    const double smooth_change = delta(1) + main + tailor;
    for (int64_t j = 1; j <= p1; ++j) S2[j - 1] += w * A(i, j) * smooth_change;
    if (T > lambda) {
      const double best_change = model.best_treatment_part(i, [&](int64_t c) {
        return b2boot(nr + c);
      }) - model.best_treatment_part(i, [&](int64_t c) { return b2hat(nr + c); });
      for (int64_t j = 1; j <= p1; ++j) S3[j - 1] += w * A(i, j) * best_change;
    }
  }

  // Grid term: stage-2 subjects whose statistic does not exceed the threshold, chunk by chunk of
  // grid rows; within a chunk every (column, row) sum still adds its subjects in order.
  if (screened && G >= 0 && rows > 0) {
    const auto on_grid = [&](int64_t i) {
      return status(i) == 0 && indicator1.data()[i - 1] <= lambda;
    };
    double scratch[kGridScratch];
    const GridChunk chunk(scratch, rows, d2, K2);
    for (int64_t g0 = 0; chunk.capacity > 0 && g0 < rows; g0 += chunk.capacity) {
      const int64_t len = std::min(chunk.capacity, rows - g0);
      for (int64_t c = 1; c <= d2; ++c) {
        const double shift = s * delta(nr + c);
        double* shifted = chunk.shifted + (c - 1) * chunk.capacity;
        double* centred = chunk.centred + (c - 1) * chunk.capacity;
        for (int64_t t = 0; t < len; ++t) {
          const double value = grid(g0 + t + 1, c);
          centred[t] = value;
          shifted[t] = shift + value;
        }
      }
      for (int64_t i = 1; i <= n1; ++i) {
        if (!on_grid(i)) continue;
        double* diff = chunk.difference;
        if (!fast_differences(chunk, len, model, i)) {
          best_parts_over_rows(chunk.shifted, chunk.u_shifted, chunk.q, chunk.best_shifted, len,
                               chunk.capacity, model, i);
          best_parts_over_rows(chunk.centred, chunk.u_centred, chunk.q, chunk.best_centred, len,
                               chunk.capacity, model, i);
          for (int64_t t = 0; t < len; ++t) diff[t] = chunk.best_shifted[t] - chunk.best_centred[t];
        }
        const double w = 1.0 - static_cast<double>(status(i));
        for (int64_t j = 1; j <= p1; ++j) {
          const double factor = w * A(i, j);
          double* sums = S4 + (j - 1) * rows + g0;
          for (int64_t t = 0; t < len; ++t) sums[t] += factor * diff[t];
        }
      }
    }
    if (chunk.capacity == 0) {
      // Only absurd treatment counts get here, and then the grid has at most two rows.
      for (int64_t g = 1; g <= rows; ++g) {
        const auto shifted = [&](int64_t c) { return s * delta(nr + c) + grid(g, c); };
        const auto centred = [&](int64_t c) { return grid(g, c); };
        for (int64_t i = 1; i <= n1; ++i) {
          if (!on_grid(i)) continue;
          const double diff =
              model.best_treatment_part(i, shifted) - model.best_treatment_part(i, centred);
          const double w = 1.0 - static_cast<double>(status(i));
          for (int64_t j = 1; j <= p1; ++j) S4[(g - 1) + (j - 1) * rows] += w * A(i, j) * diff;
        }
      }
    }
  }

  for (int64_t j = 0; j < p1; ++j) {
    S1[j] /= s;
    S2[j] /= s;
    S3[j] /= s;
  }
  for (int64_t e = 0; e < rows * p1; ++e) S4[e] /= N1;

  const double root_n1 = static_cast<double>(std::sqrt(static_cast<float>(n1)));
  for (int64_t l = 1; l <= p1; ++l) {
    betaDiff.data()[l - 1] = (vec(btBeta1stS)(l) - b1hat(l)) * root_n1;
  }

  const Mat<double> out2 = mat(term2);
  for (int64_t g = 1; g <= rows; ++g) {
    for (int64_t r = 1; r <= p1; ++r) {
      double sum = 0.0;
      for (int64_t c = 1; c <= p1; ++c) sum += sig1(r, c) * S4[(g - 1) + (c - 1) * rows];
      out2(r, g) = sum;
    }
  }
  const Vec<double> out1 = vec(term1);
  for (int64_t r = 1; r <= p1; ++r) {
    double sum = 0.0;
    for (int64_t c = 1; c <= p1; ++c) sum += sig1(r, c) * (S1[c - 1] + S2[c - 1] + S3[c - 1]);
    out1(r) = sum;
  }

  // Every array is released even after a failed release; only the first failure is reported.
  int32_t result = 0;
  ErrorRecord quiet;
  const auto release = [&](auto& array) {
    if (dealloc(array, result == 0 ? record : quiet) != 0) result = -1;
  };
  release(indicator1);
  release(denominator);
  release(indicator2);
  release(btH2Matrix);
  release(term1TmpArray);
  release(term2TmpArray);
  release(term3TmpArray);
  release(term4TmpArray);
  release(betaDiff);
  return result;
}

}  // namespace kestrion
