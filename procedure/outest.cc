// The OUTEST= data set: the rows of the listing's tables as observations, so that the estimates
// can be taken into further work without reading the listing.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "procedure/host_services.h"
#include "procedure/kestrion_info.h"

namespace talven {
namespace {

constexpr int32_t kVariables = 5;
constexpr const char* kNames[kVariables] = {"Stage", "Term", "Estimate", "Lower", "Upper"};
constexpr int32_t kTypes[kVariables] = {TALVEN_VAR_NUMERIC, TALVEN_VAR_CHARACTER,
                                        TALVEN_VAR_NUMERIC, TALVEN_VAR_NUMERIC, TALVEN_VAR_NUMERIC};

// Term holds full variable names: the listing's 12-character labels could make two rows share
// a key.
class Rows {
 public:
  Rows(double* numbers, const char** texts, int64_t count)
      : numbers_(numbers), texts_(texts), count_(count) {}

  void add(int32_t stage, const std::string& term, double estimate, double lower, double upper) {
    terms_.push_back(term);
    numbers_[row_] = stage;
    numbers_[2 * count_ + row_] = estimate;
    numbers_[3 * count_ + row_] = lower;
    numbers_[4 * count_ + row_] = upper;
    ++row_;
  }

  // Called once every row is in: the terms no longer move.
  void point_at_terms() {
    for (std::size_t r = 0; r < terms_.size(); ++r) texts_[count_ + r] = terms_[r].c_str();
  }

 private:
  double* numbers_;
  const char** texts_;
  int64_t count_;
  int64_t row_ = 0;
  std::vector<std::string> terms_;
};

// One stage's coefficients in the listing's order; limits only where the listing has them.
void add_stage(Rows& rows, int32_t stage, const double* estimates, const double* upper,
               const double* lower, const StageNames& names) {
  const double missing = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::string> labels = coefficient_labels(names);
  for (std::size_t k = 0; k < labels.size(); ++k) {
    rows.add(stage, labels[k], estimates[k], lower != nullptr ? lower[k] : missing,
             upper != nullptr ? upper[k] : missing);
  }
}

}  // namespace

void writeOutest(KESTRIONINFOSTR& info) {
  const bool ci = info.deriveCI != 0;
  const int32_t p1 = info.p1();
  const int64_t count = int64_t{p1} + info.nContrasts + (info.n2 > 0 ? info.p2() : 0);
  const auto cells = static_cast<std::size_t>(count) * kVariables;
  double* numbers = allocate_array<double>(cells, "outestNumbers");
  const char** texts = allocate_array<const char*>(cells, "outestTexts");
  for (std::size_t c = 0; c < cells; ++c) texts[c] = nullptr;

  Rows rows(numbers, texts, count);
  add_stage(rows, 1, info.beta1hat, ci ? info.upper : nullptr, ci ? info.lower : nullptr,
            info.stage1_names);
  const double missing = std::numeric_limits<double>::quiet_NaN();
  for (int32_t m = 0; m < info.nContrasts; ++m) {
    rows.add(1, "Contrast" + std::to_string(m + 1), contrast_estimate(info, m),
             ci ? info.lower[p1 + m] : missing, ci ? info.upper[p1 + m] : missing);
  }
  if (info.n2 > 0) add_stage(rows, 2, info.beta2hat, nullptr, nullptr, info.stage2_names);
  rows.point_at_terms();

  const int32_t written =
      host().writeDataSet(outest_item(), kNames, kTypes, kVariables, numbers, texts, count);
  release_array(numbers);
  release_array(texts);
  // The host has said why in the log.
  if (written != 0) end_procedure(TALVEN_END_ERROR);
}

}  // namespace talven
