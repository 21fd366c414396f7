/*
 * The C interface between the talven host and a procedure module (libNAME.so).
 *
 * Sequence of one procedure step:
 *   1. The host loads the module and calls mcn_main(anchor). The module stores the anchor and
 *      returns its image information block, which starts with "SAS_Image_Information=" and points
 *      to the procedure header.
 *   2. The host checks the block and the header's name, then calls header->driver(holder).
 *   3. The driver uses only the anchor until it has loaded a support module ("SASPROCI", or
 *      "SASPROCD" for debugging) through anchor->loadSupportModule; the support module's entry
 *      fills the routine table, through which every later host call goes.
 *   4. The driver ends the procedure with table->endProcedure(code, 0) (or anchor->endProcedure
 *      when no table could be had) and returns to the host. The host then ends every reader and
 *      frees every block that the step left open.
 *
 * Handles are opaque host objects. Strings are NUL-terminated unless a length is given. Variable
 * numbers are 1-based positions in their data set. Numeric missing values are NaNs (the host's
 * isMissing tells them apart from numbers). Host routines work on the one step that is running;
 * there is no context argument.
 */
#ifndef TALVEN_HOST_H
#define TALVEN_HOST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TalvenDataSet TalvenDataSet;
typedef struct TalvenReader TalvenReader;
typedef struct TalvenParseHolder TalvenParseHolder;

/* ---- Grammar descriptor: built by the module from static tables, read by the generic parser. */

typedef enum TalvenItemKind {
  TALVEN_ITEM_DATASET = 1, /* option: KEYWORD=data set name                               */
  TALVEN_ITEM_INTEGER = 2, /* option: KEYWORD=number (handed over as a double)            */
  TALVEN_ITEM_REAL = 3,    /* option: KEYWORD=number                                      */
  TALVEN_ITEM_FLAG = 4,    /* option: KEYWORD alone                                        */
  TALVEN_ITEM_VARLIST = 5, /* statement of its own: KEYWORD variable-list ;                */
  /* option: KEYWORD=name of a data set the procedure writes; it need not exist yet */
  TALVEN_ITEM_OUTPUT_DATASET = 6
} TalvenItemKind;

/* What a variable list accepts (TalvenGrammarEntry.numericOnly). */
#define TALVEN_VARLIST_ANY 0     /* variables of either type */
#define TALVEN_VARLIST_NUMERIC 1 /* a character variable in the list is an error */
/* Numeric variables; a character variable with exactly two values among the observations read is
 * presented to the procedure as a numeric variable holding -1 and 1 (the values in SAS's sort
 * order; blank is missing) when the integer option levelsItem is absent or 2. */
#define TALVEN_VARLIST_TWO_LEVELS 2

typedef struct TalvenGrammarEntry {
  const char* keyword; /* upper case, for example "NBOOTSTRAP1" */
  int32_t kind;        /* TalvenItemKind */
  int32_t number;      /* item number, or flag number for TALVEN_ITEM_FLAG */
  int32_t numericOnly; /* varlist: TALVEN_VARLIST_ANY, _NUMERIC or _TWO_LEVELS */
  int32_t levelsItem;  /* TALVEN_VARLIST_TWO_LEVELS: the item number of the level count */
} TalvenGrammarEntry;

typedef struct TalvenGrammar {
  const char* procedure;         /* upper case procedure name, "TALVEN" */
  const char* const* vocabulary; /* every keyword and punctuation of the grammar */
  int32_t vocabularyCount;
  const TalvenGrammarEntry* entries;
  int32_t entryCount;
  int32_t varListDataItem; /* item number of the data set that variable lists name */
} TalvenGrammar;

/* Parse status at or above this value: the statement is unusable. */
#define TALVEN_PARSE_FAILED 999

/* ---- Codes passed with host calls. */
#define TALVEN_ATTR_OBSERVATIONS 3
#define TALVEN_ATTR_VARIABLES 95
#define TALVEN_DECLARE_VARIABLES 70
#define TALVEN_PREPARE_READING 3
#define TALVEN_BIND_DOUBLE 122
#define TALVEN_VAR_NUMERIC 1
#define TALVEN_VAR_CHARACTER 2

/* Procedure end codes. */
#define TALVEN_END_OK 0
#define TALVEN_END_ERROR 3000
#define TALVEN_END_NO_SUPPORT 1012

/* ---- The results of a step, as a procedure hands them to the host for reports beside the
 * listing (the HTML report). Every pointer need only be valid during the call; the host copies
 * what it keeps. Texts are NUL-terminated; NaN is a missing number. */
typedef struct TalvenResultTerm {
  int32_t stage;    /* 1 or 2; contrasts have 1 */
  const char* term; /* full names: "intercept", "age", "o11:a1", "a1", "Contrast1" */
  double estimate;
  double lower; /* NaN: no limit */
  double upper;
  int32_t contrast; /* 1 for a contrast of the stage-1 coefficients, else 0 */
} TalvenResultTerm;

/* A row of the value table (VALUE): kind "optimal", "embedded" or "difference". */
typedef struct TalvenResultValue {
  const char* kind;
  const char* regime;
  double estimate; /* NaN: not estimable */
  double lower;    /* NaN: no interval */
  double upper;
  double followers; /* observations following an embedded regime; NaN on other rows */
  double kept;      /* replicates kept for the row */
} TalvenResultValue;

typedef struct TalvenResultSetting {
  const char* name;  /* as the user writes it: "ALPHA=", "DERIVECI" */
  const char* value; /* as in force, given or defaulted */
} TalvenResultSetting;

/* The model: a role's variables in the order the fit uses them. */
typedef struct TalvenResultRole {
  int32_t stage;            /* 1 or 2; 0 for RESPONSE, which both stages use */
  const char* role;         /* the statement: "MAIN1", "STG2TRT", "RESPONSE" */
  const char* const* names; /* full variable names */
  int32_t count;
} TalvenResultRole;

/* A treatment level of a stage: the values of the stage's treatment variables, as the fit uses
 * them, and the observations with it (at stage 2 within the stage-2 sample). */
typedef struct TalvenResultLevel {
  int32_t stage;
  const double* values; /* one per treatment variable of the stage */
  int64_t count;
} TalvenResultLevel;

typedef struct TalvenResultLeftOut {
  const char* reason; /* "age missing" */
  int64_t count;      /* observations left out for it; one may count under several reasons */
} TalvenResultLeftOut;

typedef struct TalvenStepResults {
  uint32_t size;        /* sizeof(TalvenStepResults) as the module was built */
  int64_t observations; /* in the data set */
  int64_t stage1;
  int64_t stage2;
  int64_t collinear; /* bootstrap samples discarded */
  int32_t intervals; /* 1: the limits were computed, at level 1 - alpha */
  double alpha;
  const TalvenResultTerm* terms; /* the rows of OUTEST=, in its order */
  int32_t termCount;
  /* RULES: each stage's decision rule (its lines separated by '\n') and the lines that give the
   * estimated regime's value; none without RULES. */
  const char* const* rules;
  int32_t ruleCount;
  const char* const* regimeValues;
  int32_t regimeValueCount;
  const TalvenResultSetting* settings; /* the options in force, in the statement's terms */
  int32_t settingCount;
  /* Added later: a host reads them only when size covers them. */
  const TalvenResultRole* roles; /* MAIN1, TAILOR1, STG1TRT, MAIN2, TAILOR2, STG2TRT, STG2SAMPLE,
                                    RESPONSE: those given */
  int32_t roleCount;
  int32_t minimize;                /* 1: smaller outcomes are better */
  const TalvenResultLevel* levels; /* stage 1, then stage 2, each in ascending order of values */
  int32_t levelCount;
  /* Each contrast as the combination it is: "Contrast1 = a1 + 0.5 o11:a1". */
  const char* const* contrasts;
  int32_t contrastCount;
  const TalvenResultLeftOut* leftOut; /* most frequent first */
  int32_t leftOutCount;
  /* Added with VALUE: the value table's rows, none without VALUE. A record whose size ends
   * before these fields has none. */
  const TalvenResultValue* values;
  int32_t valueCount;
  /* Added with text treatments: one per level of `levels`, the text its value stands for when
   * the stage's treatment is a text variable, else null. A record whose size ends before this
   * field has none. */
  const char* const* levelTexts;
} TalvenStepResults;

/* The part of TalvenStepResults that every module hands over. */
#define TALVEN_STEP_RESULTS_FIRST_SIZE offsetof(TalvenStepResults, roles)

/* ---- The routine table, filled by the support module.
 *
 * TALVEN_HOST_ROUTINES lists the routines in table order, one X(needed, result, name, parameters,
 * failure) each. The table's declaration below, the host's tables and the module's completeness
 * check are all made from this one list.
 *   needed   1: every host fills it in; 0: added after the first release, so a module tests it
 *            for null before use (a host built against a shorter table leaves it empty).
 *   failure  what the routine returns when the host cannot serve the call (it never lets an
 *            exception or a crash reach the module); empty for routines without a result.
 * Return conventions: routines that do something return 0 on success and nonzero on failure
 * (with an ERROR in the log when the cause is the user's program or data); routines that ask
 * something return 0, NULL or "" for an unknown item, data set or reader. */
#define TALVEN_HOST_ROUTINES(X)                                                                  \
  /* Records the end code and releases the support module; returns (the module then unwinds). */ \
  X(1, void, endProcedure, (int32_t code, int32_t zero), )                                       \
  /* Parses the running step's statements; logs one ERROR line per problem. */                   \
  X(1, int32_t, parseStatement, (const TalvenGrammar* grammar, TalvenParseHolder* holder),       \
    TALVEN_PARSE_FAILED)                                                                         \
  X(1, int32_t, itemGiven, (int32_t item), 0)                                                    \
  X(1, double, itemNumber, (int32_t item), 0.0)                                                  \
  /* Opens the named data set; null if the item was not given. */                                \
  X(1, TalvenDataSet*, itemDataSet, (int32_t item), NULL)                                        \
  X(1, int32_t, itemVarCount, (int32_t item), 0)                                                 \
  /* Variable number of entry `index` (0-based) of a variable list, in the order written. */     \
  X(1, int32_t, itemVarNumber, (int32_t item, int32_t index), 0)                                 \
  X(1, int32_t, flagSet, (int32_t flag), 0)                                                      \
  /* TALVEN_ATTR_OBSERVATIONS or TALVEN_ATTR_VARIABLES. */                                       \
  X(1, int64_t, dataSetAttribute, (TalvenDataSet * dataSet, int32_t code), -1)                   \
  /* Copies the variable's name (NUL-terminated, at most nameSize-1 chars); 0 on success. */     \
  X(1, int32_t, variableAttributes,                                                              \
    (TalvenDataSet * dataSet, int32_t varNumber, char* name, int32_t nameSize,                   \
     int32_t* nameLength, int32_t* type),                                                        \
    1)                                                                                           \
  X(1, int32_t, declareVariables,                                                                \
    (TalvenDataSet * dataSet, int32_t code, const int32_t* varNumbers, int32_t count), 1)        \
  X(1, int32_t, prepareDataSet, (TalvenDataSet * dataSet, int32_t code, int32_t item), 1)        \
  /* Short data set name for messages, for example "WORK.STUDY". */                              \
  X(1, const char*, dataSetName, (TalvenDataSet * dataSet), "")                                  \
  X(1, TalvenReader*, readerCreate, (TalvenDataSet * dataSet, int32_t count), NULL)              \
  X(1, int32_t, readerBind,                                                                      \
    (TalvenReader * reader, int32_t varNumber, double* target, int32_t length, int32_t type), 1) \
  X(1, int32_t, readerFinish, (TalvenReader * reader), 1)                                        \
  /* 1 while an observation was read, 0 at the end. */                                           \
  X(1, int32_t, readerNext, (TalvenReader * reader), 0)                                          \
  /* Copies the current observation's bound variables into their targets. */                     \
  X(1, int32_t, readerTransfer, (TalvenReader * reader), 1)                                      \
  X(1, void, readerEnd, (TalvenReader * reader), )                                               \
  X(1, int32_t, isMissing, (double value), 0)                                                    \
  /* Null when memory cannot be had. Blocks still held when the step ends are freed by the       \
   * host. */                                                                                    \
  X(1, void*, allocate, (size_t bytes), NULL)                                                    \
  X(1, void, release, (void* block), )                                                           \
  X(1, void, fill, (int32_t byte, void* address, size_t length), )                               \
  X(1, int32_t, compare, (const void* a, const void* b, size_t length), 1)                       \
  /* Turns a blank-padded name field into printable text (trailing blanks become NULs). */       \
  X(1, void, nameToText, (char* field, int32_t length), )                                        \
  /* One log line; the format starts with "%1z" (error), "%2z" (warning) or "%3z" (note). */     \
  X(1, void, log, (const char* format, ...), )                                                   \
  /* Listing: text joins the current line; listingEndLine ends it. */                            \
  X(1, void, listingText, (const char* format, ...), )                                           \
  X(1, void, listingEndLine, (void), )                                                           \
  /* line 0 with null text clears all titles; line 1.. sets that title to text[0..length). */    \
  X(1, void, titles, (int32_t line, const char* text, int32_t length), )                         \
  X(1, void, startListing, (void), )                                                             \
  /* snprintf-like; returns the number of characters written. */                                 \
  X(1, int32_t, format, (char* buffer, int32_t size, const char* format, ...), 0)                \
  /* Writes the output data set named by `item` (a TALVEN_ITEM_OUTPUT_DATASET option): nVars     \
   * variables named `names`, each of type TALVEN_VAR_NUMERIC or TALVEN_VAR_CHARACTER, nObs      \
   * observations. Values are column-major: observation i of variable j is numbers[i + j*nObs]   \
   * for a numeric variable (NaN is missing) and texts[i + j*nObs] for a character one (null is  \
   * empty); the other array may be null when no variable has its type. The data set is replaced \
   * as a whole or not at all. */                                                                \
  X(0, int32_t, writeDataSet,                                                                    \
    (int32_t item, const char* const* names, const int32_t* types, int32_t nVars,                \
     const double* numbers, const char* const* texts, int64_t nObs),                             \
    1)                                                                                           \
  /* `done` of `total` units of a long computation are finished; the host may show it. Cheap     \
   * enough to call once per unit; never logs. */                                                \
  X(0, void, progress, (int32_t done, int32_t total), )                                          \
  /* Logs, as an ERROR line, why a variable that the procedure needs as a number is character,   \
   * when the host knows a reason a user can act on (the first field of a CSV column that is     \
   * neither a number nor a missing value); logs nothing otherwise. */                           \
  X(0, void, explainCharacter, (TalvenDataSet * dataSet, int32_t varNumber), )                   \
  /* Writes the output data set named by `item` from the observations `reader` delivered, in     \
   * the order delivered: each with every variable of the reader's data set as it is (character  \
   * variables included), followed by nVars numeric variables named `names`, column-major:       \
   * observation i of new variable j is numbers[i + j*nObs] (NaN is missing). nObs must be the   \
   * number of observations the reader delivered. Replaced as a whole or not at all, like        \
   * writeDataSet. 0 on success; otherwise the host has logged an ERROR. */                      \
  X(0, int32_t, writeObservations,                                                               \
    (int32_t item, TalvenReader * reader, const char* const* names, int32_t nVars,               \
     const double* numbers, int64_t nObs),                                                       \
    1)                                                                                           \
  /* The results of a run that reached its report, for the host's reports beside the listing;    \
   * called once per run, after the listing is written. Never logs unless the results are        \
   * invalid. */                                                                                 \
  X(0, void, stepResults, (const TalvenStepResults* results), )                                  \
  /* Variable number of factor `factor` (0-based) of entry `index` of a variable list when the    \
   * entry is a product such as x*y, for which itemVarNumber gives 0; 0 after its last factor. */ \
  X(0, int32_t, itemVarFactor, (int32_t item, int32_t index, int32_t factor), 0)                \
  /* The texts of a character variable, one per observation in the order the readers deliver    \
   * them, into values[0 .. capacity) (null: only count them); returns the number of            \
   * observations, or -1 when the variable is not character. Valid until the step ends. */      \
  X(0, int64_t, characterValues,                                                                 \
    (TalvenDataSet * dataSet, int32_t varNumber, const char** values, int64_t capacity), -1)     \
  /* writeObservations with typed added variables, as in writeDataSet: observation i of added    \
   * variable j is numbers[i + j*nObs] when it is TALVEN_VAR_NUMERIC and texts[i + j*nObs] when  \
   * it is TALVEN_VAR_CHARACTER (null is empty). */                                              \
  X(0, int32_t, writeObservationsTyped,                                                          \
    (int32_t item, TalvenReader * reader, const char* const* names, const int32_t* types,        \
     int32_t nVars, const double* numbers, const char* const* texts, int64_t nObs),              \
    1)

/* The arguments are a type and a parameter list, which parentheses would break. */
/* NOLINTNEXTLINE(bugprone-macro-parentheses) */
#define TALVEN_DECLARE_ROUTINE(needed, result, name, parameters, failure) result(*name) parameters;

typedef struct TalvenRoutines {
  uint32_t size; /* sizeof(TalvenRoutines) as the module was built */
  TALVEN_HOST_ROUTINES(TALVEN_DECLARE_ROUTINE)
} TalvenRoutines;

#undef TALVEN_DECLARE_ROUTINE

typedef struct TalvenDebugSettings {
  int32_t level; /* TLKTDBG= digit */
  int32_t print; /* TLKTPRT=P */
} TalvenDebugSettings;

/* Entry of a support module: fills `table`; debug is null for "SASPROCI". 0 on success. */
typedef int32_t (*TalvenSupportEntry)(TalvenRoutines* table, TalvenParseHolder* holder,
                                      const TalvenDebugSettings* debug, void* block16);

/* ---- The anchor: the host entry points a module needs before its routine table is filled. */
typedef struct TalvenAnchor {
  uint32_t size;
  /* Copies the host value `name` (for example "DEBUG") into buffer; its length, or -1 if unset. */
  int32_t (*getHostValue)(const char* name, char* buffer, int32_t bufferSize);
  /* The named support module's entry, or null when it cannot be loaded. */
  TalvenSupportEntry (*loadSupportModule)(const char* name);
  /* One host message line; starts with "%1z", "%2z" or "%3z" like a log format. */
  void (*hostMessage)(const char* text);
  /* Ends the procedure when no routine table exists (code 1012). */
  void (*endProcedure)(int32_t code);
} TalvenAnchor;

/* ---- What mcn_main returns. */
typedef void (*TalvenDriver)(TalvenParseHolder* holder);

typedef struct TalvenProcedureHeader {
  char name[8]; /* procedure name, blank-padded, for example "talven  " */
  TalvenDriver driver;
  int32_t three; /* always 3 */
  const char* notices[3];
} TalvenProcedureHeader;

#define TALVEN_IMAGE_TAG "SAS_Image_Information="
#define TALVEN_IMAGE_TAG_LENGTH 22

typedef struct TalvenImageInformation {
  char tag[TALVEN_IMAGE_TAG_LENGTH]; /* "SAS_Image_Information=", no NUL */
  int32_t marker;
  const char* interfaceVersion; /* "9.00" */
  const char* interfaceRelease; /* "9.00.0001M060102" */
  const char* buildDate;        /* "May  2 2018" */
  const TalvenProcedureHeader* header;
} TalvenImageInformation;

typedef const TalvenImageInformation* (*TalvenMcnMain)(const TalvenAnchor* anchor);

#ifdef __cplusplus
}
#endif

#endif /* TALVEN_HOST_H */
