// The analysis behind runkestrion: checks the call, obtains the work arrays, fits the two-stage
// model on the data, adds the bootstrap intervals on request, and turns any failure into the
// error flag and the diagnostic text.
#ifndef KESTRION_ENGINE_ANALYSIS_H
#define KESTRION_ENGINE_ANALYSIS_H

#include <cstdint>

#include "engine/calculate_ci.h"
#include "engine/model.h"
#include "kestrion_options.h"
#include "numerics/array.h"

namespace kestrion {

// The arguments of runkestrion as value types, the arrays as 1-based column-major views whose
// extents follow from the counts.
struct AnalysisArguments {
  int32_t fixedTwo = 2;
  ModelShape shape;
  StudyArrays study;
  Contrasts contrasts;
  IntervalOptions options;
  bool deriveCI = false;
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
