#include "engine/calculate_terms.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "engine/grid_kernel.h"
#include "numerics/dynamic_allocation.h"
#include "numerics/work_arrays.h"

namespace kestrion {

namespace {

// A maximum over treatments starts here, not at minus infinity.
constexpr double kMaximumStart = -1.0e15;
constexpr double kDenominatorFloor = 1e-15;

// Scratch for the grid term, on the stack so that the per-replicate hot path allocates nothing
// beyond the documented work arrays.
constexpr int64_t kGridScratch = 4096;
// Stage-1 coefficients up to this many go to the grid kernel.
constexpr int32_t kKernelFactors = 64;

// The stage-2 model as the interval terms see it: one subject's covariates and the level table.
struct Stage2Model {
  int32_t p20;
  int32_t p21;
  int32_t K2;
  ConstDblMat H20;
  ConstDblMat H21;
  ConstDblMat levels;

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
  double common_part(int64_t i, ConstDblVec b) const {
    double main = 0.0;
    for (int32_t l = 1; l <= p20; ++l) main += H20(i, l) * b(1 + l);
    double tailor = 0.0;
    for (int32_t l = 1; l <= p21; ++l) tailor += H21(i, l) * b(1 + p20 + l);
    return b(1) + main + tailor;
  }

  // max_k Q_k(i; b) for a full stage-2 coefficient vector b.
  double best_value(int64_t i, ConstDblVec b) const {
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

namespace {

// Everything the passes of one replicate read, named as in the formulas. `rows` are the rows of
// the grid block in frame.gamma.
struct Terms {
  int32_t n1;
  int32_t p1;
  int32_t p2;
  int32_t p20;
  int32_t p21;
  int32_t K2;
  int32_t d2;
  int64_t nr;  // the treatment-dependent part follows position nr
  int64_t rows;
  double lambda;
  double s;
  double N1;
  double N2;
  bool screened;  // the statistic is decided once per subject; with p1 = 0 nothing needs it
  const SubjectTable* table;  // with source: the parts that depend on the data row alone
  const int32_t* source;
  Stage2Model model;
  ConstDblMat A;
  ConstIntVec status;
  ConstDblVec y1;
  ConstDblVec b1hat;
  ConstDblVec b2hat;
  ConstDblVec b2boot;
  ConstDblMat sig1;
  ConstDblMat sig2;
  ConstDblMat grid;

  Terms(const ModelShape& shape, const IntervalFrame& frame, const ReplicateFit& r)
      : n1(r.n1),
        p1(shape.p1()),
        p2(shape.p2()),
        p20(shape.p20),
        p21(shape.p21),
        K2(shape.K2),
        d2(p2 - p20 - p21 - 1),
        nr(int64_t{p20} + p21 + 1),
        rows(frame.gamma.extent(0)),
        lambda(indicator_threshold(frame.n2)),
        s(std::sqrt(static_cast<double>(static_cast<float>(n1)))),
        N1(static_cast<double>(static_cast<float>(n1))),
        N2(static_cast<double>(static_cast<float>(frame.n2))),
        screened(frame.n2 > 1 && p1 >= 1),
        table(r.source != nullptr ? frame.subjects : nullptr),
        source(r.source),
        model{p20, p21, K2, r.btInputH20, r.btInputH21, frame.levels2},
        A(r.btDesignM1),
        status(r.btRespStatus),
        y1(r.btY1),
        b1hat(frame.beta1hat),
        b2hat(frame.beta2hat),
        b2boot(r.btBeta2ndS),
        sig1(r.sigma1n),
        sig2(frame.sigma2n),
        grid(frame.gamma) {}

  double delta(int64_t c) const { return b2boot(c) - b2hat(c); }
  // Part `part` (1..4) of subject i's data row from the table.
  double looked_up(int64_t i, int part) const { return table->values(source[i - 1], part); }

  double fitted(int64_t i) const {
    if (table != nullptr) return looked_up(i, 1);
    double sum = 0.0;
    for (int64_t l = 1; l <= p1; ++l) sum += A(i, l) * b1hat(l);
    return sum;
  }
  double best_at_estimate(int64_t i) const {
    return table != nullptr ? looked_up(i, 2) : model.best_value(i, b2hat);
  }
  double best_part_at_estimate(int64_t i) const {
    if (table != nullptr) return looked_up(i, 3);
    return model.best_treatment_part(i, [&](int64_t c) { return b2hat(nr + c); });
  }
  bool on_grid(int64_t i, const double* indicator) const {
    return status(i) == 0 && indicator[i - 1] <= lambda;
  }
};

// Design row template: intercept, H20, H21, K2 - 1 copies of H21, K2 - 1 ones. Its last d2
// columns are the x_i of the statistic.
void fill_stage2_rows(const Terms& t, DblMat h2) {
  const auto fill_column = [&](int64_t c, auto value) {
    if (c > t.p2) return;
    for (int64_t i = 1; i <= t.n1; ++i) h2(i, c) = value(i);
  };
  int64_t c = 1;
  fill_column(c++, [](int64_t) { return 1.0; });
  for (int32_t l = 1; l <= t.p20; ++l) {
    fill_column(c++, [&](int64_t i) { return t.model.H20(i, l); });
  }
  for (int32_t copy = 0; copy < t.K2; ++copy) {
    for (int32_t l = 1; l <= t.p21; ++l) {
      fill_column(c++, [&](int64_t i) { return t.model.H21(i, l); });
    }
  }
  for (int32_t m = 1; m <= t.K2 - 1; ++m) fill_column(c++, [](int64_t) { return 1.0; });
}

void report_singular_sigma2n(ErrorRecord& record) {
  ErrorDetails details;
  details.routine_label = "svd in MOD calculateTerms";
  details.note_1 = "The denominator is zero when calculate indicator 1 ";
  details.note_2 = "as sigma2n is singular, please try a larger NBOOTSTRAP2 !";
  report_error(record, ErrorCode::kSingular, details);
}

// x' sigma2n x of subject i, with x its treatment-dependent design row.
double x_sigma_x(const Terms& t, const ConstDblMat& h2, int64_t i) {
  const auto x = [&](int64_t c) { return h2(i, t.nr + c); };
  double den = 0.0;
  for (int64_t c = 1; c <= t.d2; ++c) {
    double row = 0.0;
    for (int64_t r = 1; r <= t.d2; ++r) row += t.sig2(c, r) * x(r);
    den += x(c) * row;
  }
  return den;
}

// Subject i's statistic T = N2 t^2 / x' sigma2n x; false when the denominator is not above the
// floor. The one computation of it, for the smooth term and for a later block alike.
bool statistic(const Terms& t, const ConstDblMat& h2, int64_t i, double& T, double& den) {
  den = t.table != nullptr ? t.looked_up(i, 4) : x_sigma_x(t, h2, i);
  double tt = 0.0;
  for (int64_t c = 1; c <= t.d2; ++c) tt += h2(i, t.nr + c) * t.b2boot(t.nr + c);
  if (!(den > kDenominatorFloor)) return false;
  T = t.N2 * tt * tt / den;
  return true;
}

// The smooth sums S1, S2, S3 (p1 each) and every subject's statistic, one pass over the subjects
// in order, so that each sum still adds its subjects in order.
Status subject_pass(const Terms& t, ConstDblMat h2, double* S1, double* S2, double* S3,
                    double* indicator1, double* denominator, ErrorRecord& record) {
  for (int64_t i = 1; i <= t.n1; ++i) {
    const double fitted = t.fitted(i);
    const auto R = static_cast<double>(t.status(i));
    const double w = 1.0 - R;
    // A subject outside the stage-2 sample is weighed by its own outcome alone: its stage-2
    // value is multiplied by 0 and must not turn the sum into NaN when it is not finite.
    const double residual =
        t.status(i) == 1 ? t.y1(i) - fitted : R * t.y1(i) + w * t.best_at_estimate(i) - fitted;
    for (int64_t j = 1; j <= t.p1; ++j) S1[j - 1] += residual * t.A(i, j);
    if (!t.screened) continue;

    double T = 0.0;
    const bool defined = statistic(t, h2, i, T, denominator[i - 1]);
    if (!defined) {
      report_singular_sigma2n(record);
      return Status::kFailed;
    }
    indicator1[i - 1] = T;

    // Subjects outside the stage-2 sample carry weight 0 in every later sum.
    if (t.status(i) != 0) continue;
    double main = 0.0;
    for (int32_t l = 1; l <= t.p20; ++l) main += t.model.H20(i, l) * t.delta(1 + l);
    double tailor = 0.0;
    for (int32_t l = 1; l <= t.p21; ++l) tailor += t.model.H21(i, l) * t.delta(1 + t.p20 + l);
    const double smooth_change = t.delta(1) + main + tailor;
    for (int64_t j = 1; j <= t.p1; ++j) S2[j - 1] += w * t.A(i, j) * smooth_change;
    if (T > t.lambda) {
      const double best_change = t.model.best_treatment_part(i, [&](int64_t c) {
        return t.b2boot(t.nr + c);
      }) - t.model.best_treatment_part(i, [&](int64_t c) { return t.b2hat(t.nr + c); });
      for (int64_t j = 1; j <= t.p1; ++j) S3[j - 1] += w * t.A(i, j) * best_change;
    }
  }
  return Status::kOk;
}

// The shifted and centred grid values of block rows g0 + 1 .. g0 + len, column by column.
void load_chunk(const Terms& t, const GridChunk& chunk, int64_t g0, int64_t len) {
  for (int64_t c = 1; c <= t.d2; ++c) {
    const double shift = t.s * t.delta(t.nr + c);
    double* shifted = chunk.shifted + (c - 1) * chunk.capacity;
    double* centred = chunk.centred + (c - 1) * chunk.capacity;
    for (int64_t r = 0; r < len; ++r) {
      const double value = t.grid(g0 + r + 1, c);
      centred[r] = value;
      shifted[r] = shift + value;
    }
  }
}

// Adds subject i's grid differences of a loaded chunk to S4 (rows x p1, grid row first).
void add_chunk_subject(const Terms& t, const GridChunk& chunk, int64_t g0, int64_t len, int64_t i,
                       double* S4) {
  const double w = 1.0 - static_cast<double>(t.status(i));
  double factors[kKernelFactors];
  double h21[kKernelTailorLimit + 1];
  if (t.K2 == 2 && t.p1 <= kKernelFactors && t.p21 <= kKernelTailorLimit) {
    for (int64_t j = 1; j <= t.p1; ++j) factors[j - 1] = w * t.A(i, j);
    for (int32_t l = 1; l <= t.p21; ++l) h21[l - 1] = t.model.H21(i, l);
    const ChunkSubject subject{t.p21,
                               chunk.shifted,
                               chunk.centred,
                               chunk.capacity,
                               len,
                               h21,
                               t.model.levels(1, 1),
                               t.model.levels(1, 2),
                               factors,
                               t.p1,
                               S4 + g0,
                               t.rows,
                               chunk.difference};
    if (add_two_treatment_subject(subject)) return;
  }
  double* diff = chunk.difference;
  best_parts_over_rows(chunk.shifted, chunk.u_shifted, chunk.q, chunk.best_shifted, len,
                       chunk.capacity, t.model, i);
  best_parts_over_rows(chunk.centred, chunk.u_centred, chunk.q, chunk.best_centred, len,
                       chunk.capacity, t.model, i);
  for (int64_t r = 0; r < len; ++r) diff[r] = chunk.best_shifted[r] - chunk.best_centred[r];
  for (int64_t j = 1; j <= t.p1; ++j) {
    const double factor = w * t.A(i, j);
    double* sums = S4 + (j - 1) * t.rows + g0;
    for (int64_t r = 0; r < len; ++r) sums[r] += factor * diff[r];
  }
}

// Grid term: stage-2 subjects whose statistic does not exceed the threshold, chunk by chunk of
// grid rows; within a chunk every (column, row) sum still adds its subjects in order.
void grid_pass(const Terms& t, const double* indicator1, double* S4) {
  double scratch[kGridScratch];
  const GridChunk chunk(scratch, t.rows, t.d2, t.K2);
  for (int64_t g0 = 0; chunk.capacity > 0 && g0 < t.rows; g0 += chunk.capacity) {
    const int64_t len = std::min(chunk.capacity, t.rows - g0);
    load_chunk(t, chunk, g0, len);
    for (int64_t i = 1; i <= t.n1; ++i) {
      if (t.on_grid(i, indicator1)) add_chunk_subject(t, chunk, g0, len, i, S4);
    }
  }
  if (chunk.capacity > 0) return;
  // Only absurd treatment counts get here, and then the grid has at most two rows.
  for (int64_t g = 1; g <= t.rows; ++g) {
    const auto shifted = [&](int64_t c) { return t.s * t.delta(t.nr + c) + t.grid(g, c); };
    const auto centred = [&](int64_t c) { return t.grid(g, c); };
    for (int64_t i = 1; i <= t.n1; ++i) {
      if (!t.on_grid(i, indicator1)) continue;
      const double diff =
          t.model.best_treatment_part(i, shifted) - t.model.best_treatment_part(i, centred);
      const double w = 1.0 - static_cast<double>(t.status(i));
      for (int64_t j = 1; j <= t.p1; ++j) S4[(g - 1) + (j - 1) * t.rows] += w * t.A(i, j) * diff;
    }
  }
}

}  // namespace

WorkArrays TermsArrays::list(int32_t n1, int32_t p1, int32_t p2, int64_t block_rows) {
  return {{indicator1, {n1}, "calculateTerms: indicator1"},
          {denominator, {n1}, "calculateTerms: denominator"},
          {indicator2, {n1}, "calculateTerms: indicator2"},
          {btH2Matrix, {n1, p2}, "calculateTerms: btH2Matrix"},
          {term1TmpArray, {p1}, "calculateTerms: term1TmpArray"},
          {term2TmpArray, {p1}, "calculateTerms: term2TmpArray"},
          {term3TmpArray, {p1}, "calculateTerms: term3TmpArray"},
          {term4TmpArray, {static_cast<int32_t>(block_rows), p1}, "calculateTerms: term4TmpArray"},
          {betaDiff, {p1}, "calculateTerms: betaDiff"}};
}

Status smooth_term(const ModelShape& shape, const IntervalFrame& frame,
                   const ReplicateFit& replicate, TermsArrays& arrays, DblVec term1,
                   ErrorRecord& record) {
  const Terms t(shape, frame, replicate);
  fill_stage2_rows(t, arrays.btH2Matrix);
  double* const S1 = arrays.term1TmpArray.data();
  double* const S2 = arrays.term2TmpArray.data();
  double* const S3 = arrays.term3TmpArray.data();
  std::fill(S1, S1 + t.p1, 0.0);
  std::fill(S2, S2 + t.p1, 0.0);
  std::fill(S3, S3 + t.p1, 0.0);
  double* const indicator1 = arrays.indicator1.data();
  std::fill(indicator1, indicator1 + t.n1, 1.0);
  if (subject_pass(t, arrays.btH2Matrix, S1, S2, S3, indicator1, arrays.denominator.data(),
                   record) != Status::kOk) {
    return Status::kFailed;
  }
  for (int64_t j = 0; j < t.p1; ++j) {
    S1[j] /= t.s;
    S2[j] /= t.s;
    S3[j] /= t.s;
  }
  // betaDiff is the replicate's scaled departure from the estimate; nothing reads it further.
  const double root_n1 = static_cast<double>(std::sqrt(static_cast<float>(t.n1)));
  for (int64_t l = 1; l <= t.p1; ++l) {
    arrays.betaDiff.data()[l - 1] = (replicate.btBeta1stS(l) - t.b1hat(l)) * root_n1;
  }
  for (int64_t r = 1; r <= t.p1; ++r) {
    double sum = 0.0;
    for (int64_t c = 1; c <= t.p1; ++c) {
      sum += t.sig1(r, c) * (S1[c - 1] + S2[c - 1] + S3[c - 1]);
    }
    term1(r) = sum;
  }
  return Status::kOk;
}

void fill_subject_table(const ModelShape& shape, const IntervalFrame& frame,
                        const ReplicateFit& data, TermsArrays& arrays, DblMat values) {
  ReplicateFit computed = data;
  computed.source = nullptr;
  const Terms t(shape, frame, computed);
  fill_stage2_rows(t, arrays.btH2Matrix);
  for (int64_t i = 1; i <= t.n1; ++i) {
    values(i, 1) = t.fitted(i);
    values(i, 2) = t.best_at_estimate(i);
    values(i, 3) = t.best_part_at_estimate(i);
    values(i, 4) = x_sigma_x(t, arrays.btH2Matrix, i);
  }
}

Status screen_subjects(const ModelShape& shape, const IntervalFrame& frame,
                       const ReplicateFit& replicate, TermsArrays& arrays, ErrorRecord& record) {
  const Terms t(shape, frame, replicate);
  fill_stage2_rows(t, arrays.btH2Matrix);
  double* const indicator1 = arrays.indicator1.data();
  std::fill(indicator1, indicator1 + t.n1, 1.0);
  if (!t.screened) return Status::kOk;
  for (int64_t i = 1; i <= t.n1; ++i) {
    if (!statistic(t, arrays.btH2Matrix, i, indicator1[i - 1], arrays.denominator.data()[i - 1])) {
      report_singular_sigma2n(record);
      return Status::kFailed;
    }
  }
  return Status::kOk;
}

void grid_term(const ModelShape& shape, const IntervalFrame& frame, const ReplicateFit& replicate,
               TermsArrays& arrays, DblMat term2) {
  const Terms t(shape, frame, replicate);
  double* const S4 = arrays.term4TmpArray.data();  // S4[(g - 1) + (j - 1) * rows]
  std::fill(S4, S4 + t.rows * t.p1, 0.0);
  if (t.screened && t.rows > 0) grid_pass(t, arrays.indicator1.data(), S4);
  for (int64_t e = 0; e < t.rows * t.p1; ++e) S4[e] /= t.N1;
  // term2(r, g) = sum over c of sig1(r, c) S4(g, c), c in order, with the grid rows innermost so
  // that a term2 stored grid row first is written in one sweep.
  const int64_t step = term2.stride(1);
  for (int64_t r = 1; t.rows > 0 && r <= t.p1; ++r) {
    double* out = &term2(r, 1);
    for (int64_t g = 0; g < t.rows; ++g) out[g * step] = 0.0;
    for (int64_t c = 1; c <= t.p1; ++c) {
      const double weight = t.sig1(r, c);
      const double* column = S4 + (c - 1) * t.rows;
      for (int64_t g = 0; g < t.rows; ++g) out[g * step] += weight * column[g];
    }
  }
}

Status calculateTerms(const ModelShape& shape, const IntervalFrame& frame,
                      const ReplicateFit& replicate, DblVec term1, DblMat term2,
                      ErrorRecord& record) {
  // The whole grid: G + 1 rows of gamma (none when the count wraps to a negative number).
  const int64_t rows =
      grid_row_count(grid_point_count(frame.nGrid, shape.p2() - shape.p20 - shape.p21 - 1));
  IntervalFrame whole = frame;
  whole.gamma = ConstDblMat(frame.gamma.data(), {1, 1}, {rows, frame.gamma.extent(1)},
                            {frame.gamma.stride(0), frame.gamma.stride(1)});
  TermsArrays arrays;
  WorkArrays work = arrays.list(replicate.n1, shape.p1(), shape.p2(), rows);
  if (work.obtain(record) != Status::kOk) return Status::kFailed;
  if (smooth_term(shape, whole, replicate, arrays, term1, record) != Status::kOk) {
    return Status::kFailed;
  }
  grid_term(shape, whole, replicate, arrays, term2);
  return work.release(record);
}

}  // namespace kestrion
