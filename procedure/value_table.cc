// The value of the regimes as the procedure presents it: the listing's table after the rest of
// the report, and the OUTVALUE= data set. The study layer computes and orders the rows.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "procedure/host_services.h"
#include "procedure/kestrion_info.h"
#include "procedure/statement_items.h"

namespace talven {
namespace {

constexpr const char* kRule = "--------------------------------------------------------------";

constexpr int32_t kVariables = 12;
constexpr const char* kNames[kVariables] = {"Kind",  "Regime", "A1",   "A2", "Estimate", "Lower",
                                            "Upper", "N",      "Kept", "M",  "PHat",     "MAlpha"};

// The table's columns from the study layer's named results.
struct ValueColumns {
  std::vector<std::string> kind, regime;
  std::vector<std::vector<double>> numbers;  // A1 .. MAlpha, in kNames' order
  std::vector<std::string> treatments[2];    // A1, A2 of text treatments
  bool text[2] = {false, false};
  std::size_t rows() const { return kind.size(); }
};

// A1 or A2 of a text treatment: its texts, and zeros in the numbers' place.
bool read_text_treatment(const KESTRIONINFOSTR& info, int64_t r, const std::string& column,
                         int64_t length, ValueColumns& out) {
  if ((column != "A1" && column != "A2") ||
      std::string(talven_study_result_type(info.study, r)) != "texts") {
    return false;
  }
  const int stage = column == "A1" ? 0 : 1;
  out.text[stage] = true;
  for (int64_t k = 0; k < length; ++k) {
    out.treatments[stage].emplace_back(talven_study_result_text(info.study, r, k));
  }
  out.numbers[static_cast<std::size_t>(stage)].assign(static_cast<std::size_t>(length), 0.0);
  return true;
}

ValueColumns read_value_columns(const KESTRIONINFOSTR& info) {
  ValueColumns out;
  out.numbers.resize(kVariables - 2);
  const int64_t count = talven_study_result_count(info.study);
  for (int64_t r = 0; r < count; ++r) {
    const std::string name = talven_study_result_name(info.study, r);
    if (name.rfind("value.", 0) != 0) continue;
    const std::string column = name.substr(6);
    const int64_t length = talven_study_result_length(info.study, r);
    if (read_text_treatment(info, r, column, length, out)) continue;
    if (column == "Kind" || column == "Regime") {
      std::vector<std::string>& texts = column == "Kind" ? out.kind : out.regime;
      for (int64_t k = 0; k < length; ++k) {
        texts.emplace_back(talven_study_result_text(info.study, r, k));
      }
      continue;
    }
    for (int32_t v = 2; v < kVariables; ++v) {
      if (column != kNames[v]) continue;
      std::vector<double>& values = out.numbers[static_cast<std::size_t>(v - 2)];
      values.assign(static_cast<std::size_t>(length), 0.0);
      require(talven_study_result_reals(info.study, r, values.data()));
    }
  }
  return out;
}

void line(const std::string& text) {
  host().listingText("%s", text.c_str());
  host().listingEndLine();
}

// A number of the table, or the missing-value dot in its place.
std::string cell(double value, const char* format, int width) {
  char text[64];
  if (std::isnan(value)) {
    std::snprintf(text, sizeof text, "%*s", width, ".");
  } else {
    std::snprintf(text, sizeof text, format, width, value);
  }
  return text;
}

}  // namespace

void printValueTable(const KESTRIONINFOSTR& info) {
  const ValueColumns v = read_value_columns(info);
  std::size_t width = 6;
  for (const std::string& regime : v.regime) width = std::max(width, regime.size());
  const auto w = static_cast<int>(width);
  const auto column = [&v](int32_t variable) {
    return v.numbers[static_cast<std::size_t>(variable - 2)];
  };
  const std::vector<double> estimate = column(4), lower = column(5), upper = column(6),
                            n = column(7), kept = column(8);
  line("Value of the Regimes");
  line(kRule);
  char text[512];
  std::snprintf(text, sizeof text, "%-*s  %10s  %10s  %10s  %7s  %7s", w, "Regime", "Estimate",
                "Lower", "Upper", "N", "Kept");
  line(text);
  for (std::size_t r = 0; r < v.rows(); ++r) {
    const std::string numbers = cell(estimate[r], "%*.4f", 10) + "  " +
                                cell(lower[r], "%*.4f", 10) + "  " + cell(upper[r], "%*.4f", 10) +
                                "  " + cell(n[r], "%*.0f", 7) + "  " + cell(kept[r], "%*.0f", 7);
    std::snprintf(text, sizeof text, "%-*s  ", w, v.regime[r].c_str());
    line(text + numbers);
  }
  const std::vector<double> m = column(9), p_hat = column(10), m_alpha = column(11);
  if (v.rows() > 0 && !std::isnan(m[0])) {
    host().listingEndLine();
    std::snprintf(text, sizeof text,
                  "Estimated optimal regime's interval: m = %.0f of %ld, share non-regular %.4f, "
                  "MALPHA = %g",
                  m[0], static_cast<long>(info.n1), p_hat[0], m_alpha[0]);
    line(text);
  }
  host().listingEndLine();
}

void writeOutvalue(KESTRIONINFOSTR& info) {
  const ValueColumns v = read_value_columns(info);
  const auto count = static_cast<int64_t>(v.rows());
  const auto cells = static_cast<std::size_t>(count) * kVariables;
  double* numbers = allocate_array<double>(cells, "outvalueNumbers");
  const char** texts = allocate_array<const char*>(cells, "outvalueTexts");
  for (std::size_t c = 0; c < cells; ++c) {
    texts[c] = nullptr;
    numbers[c] = 0.0;
  }
  int32_t types[kVariables];
  for (int32_t var = 0; var < kVariables; ++var) {
    types[var] = var < 2 || (var < 4 && v.text[var - 2]) ? TALVEN_VAR_CHARACTER
                                                          : TALVEN_VAR_NUMERIC;
  }
  for (int64_t r = 0; r < count; ++r) {
    const auto u = static_cast<std::size_t>(r);
    texts[r] = v.kind[u].c_str();
    texts[count + r] = v.regime[u].c_str();
    for (int32_t var = 2; var < kVariables; ++var) {
      numbers[var * count + r] = v.numbers[static_cast<std::size_t>(var - 2)][u];
    }
    for (int stage = 0; stage < 2; ++stage) {
      if (v.text[stage]) texts[(2 + stage) * count + r] = v.treatments[stage][u].c_str();
    }
  }
  const int32_t written = host().writeDataSet(option_row("OUTVALUE").item, kNames, types,
                                              kVariables, numbers, texts, count);
  release_array(numbers);
  release_array(texts);
  // The host has said why in the log.
  if (written != 0) end_procedure(TALVEN_END_ERROR);
}

}  // namespace talven
