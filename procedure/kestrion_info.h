// The analysis record of one procedure step and the functions that fill, print and release it.
#ifndef TALVEN_PROCEDURE_KESTRION_INFO_H
#define TALVEN_PROCEDURE_KESTRION_INFO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "procedure/regime.h"
#include "procedure/stage_model.h"
#include "talven_host.h"

namespace talven {

inline constexpr int kNameLength = 12;
inline constexpr int kMessageLength = 3001;
inline constexpr double kLevelTolerance = 1e-8;
inline constexpr const char* kNotices[3] = {"Copyright (c) 2018", "The TALVEN authors",
                                            "TALVEN project"};

// A 12-character blank-padded name; the extra byte keeps it a C string once the host has turned
// the trailing blanks into NULs, even for a name of 12 characters.
struct NameField {
  char text[kNameLength + 1];
};

// Matrices live in host memory as one column-major block each, the layout the library reads, so
// no copy is needed before the call. Element (i, j) of an r-row matrix is data[i + j * r].
inline double& at(double* data, int64_t rows, int64_t i, int64_t j) {
  return data[i + j * rows];
}

struct KESTRIONINFOSTR {
  uint8_t deriveCI = 0;
  int32_t nDataVars = 0;
  int32_t nReadVars = 0;
  int32_t nContrastCols = 0;
  int32_t hasContrast = 0;
  int32_t hasMain1 = 0;
  int32_t hasMain2 = 0;
  int32_t hasStg2Sample = 0;
  int32_t cores = 0;  // CORES= as given; 0 when absent: every usable core
  int32_t nObs = 0;
  int32_t n1 = 0;
  int32_t n2 = 0;
  int32_t fixedTwo = 2;
  int32_t nBootstrap1 = 1000;
  int32_t nBootstrap2 = 1000;
  int32_t nCollinear = 0;
  int32_t nGrid = 10;
  int32_t nContrasts = 0;
  int32_t K1 = 2;
  int32_t K2 = 2;
  int32_t p10 = 0;
  int32_t p11 = 0;
  int32_t p20 = 0;
  int32_t p21 = 0;
  double alpha = 0.05;
  double gridScale = 2.58;
  double* obsBuffer = nullptr;
  double* contrastObsBuffer = nullptr;
  double* H10 = nullptr;       // n1 x p10
  double* H11 = nullptr;       // n1 x p11
  double* inputH20 = nullptr;  // n1 x p20
  double* inputH21 = nullptr;  // n1 x p21
  double* Y1 = nullptr;
  double* inputY2 = nullptr;
  double* levels1 = nullptr;         // (K1 - 1) x K1
  double* levels2 = nullptr;         // (K2 - 1) x K2
  double* contrastMatrix = nullptr;  // nContrasts x nContrastCols
  NameField* main1Names = nullptr;
  NameField* tailor1Names = nullptr;
  NameField* main2Names = nullptr;
  NameField* tailor2Names = nullptr;
  NameField* stg1TrtNames = nullptr;
  NameField* stg2TrtNames = nullptr;
  int32_t* readVarNumbers = nullptr;
  int32_t* contrastVarNumbers = nullptr;
  int32_t* respStatus = nullptr;
  int32_t* A1 = nullptr;
  int32_t* inputA2 = nullptr;
  double* beta1hat = nullptr;
  double* beta2hat = nullptr;
  double* upper = nullptr;
  double* lower = nullptr;
  TalvenReader* dataReader = nullptr;
  TalvenDataSet* dataSet = nullptr;
  TalvenReader* contrastReader = nullptr;
  TalvenDataSet* contrastSet = nullptr;
  // SEED=: 0 when not given.
  int32_t seed = 0;
  int32_t hasOutest = 0;
  // Full variable names of each stage's model, for messages and data sets (the NameFields are cut).
  StageNames stage1_names;
  StageNames stage2_names;
  // Distinct treatment levels seen among the observations used at each stage.
  int32_t levels1_found = 0;
  int32_t levels2_found = 0;
  bool has_out = false;   // OUT=
  bool rules = false;     // RULES
  bool minimize = false;  // MINIMIZE
  // With OUT=: per observation delivered, its covariates (MAIN1, TAILOR1, MAIN2, TAILOR2 values
  // in that order, NaN when missing) and whether it entered the stage-1 and stage-2 fits.
  int64_t n_delivered = 0;
  double* out_covariates = nullptr;
  int32_t* out_fits = nullptr;  // two per observation

  int32_t covariate_width() const { return p10 + p11 + p20 + p21; }

  int32_t p1() const { return p10 + K1 * (p11 + 1); }
  int32_t p2() const { return p20 + K2 * (p21 + 1); }
};

// Statement grammar handed to the host's parser.
const TalvenGrammar& talven_grammar();
// Item numbers of OUTEST= and OUT=.
int32_t outest_item();
int32_t out_item();

// The full name of variable `number` of a data set.
std::string variable_name(TalvenDataSet* data_set, int32_t number);

// Reads, defaults and checks every option and variable list; allocates the record's option-sized
// arrays. Stops the run on the first error.
void read_options(KESTRIONINFOSTR& info);

void getKestrionData(KESTRIONINFOSTR& info);
void getContrastMatrix(KESTRIONINFOSTR& info);
void kestrionOutput(KESTRIONINFOSTR& info);
// Contrast m (from 0) of the stage-1 estimates, summed as the listing prints it.
double contrast_estimate(const KESTRIONINFOSTR& info, int32_t m);
// One observation of OUTEST=.
struct EstimateRow {
  int32_t stage = 1;  // contrasts have 1
  std::string term;   // full names
  double estimate = 0.0;
  double lower = 0.0;  // NaN where the listing shows no limit
  double upper = 0.0;
  bool contrast = false;
};
// The listing's tables as rows: stage-1 coefficients, contrasts, then stage-2 coefficients.
std::vector<EstimateRow> estimate_rows(const KESTRIONINFOSTR& info);
// Hands the estimates, in listing order, to the host as the OUTEST= data set; stops the run when
// the host cannot write it.
void writeOutest(KESTRIONINFOSTR& info);
// Hands the host what the listing showed, as data, for its reports beside the listing; nothing
// when the host does not take it.
void handStepResults(const KESTRIONINFOSTR& info);
void kestrionNullify(KESTRIONINFOSTR& info);

// Stage 1 or 2 of the fitted model, for the regime's Q-values and rules.
StageFit stage_fit(const KESTRIONINFOSTR& info, int stage);
// The observations of the stage-1 fit: the mean of their VALUE1 and of their outcome.
struct RegimeValue {
  double estimated = 0.0;
  double observed = 0.0;
};
RegimeValue regime_value(const KESTRIONINFOSTR& info, const StageFit& stage1);
// After the specified report: the decision rules and the value of the estimated regime.
void printRules(const KESTRIONINFOSTR& info);
// Hands the OUT= data set to the host; stops the run when the host cannot write it.
void writeOut(KESTRIONINFOSTR& info);

// The whole procedure step after mcn_main; ends the procedure and so never returns normally.
[[noreturn]] void run_procedure(TalvenParseHolder* holder);

}  // namespace talven

#endif  // TALVEN_PROCEDURE_KESTRION_INFO_H
