#include "engine/analysis.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <string>

#include "engine/calculate_ci.h"
#include "engine/engine_internal.h"
#include "engine/fit_two_stage.h"
#include "engine/uniform_generator.h"
#include "numerics/dynamic_allocation.h"
#include "numerics/error_record.h"
#include "numerics/regression.h"

namespace kestrion {

namespace {

struct WorkArrays {
  DblArray1 y2;
  IntArray1 a2;
  DblArray2 h20;
  DblArray2 h21;
  DblArray2 designM2;
  DblArray2 treatment2;
  DblArray2 designM1;
  DblArray1 yhat;
  DblArray2 treatment1;
  DblArray2 sigma1n;
};

// An invalid call is refused before any array is read: the library is reachable from any
// language, and a bad code or count would otherwise index outside the caller's arrays.
bool refuse(ErrorRecord& record, const char* format, auto... values) {
  char detail[128];
  std::snprintf(detail, sizeof detail, format, values...);
  ErrorDetails details;
  details.note_1 = "Invalid argument to runkestrion:";
  details.note_2 = detail;
  report_error(record, 1000, details);
  return false;
}

bool check_count(ErrorRecord& record, const char* name, int32_t value, int32_t least) {
  if (value >= least) return true;
  return refuse(record, "%s must be at least %" PRId32 " (got %" PRId32 ").", name, least, value);
}

bool check_array(ErrorRecord& record, const char* name, const void* data, int64_t elements) {
  if (data != nullptr || elements <= 0) return true;
  return refuse(record, "%s is a null pointer but should hold %" PRId64 " values.", name, elements);
}

bool check_arguments(const AnalysisArguments& a, int32_t p1, int32_t p2, ErrorRecord& record) {
  const int64_t n1 = a.n1;
  if (!check_array(record, "Y1", a.Y1.data(), n1) ||
      !check_array(record, "inputY2", a.inputY2.data(), n1) ||
      !check_array(record, "respStatus", a.respStatus.data(), n1) ||
      !check_array(record, "A1", a.A1.data(), n1) ||
      !check_array(record, "inputA2", a.inputA2.data(), n1) ||
      !check_array(record, "H10", a.H10.data(), n1 * a.p10) ||
      !check_array(record, "H11", a.H11.data(), n1 * a.p11) ||
      !check_array(record, "inputH20", a.inputH20.data(), n1 * a.p20) ||
      !check_array(record, "inputH21", a.inputH21.data(), n1 * a.p21) ||
      !check_array(record, "levels1", a.levels1.data(), int64_t{a.K1 - 1} * a.K1) ||
      !check_array(record, "levels2", a.levels2.data(), int64_t{a.K2 - 1} * a.K2) ||
      !check_array(record, "beta1hat", a.beta1hat.data(), p1) ||
      !check_array(record, "beta2hat", a.beta2hat.data(), p2)) {
    return false;
  }
  if (a.deriveCI) {
    if (!check_array(record, "contrastMatrix", a.contrastMatrix.data(), int64_t{a.nC} * p1) ||
        !check_array(record, "upper", a.upper.data(), int64_t{p1} + a.nC) ||
        !check_array(record, "lower", a.lower.data(), int64_t{p1} + a.nC) ||
        !check_array(record, "nCollinear", a.nCollinear, 1)) {
      return false;
    }
  }

  int64_t in_sample = 0;
  for (int32_t i = 1; i <= a.n1; ++i) {
    const int32_t status = a.respStatus(i);
    if (status != 0 && status != 1) {
      return refuse(record, "respStatus of subject %" PRId32 " is %" PRId32 "; expected 0 or 1.", i,
                    status);
    }
    const int32_t code1 = a.A1(i);
    if (code1 < 1 || code1 > a.K1) {
      return refuse(record,
                    "Stage-1 treatment code of subject %" PRId32 " is %" PRId32
                    "; expected 1 to %" PRId32 ".",
                    i, code1, a.K1);
    }
    if (status != 0) continue;
    ++in_sample;
    const int32_t code2 = a.inputA2(i);
    if (code2 < 1 || code2 > a.K2) {
      return refuse(record,
                    "Stage-2 treatment code of subject %" PRId32 " is %" PRId32
                    "; expected 1 to %" PRId32 ".",
                    i, code2, a.K2);
    }
  }
  if (in_sample != a.n2) {
    return refuse(record, "n2 is %" PRId32 " but %" PRId64 " subjects have respStatus 0.", a.n2,
                  in_sample);
  }
  return true;
}

// Sizes first (so that no extent is negative and p1, p2 fit 32 bits), then the arrays.
bool check_call(const AnalysisArguments& a, int64_t p1, int64_t p2, ErrorRecord& record) {
  if (a.errorFlag == nullptr) return refuse(record, "%s", "errorFlag is a null pointer.");
  if (!check_count(record, "n1", a.n1, 0) || !check_count(record, "n2", a.n2, 0) ||
      !check_count(record, "p10", a.p10, 0) || !check_count(record, "p11", a.p11, 0) ||
      !check_count(record, "p20", a.p20, 0) || !check_count(record, "p21", a.p21, 0) ||
      !check_count(record, "K1", a.K1, 1) || !check_count(record, "K2", a.K2, 1) ||
      !check_count(record, "nC", a.nC, 0)) {
    return false;
  }
  constexpr int64_t kLargest = std::numeric_limits<int32_t>::max();
  if (p1 > kLargest || p2 > kLargest || p1 + a.nC > kLargest) {
    return refuse(record, "%s", "p10 + K1*(p11+1) + nC or p20 + K2*(p21+1) exceeds 2147483647.");
  }
  return check_arguments(a, static_cast<int32_t>(p1), static_cast<int32_t>(p2), record);
}

int32_t allocate(WorkArrays& w, int32_t n1, int32_t n2, int32_t p1, int32_t p2,
                 const AnalysisArguments& a, ErrorRecord& record) {
  if (detail::obtain(w.y2, {n2}, record, "runkestrion: y2") != 0) return -1;
  if (detail::obtain(w.a2, {n2}, record, "runkestrion: a2") != 0) return -1;
  if (detail::obtain(w.h20, {n2, a.p20}, record, "runkestrion: h20") != 0) return -1;
  if (detail::obtain(w.h21, {n2, a.p21}, record, "runkestrion: h21") != 0) return -1;
  if (detail::obtain(w.designM2, {n2, p2}, record, "runkestrion: designM2") != 0) return -1;
  if (detail::obtain(w.treatment2, {n2, a.K2 - 1}, record, "runkestrion: treatment2") != 0) {
    return -1;
  }
  if (detail::obtain(w.designM1, {n1, p1}, record, "runkestrion: designM1") != 0) return -1;
  if (detail::obtain(w.yhat, {n1}, record, "runkestrion: yhat") != 0) return -1;
  if (detail::obtain(w.treatment1, {n1, a.K1 - 1}, record, "runkestrion: treatment1") != 0) {
    return -1;
  }
  if (detail::obtain(w.sigma1n, {p1, p1}, record, "runkestrion: sigma1n") != 0) return -1;
  return 0;
}

int32_t release(WorkArrays& w, ErrorRecord& record) {
  if (dealloc(w.y2, record, "runkestrion: y2") != 0) return -1;
  if (dealloc(w.a2, record, "runkestrion: a2") != 0) return -1;
  if (dealloc(w.h20, record, "runkestrion: h20") != 0) return -1;
  if (dealloc(w.h21, record, "runkestrion: h21") != 0) return -1;
  if (dealloc(w.designM1, record, "runkestrion: designM1") != 0) return -1;
  if (dealloc(w.yhat, record, "runkestrion: yhat") != 0) return -1;
  if (dealloc(w.treatment1, record, "runkestrion: treatment1") != 0) return -1;
  if (dealloc(w.designM2, record, "runkestrion: designM2") != 0) return -1;
  if (dealloc(w.treatment2, record, "runkestrion: treatment2") != 0) return -1;
  if (dealloc(w.sigma1n, record, "runkestrion: sigma1n") != 0) return -1;
  return 0;
}

// After a failure: nothing is reported; an array whose release failed is freed with `w`.
void release_quietly(WorkArrays& w) {
  ErrorRecord ignored;
  static_cast<void>(release(w, ignored));
  static_cast<void>(nullify_data(ignored));
}

void fail(const AnalysisArguments& a, ErrorRecord& record, WorkArrays& w) {
  // The record's text never needs more than its lines and separators, so a buffer of that size
  // composes exactly what a buffer of messageLength - 1 characters would.
  int64_t lines = 0;
  for (const ErrorLine* line = record.first_line; line != nullptr; line = line->next) ++lines;
  const int64_t usable = a.messageLength > 0 && a.message != nullptr ? a.messageLength - 1 : 0;
  const int64_t length = std::min<int64_t>(usable, lines * (kErrorLineLength + 2) + 4);
  std::string text(static_cast<size_t>(length), ' ');
  compose_error_text(record, text.data(), length);
  write_failure_text(text.data(), length, a.errorFlag, a.messageLength, a.message);
  clear_errors(record);
  release_quietly(w);
}

}  // namespace

void write_failure_text(const char* text, int64_t length, uint8_t* errorFlag, int32_t messageLength,
                        int32_t* message) {
  if (errorFlag != nullptr) *errorFlag = 255;
  if (messageLength <= 0 || message == nullptr) return;
  const int64_t used = std::min<int64_t>(std::max<int64_t>(length, 0), messageLength - 1);
  int64_t end = 0;  // one past the last non-blank character
  for (int64_t k = 0; k < used; ++k) {
    message[k] = static_cast<unsigned char>(text[k]);
    if (text[k] != ' ') end = k + 1;
  }
  for (int64_t k = used; k < messageLength; ++k) message[k] = ' ';
  message[end] = 0;
}

void run_analysis(const AnalysisArguments& a) {
  if (a.errorFlag != nullptr) *a.errorFlag = 0;
  start_analysis_stream();

  ErrorRecord record;
  WorkArrays w;
  const int64_t p1 = a.p10 + int64_t{a.K1} * (int64_t{a.p11} + 1);
  const int64_t p2 = a.p20 + int64_t{a.K2} * (int64_t{a.p21} + 1);
  if (!check_call(a, p1, p2, record)) return fail(a, record, w);

  const auto p1_32 = static_cast<int32_t>(p1);
  const auto p2_32 = static_cast<int32_t>(p2);
  if (allocate(w, a.n1, a.n2, p1_32, p2_32, a, record) != 0) return fail(a, record, w);

  // The analysis driver's tolerance: 1e-10 in single precision, widened.
  const double tolerance = kRankTolerance;
  fitTwoStage(a.n1, p1_32, a.Y1, a.H10, a.p10, a.H11, a.p11, a.A1, a.respStatus, a.n2, p2_32,
              a.inputY2, a.inputH20, a.p20, a.inputH21, a.p21, a.inputA2, a.levels1, a.K1,
              a.levels2, a.K2, w.treatment1, w.treatment2, w.y2, w.h20, w.h21, w.a2, w.designM1,
              w.designM2, a.beta1hat, a.beta2hat, w.yhat, tolerance, false, w.sigma1n, record);
  if (error_occurred(record)) return fail(a, record, w);

  if (a.deriveCI) {
    calculateCI(a.n1, p1_32, w.designM2, a.n2, p2_32, a.Y1, a.inputY2, w.y2, a.respStatus, a.A1,
                a.inputA2, a.H10, a.p10, a.H11, a.p11, a.inputH20, a.p20, a.inputH21, a.p21,
                a.levels1, a.K1, a.levels2, a.K2, a.contrastMatrix, a.nC, a.nBootstrap1,
                a.nBootstrap2, a.nGrid, a.gridScale, a.alpha, tolerance, *a.nCollinear, a.beta1hat,
                a.beta2hat, a.upper, a.lower, record);
    if (error_occurred(record)) return fail(a, record, w);
  }

  if (release(w, record) != 0 || nullify_data(record) != 0) return fail(a, record, w);
}

}  // namespace kestrion
