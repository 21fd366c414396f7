// The analysis behind runkestrion: checks the call, obtains the work arrays, fits the two-stage
// model on the data, adds the bootstrap intervals on request, and turns any failure into the
// error flag and the diagnostic text.
#ifndef KESTRION_ENGINE_ANALYSIS_H
#define KESTRION_ENGINE_ANALYSIS_H

#include <cstdint>

#include "numerics/array.h"

namespace kestrion {

// The arguments of runkestrion, in its order, with the arrays as 1-based column-major views whose
// extents follow from the counts (p1 = p10 + K1*(p11+1), p2 = p20 + K2*(p21+1)).
struct AnalysisArguments {
  int32_t cores = 0;
  int32_t fixedTwo = 2;
  ConstDblVec Y1;
  ConstDblVec inputY2;
  int32_t n1 = 0;
  int32_t n2 = 0;
  ConstIntVec respStatus;
  ConstIntVec A1;
  ConstIntVec inputA2;
  ConstDblMat H10;
  int32_t p10 = 0;
  ConstDblMat H11;
  int32_t p11 = 0;
  ConstDblMat inputH20;
  int32_t p20 = 0;
  ConstDblMat inputH21;
  int32_t p21 = 0;
  ConstDblMat levels1;
  int32_t K1 = 2;
  ConstDblMat levels2;
  int32_t K2 = 2;
  ConstDblMat contrastMatrix;
  int32_t nC = 0;
  int32_t nBootstrap1 = 0;
  int32_t nBootstrap2 = 0;
  int32_t nGrid = 0;
  double gridScale = 0.0;
  bool deriveCI = false;
  double alpha = 0.0;
  DblVec beta1hat;
  DblVec beta2hat;
  DblVec upper;
  DblVec lower;
  int32_t* nCollinear = nullptr;
  uint8_t* errorFlag = nullptr;
  int32_t messageLength = 0;
  int32_t* message = nullptr;
};

// Never throws past its own failure path for failures the library reports; see kestrion.h for
// the flag and message protocol. Single-threaded: one analysis at a time in the process.
void run_analysis(const AnalysisArguments& args);

// Writes `text` as the failure text: at most messageLength - 1 characters, one character code
// per element, a 0 right after the last non-blank character; sets *errorFlag to 255. Nothing is
// written to `message` when messageLength is 0 or less or `message` is null.
void write_failure_text(const char* text, int64_t length, uint8_t* errorFlag, int32_t messageLength,
                        int32_t* message);

}  // namespace kestrion

#endif  // KESTRION_ENGINE_ANALYSIS_H
