// The OUTEST= data set: the rows of the listing's tables as observations, so that the estimates
// can be taken into further work without reading the listing.
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

// One stage's coefficients in the listing's order; limits only where the listing has them.
void add_stage(std::vector<EstimateRow>& rows, int32_t stage, const double* estimates,
               const double* upper, const double* lower, const StageNames& names) {
  const double missing = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::string> labels = coefficient_labels(names);
  for (std::size_t k = 0; k < labels.size(); ++k) {
    rows.push_back({stage, labels[k], estimates[k], lower != nullptr ? lower[k] : missing,
                    upper != nullptr ? upper[k] : missing, false});
  }
}

}  // namespace

std::vector<EstimateRow> estimate_rows(const KESTRIONINFOSTR& info) {
  const bool ci = info.deriveCI != 0;
  const int32_t p1 = info.p1();
  std::vector<EstimateRow> rows;
  add_stage(rows, 1, info.beta1hat, ci ? info.upper : nullptr, ci ? info.lower : nullptr,
            info.stage1_names);
  const double missing = std::numeric_limits<double>::quiet_NaN();
  for (int32_t m = 0; m < info.nContrasts; ++m) {
    rows.push_back({1, "Contrast" + std::to_string(m + 1), contrast_estimate(info, m),
                    ci ? info.lower[p1 + m] : missing, ci ? info.upper[p1 + m] : missing, true});
  }
  if (info.n2 > 0) add_stage(rows, 2, info.beta2hat, nullptr, nullptr, info.stage2_names);
  return rows;
}

void writeOutest(KESTRIONINFOSTR& info) {
  // Term holds full variable names: the listing's 12-character labels could make two rows share
  // a key.
  const std::vector<EstimateRow> rows = estimate_rows(info);
  const auto count = static_cast<int64_t>(rows.size());
  const auto cells = rows.size() * kVariables;
  double* numbers = allocate_array<double>(cells, "outestNumbers");
  const char** texts = allocate_array<const char*>(cells, "outestTexts");
  for (std::size_t c = 0; c < cells; ++c) texts[c] = nullptr;
  for (int64_t r = 0; r < count; ++r) {
    const EstimateRow& row = rows[static_cast<std::size_t>(r)];
    numbers[r] = row.stage;
    numbers[count + r] = std::numeric_limits<double>::quiet_NaN();
    texts[count + r] = row.term.c_str();
    numbers[2 * count + r] = row.estimate;
    numbers[3 * count + r] = row.lower;
    numbers[4 * count + r] = row.upper;
  }

  const int32_t written =
      host().writeDataSet(outest_item(), kNames, kTypes, kVariables, numbers, texts, count);
  release_array(numbers);
  release_array(texts);
  // The host has said why in the log.
  if (written != 0) end_procedure(TALVEN_END_ERROR);
}

}  // namespace talven
