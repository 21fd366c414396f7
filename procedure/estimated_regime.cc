// The estimated regime as the procedure presents it: the RULES tables of the listing and the
// OUT= data set. The arithmetic is in regime.cc; this file only gathers the record's arrays.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "procedure/host_services.h"
#include "procedure/kestrion_info.h"
#include "procedure/regime.h"

namespace talven {
namespace {

constexpr const char* kRule = "--------------------------------------------------------------";

void line(const std::string& text) {
  host().listingText("%s", text.c_str());
  host().listingEndLine();
}

}  // namespace

RegimeValue regime_value(const KESTRIONINFOSTR& info, const StageFit& stage1) {
  const int64_t n1 = info.n1;
  std::vector<double> main(static_cast<std::size_t>(info.p10));
  std::vector<double> tailor(static_cast<std::size_t>(info.p11));
  std::vector<double> q(static_cast<std::size_t>(info.K1));
  RegimeValue value;
  for (int64_t i = 0; i < n1; ++i) {
    for (int32_t m = 0; m < info.p10; ++m) main[m] = at(info.H10, n1, i, m);
    for (int32_t j = 0; j < info.p11; ++j) tailor[j] = at(info.H11, n1, i, j);
    q_values(stage1, main.data(), tailor.data(), q.data());
    value.estimated += q[static_cast<std::size_t>(recommended_level(stage1, q.data()))];
    value.observed += info.Y1[i];
  }
  value.estimated /= static_cast<double>(n1);
  value.observed /= static_cast<double>(n1);
  return value;
}

StageFit stage_fit(const KESTRIONINFOSTR& info, int stage) {
  StageFit fit;
  const bool first = stage == 1;
  fit.p_main = first ? info.p10 : info.p20;
  fit.p_tailor = first ? info.p11 : info.p21;
  fit.k = first ? info.K1 : info.K2;
  const double* beta = first ? info.beta1hat : info.beta2hat;
  fit.beta.assign(beta, beta + (first ? info.p1() : info.p2()));
  const double* levels = first ? info.levels1 : info.levels2;
  fit.levels.assign(levels, levels + static_cast<std::size_t>(fit.k - 1) * fit.k);
  fit.minimize = info.minimize;
  return fit;
}

void printRules(const KESTRIONINFOSTR& info) {
  const StageFit stages[] = {stage_fit(info, 1), stage_fit(info, 2)};
  const StageNames* names[] = {&info.stage1_names, &info.stage2_names};
  for (int s = 0; s < 2; ++s) {
    line("Stage " + std::to_string(s + 1) + " Decision Rule");
    line(kRule);
    for (const std::string& text : describe_rule(stages[s], *names[s])) line(text);
    host().listingEndLine();
  }
  const RegimeValue value = regime_value(info, stages[0]);
  line("Value of the Estimated Regime");
  line(kRule);
  host().listingText("Estimated value (mean of VALUE1):             %10.4f", value.estimated);
  host().listingEndLine();
  host().listingText("Mean observed outcome:                        %10.4f", value.observed);
  host().listingEndLine();
  host().listingText("Observations in stage 1:                      %10ld",
                     static_cast<long>(info.n1));
  host().listingEndLine();
  host().listingEndLine();
}

void writeOut(KESTRIONINFOSTR& info) {
  const StageFit stage1 = stage_fit(info, 1);
  const StageFit stage2 = stage_fit(info, 2);
  const StageFit* fits[] = {&stage1, &stage2};
  const StageNames* names[] = {&info.stage1_names, &info.stage2_names};
  for (int s = 0; s < 2; ++s) {
    std::string text;
    for (int32_t l = 0; l < fits[s]->k; ++l) {
      if (l > 0) text += "; ";
      text.append("Q").append(std::to_string(s + 1)).append("_L").append(std::to_string(l + 1));
      text.append(" is ");
      if (fits[s]->k == 2) text.append(names[s]->treatments[0]).append(" = ");
      text.append(level_text(*fits[s], *names[s], l));
    }
    log("%3zOUT= levels of stage %d: %s.", s + 1, text.c_str());
  }

  const std::vector<std::string> columns =
      out_column_names(info.stage1_names, info.K1, info.stage2_names, info.K2);
  const int64_t n = info.n_delivered;
  const std::size_t count = columns.size();
  double* numbers = allocate_array<double>(static_cast<std::size_t>(n) * count, "outNumbers");
  const auto width = static_cast<int64_t>(info.covariate_width());
  for (int64_t i = 0; i < n; ++i) {
    const double* row = info.out_covariates + i * width;
    const ObservationCovariates covariates{row,
                                           row + info.p10,
                                           row + info.p10 + info.p11,
                                           row + info.p10 + info.p11 + info.p20,
                                           info.out_fits[2 * i] != 0,
                                           info.out_fits[2 * i + 1] != 0};
    out_values(stage1, stage2, covariates, i, n, numbers);
  }
  std::vector<const char*> pointers;
  for (const std::string& column : columns) pointers.push_back(column.c_str());
  const int32_t written = host().writeObservations(out_item(), info.dataReader, pointers.data(),
                                                   static_cast<int32_t>(count), numbers, n);
  release_array(numbers);
  // The host has said why in the log.
  if (written != 0) end_procedure(TALVEN_END_ERROR);
}

}  // namespace talven
