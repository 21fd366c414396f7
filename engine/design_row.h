// The column layout of a stage's design, in the order of that stage's coefficients: intercept,
// main covariates, tailoring covariates, the tailoring-by-treatment interactions (all tailoring
// covariates for the first treatment column, then for the next), then the treatment columns.
// The fit builds its designs from it column by column, and the procedure its Q-values and
// recommendations row by row, so the layout is written once. Header-only and free of the
// library's types: the procedure includes it.
#ifndef KESTRION_ENGINE_DESIGN_ROW_H
#define KESTRION_ENGINE_DESIGN_ROW_H

#include <cstdint>

namespace kestrion {

enum class DesignTerm { kIntercept, kMain, kTailor, kInteraction, kTreatment };

// Calls column(c, term, first, second) for each design column c (0-based) in order: the
// intercept; (kMain, k); (kTailor, j); (kInteraction, j, t) for tailoring covariate j times
// treatment column t; (kTreatment, t). Indices are 0-based; unused ones are 0.
template <typename Column>
inline void design_columns(int32_t p_main, int32_t p_tailor, int32_t n_treatment_columns,
                           Column&& column) {
  int64_t c = 0;
  column(c++, DesignTerm::kIntercept, 0, 0);
  for (int32_t k = 0; k < p_main; ++k) column(c++, DesignTerm::kMain, k, 0);
  for (int32_t j = 0; j < p_tailor; ++j) column(c++, DesignTerm::kTailor, j, 0);
  for (int32_t t = 0; t < n_treatment_columns; ++t) {
    for (int32_t j = 0; j < p_tailor; ++j) column(c++, DesignTerm::kInteraction, j, t);
  }
  for (int32_t t = 0; t < n_treatment_columns; ++t) column(c++, DesignTerm::kTreatment, t, 0);
}

// One subject's design row: main(k), tailor(j) and treatment(t) give its values; out(c, value)
// receives column c in increasing order. An interaction is tailor(j) * treatment(t), the product
// the fit forms.
template <typename Main, typename Tailor, typename Treatment, typename Out>
inline void design_row(int32_t p_main, const Main& main, int32_t p_tailor, const Tailor& tailor,
                       int32_t n_treatment_columns, const Treatment& treatment, Out&& out) {
  design_columns(p_main, p_tailor, n_treatment_columns,
                 [&](int64_t c, DesignTerm term, int32_t first, int32_t second) {
                   switch (term) {
                     case DesignTerm::kIntercept:
                       out(c, 1.0);
                       break;
                     case DesignTerm::kMain:
                       out(c, main(first));
                       break;
                     case DesignTerm::kTailor:
                       out(c, tailor(first));
                       break;
                     case DesignTerm::kInteraction:
                       out(c, tailor(first) * treatment(second));
                       break;
                     case DesignTerm::kTreatment:
                       out(c, treatment(first));
                       break;
                   }
                 });
}

}  // namespace kestrion

#endif  // KESTRION_ENGINE_DESIGN_ROW_H
