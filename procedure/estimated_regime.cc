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

namespace {

// A text treatment's REC column holds its texts; the codes stay for every other column.
struct TextColumns {
  std::vector<int32_t> types;
  std::vector<const char*> texts;
};

TextColumns text_columns(const KESTRIONINFOSTR& info, const std::vector<std::string>& columns,
                         const double* numbers, int64_t n,
                         const std::vector<std::string>& value_texts) {
  const std::vector<std::string> which = named_texts(info.study, "out_texts.Column");
  const std::vector<double> codes = named_reals(info.study, "out_texts.Code");
  TextColumns out;
  out.types.assign(columns.size(), TALVEN_VAR_NUMERIC);
  for (std::size_t c = 0; c < columns.size(); ++c) {
    for (std::size_t k = 0; k < which.size(); ++k) {
      if (which[k] != columns[c]) continue;
      if (out.texts.empty()) out.texts.assign(columns.size() * static_cast<std::size_t>(n), nullptr);
      out.types[c] = TALVEN_VAR_CHARACTER;
      for (int64_t i = 0; i < n; ++i) {
        const std::size_t at = c * static_cast<std::size_t>(n) + static_cast<std::size_t>(i);
        if (numbers[at] == codes[k]) out.texts[at] = value_texts[k].c_str();
      }
    }
  }
  return out;
}

}  // namespace

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
  const std::vector<std::string> value_texts = named_texts(info.study, "out_texts.Value");
  const TextColumns texts = text_columns(info, columns, numbers, n, value_texts);
  int32_t written = 0;
  if (texts.texts.empty() || host().writeObservationsTyped == nullptr) {
    written = host().writeObservations(out_item(), info.dataReader, pointers.data(),
                                       static_cast<int32_t>(count), numbers, n);
  } else {
    written = host().writeObservationsTyped(out_item(), info.dataReader, pointers.data(),
                                            texts.types.data(), static_cast<int32_t>(count),
                                            numbers, texts.texts.data(), n);
  }
  release_array(numbers);
  // The host has said why in the log.
  if (written != 0) end_procedure(TALVEN_END_ERROR);
}

}  // namespace talven
