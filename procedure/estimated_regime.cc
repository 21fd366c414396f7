// The estimated regime as the procedure presents it: the RULES tables of the listing and the
// OUT= data set. The study layer computes them; this file lays them out for the host.
#include <cstdint>
#include <string>
#include <vector>

#include "procedure/host_services.h"
#include "procedure/kestrion_info.h"

namespace talven {
namespace {

constexpr const char* kRule = "--------------------------------------------------------------";

void line(const std::string& text) {
  host().listingText("%s", text.c_str());
  host().listingEndLine();
}

}  // namespace

void printRules(const KESTRIONINFOSTR& info) {
  const int32_t rules[] = {TALVEN_TEXT_RULE1, TALVEN_TEXT_RULE2};
  for (int s = 0; s < 2; ++s) {
    line("Stage " + std::to_string(s + 1) + " Decision Rule");
    line(kRule);
    for (const std::string& text : study_texts(info, rules[s])) line(text);
    host().listingEndLine();
  }
  line("Value of the Estimated Regime");
  line(kRule);
  host().listingText("Estimated value (mean of VALUE1):             %10.4f",
                     talven_study_number(info.study, TALVEN_NUMBER_REGIME_VALUE));
  host().listingEndLine();
  host().listingText("Mean observed outcome:                        %10.4f",
                     talven_study_number(info.study, TALVEN_NUMBER_MEAN_OUTCOME));
  host().listingEndLine();
  host().listingText("Observations in stage 1:                      %10ld",
                     static_cast<long>(info.n1));
  host().listingEndLine();
  host().listingEndLine();
}

void writeOut(KESTRIONINFOSTR& info) {
  for (const std::string& text : study_texts(info, TALVEN_TEXT_OUT_LEVELS))
    log("%3z%s", text.c_str());

  const std::vector<std::string> columns = study_texts(info, TALVEN_TEXT_OUT_COLUMN);
  const int64_t n = talven_study_count(info.study, TALVEN_COUNT_OBSERVATIONS);
  const std::size_t count = columns.size();
  double* numbers = allocate_array<double>(static_cast<std::size_t>(n) * count, "outNumbers");
  require(talven_study_out_values(info.study, numbers));
  std::vector<const char*> pointers;
  pointers.reserve(count);
  for (const std::string& column : columns) pointers.push_back(column.c_str());
  const int32_t written = host().writeObservations(out_item(), info.dataReader, pointers.data(),
                                                   static_cast<int32_t>(count), numbers, n);
  release_array(numbers);
  // The host has said why in the log.
  if (written != 0) end_procedure(TALVEN_END_ERROR);
}

}  // namespace talven
