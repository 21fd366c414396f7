#include "engine/fit_two_stage.h"

#include <string_view>

#include "engine/rank_cause.h"
#include "kestrion_model.h"
#include "numerics/regression.h"

namespace kestrion {

namespace {

// Fills a design column by column in the layout of kestrion_model.h. `treatment` already holds the
// subjects' treatment columns.
void fill_design(int32_t n, ConstDblMat main, int32_t p_main, ConstDblMat tailor, int32_t p_tailor,
                 ConstDblMat treatment, int32_t n_treatment_columns, DblMat design) {
  design_columns(p_main, p_tailor, n_treatment_columns,
                 [&](int64_t c, DesignTerm term, int32_t first, int32_t second) {
                   const auto out = design.column(c + 1);
                   if (term == DesignTerm::kIntercept) {
                     for (int32_t i = 1; i <= n; ++i) out(i) = 1.0;
                   } else if (term == DesignTerm::kInteraction) {
                     const auto in = tailor.column(first + 1);
                     const auto level = treatment.column(second + 1);
                     for (int32_t i = 1; i <= n; ++i) out(i) = in(i)*level(i);
                   } else {
                     const ConstDblMat& from = term == DesignTerm::kMain     ? main
                                               : term == DesignTerm::kTailor ? tailor
                                                                             : treatment;
                     const auto in = from.column(first + 1);
                     for (int32_t i = 1; i <= n; ++i) out(i) = in(i);
                   }
                 });
}

// treatment(i, t) = levels(t, code(i)).
void fill_treatment(int32_t n, ConstIntVec code, ConstDblMat levels, int32_t n_treatment_columns,
                    DblMat treatment) {
  for (int32_t t = 1; t <= n_treatment_columns; ++t) {
    const auto out = treatment.column(t);
    for (int32_t i = 1; i <= n; ++i) out(i) = levels(t, code(i));
  }
}

// Copies the subjects with respStatus 0, in data order, into the first rows of `to`.
void select_rows(int32_t n1, ConstIntVec respStatus, ConstDblMat from, int32_t cols, DblMat to) {
  for (int32_t j = 1; j <= cols; ++j) {
    const auto in = from.column(j);
    const auto out = to.column(j);
    int64_t r = 0;
    for (int32_t i = 1; i <= n1; ++i) {
      if (respStatus(i) == 0) out(++r) = in(i);
    }
  }
}

// Pseudo-outcome of every subject. A subject outside the stage-2 sample takes its observed
// outcome as it stands: its stage-2 values need not be finite, and a product with 0 would not
// remove a NaN or inf.
void fill_pseudo_outcome(const ModelShape& shape, const StudyArrays& study, ConstDblVec beta2,
                         DblVec pseudo) {
  const SubjectArrays& s = study.subjects;
  const int32_t p20 = shape.p20;
  const int32_t p21 = shape.p21;
  const int32_t K2 = shape.K2;
  const int32_t n_columns2 = K2 - 1;
  // Offsets of the coefficients just before the first interaction and the first treatment column.
  const int64_t first_interaction = 1 + p20 + p21;
  const int64_t first_treatment = 1 + p20 + int64_t{K2} * p21;
  for (int32_t i = 1; i <= study.n1; ++i) {
    if (s.respStatus(i) != 0) {
      pseudo(i) = s.Y1(i);
      continue;
    }
    double base = beta2(1);
    for (int32_t k = 1; k <= p20; ++k) base += s.inputH20(i, k) * beta2(1 + k);
    for (int32_t j = 1; j <= p21; ++j) base += s.inputH21(i, j) * beta2(1 + p20 + j);
    double best = -1e15;
    for (int32_t l = 1; l <= K2; ++l) {
      double q = base;
      for (int32_t t = 1; t <= n_columns2; ++t) {
        double interaction = 0.0;
        for (int32_t j = 1; j <= p21; ++j) {
          interaction += s.inputH21(i, j) * beta2(first_interaction + int64_t{t - 1} * p21 + j);
        }
        q += study.levels2(t, l) * interaction;
      }
      for (int32_t t = 1; t <= n_columns2; ++t) {
        q += study.levels2(t, l) * beta2(first_treatment + t);
      }
      if (q > best) best = q;
    }
    pseudo(i) = best;
  }
}

// Copies the stage-2 sample, in data order, into the first rows of the fit's stage-2 arrays.
void select_stage2_sample(const ModelShape& shape, const StudyArrays& study, const FitArrays& fit) {
  const SubjectArrays& s = study.subjects;
  int64_t r = 0;
  for (int32_t i = 1; i <= study.n1; ++i) {
    if (s.respStatus(i) != 0) continue;
    ++r;
    fit.y2(r) = s.inputY2(i);
    fit.a2(r) = s.inputA2(i);
  }
  select_rows(study.n1, s.respStatus, s.inputH20, shape.p20, fit.h20);
  select_rows(study.n1, s.respStatus, s.inputH21, shape.p21, fit.h21);
}

bool failed(int32_t result, const ErrorRecord& record) {
  return result == -1 || error_occurred(record);
}

// The regression of one stage: in the workspace when there is one, else in the module.
int32_t regress(const FitOptions& options, ConstDblMat design, int32_t m, int32_t n, ConstDblVec y,
                DblVec beta, ErrorRecord& record) {
  if (options.workspace != nullptr) {
    return least_squares_in(*options.workspace, design, m, n, y, options.tolerance, beta, record);
  }
  return svdr_l2(design, m, n, y, options.tolerance, beta, record);
}

void explain(const FitOptions& options, ErrorRecord& record, std::string_view fit,
             ConstDblMat design, int32_t m, int32_t n) {
  if (!options.explainRank) return;
  if (options.workspace != nullptr) {
    explain_rank_deficiency(
        record, fit, dependent_columns_in(*options.workspace, design, m, n, options.tolerance));
  } else {
    explain_rank_deficiency(record, fit, dependent_columns(design, m, n, options.tolerance));
  }
}

}  // namespace

void fill_stage1(const ModelShape& shape, const StudyArrays& study, DblMat treatment1,
                 DblMat designM1) {
  const SubjectArrays& s = study.subjects;
  fill_treatment(study.n1, s.A1, study.levels1, shape.K1 - 1, treatment1);
  fill_design(study.n1, s.H10, shape.p10, s.H11, shape.p11, treatment1, shape.K1 - 1, designM1);
}

Status fitTwoStage(const ModelShape& shape, const StudyArrays& study, const FitArrays& fit,
                   const FitOptions& options, ErrorRecord& record) {
  clear_errors(record);
  const int32_t n1 = study.n1;
  const int32_t n2 = study.n2;

  select_stage2_sample(shape, study, fit);
  fill_treatment(n2, fit.a2, study.levels2, shape.K2 - 1, fit.treatment2);
  fill_design(n2, fit.h20, shape.p20, fit.h21, shape.p21, fit.treatment2, shape.K2 - 1,
              fit.designM2);
  fill_stage1(shape, study, fit.treatment1, fit.designM1);

  if (failed(regress(options, fit.designM2, n2, shape.p2(), fit.y2, fit.beta2hat, record),
             record)) {
    explain(options, record, "stage-2 fit of the data", fit.designM2, n2, shape.p2());
    return Status::kFailed;
  }
  if (options.workspace == nullptr && nullify_data(record) == -1) return Status::kFailed;

  fill_pseudo_outcome(shape, study, fit.beta2hat, fit.yhat);

  if (failed(regress(options, fit.designM1, n1, shape.p1(), fit.yhat, fit.beta1hat, record),
             record)) {
    explain(options, record, "stage-1 fit of the data", fit.designM1, n1, shape.p1());
    return Status::kFailed;
  }
  if (options.wantSigma1n) {
    if (options.workspace != nullptr) {
      static_cast<void>(
          inverse_cross_product_in(*options.workspace, fit.sigma1n, n1, shape.p1(), record));
    } else {
      static_cast<void>(getMInverse(fit.sigma1n, n1, shape.p1(), record));
    }
  }
  return status_of(record);
}

}  // namespace kestrion
