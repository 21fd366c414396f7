#include "engine/fit_two_stage.h"

#include "engine/engine_internal.h"
#include "numerics/regression.h"

namespace kestrion {

namespace {

using detail::column;
using detail::entries;

// Fills a design in the column layout shared by both stages: intercept, main covariates,
// tailoring covariates, one block of tailoring-by-treatment interactions per treatment column,
// the treatment columns. `treatment` already holds the subjects' treatment columns.
void fill_design(int32_t n, ConstDblMat main, int32_t p_main, ConstDblMat tailor, int32_t p_tailor,
                 ConstDblMat treatment, int32_t n_treatment_columns, DblMat design) {
  int64_t col = 1;
  {
    const auto out = column(design, col++);
    for (int32_t i = 1; i <= n; ++i) out[i] = 1.0;
  }
  for (int32_t k = 1; k <= p_main; ++k) {
    const auto in = column(main, k);
    const auto out = column(design, col++);
    for (int32_t i = 1; i <= n; ++i) out[i] = in[i];
  }
  for (int32_t j = 1; j <= p_tailor; ++j) {
    const auto in = column(tailor, j);
    const auto out = column(design, col++);
    for (int32_t i = 1; i <= n; ++i) out[i] = in[i];
  }
  for (int32_t t = 1; t <= n_treatment_columns; ++t) {
    const auto level = column(treatment, t);
    for (int32_t j = 1; j <= p_tailor; ++j) {
      const auto in = column(tailor, j);
      const auto out = column(design, col++);
      for (int32_t i = 1; i <= n; ++i) out[i] = in[i] * level[i];
    }
  }
  for (int32_t t = 1; t <= n_treatment_columns; ++t) {
    const auto in = column(treatment, t);
    const auto out = column(design, col++);
    for (int32_t i = 1; i <= n; ++i) out[i] = in[i];
  }
}

// treatment(i, t) = levels(t, code(i)).
void fill_treatment(int32_t n, ConstIntVec code, ConstDblMat levels, int32_t n_treatment_columns,
                    DblMat treatment) {
  const auto codes = entries(code);
  for (int32_t t = 1; t <= n_treatment_columns; ++t) {
    const auto out = column(treatment, t);
    for (int32_t i = 1; i <= n; ++i) out[i] = levels(t, codes[i]);
  }
}

// Copies the subjects with respStatus 0, in data order, into the first rows of `to`.
void select_rows(int32_t n1, ConstIntVec respStatus, ConstDblMat from, int32_t cols, DblMat to) {
  const auto status = entries(respStatus);
  for (int32_t j = 1; j <= cols; ++j) {
    const auto in = column(from, j);
    const auto out = column(to, j);
    int64_t r = 0;
    for (int32_t i = 1; i <= n1; ++i) {
      if (status[i] == 0) out[++r] = in[i];
    }
  }
}

}  // namespace

void fitTwoStage(int32_t n1, int32_t p1, ConstDblVec Y1, ConstDblMat H10, int32_t p10,
                 ConstDblMat H11, int32_t p11, ConstIntVec A1, ConstIntVec respStatus, int32_t n2,
                 int32_t p2, ConstDblVec inputY2, ConstDblMat inputH20, int32_t p20,
                 ConstDblMat inputH21, int32_t p21, ConstIntVec inputA2, ConstDblMat levels1,
                 int32_t K1, ConstDblMat levels2, int32_t K2, DblMat treatment1, DblMat treatment2,
                 DblVec y2, DblMat h20, DblMat h21, IntVec a2, DblMat designM1, DblMat designM2,
                 DblVec beta1hat, DblVec beta2hat, DblVec yhat, double tolerance, bool wantSigma1n,
                 DblMat sigma1n, ErrorRecord& record) {
  clear_errors(record);
  const auto status = entries(respStatus);

  // Stage-2 sample in data order.
  {
    const auto outcome = entries(inputY2);
    const auto code = entries(inputA2);
    const auto y2_out = entries(y2);
    const auto a2_out = entries(a2);
    int64_t r = 0;
    for (int32_t i = 1; i <= n1; ++i) {
      if (status[i] != 0) continue;
      ++r;
      y2_out[r] = outcome[i];
      a2_out[r] = code[i];
    }
  }
  select_rows(n1, respStatus, inputH20, p20, h20);
  select_rows(n1, respStatus, inputH21, p21, h21);

  fill_treatment(n2, a2, levels2, K2 - 1, treatment2);
  fill_design(n2, h20, p20, h21, p21, treatment2, K2 - 1, designM2);
  fill_treatment(n1, A1, levels1, K1 - 1, treatment1);
  fill_design(n1, H10, p10, H11, p11, treatment1, K1 - 1, designM1);

  if (svdr_l2(designM2, n2, p2, y2, tolerance, beta2hat, record) == -1 || error_occurred(record)) {
    return;
  }
  if (nullify_data(record) == -1) return;

  // Pseudo-outcome. A subject outside the stage-2 sample takes its observed outcome as it stands:
  // its stage-2 values need not be finite, and a product with 0 would not remove a NaN or inf.
  const auto beta2 = entries(beta2hat);
  const auto outcome1 = entries(Y1);
  const auto pseudo = entries(yhat);
  const int32_t n_columns2 = K2 - 1;
  // Offsets of the coefficients just before the first interaction and the first treatment column.
  const int64_t first_interaction = 1 + p20 + p21;
  const int64_t first_treatment = 1 + p20 + int64_t{K2} * p21;
  for (int32_t i = 1; i <= n1; ++i) {
    if (status[i] != 0) {
      pseudo[i] = outcome1[i];
      continue;
    }
    double base = beta2[1];
    for (int32_t k = 1; k <= p20; ++k) base += inputH20(i, k) * beta2[1 + k];
    for (int32_t j = 1; j <= p21; ++j) base += inputH21(i, j) * beta2[1 + p20 + j];
    double best = -1e15;
    for (int32_t l = 1; l <= K2; ++l) {
      double q = base;
      for (int32_t t = 1; t <= n_columns2; ++t) {
        double interaction = 0.0;
        for (int32_t j = 1; j <= p21; ++j) {
          interaction += inputH21(i, j) * beta2[first_interaction + int64_t{t - 1} * p21 + j];
        }
        q += levels2(t, l) * interaction;
      }
      for (int32_t t = 1; t <= n_columns2; ++t) q += levels2(t, l) * beta2[first_treatment + t];
      if (q > best) best = q;
    }
    pseudo[i] = best;
  }

  if (svdr_l2(designM1, n1, p1, yhat, tolerance, beta1hat, record) == -1 ||
      error_occurred(record)) {
    return;
  }
  if (wantSigma1n) getMInverse(sigma1n, n1, p1, record);
}

}  // namespace kestrion
