/*
 * The two-stage model as runkestrion lays it out: the shape of each stage's coefficient vector
 * and the column order of its design.
 *
 * A stage's coefficients are, in order: the intercept, the main covariates, the tailoring
 * covariates, the tailoring-by-treatment interactions (all tailoring covariates for the first
 * treatment column, then for the next), then the K - 1 treatment columns. The fit builds its
 * designs from design_columns, and a front end its Q-values and recommendations from design_row,
 * so the layout is written once.
 *
 * Header-only C++ free of the library's internal types, so that code linking only the library's
 * C exports can use it.
 */
#ifndef KESTRION_MODEL_H
#define KESTRION_MODEL_H

#include <cstdint>

namespace kestrion {

// Numbers of MAIN1, TAILOR1, MAIN2 and TAILOR2 variables and of treatments per stage. The derived
// counts are int32_t, as runkestrion takes them, unless asked for in another type: the memory
// plan counts in double, so that a shape too large for int32_t, refused only later, cannot
// overflow there.
struct ModelShape {
  int32_t p10 = 0;
  int32_t p11 = 0;
  int32_t p20 = 0;
  int32_t p21 = 0;
  int32_t K1 = 2;
  int32_t K2 = 2;

  template <typename Count = int32_t>
  constexpr Count p1() const {
    return Count(p10) + Count(K1) * (Count(p11) + 1);
  }
  template <typename Count = int32_t>
  constexpr Count p2() const {
    return Count(p20) + Count(K2) * (Count(p21) + 1);
  }
  // The treatment-dependent stage-2 coefficients: the last d2 entries of a stage-2 vector.
  template <typename Count = int32_t>
  constexpr Count d2() const {
    return (Count(K2) - 1) * (Count(p21) + 1);
  }
  // Position just before the first of them.
  constexpr int32_t stage2_offset() const { return p20 + p21 + 1; }
};

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

#endif /* KESTRION_MODEL_H */
