// The OUTEST= data set: the rows of the listing's tables as observations, so that the estimates
// can be taken into further work without reading the listing.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "procedure/host_services.h"
#include "procedure/kestrion_info.h"

namespace talven {
namespace {

constexpr int32_t kVariables = 5;
// Longest label: two 12-character names and a colon, or "Contrast" and a number.
constexpr int32_t kTermSize = 40;
constexpr const char* kNames[kVariables] = {"Stage", "Term", "Estimate", "Lower", "Upper"};
constexpr int32_t kTypes[kVariables] = {TALVEN_VAR_NUMERIC, TALVEN_VAR_CHARACTER,
                                        TALVEN_VAR_NUMERIC, TALVEN_VAR_NUMERIC, TALVEN_VAR_NUMERIC};

class Rows {
 public:
  Rows(double* numbers, const char** texts, char* terms, int64_t count)
      : numbers_(numbers), texts_(texts), terms_(terms), count_(count) {}

  // The label is formatted as the listing formats it, then stripped of every blank.
  template <typename... Args>
  void add(int32_t stage, double estimate, double lower, double upper, const char* format,
           Args... args) {
    char label[kTermSize];
    std::snprintf(label, sizeof label, format, args...);
    char* term = terms_ + row_ * kTermSize;
    int32_t length = 0;
    for (const char* c = label; *c != '\0'; ++c) {
      if (*c != ' ') term[length++] = *c;
    }
    term[length] = '\0';
    numbers_[row_] = stage;
    texts_[count_ + row_] = term;
    numbers_[2 * count_ + row_] = estimate;
    numbers_[3 * count_ + row_] = lower;
    numbers_[4 * count_ + row_] = upper;
    ++row_;
  }

 private:
  double* numbers_;
  const char** texts_;
  char* terms_;
  int64_t count_;
  int64_t row_ = 0;
};

// One stage's coefficients in the listing's order; limits only where the listing has them.
void add_stage(Rows& rows, int32_t stage, const double* estimates, const double* upper,
               const double* lower, const NameField* main, int32_t p_main, const NameField* tailor,
               int32_t p_tailor, const NameField* treatments, int32_t n_treatments) {
  const double missing = std::numeric_limits<double>::quiet_NaN();
  int32_t k = 0;
  auto lo = [&](int32_t i) { return lower != nullptr ? lower[i] : missing; };
  auto up = [&](int32_t i) { return upper != nullptr ? upper[i] : missing; };
  rows.add(stage, estimates[k], lo(k), up(k), "%s", "intercept");
  ++k;
  for (int32_t j = 0; j < p_main; ++j, ++k) {
    rows.add(stage, estimates[k], lo(k), up(k), "%s", main[j].text);
  }
  for (int32_t j = 0; j < p_tailor; ++j, ++k) {
    rows.add(stage, estimates[k], lo(k), up(k), "%s", tailor[j].text);
  }
  for (int32_t t = 0; t < n_treatments; ++t) {
    for (int32_t j = 0; j < p_tailor; ++j, ++k) {
      rows.add(stage, estimates[k], lo(k), up(k), "%s:%s", tailor[j].text, treatments[t].text);
    }
  }
  for (int32_t t = 0; t < n_treatments; ++t, ++k) {
    rows.add(stage, estimates[k], lo(k), up(k), "%s", treatments[t].text);
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
  char* terms = allocate_array<char>(static_cast<std::size_t>(count) * kTermSize, "outestTerms");
  for (std::size_t c = 0; c < cells; ++c) texts[c] = nullptr;

  Rows rows(numbers, texts, terms, count);
  add_stage(rows, 1, info.beta1hat, ci ? info.upper : nullptr, ci ? info.lower : nullptr,
            info.hasMain1 ? info.main1Names : nullptr, info.hasMain1 ? info.p10 : 0,
            info.tailor1Names, info.p11, info.stg1TrtNames, info.K1 - 1);
  const double missing = std::numeric_limits<double>::quiet_NaN();
  for (int32_t m = 0; m < info.nContrasts; ++m) {
    rows.add(1, contrast_estimate(info, m), ci ? info.lower[p1 + m] : missing,
             ci ? info.upper[p1 + m] : missing, "Contrast%2ld", static_cast<long>(m + 1));
  }
  if (info.n2 > 0) {
    add_stage(rows, 2, info.beta2hat, nullptr, nullptr, info.hasMain2 ? info.main2Names : nullptr,
              info.hasMain2 ? info.p20 : 0, info.tailor2Names, info.p21, info.stg2TrtNames,
              info.K2 - 1);
  }

  const int32_t written =
      host().writeDataSet(outest_item(), kNames, kTypes, kVariables, numbers, texts, count);
  release_array(numbers);
  release_array(texts);
  release_array(terms);
  // The host has said why in the log.
  if (written != 0) end_procedure(TALVEN_END_ERROR);
}

}  // namespace talven
