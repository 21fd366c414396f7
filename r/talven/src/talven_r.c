/* The R side of the study layer's C interface: one call runs every step of an analysis and
 * returns the study as an external pointer; the others read its messages and results. Errors and
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

static const char* const kRoles[] = {"MAIN1",    "TAILOR1", "MAIN2",   "TAILOR2",
                                     "RESPONSE", "STG1TRT", "STG2TRT", "STG2SAMPLE"};

/* names: the data's variables; columns: a list with a double vector or NULL per variable;
 * lists: a named list of 0-based integer vectors per role; options: a named double vector;
 * contrasts: a double matrix or NULL; contrast_names: a character vector or NULL; progress: a
 * logical. Returns list(study, ok, interrupted). */
SEXP talven_r_fit(SEXP names, SEXP columns, SEXP lists, SEXP options, SEXP contrasts,
                  SEXP contrast_names, SEXP progress) {
  TalvenStudy* study = talven_study_new();
  if (study == NULL) Rf_error("Unable to allocate memory for the study.");
  SEXP pointer = PROTECT(R_MakeExternalPtr(study, R_NilValue, R_NilValue));
  R_RegisterCFinalizerEx(pointer, finalize_study, TRUE);

  int ok = 1;
  const R_xlen_t n_names = XLENGTH(names);
  for (R_xlen_t k = 0; k < n_names && ok; ++k) {
    ok = talven_study_add_column(study, Rf_translateCharUTF8(STRING_ELT(names, k))) >= 0;
  }
  SEXP list_names = Rf_getAttrib(lists, R_NamesSymbol);
  for (R_xlen_t k = 0; k < XLENGTH(lists) && ok; ++k) {
    SEXP list = VECTOR_ELT(lists, k);
    if (Rf_isNull(list)) continue;
    const char* role = CHAR(STRING_ELT(list_names, k));
    int32_t number = 0;
    for (int r = 0; r < 8; ++r) {
      if (strcmp(role, kRoles[r]) == 0) number = r + 1;
    }
    ok = talven_study_set_list(study, number, (int32_t)XLENGTH(list), INTEGER(list)) == 0;
  }
  SEXP option_names = Rf_getAttrib(options, R_NamesSymbol);
  for (R_xlen_t k = 0; k < XLENGTH(options) && ok; ++k) {
    ok = talven_study_set_option(study, CHAR(STRING_ELT(option_names, k)), REAL(options)[k]) == 0;
  }
  int n_contrasts = 0, n_contrast_cols = 0;
  if (ok && !Rf_isNull(contrasts)) {
    SEXP dims = Rf_getAttrib(contrasts, R_DimSymbol);
    n_contrasts = INTEGER(dims)[0];
    n_contrast_cols = INTEGER(dims)[1];
    const char** texts = NULL;
    if (!Rf_isNull(contrast_names)) {
      texts = (const char**)R_alloc((size_t)n_contrast_cols + 1, sizeof(char*));
      for (int j = 0; j < n_contrast_cols; ++j) {
        texts[j] = Rf_translateCharUTF8(STRING_ELT(contrast_names, j));
      }
    }
    ok = talven_study_set_contrast_columns(study, n_contrast_cols, texts, NULL) == 0;
  }
  ok = ok && talven_study_check_options(study) == 0 && talven_study_check_model(study) == 0;
  if (ok) {
    const double** pointers = (const double**)R_alloc((size_t)n_names + 1, sizeof(double*));
    R_xlen_t n = 0;
    for (R_xlen_t k = 0; k < n_names; ++k) {
      SEXP column = VECTOR_ELT(columns, k);
      pointers[k] = Rf_isNull(column) ? NULL : REAL(column);
      if (!Rf_isNull(column)) n = XLENGTH(column);
    }
    ok = talven_study_add_columns(study, (int64_t)n, pointers) == 0 &&
         talven_study_end_rows(study) == 0;
  }
  if (ok && !Rf_isNull(contrasts)) {
    ok = talven_study_set_contrasts(study, n_contrasts, REAL(contrasts)) == 0;
  }
  int interrupted = 0;
  ok = ok && talven_study_prepare(study) == 0 &&
       talven_r_run_interruptible(study, Rf_asLogical(progress) == TRUE, &interrupted) == 0;

  SEXP out = PROTECT(Rf_allocVector(VECSXP, 3));
  SET_VECTOR_ELT(out, 0, pointer);
  SET_VECTOR_ELT(out, 1, Rf_ScalarLogical(ok));
  SET_VECTOR_ELT(out, 2, Rf_ScalarLogical(interrupted));
  UNPROTECT(2);
  return out;
}

/* Every message so far: list(severity, text). */
SEXP talven_r_messages(SEXP pointer) {
  TalvenStudy* study = study_of(pointer);
  const R_xlen_t count = (R_xlen_t)talven_study_text_count(study, TALVEN_TEXT_MESSAGE);
  SEXP severity = PROTECT(Rf_allocVector(INTSXP, count));
  SEXP text = PROTECT(Rf_allocVector(STRSXP, count));
  for (R_xlen_t k = 0; k < count; ++k) {
    int32_t level = 0;
    const char* message = talven_study_text(study, TALVEN_TEXT_MESSAGE, k, &level);
    INTEGER(severity)[k] = level;
    SET_STRING_ELT(text, k, Rf_mkCharCE(message != NULL ? message : "", CE_UTF8));
  }
  SEXP out = PROTECT(Rf_allocVector(VECSXP, 2));
  SET_VECTOR_ELT(out, 0, severity);
  SET_VECTOR_ELT(out, 1, text);
  UNPROTECT(3);
  return out;
}

SEXP talven_r_texts(SEXP pointer, SEXP which) {
  TalvenStudy* study = study_of(pointer);
  const int32_t kind = Rf_asInteger(which);
  const int64_t count = talven_study_text_count(study, kind);
  const R_xlen_t n = count > 0 ? (R_xlen_t)count : 0;
  SEXP out = PROTECT(Rf_allocVector(STRSXP, n));
  for (R_xlen_t k = 0; k < n; ++k) {
    const char* text = talven_study_text(study, kind, k, NULL);
    SET_STRING_ELT(out, k, Rf_mkCharCE(text != NULL ? text : "", CE_UTF8));
  }
  UNPROTECT(1);
  return out;
}

SEXP talven_r_count(SEXP pointer, SEXP which) {
  return Rf_ScalarReal((double)talven_study_count(study_of(pointer), Rf_asInteger(which)));
}

SEXP talven_r_number(SEXP pointer, SEXP which) {
  return Rf_ScalarReal(talven_study_number(study_of(pointer), Rf_asInteger(which)));
}

SEXP talven_r_values(SEXP pointer, SEXP which, SEXP count) {
  TalvenStudy* study = study_of(pointer);
  const R_xlen_t n = (R_xlen_t)Rf_asReal(count);
  SEXP out = PROTECT(Rf_allocVector(REALSXP, n));
  if (talven_study_values(study, Rf_asInteger(which), REAL(out)) != 0) {
    UNPROTECT(1);
    Rf_error("The results of the analysis cannot be read.");
  }
  UNPROTECT(1);
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

static const R_CallMethodDef kCallMethods[] = {
    {"talven_r_fit", (DL_FUNC)&talven_r_fit, 7},
    {"talven_r_messages", (DL_FUNC)&talven_r_messages, 1},
    {"talven_r_texts", (DL_FUNC)&talven_r_texts, 2},
    {"talven_r_count", (DL_FUNC)&talven_r_count, 2},
    {"talven_r_number", (DL_FUNC)&talven_r_number, 2},
    {"talven_r_values", (DL_FUNC)&talven_r_values, 3},
    {"talven_r_recommend", (DL_FUNC)&talven_r_recommend, 4},
    {NULL, NULL, 0}};

void R_init_talven(DllInfo* info) {
  R_registerRoutines(info, NULL, kCallMethods, NULL, NULL);
  R_useDynamicSymbols(info, FALSE);
}
