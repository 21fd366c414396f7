// The analysis record of one procedure step and the functions that fill, print and release it.
#ifndef TALVEN_PROCEDURE_KESTRION_INFO_H
#define TALVEN_PROCEDURE_KESTRION_INFO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kestrion_model.h"
#include "talven_frontend.h"
#include "talven_host.h"

namespace talven {

inline constexpr int kNameLength = 12;
inline constexpr int kMessageLength = 3001;
inline constexpr const char* kNotices[3] = {"Copyright (c) 2018", "The TALVEN authors",
                                            "TALVEN project"};

// A 12-character blank-padded name; the extra byte keeps it a C string once the host has turned
// the trailing blanks into NULs, even for a name of 12 characters.
struct NameField {
  char text[kNameLength + 1];
};

// Element (i, j) of a column-major matrix of r rows is data[i + j * r].
inline double& at(double* data, int64_t rows, int64_t i, int64_t j) {
  return data[i + j * rows];
}

// The shape fields p10 ... K2 and the sizes p1(), p2() are the model's own (kestrion_model.h).
struct KESTRIONINFOSTR : kestrion::ModelShape {
  uint8_t deriveCI = 0;
  int32_t nDataVars = 0;
  int32_t nReadVars = 0;
  int32_t nContrastCols = 0;
  int32_t hasContrast = 0;
  int32_t hasMain1 = 0;
  int32_t hasMain2 = 0;
  int32_t nObs = 0;
  int32_t n1 = 0;
  int32_t n2 = 0;
  int32_t nBootstrap1 = 1000;
  int32_t nCollinear = 0;
  int32_t nContrasts = 0;
  double* obsBuffer = nullptr;
  double* contrastObsBuffer = nullptr;
  double* contrastMatrix = nullptr;  // nContrasts x nContrastCols, missing as NaN
  NameField* main1Names = nullptr;
  NameField* tailor1Names = nullptr;
  NameField* main2Names = nullptr;
  NameField* tailor2Names = nullptr;
  NameField* stg1TrtNames = nullptr;
  NameField* stg2TrtNames = nullptr;
  int32_t* readVarNumbers = nullptr;
  int32_t* contrastVarNumbers = nullptr;
  // The estimates and limits as the study layer returns them.
  std::vector<double> beta1hat;
  std::vector<double> beta2hat;
  std::vector<double> upper;
  std::vector<double> lower;
  std::vector<double> contrast_estimates;
  TalvenReader* dataReader = nullptr;
  TalvenDataSet* dataSet = nullptr;
  TalvenReader* contrastReader = nullptr;
  TalvenDataSet* contrastSet = nullptr;
  int32_t hasOutest = 0;
  bool has_out = false;  // OUT=
  bool rules = false;    // RULES
  bool value = false;    // VALUE
  bool has_outvalue = false;
  // The data rules, the analysis and everything reported from it.
  TalvenStudy* study = nullptr;
};

// Statement grammar handed to the host's parser.
const TalvenGrammar& talven_grammar();
// Item numbers of OUTEST= and OUT=.
int32_t outest_item();
int32_t out_item();

// Reads, defaults and checks every option and variable list; allocates the record's option-sized
// arrays. Stops the run on the first error.
void read_options(KESTRIONINFOSTR& info);

void getKestrionData(KESTRIONINFOSTR& info);
void getContrastMatrix(KESTRIONINFOSTR& info);
void kestrionOutput(KESTRIONINFOSTR& info);
// Hands the estimates, in listing order, to the host as the OUTEST= data set; stops the run when
// the host cannot write it.
void writeOutest(KESTRIONINFOSTR& info);
// Hands the host what the listing showed, as data, for its reports beside the listing; nothing
// when the host does not take it.
void handStepResults(const KESTRIONINFOSTR& info);
void kestrionNullify(KESTRIONINFOSTR& info);

// Ends the step with an error when a step of the study layer failed; the layer has said why.
void require(int32_t result);
// The texts of one kind from the study layer, copied: its own move with every call on it.
std::vector<std::string> study_texts(const KESTRIONINFOSTR& info, int32_t which);
// A column of the study's named results ("out_texts.Value"); empty when there is none.
std::vector<std::string> named_texts(TalvenStudy* study, const char* name);
std::vector<double> named_reals(TalvenStudy* study, const char* name);
// After the specified report: the decision rules and the value of the estimated regime.
void printRules(const KESTRIONINFOSTR& info);
// Hands the OUT= data set to the host; stops the run when the host cannot write it.
void writeOut(KESTRIONINFOSTR& info);
// With VALUE, after the rest of the report: the value of the regimes.
void printValueTable(const KESTRIONINFOSTR& info);
// Hands the value table to the host as the OUTVALUE= data set; stops the run when it cannot.
void writeOutvalue(KESTRIONINFOSTR& info);

// The whole procedure step after mcn_main; ends the procedure and so never returns normally.
[[noreturn]] void run_procedure(TalvenParseHolder* holder);

}  // namespace talven

#endif  // TALVEN_PROCEDURE_KESTRION_INFO_H
