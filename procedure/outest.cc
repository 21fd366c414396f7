// The OUTEST= data set: the rows of the listing's tables as observations, so that the estimates
// can be taken into further work without reading the listing. The study layer makes the rows.
#include <cstdint>
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

}  // namespace

void writeOutest(KESTRIONINFOSTR& info) {
  TalvenStudy* study = info.study;
  const int64_t count = talven_study_count(study, TALVEN_COUNT_TABLE_ROWS);
  const auto cells = static_cast<std::size_t>(count) * kVariables;
  double* numbers = allocate_array<double>(cells, "outestNumbers");
  const char** texts = allocate_array<const char*>(cells, "outestTexts");
  for (std::size_t c = 0; c < cells; ++c) texts[c] = nullptr;

  const int32_t columns[kVariables] = {TALVEN_VALUES_TABLE_STAGE, 0, TALVEN_VALUES_TABLE_ESTIMATE,
                                       TALVEN_VALUES_TABLE_LOWER, TALVEN_VALUES_TABLE_UPPER};
  for (int32_t v = 0; v < kVariables; ++v) {
    if (columns[v] != 0) require(talven_study_values(study, columns[v], numbers + v * count));
  }
  const std::vector<std::string> terms = study_texts(info, TALVEN_TEXT_TABLE_TERM);
  for (int64_t r = 0; r < count; ++r) texts[count + r] = terms[static_cast<std::size_t>(r)].c_str();

  const int32_t written =
      host().writeDataSet(outest_item(), kNames, kTypes, kVariables, numbers, texts, count);
  release_array(numbers);
  release_array(texts);
  // The host has said why in the log.
  if (written != 0) end_procedure(TALVEN_END_ERROR);
}

}  // namespace talven
