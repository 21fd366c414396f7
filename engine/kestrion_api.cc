// The exported C interface: thin shims over the C++ library; nothing throws across them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "engine/analysis.h"
#include "engine/progress.h"
#include "engine/stop.h"
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
                       int32_t* message) {
  char text[256];
  const int length =
      std::snprintf(text, sizeof text, "Unexpected failure in runkestrion: %s", what);
  kestrion::write_failure_text(text, length < 0 ? 0 : std::min<int>(length, sizeof text - 1),
                               errorFlag, messageLength, message);
  try {
    kestrion::ErrorRecord ignored;
    static_cast<void>(kestrion::nullify_data(ignored));
  } catch (...) {
  }
}

}  // namespace

extern "C" {

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
  // A request is spent by the call it reached, or it would stop the next one too.
  struct SpendStopRequest {
    SpendStopRequest() = default;
    SpendStopRequest(const SpendStopRequest&) = delete;
    SpendStopRequest& operator=(const SpendStopRequest&) = delete;
    ~SpendStopRequest() { kestrion::withdraw_stop(); }
  } spend;
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
