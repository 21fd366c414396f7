#include "engine/analysis.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <string>

#include "engine/calculate_ci.h"
#include "engine/fit_two_stage.h"
#include "engine/stop.h"
#include "engine/uniform_generator.h"
#include "numerics/dynamic_allocation.h"
#include "numerics/error_record.h"
#include "numerics/regression.h"
#include "numerics/work_arrays.h"

namespace kestrion {

namespace {

// The driver's work arrays, released in the order the release list states.
struct DriverArrays {
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

  WorkArrays list(const ModelShape& shape, int32_t n1, int32_t n2) {
    return {{y2, {n2}, "runkestrion: y2"},
            {a2, {n2}, "runkestrion: a2"},
            {h20, {n2, shape.p20}, "runkestrion: h20"},
            {h21, {n2, shape.p21}, "runkestrion: h21"},
            {designM2, {n2, shape.p2()}, "runkestrion: designM2"},
            {treatment2, {n2, shape.K2 - 1}, "runkestrion: treatment2"},
            {designM1, {n1, shape.p1()}, "runkestrion: designM1"},
            {yhat, {n1}, "runkestrion: yhat"},
            {treatment1, {n1, shape.K1 - 1}, "runkestrion: treatment1"},
            {sigma1n, {shape.p1(), shape.p1()}, "runkestrion: sigma1n"}};
  }
};
// y2, a2, h20, h21, designM1, yhat, treatment1, designM2, treatment2, sigma1n.
constexpr int kReleaseOrder[] = {0, 1, 2, 3, 6, 7, 8, 4, 5, 9};

// An invalid call is refused before any array is read: the library is reachable from any
// language, and a bad code or count would otherwise index outside the caller's arrays.
bool refuse(ErrorRecord& record, const char* format, auto... values) {
  char detail[128];
  std::snprintf(detail, sizeof detail, format, values...);
  ErrorDetails details;
  details.note_1 = "Invalid argument to runkestrion:";
  details.note_2 = detail;
  report_error(record, ErrorCode::kGeneral, details);
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
  const SubjectArrays& s = a.study.subjects;
  const ModelShape& shape = a.shape;
  const int64_t n1 = a.study.n1;
  if (!check_array(record, "Y1", s.Y1.data(), n1) ||
      !check_array(record, "inputY2", s.inputY2.data(), n1) ||
      !check_array(record, "respStatus", s.respStatus.data(), n1) ||
      !check_array(record, "A1", s.A1.data(), n1) ||
      !check_array(record, "inputA2", s.inputA2.data(), n1) ||
      !check_array(record, "H10", s.H10.data(), n1 * shape.p10) ||
      !check_array(record, "H11", s.H11.data(), n1 * shape.p11) ||
      !check_array(record, "inputH20", s.inputH20.data(), n1 * shape.p20) ||
      !check_array(record, "inputH21", s.inputH21.data(), n1 * shape.p21) ||
      !check_array(record, "levels1", a.study.levels1.data(), int64_t{shape.K1 - 1} * shape.K1) ||
      !check_array(record, "levels2", a.study.levels2.data(), int64_t{shape.K2 - 1} * shape.K2) ||
      !check_array(record, "beta1hat", a.beta1hat.data(), p1) ||
      !check_array(record, "beta2hat", a.beta2hat.data(), p2)) {
    return false;
  }
  if (a.deriveCI) {
    if (!check_array(record, "contrastMatrix", a.contrasts.matrix.data(),
                     int64_t{a.contrasts.nC} * p1) ||
        !check_array(record, "upper", a.upper.data(), int64_t{p1} + a.contrasts.nC) ||
        !check_array(record, "lower", a.lower.data(), int64_t{p1} + a.contrasts.nC) ||
        !check_array(record, "nCollinear", a.nCollinear, 1)) {
      return false;
    }
  }

  int64_t in_sample = 0;
  for (int32_t i = 1; i <= a.study.n1; ++i) {
    const int32_t status = s.respStatus(i);
    if (status != 0 && status != 1) {
      return refuse(record, "respStatus of subject %" PRId32 " is %" PRId32 "; expected 0 or 1.", i,
                    status);
    }
    const int32_t code1 = s.A1(i);
    if (code1 < 1 || code1 > shape.K1) {
      return refuse(record,
                    "Stage-1 treatment code of subject %" PRId32 " is %" PRId32
                    "; expected 1 to %" PRId32 ".",
                    i, code1, shape.K1);
    }
    if (status != 0) continue;
    ++in_sample;
    const int32_t code2 = s.inputA2(i);
    if (code2 < 1 || code2 > shape.K2) {
      return refuse(record,
                    "Stage-2 treatment code of subject %" PRId32 " is %" PRId32
                    "; expected 1 to %" PRId32 ".",
                    i, code2, shape.K2);
    }
  }
  if (in_sample != a.study.n2) {
    return refuse(record, "n2 is %" PRId32 " but %" PRId64 " subjects have respStatus 0.",
                  a.study.n2, in_sample);
  }
  return true;
}

// Sizes first (so that no extent is negative and p1, p2 fit 32 bits), then the arrays.
bool check_call(const AnalysisArguments& a, int64_t p1, int64_t p2, ErrorRecord& record) {
  if (a.errorFlag == nullptr) return refuse(record, "%s", "errorFlag is a null pointer.");
  const ModelShape& shape = a.shape;
  if (!check_count(record, "n1", a.study.n1, 0) || !check_count(record, "n2", a.study.n2, 0) ||
      !check_count(record, "p10", shape.p10, 0) || !check_count(record, "p11", shape.p11, 0) ||
      !check_count(record, "p20", shape.p20, 0) || !check_count(record, "p21", shape.p21, 0) ||
      !check_count(record, "K1", shape.K1, 1) || !check_count(record, "K2", shape.K2, 1) ||
      !check_count(record, "nC", a.contrasts.nC, 0)) {
    return false;
  }
  constexpr int64_t kLargest = std::numeric_limits<int32_t>::max();
  if (p1 > kLargest || p2 > kLargest || p1 + a.contrasts.nC > kLargest) {
    return refuse(record, "%s", "p10 + K1*(p11+1) + nC or p20 + K2*(p21+1) exceeds 2147483647.");
  }
  return check_arguments(a, static_cast<int32_t>(p1), static_cast<int32_t>(p2), record);
}

// After a failure nothing more is reported: the work arrays are freed by their destructors and the
// regression module's state is released quietly.
void fail(const AnalysisArguments& a, ErrorRecord& record) {
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
  ErrorRecord ignored;
  static_cast<void>(nullify_data(ignored));
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
  const int64_t p1 = a.shape.p10 + int64_t{a.shape.K1} * (int64_t{a.shape.p11} + 1);
  const int64_t p2 = a.shape.p20 + int64_t{a.shape.K2} * (int64_t{a.shape.p21} + 1);
  if (!check_call(a, p1, p2, record) || stopped_at(StopPoint::kStart, record)) {
    return fail(a, record);
  }

  DriverArrays w;
  WorkArrays work = w.list(a.shape, a.study.n1, a.study.n2);
  if (work.obtain(record) != Status::kOk) return fail(a, record);

  // The analysis driver's tolerance: 1e-10 in single precision, widened.
  const double tolerance = kRankTolerance;
  const FitArrays fit{w.treatment1, w.treatment2, w.y2,   w.h20,      w.h21,      w.a2,
                      w.designM1,   w.designM2,   w.yhat, a.beta1hat, a.beta2hat, w.sigma1n};
  const FitOptions data_fit{tolerance, false, true};
  if (fitTwoStage(a.shape, a.study, fit, data_fit, record) != Status::kOk) {
    return fail(a, record);
  }

  if (a.deriveCI) {
    const FullDataFit full{w.designM2, w.y2, a.beta1hat, a.beta2hat};
    const IntervalLimits limits{a.upper, a.lower, a.nCollinear};
    if (calculateCI(a.shape, a.study, full, a.contrasts, a.options, tolerance, limits, record) !=
        Status::kOk) {
      return fail(a, record);
    }
  }

  if (work.release(record, kReleaseOrder) != Status::kOk || nullify_data(record) != 0) {
    return fail(a, record);
  }
}

}  // namespace kestrion
