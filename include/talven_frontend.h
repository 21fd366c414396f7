/*
 * The TALVEN study layer: one two-stage SMART analysis from named numeric columns to estimates,
 * limits, counts, labels, notes, warnings and the diagnostic text. Every front end (the PROC TALVEN
 * module, the Python package, the R package) goes through it, so that the data rules are written
 * once and the same data, options and SEED give the same bits everywhere.
 *
 * Conventions, stated once for every function below:
 *  - A TalvenStudy is created by talven_study_new and freed by talven_study_free; the caller owns
 *    it. Everything else the layer hands out (texts, arrays filled by the caller) is either copied
 *    into caller memory or, for texts, owned by the study and valid until the next call on that
 *    study or its release, whichever comes first.
 *  - Arrays passed in are only read during the call; the layer never keeps a pointer to caller
 *    data. Matrices are column-major: element (i, j) of an r-row matrix is at index i + j*r.
 *  - Missing values are NaN.
 *  - Functions that can fail return 0 on success and -1 on failure. A failure has always been
 *    explained by at least one message of severity TALVEN_MESSAGE_ERROR first. After a failure the
 *    study refuses every further step (each returns -1 without a new message); its results and
 *    messages can still be read.
 *  - No function throws, prints or ends the process; a null study is refused (-1, 0 or null).
 *  - Not thread-safe: use one study from one thread at a time, and run one analysis at a time per
 *    process (the compute library keeps process-wide state).
 *
 * The simplest use: talven_study_new; talven_study_add_column for each variable; for each role
 * talven_study_set_role; talven_study_set_option for each option given; optionally
 * talven_study_set_contrast_columns; then talven_study_analyse with the data as whole columns,
 * which takes every step below in its order; then the results by name (talven_study_result_*).
 *
 * The steps of an analysis, in this order:
 *   talven_study_new; talven_study_add_column for each variable of the data (names only);
 *   talven_study_set_list for the roles; talven_study_set_option; optionally
 *   talven_study_set_contrast_columns;
 *   talven_study_check_options; talven_study_check_model;
 *   the observations: talven_study_add_columns (whole columns) or talven_study_add_row (one
 *   observation at a time, values in the order of talven_study_reading_order);
 *   talven_study_end_rows; optionally talven_study_set_contrasts;
 *   talven_study_prepare; talven_study_run; then the results.
 */
#ifndef TALVEN_FRONTEND_H
#define TALVEN_FRONTEND_H

#include <stdint.h>

#if defined(_WIN32)
#define TALVEN_FRONTEND_API __declspec(dllexport)
#else
#define TALVEN_FRONTEND_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this interface: raised whenever a function or a meaning changes. Functions are
 * only ever added within one version. */
#define TALVEN_FRONTEND_VERSION 2

typedef struct TalvenStudy TalvenStudy;

/* Message severities. A plain line continues the message before it (the diagnostic block). A
 * progress line marks the start and end of the computation; front ends other than the procedure
 * may drop it. */
enum {
  TALVEN_MESSAGE_PLAIN = 0,
  TALVEN_MESSAGE_ERROR = 1,
  TALVEN_MESSAGE_WARNING = 2,
  TALVEN_MESSAGE_NOTE = 3,
  TALVEN_MESSAGE_PROGRESS = 4
};

/* Roles of variable lists. */
enum {
  TALVEN_ROLE_MAIN1 = 1,
  TALVEN_ROLE_TAILOR1 = 2,
  TALVEN_ROLE_MAIN2 = 3,
  TALVEN_ROLE_TAILOR2 = 4,
  TALVEN_ROLE_RESPONSE = 5,
  TALVEN_ROLE_STG1TRT = 6,
  TALVEN_ROLE_STG2TRT = 7,
  TALVEN_ROLE_STG2SAMPLE = 8
};

/* Counts and numbers (talven_study_count). */
enum {
  TALVEN_COUNT_COLUMNS = 1,      /* variables added with talven_study_add_column */
  TALVEN_COUNT_READ_WIDTH = 2,   /* values of one observation for talven_study_add_row */
  TALVEN_COUNT_OBSERVATIONS = 3, /* observations delivered */
  TALVEN_COUNT_STAGE1 = 4,       /* n1: observations used at stage 1 */
  TALVEN_COUNT_STAGE2 = 5,       /* n2: observations of the stage-2 sample */
  TALVEN_COUNT_COLLINEAR = 6,    /* main bootstrap replicates skipped as collinear */
  TALVEN_COUNT_SEED = 7,         /* the seed of the bootstrap (0 without intervals) */
  TALVEN_COUNT_P1 = 8,           /* stage-1 coefficients */
  TALVEN_COUNT_P2 = 9,           /* stage-2 coefficients */
  TALVEN_COUNT_CONTRASTS = 10,
  TALVEN_COUNT_K1 = 11, /* treatments at stage 1 */
  TALVEN_COUNT_K2 = 12,
  TALVEN_COUNT_INTERVALS = 13,   /* 1 when intervals are computed */
  TALVEN_COUNT_TABLE_ROWS = 14,  /* rows of the estimate table (as OUTEST=) */
  TALVEN_COUNT_OUT_COLUMNS = 15, /* columns of the regime table (as OUT=) */
  TALVEN_COUNT_NBOOTSTRAP1 = 16,
  TALVEN_COUNT_NBOOTSTRAP2 = 17,
  TALVEN_COUNT_NGRID = 18,
  TALVEN_COUNT_CORES = 19,
  TALVEN_COUNT_REFUSED_CONTRAST_COLUMN = 20, /* 1-based column refused as character, or 0 */
  TALVEN_COUNT_INTERRUPTED = 21 /* 1 when talven_study_run was stopped by talven_request_stop */
};

/* Real numbers (talven_study_number). */
enum {
  TALVEN_NUMBER_ALPHA = 1,
  TALVEN_NUMBER_GRID_SCALE = 2,
  TALVEN_NUMBER_REGIME_VALUE = 3, /* mean VALUE1 over the stage-1 observations */
  TALVEN_NUMBER_MEAN_OUTCOME = 4  /* mean observed outcome over the same observations */
};

/* Arrays (talven_study_values); the count of elements is given with each. */
enum {
  TALVEN_VALUES_BETA1 = 1,          /* P1 */
  TALVEN_VALUES_BETA2 = 2,          /* P2 */
  TALVEN_VALUES_UPPER = 3,          /* P1 + CONTRASTS, stage-1 coefficients then contrasts */
  TALVEN_VALUES_LOWER = 4,          /* P1 + CONTRASTS */
  TALVEN_VALUES_CONTRASTS = 5,      /* CONTRASTS estimates */
  TALVEN_VALUES_TABLE_STAGE = 6,    /* TABLE_ROWS */
  TALVEN_VALUES_TABLE_ESTIMATE = 7, /* TABLE_ROWS */
  TALVEN_VALUES_TABLE_LOWER = 8,    /* TABLE_ROWS; NaN where there is no limit */
  TALVEN_VALUES_TABLE_UPPER = 9,    /* TABLE_ROWS */
  /* After talven_study_end_rows: each stage's level table, (K - 1) x K, column k the treatment
   * values of level k (levels by first appearance), and the observations of each level: at stage
   * 1 among the observations used, at stage 2 within the stage-2 sample. */
  TALVEN_VALUES_LEVELS1 = 10, /* (K1 - 1) x K1 */
  TALVEN_VALUES_LEVELS2 = 11, /* (K2 - 1) x K2 */
  TALVEN_VALUES_ARMS1 = 12,   /* K1 */
  TALVEN_VALUES_ARMS2 = 13,   /* K2 */
  /* Observations left out for each reason of TALVEN_TEXT_LEFT_OUT, in its order. */
  TALVEN_VALUES_LEFT_OUT = 14
};

/* Texts (talven_study_text_count, talven_study_text). */
enum {
  TALVEN_TEXT_MESSAGE = 1,    /* every message so far, in order */
  TALVEN_TEXT_TABLE_TERM = 2, /* Term of each estimate-table row (full names) */
  TALVEN_TEXT_OUT_COLUMN = 3, /* names of the regime table's columns */
  TALVEN_TEXT_RULE1 = 4,      /* the stage-1 decision rule, one line per element */
  TALVEN_TEXT_RULE2 = 5,
  TALVEN_TEXT_OUT_LEVELS = 6, /* per stage: which level each Q-value column stands for */
  TALVEN_TEXT_DIAGNOSTIC = 7, /* the analysis' diagnostic lines after a failed run */
  TALVEN_TEXT_COLLINEAR = 8,  /* the collinearity warning of the report, when there is one */
  TALVEN_TEXT_COLUMN = 9,     /* the variables' names */
  /* After talven_study_end_rows: why observations were left out ("age missing", "s neither 0
   * nor 1"), most frequent first, every reason (the log's note shows the first ten); an
   * observation with several missing values counts under each. */
  TALVEN_TEXT_LEFT_OUT = 10
};

typedef void (*TalvenMessageCallback)(int32_t severity, const char* text, void* context);
/* Memory for the per-subject arrays; returns null when none can be had. */
typedef void* (*TalvenAllocate)(uint64_t bytes, void* context);
typedef void (*TalvenRelease)(void* block, void* context);
/* Called after each main bootstrap replicate; must return promptly and not call the layer. */
typedef void (*TalvenProgressCallback)(int32_t done, int32_t total, void* context);

/* TALVEN_FRONTEND_VERSION of the library loaded, for a front end built against another header. */
TALVEN_FRONTEND_API int32_t talven_frontend_version(void);

/* A new, empty study; null only when memory is exhausted. */
TALVEN_FRONTEND_API TalvenStudy* talven_study_new(void);
TALVEN_FRONTEND_API void talven_study_free(TalvenStudy* study);

/* Each message is also sent to the callback, at once, as it arises. */
TALVEN_FRONTEND_API void talven_study_on_message(TalvenStudy* study, TalvenMessageCallback callback,
                                                 void* context);
/* Replaces malloc/free for the per-subject arrays; set before the first observation. */
TALVEN_FRONTEND_API void talven_study_use_memory(TalvenStudy* study, TalvenAllocate allocate,
                                                 TalvenRelease release, void* context);
TALVEN_FRONTEND_API void talven_study_on_progress(TalvenStudy* study,
                                                  TalvenProgressCallback callback, void* context);

/* The name used for the data in messages ("WORK.STUDY"); default "DATA". */
TALVEN_FRONTEND_API int32_t talven_study_set_data_name(TalvenStudy* study, const char* name);
/* Adds a variable of the data; returns its index (from 0), or -1. */
TALVEN_FRONTEND_API int32_t talven_study_add_column(TalvenStudy* study, const char* name);
/* A product of variables as one term of MAIN1, TAILOR1, MAIN2 or TAILOR2: count (2 or more)
 * column indices of variables, in the order written. Returns the term's column index, for
 * talven_study_set_list, or -1; the same factors in the same order give the same index. The term is
 * named "x*y" everywhere (labels, the estimate table, the regime table, messages); its value is
 * the product of its factors' values, left to right in double precision, and missing when any
 * factor is. Role checks and the complete-case rules treat its factors as used variables. Call
 * after every talven_study_add_column: products are numbered after the variables. */
TALVEN_FRONTEND_API int32_t talven_study_add_product(TalvenStudy* study, int32_t count,
                                                     const int32_t* factors);
/* A term as a front end's user writes it: a variable name or a product "x*y*z" of names (case
 * aside, blanks around '*' allowed). Returns its column index or -1 with an error naming the
 * term. */
TALVEN_FRONTEND_API int32_t talven_study_add_term(TalvenStudy* study, const char* term);
/* The variables of a role, as column indices; a role never set is absent. */
TALVEN_FRONTEND_API int32_t talven_study_set_list(TalvenStudy* study, int32_t role, int32_t count,
                                                  const int32_t* columns);
/* A role by its statement name (case aside): MAIN1, TAILOR1, MAIN2, TAILOR2, RESPONSE, STG1TRT,
 * STG2TRT, STG2SAMPLE; as talven_study_set_list otherwise. An unknown name fails. */
TALVEN_FRONTEND_API int32_t talven_study_set_role(TalvenStudy* study, const char* role,
                                                  int32_t count, const int32_t* columns);
/* An option by its statement name (case aside), as the study layer's option table declares it:
 * integers (truncated toward zero), reals, SEED, and flags (on when the value is not 0) such as
 * DERIVECI, MINIMIZE and OUT (keep every observation for the regime table). An unknown name
 * fails. */
TALVEN_FRONTEND_API int32_t talven_study_set_option(TalvenStudy* study, const char* name,
                                                    double value);
/* The contrast table's variables: names (for the order check) and, where not null, a flag per
 * column that is non-zero for a character variable, which is refused. */
TALVEN_FRONTEND_API int32_t talven_study_set_contrast_columns(TalvenStudy* study, int32_t count,
                                                              const char* const* names,
                                                              const int32_t* character);

/* The values of a text variable (column), one per observation, before the model is checked; a
 * null or blank text is missing, trailing blanks never count. A treatment variable of a stage with
 * two treatments that holds two values is coded -1 and 1 in byte order of its values, with a NOTE
 * saying so; a text variable anywhere else is refused when the model is checked. levels (null
 * when level_count is 0) is the front end's own order of the categories, an R factor's or a
 * pandas categorical's: when it puts the value coded 1 first, a second NOTE says which value is
 * -1. The coded variable's entry in talven_study_add_columns or talven_study_analyse may be null;
 * talven_study_add_row takes its codes. The result coding (Variable, Value, Code) lists every
 * coded value. */
TALVEN_FRONTEND_API int32_t talven_study_set_text_column(TalvenStudy* study, int32_t column,
                                                         int64_t n, const char* const* values,
                                                         int32_t level_count,
                                                         const char* const* levels);

/* The options, then the model (lists, roles, grid, contrast columns), in the order of the
 * procedure's checks: the first problem stops. */
TALVEN_FRONTEND_API int32_t talven_study_check_options(TalvenStudy* study);
TALVEN_FRONTEND_API int32_t talven_study_check_model(TalvenStudy* study);

/* The column index of each value of an observation for talven_study_add_row (READ_WIDTH of them);
 * a variable may appear more than once, and the factors of products come last. */
TALVEN_FRONTEND_API int32_t talven_study_reading_order(const TalvenStudy* study, int32_t* columns);
/* Room for n observations in advance, so that the subject arrays are never copied. */
TALVEN_FRONTEND_API int32_t talven_study_expect_rows(TalvenStudy* study, int64_t n);
TALVEN_FRONTEND_API int32_t talven_study_add_row(TalvenStudy* study, const double* values);
/* n observations as whole columns: columns[c] is column c's n values (null for a column in no
 * role). */
TALVEN_FRONTEND_API int32_t talven_study_add_columns(TalvenStudy* study, int64_t n,
                                                     const double* const* columns);
/* Complete cases, the stage-2 sample, the treatment levels and codes; notes and warnings. */
TALVEN_FRONTEND_API int32_t talven_study_end_rows(TalvenStudy* study);
/* rows contrasts of the stage-1 coefficients, one per row, as many columns as declared. */
TALVEN_FRONTEND_API int32_t talven_study_set_contrasts(TalvenStudy* study, int64_t rows,
                                                       const double* values);

/* Every step from talven_study_check_options to talven_study_run, in order, with n observations
 * as whole columns (as talven_study_add_columns) and, when contrast columns were declared,
 * contrast_rows contrasts (as talven_study_set_contrasts). Stops at the first failure. */
TALVEN_FRONTEND_API int32_t talven_study_analyse(TalvenStudy* study, int64_t n,
                                                 const double* const* columns,
                                                 int64_t contrast_rows, const double* contrasts);

/* The points at which talven_study_analyse_with hands control to the front end, in this order. */
enum {
  TALVEN_STEP_OPTIONS_CHECKED = 1, /* the options are read and checked */
  TALVEN_STEP_MODEL_CHECKED = 2,   /* the model is checked: the reading order is known */
  TALVEN_STEP_ROWS = 3,            /* deliver the observations: talven_study_expect_rows,
                                      talven_study_add_row or talven_study_add_columns */
  TALVEN_STEP_ROWS_ENDED = 4,      /* the data rules are applied: the counts are known */
  TALVEN_STEP_CONTRASTS = 5,       /* set the contrasts, when contrast columns were declared */
  TALVEN_STEP_BEFORE_RUN = 6       /* last chance before talven_study_prepare and the run */
};
/* Does the front end's part at one step; returns 0 to go on. Anything else stops the analysis
 * without a message of the layer: the front end has explained why. It must not throw. */
typedef int32_t (*TalvenStepCallback)(int32_t step, TalvenStudy* study, void* context);
/* The analysis in the layer's order of steps, with the front end's part at each TALVEN_STEP_*:
 * what talven_study_analyse does for data held as whole columns, for a front end that reads its
 * observations one at a time or has checks of its own between the steps. */
TALVEN_FRONTEND_API int32_t talven_study_analyse_with(TalvenStudy* study,
                                                      TalvenStepCallback callback, void* context);

/* The version check, the seed, MINIMIZE; then the analysis itself. */
TALVEN_FRONTEND_API int32_t talven_study_prepare(TalvenStudy* study);
TALVEN_FRONTEND_API int32_t talven_study_run(TalvenStudy* study);

TALVEN_FRONTEND_API int64_t talven_study_count(const TalvenStudy* study, int32_t which);
TALVEN_FRONTEND_API double talven_study_number(const TalvenStudy* study, int32_t which);
/* Copies the array into out (room for its count); returns -1 for an unknown array or before the
 * analysis has run. */
TALVEN_FRONTEND_API int32_t talven_study_values(const TalvenStudy* study, int32_t which,
                                                double* out);
TALVEN_FRONTEND_API int64_t talven_study_text_count(const TalvenStudy* study, int32_t which);
/* Text `index` of a kind, or null; the severity of a message through *severity when not null. */
TALVEN_FRONTEND_API const char* talven_study_text(const TalvenStudy* study, int32_t which,
                                                  int64_t index, int32_t* severity);

/* Results by name. talven_study_result_count takes a snapshot of every result available now and
 * returns their number (-1 for a null study); the other functions read that snapshot by index,
 * from 0. A name with a dot is a column of a table: "coef.Estimate" is column Estimate of the
 * estimate table coef (as OUTEST=). The type of a result is one of
 *   "count"  one integer;            "number"  one real;
 *   "integers", "reals"  an array of numbers;  "texts"  an array of texts.
 * Among them: the table messages (Severity: error, warning, note, text or progress; Text),
 * n_observations, n_stage1, n_stage2, n_collinear, the options as in force (under
 * their Python and R argument names), columns, diagnostic, the table coding of text treatments
 * (Variable, Value, Code -1 or 1) once the model is checked; once the observations are in,
 * levels1, levels2, arms1, arms2 (as TALVEN_VALUES_LEVELS1 ... TALVEN_VALUES_ARMS2) and the table
 * left_out (Reason, Observations); after a run the tables coef and
 * settings (the options in force as the report shows them), rules1, rules2, levels,
 * out_columns, collinear, regime_value and mean_outcome, the table out_texts (Column, Code,
 * Value: the text a text treatment's code stands for in REC1 or REC2); per stage s the fitted Q-value at the
 * treatment received (fitteds), its residual (residualss: of the pseudo-outcome at stage 1) and
 * the observation numbers from 1 of the subjects of that stage's fit (rowss); with VALUE the
 * table value (Kind: optimal, embedded or difference; Regime; A1, A2; Estimate, Lower, Upper; N;
 * Kept; M, PHat, MAlpha), in the presentation order of the treatments. Texts are owned by the study and valid
 * until the next snapshot. */
TALVEN_FRONTEND_API int64_t talven_study_result_count(const TalvenStudy* study);
TALVEN_FRONTEND_API const char* talven_study_result_name(const TalvenStudy* study, int64_t index);
TALVEN_FRONTEND_API const char* talven_study_result_type(const TalvenStudy* study, int64_t index);
/* Elements of the result: 1 for a scalar; -1 for an index outside the snapshot. */
TALVEN_FRONTEND_API int64_t talven_study_result_length(const TalvenStudy* study, int64_t index);
/* Copies a numeric result (length elements) into out. */
TALVEN_FRONTEND_API int32_t talven_study_result_reals(const TalvenStudy* study, int64_t index,
                                                      double* out);
TALVEN_FRONTEND_API const char* talven_study_result_text(const TalvenStudy* study, int64_t index,
                                                         int64_t element);

/* The regime table (OUT_COLUMNS columns) of every observation delivered, with the OUT option:
 * out has room for OBSERVATIONS x OUT_COLUMNS. */
TALVEN_FRONTEND_API int32_t talven_study_out_values(const TalvenStudy* study, double* out);
/* The regime table of n new observations given as columns (as talven_study_add_columns; null for
 * an absent column). Q-values need the covariates; _STAGE1 and _STAGE2 are NaN unless every
 * variable of the fits is present. */
TALVEN_FRONTEND_API int32_t talven_study_recommend(const TalvenStudy* study, int64_t n,
                                                   const double* const* columns, double* out);

/* Stops the analysis that runs (talven_study_run, in any thread) at its next batch of bootstrap
 * replicates: the run fails with the error "The analysis was interrupted." and INTERRUPTED 1.
 * With stop 0, withdraws a request that came too late to stop anything. Safe from a signal handler
 * and from any thread; the request holds as the compute library's stopkestrion describes: until
 * the next analysis returns, so a request made just before talven_study_run stops it at once. */
TALVEN_FRONTEND_API void talven_request_stop(int32_t stop);

#ifdef __cplusplus
}
#endif

#endif /* TALVEN_FRONTEND_H */
