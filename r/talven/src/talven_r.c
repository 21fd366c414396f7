/* The R side of the study layer's C interface: one call hands over the data, roles, options and
 * contrasts and runs the analysis, returning the study as an external pointer; another reads
 * every result by name. Errors and
 * warnings become R conditions in R code, from the study's messages, so no R error ever leaves
 * C code while a study is held outside an external pointer. */
#include <R.h>
#include <R_ext/Rdynload.h>
#include <Rinternals.h>
#include <stdint.h>
#include <string.h>

#include "interrupt.h"
#include "talven_frontend.h"

static void finalize_study(SEXP pointer) {
  TalvenStudy* study = (TalvenStudy*)R_ExternalPtrAddr(pointer);
  if (study != NULL) {
    talven_study_free(study);
    R_ClearExternalPtr(pointer);
  }
}

static TalvenStudy* study_of(SEXP pointer) {
  if (TYPEOF(pointer) != EXTPTRSXP || R_ExternalPtrAddr(pointer) == NULL) {
    Rf_error("This talven fit no longer holds its analysis (it was saved and restored); fit it "
             "again.");
  }
  return (TalvenStudy*)R_ExternalPtrAddr(pointer);
}

/* A text variable, list(values, levels): its texts (NA missing) and a factor's levels or NULL. */
static int set_text_column(TalvenStudy* study, int32_t k, SEXP column) {
  SEXP values = VECTOR_ELT(column, 0);
  SEXP levels = VECTOR_ELT(column, 1);
  const R_xlen_t n = XLENGTH(values);
  const char** texts = (const char**)R_alloc((size_t)n + 1, sizeof(char*));
  for (R_xlen_t i = 0; i < n; ++i) {
    SEXP text = STRING_ELT(values, i);
    texts[i] = text == NA_STRING ? NULL : Rf_translateCharUTF8(text);
  }
  const R_xlen_t n_levels = Rf_isNull(levels) ? 0 : XLENGTH(levels);
  const char** level_texts = (const char**)R_alloc((size_t)n_levels + 1, sizeof(char*));
  for (R_xlen_t i = 0; i < n_levels; ++i) {
    level_texts[i] = Rf_translateCharUTF8(STRING_ELT(levels, i));
  }
  return talven_study_set_text_column(study, k, (int64_t)n, texts, (int32_t)n_levels,
                                      level_texts) == 0;
}

/* names: the data's variables; columns: a list with a double vector, NULL or, for a text variable,
 * list(values, levels) per variable;
 * lists: a list of 0-based integer vectors named by role; options: a double vector named by
 * option; contrasts: a double matrix or NULL; contrast_names: a character vector or NULL;
 * progress: a logical; products: a list of 0-based integer vectors of factors, the k-th numbered
 * length(names) + k in lists (distinct, so that the layer numbers them so too).
 * Returns list(study, ok, interrupted). */
SEXP talven_r_fit(SEXP names, SEXP columns, SEXP lists, SEXP options, SEXP contrasts,
                  SEXP contrast_names, SEXP progress, SEXP products) {
  TalvenStudy* study = talven_study_new();
  if (study == NULL) Rf_error("Unable to allocate memory for the study.");
  SEXP pointer = PROTECT(R_MakeExternalPtr(study, R_NilValue, R_NilValue));
  R_RegisterCFinalizerEx(pointer, finalize_study, TRUE);

  int ok = 1, interrupted = 0;
  const R_xlen_t n_names = XLENGTH(names);
  for (R_xlen_t k = 0; k < n_names && ok; ++k) {
    ok = talven_study_add_column(study, Rf_translateCharUTF8(STRING_ELT(names, k))) >= 0;
  }
  for (R_xlen_t k = 0; k < XLENGTH(products) && ok; ++k) {
    SEXP factors = VECTOR_ELT(products, k);
    ok = talven_study_add_product(study, (int32_t)XLENGTH(factors), INTEGER(factors)) ==
         (int32_t)(n_names + k);
  }
  SEXP list_names = Rf_getAttrib(lists, R_NamesSymbol);
  for (R_xlen_t k = 0; k < XLENGTH(lists) && ok; ++k) {
    SEXP list = VECTOR_ELT(lists, k);
    ok = talven_study_set_role(study, CHAR(STRING_ELT(list_names, k)), (int32_t)XLENGTH(list),
                               INTEGER(list)) == 0;
  }
  SEXP option_names = Rf_getAttrib(options, R_NamesSymbol);
  for (R_xlen_t k = 0; k < XLENGTH(options) && ok; ++k) {
    ok = talven_study_set_option(study, CHAR(STRING_ELT(option_names, k)), REAL(options)[k]) == 0;
  }
  int n_contrasts = 0;
  if (ok && !Rf_isNull(contrasts)) {
    SEXP dims = Rf_getAttrib(contrasts, R_DimSymbol);
    n_contrasts = INTEGER(dims)[0];
    const int n_contrast_cols = INTEGER(dims)[1];
    const char** texts = NULL;
    if (!Rf_isNull(contrast_names)) {
      texts = (const char**)R_alloc((size_t)n_contrast_cols + 1, sizeof(char*));
      for (int j = 0; j < n_contrast_cols; ++j) {
        texts[j] = Rf_translateCharUTF8(STRING_ELT(contrast_names, j));
      }
    }
    ok = talven_study_set_contrast_columns(study, n_contrast_cols, texts, NULL) == 0;
  }
  if (ok) {
    const double** pointers = (const double**)R_alloc((size_t)n_names + 1, sizeof(double*));
    R_xlen_t n = 0;
    for (R_xlen_t k = 0; k < n_names && ok; ++k) {
      SEXP column = VECTOR_ELT(columns, k);
      pointers[k] = NULL;
      if (TYPEOF(column) == VECSXP) {
        ok = set_text_column(study, (int32_t)k, column);
        n = XLENGTH(VECTOR_ELT(column, 0));
      } else if (!Rf_isNull(column)) {
        pointers[k] = REAL(column);
        n = XLENGTH(column);
      }
    }
    struct TalvenRAnalysis analysis = {study, (int64_t)n, pointers, n_contrasts,
                                       Rf_isNull(contrasts) ? NULL : REAL(contrasts)};
    ok = ok && talven_r_analyse_interruptibly(&analysis, Rf_asLogical(progress) == TRUE,
                                              &interrupted) == 0;
  }

  SEXP out = PROTECT(Rf_allocVector(VECSXP, 3));
  SET_VECTOR_ELT(out, 0, pointer);
  SET_VECTOR_ELT(out, 1, Rf_ScalarLogical(ok));
  SET_VECTOR_ELT(out, 2, Rf_ScalarLogical(interrupted));
  UNPROTECT(2);
  return out;
}

/* One named result as an R vector: texts as character, every number as double. */
static SEXP result_value(TalvenStudy* study, int64_t index) {
  const char* type = talven_study_result_type(study, index);
  const int64_t length = talven_study_result_length(study, index);
  const R_xlen_t n = length > 0 ? (R_xlen_t)length : 0;
  if (type != NULL && strcmp(type, "texts") == 0) {
    SEXP out = PROTECT(Rf_allocVector(STRSXP, n));
    for (R_xlen_t k = 0; k < n; ++k) {
      const char* text = talven_study_result_text(study, index, k);
      SET_STRING_ELT(out, k, Rf_mkCharCE(text != NULL ? text : "", CE_UTF8));
    }
    UNPROTECT(1);
    return out;
  }
  SEXP out = PROTECT(Rf_allocVector(REALSXP, n));
  if (n > 0 && talven_study_result_reals(study, index, REAL(out)) != 0) {
    for (R_xlen_t k = 0; k < n; ++k) REAL(out)[k] = NA_REAL;
  }
  UNPROTECT(1);
  return out;
}

/* Every result of the study, as a list named by the results' names. */
SEXP talven_r_results(SEXP pointer) {
  TalvenStudy* study = study_of(pointer);
  const int64_t count = talven_study_result_count(study);
  const R_xlen_t n = count > 0 ? (R_xlen_t)count : 0;
  SEXP out = PROTECT(Rf_allocVector(VECSXP, n));
  SEXP names = PROTECT(Rf_allocVector(STRSXP, n));
  for (R_xlen_t k = 0; k < n; ++k) {
    SET_VECTOR_ELT(out, k, result_value(study, k));
    const char* name = talven_study_result_name(study, k);
    SET_STRING_ELT(names, k, Rf_mkCharCE(name != NULL ? name : "", CE_UTF8));
  }
  Rf_setAttrib(out, R_NamesSymbol, names);
  UNPROTECT(2);
  return out;
}

/* The regime table of n observations given as columns (NULL for an absent variable). */
SEXP talven_r_recommend(SEXP pointer, SEXP columns, SEXP n_rows, SEXP n_columns) {
  TalvenStudy* study = study_of(pointer);
  const R_xlen_t n = (R_xlen_t)Rf_asReal(n_rows);
  const R_xlen_t width = (R_xlen_t)Rf_asInteger(n_columns);
  const double** pointers =
      (const double**)R_alloc((size_t)XLENGTH(columns) + 1, sizeof(double*));
  for (R_xlen_t k = 0; k < XLENGTH(columns); ++k) {
    SEXP column = VECTOR_ELT(columns, k);
    pointers[k] = Rf_isNull(column) ? NULL : REAL(column);
  }
  SEXP out = PROTECT(Rf_allocMatrix(REALSXP, (int)n, (int)width));
  if (talven_study_recommend(study, (int64_t)n, pointers, REAL(out)) != 0) {
    UNPROTECT(1);
    Rf_error("The regime table cannot be computed.");
  }
  UNPROTECT(1);
  return out;
}

/* Whether the fit's study is still held: false after saveRDS/readRDS, which keep no pointer. */
SEXP talven_r_live(SEXP pointer) {
  return Rf_ScalarLogical(TYPEOF(pointer) == EXTPTRSXP && R_ExternalPtrAddr(pointer) != NULL);
}

static const R_CallMethodDef kCallMethods[] = {
    {"talven_r_fit", (DL_FUNC)&talven_r_fit, 8},
    {"talven_r_results", (DL_FUNC)&talven_r_results, 1},
    {"talven_r_recommend", (DL_FUNC)&talven_r_recommend, 4},
    {"talven_r_live", (DL_FUNC)&talven_r_live, 1},
    {NULL, NULL, 0}};

void R_init_talven(DllInfo* info) {
  R_registerRoutines(info, NULL, kCallMethods, NULL, NULL);
  R_useDynamicSymbols(info, FALSE);
}
