// The exported C interface: thin shims over the C++ library; nothing throws across them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <string>

#include "engine/analysis.h"
#include "engine/progress.h"
#include "engine/stop.h"
#include "engine/regime_value.h"
#include "engine/uniform_generator.h"
#include "kestrion.h"
#include "numerics/error_record.h"
#include "numerics/regression.h"

namespace {

// The library's version as it is kept: three decimal texts.
constexpr const char* kLibraryVersion[3] = {"1", "0", "0"};

template <typename T>
kestrion::View<const T, 1> in_vector(const T* data, int64_t n) {
  return kestrion::make_view(data, n);
}
template <typename T>
kestrion::View<const T, 2> in_matrix(const T* data, int64_t rows, int64_t cols) {
  return kestrion::make_view(data, rows, cols);
}

void report_unexpected(const char* what, uint8_t* errorFlag, int32_t messageLength,
                       int32_t* message, const char* routine = "runkestrion") {
  char text[256];
  const int length =
      std::snprintf(text, sizeof text, "Unexpected failure in %s: %s", routine, what);
  kestrion::write_failure_text(text, length < 0 ? 0 : std::min<int>(length, sizeof text - 1),
                               errorFlag, messageLength, message);
  try {
    kestrion::ErrorRecord ignored;
    static_cast<void>(kestrion::nullify_data(ignored));
  } catch (...) {
  }
}

// The record's lines as the message, as runkestrion writes a failure.
void write_record(const kestrion::ErrorRecord& record, uint8_t* errorFlag, int32_t messageLength,
                  int32_t* message) {
  int64_t lines = 0;
  for (const kestrion::ErrorLine* line = record.first_line; line != nullptr; line = line->next) {
    ++lines;
  }
  const int64_t usable = messageLength > 0 && message != nullptr ? messageLength - 1 : 0;
  const int64_t length = std::min<int64_t>(usable, lines * (kestrion::kErrorLineLength + 2) + 4);
  std::string text(static_cast<size_t>(length), ' ');
  kestrion::compose_error_text(record, text.data(), length);
  kestrion::write_failure_text(text.data(), length, errorFlag, messageLength, message);
}

void run_value(const KestrionValueData& d, const KestrionValueOptions& o,
               const KestrionValueTable& t, uint8_t* errorFlag, int32_t messageLength,
               int32_t* message) {
  const kestrion::ModelShape shape{d.p10, d.p11, d.p20, d.p21, d.K1, d.K2};
  kestrion::StudyArrays study;
  study.n1 = d.n1;
  study.n2 = d.n2;
  const int64_t n1 = d.n1 > 0 ? d.n1 : 0;
  const auto columns = [](int32_t p) { return p > 0 ? int64_t{p} : 0; };
  study.subjects = {in_vector(d.Y1, n1),
                    in_vector(d.inputY2, n1),
                    in_vector(d.respStatus, n1),
                    in_vector(d.A1, n1),
                    in_vector(d.inputA2, n1),
                    in_matrix(d.H10, n1, columns(d.p10)),
                    in_matrix(d.H11, n1, columns(d.p11)),
                    in_matrix(d.inputH20, n1, columns(d.p20)),
                    in_matrix(d.inputH21, n1, columns(d.p21))};
  study.levels1 = in_matrix(d.levels1, d.K1 > 1 ? d.K1 - 1 : 0, d.K1 > 0 ? d.K1 : 0);
  study.levels2 = in_matrix(d.levels2, d.K2 > 1 ? d.K2 - 1 : 0, d.K2 > 0 ? d.K2 : 0);
  const auto size = [](int32_t p0, int32_t k, int32_t p) {
    return k > 0 && p0 >= 0 && p >= 0 ? p0 + int64_t{k} * (p + 1) : 0;
  };
  const kestrion::FullDataEstimates estimates{in_vector(d.beta1hat, size(d.p10, d.K1, d.p11)),
                                              in_vector(d.beta2hat, size(d.p20, d.K2, d.p21))};
  kestrion::ValueOptions options;
  options.alpha = o.alpha;
  options.nBootValue = o.nBootValue;
  options.seed = o.seed < 0 ? 0 : o.seed;
  options.cores = o.cores;
  options.minimize = o.minimize != 0;
  options.mAlpha = o.mAlpha;
  options.nBootTune = o.nBootTune;
  options.nBootstrap2 = o.nBootstrap2;
  options.optimalInterval = o.embeddedOnly == 0;

  kestrion::ErrorRecord record;
  std::string problem = kestrion::value_arguments_problem(shape, study, estimates, options);
  const int64_t rows = problem.empty() ? kestrion::value_row_count(d.K1, d.K2) : 0;
  if (problem.empty()) {
    const void* outputs[] = {t.estimate, t.lower, t.upper, t.followers, t.kept,
                             t.status,   t.m,     t.pHat,  t.mAlpha,    t.mAlphaChoice};
    if (std::any_of(std::begin(outputs), std::end(outputs), [](const void* p) { return !p; })) {
      problem = "Every array of the value table must be given.";
    }
  }
  if (!problem.empty()) {
    kestrion::ErrorDetails details;
    details.note_1 = "Invalid argument to valuekestrion:";
    details.note_2 = problem;
    kestrion::report_error(record, kestrion::ErrorCode::kGeneral, details);
    return write_record(record, errorFlag, messageLength, message);
  }
  kestrion::ValueTable table;
  if (kestrion::value_table(shape, study, estimates, options,
                            kestrion::value_resamples(options.seed), table,
                            record) != kestrion::Status::kOk) {
    return write_record(record, errorFlag, messageLength, message);
  }
  for (int64_t r = 0; r < rows; ++r) {
    const kestrion::ValueRow& row = table.rows[static_cast<size_t>(r)];
    t.estimate[r] = row.estimate;
    t.lower[r] = row.lower;
    t.upper[r] = row.upper;
    t.followers[r] = row.followers;
    t.kept[r] = row.kept;
    t.status[r] = static_cast<int32_t>(row.status);
  }
  *t.m = table.m;
  *t.pHat = table.pHat;
  *t.mAlpha = table.mAlpha;
  *t.mAlphaChoice = table.choice;
}

}  // namespace

extern "C" {

// A stop request is spent by the call it reached, or it would stop the next one too.
struct SpendStopRequest {
  SpendStopRequest() = default;
  SpendStopRequest(const SpendStopRequest&) = delete;
  SpendStopRequest& operator=(const SpendStopRequest&) = delete;
  ~SpendStopRequest() { kestrion::withdraw_stop(); }
};

KESTRION_API void checkversion(const int32_t* requestedVersion, uint8_t* versionMismatch) {
  if (versionMismatch == nullptr) return;
  *versionMismatch = 0;
  if (requestedVersion == nullptr) {
    *versionMismatch = 255;
    return;
  }
  for (int part = 0; part < 3; ++part) {
    const auto own = static_cast<int32_t>(std::strtol(kLibraryVersion[part], nullptr, 10));
    if (requestedVersion[part] != own) {
      *versionMismatch = 255;
      return;
    }
  }
}

KESTRION_API void runkestrion(int32_t cores, int32_t fixedTwo, const double* Y1,
                              const double* inputY2, int32_t n1, int32_t n2,
                              const int32_t* respStatus, const int32_t* A1, const int32_t* inputA2,
                              const double* H10, int32_t p10, const double* H11, int32_t p11,
                              const double* inputH20, int32_t p20, const double* inputH21,
                              int32_t p21, const double* levels1, int32_t K1, const double* levels2,
                              int32_t K2, const double* contrastMatrix, int32_t nC,
                              int32_t nBootstrap1, int32_t nBootstrap2, int32_t nGrid,
                              double gridScale, uint8_t deriveCI, double alpha, double* beta1hat,
                              double* beta2hat, double* upper, double* lower, int32_t* nCollinear,
                              uint8_t* errorFlag, int32_t messageLength, int32_t* message) {
  const SpendStopRequest spend;
  try {
    // Extents in 64 bits: the driver refuses counts whose products leave the 32-bit range.
    const int64_t p1 = p10 + int64_t{K1} * (int64_t{p11} + 1);
    const int64_t p2 = p20 + int64_t{K2} * (int64_t{p21} + 1);
    kestrion::AnalysisArguments a;
    a.fixedTwo = fixedTwo;
    a.shape = kestrion::ModelShape{p10, p11, p20, p21, K1, K2};
    a.study.n1 = n1;
    a.study.n2 = n2;
    a.study.subjects = {
        in_vector(Y1, n1),       in_vector(inputY2, n1),       in_vector(respStatus, n1),
        in_vector(A1, n1),       in_vector(inputA2, n1),       in_matrix(H10, n1, p10),
        in_matrix(H11, n1, p11), in_matrix(inputH20, n1, p20), in_matrix(inputH21, n1, p21)};
    a.study.levels1 = in_matrix(levels1, int64_t{K1} - 1, K1);
    a.study.levels2 = in_matrix(levels2, int64_t{K2} - 1, K2);
    a.contrasts = {in_matrix(contrastMatrix, nC, p1), nC};
    a.options = {nBootstrap1, nBootstrap2, nGrid, gridScale, alpha, cores};
    a.deriveCI = deriveCI != 0;
    a.beta1hat = kestrion::make_view(beta1hat, p1);
    a.beta2hat = kestrion::make_view(beta2hat, p2);
    a.upper = kestrion::make_view(upper, p1 + nC);
    a.lower = kestrion::make_view(lower, p1 + nC);
    a.nCollinear = nCollinear;
    a.errorFlag = errorFlag;
    a.messageLength = messageLength;
    a.message = message;
    kestrion::run_analysis(a);
  } catch (const std::exception& e) {
    report_unexpected(e.what(), errorFlag, messageLength, message);
  } catch (...) {
    report_unexpected("unknown exception", errorFlag, messageLength, message);
  }
}

KESTRION_API void valuekestrion(const KestrionValueData* data, const KestrionValueOptions* options,
                                const KestrionValueTable* table, uint8_t* errorFlag,
                                int32_t messageLength, int32_t* message) {
  if (errorFlag == nullptr) return;
  *errorFlag = 0;
  const SpendStopRequest spend;
  try {
    if (data == nullptr || options == nullptr || table == nullptr) {
      report_unexpected("data, options and table must not be null pointers.", errorFlag,
                        messageLength, message, "valuekestrion");
      return;
    }
    run_value(*data, *options, *table, errorFlag, messageLength, message);
  } catch (const std::exception& e) {
    report_unexpected(e.what(), errorFlag, messageLength, message, "valuekestrion");
  } catch (...) {
    report_unexpected("unknown exception", errorFlag, messageLength, message, "valuekestrion");
  }
}

KESTRION_API void seedkestrion(int32_t seed) {
  kestrion::set_analysis_seed(seed < 0 ? 0 : seed);
}

KESTRION_API void progresskestrion(KestrionProgress callback, void* context) {
  kestrion::set_progress_callback(callback, context);
}

KESTRION_API void stopkestrion(int32_t stop) {
  if (stop != 0) {
    kestrion::request_stop();
  } else {
    kestrion::withdraw_stop();
  }
}

}  // extern "C"
