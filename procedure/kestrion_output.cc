// The listing report: sample sizes, the stage-1 table with its optional intervals, the contrasts
// and the stage-2 table. Column positions are fixed; users compare listings across runs.
#include <algorithm>
#include <cstdint>

#include "procedure/host_services.h"
#include "procedure/kestrion_info.h"

namespace talven {
namespace {

constexpr const char* kRule = "--------------------------------------------------------------";

template <typename... Args>
void line(const char* format, Args... args) {
  host().listingText(format, args...);
  host().listingEndLine();
}

void empty_line() {
  host().listingEndLine();
}

class Table {
 public:
  Table(const KESTRIONINFOSTR& info, const double* estimates, bool with_ci)
      : info_(info), estimates_(estimates), with_ci_(with_ci) {}

  void intercept() { row("intercept                 %8.4f"); }

  void plain(const NameField* names, int32_t count) {
    for (int32_t j = 0; j < count; ++j) row("%12s              %8.4f", names[j].text);
  }

  void interactions(const NameField* tailors, int32_t n_tailor, const NameField* treatments,
                    int32_t n_treatment) {
    for (int32_t t = 0; t < n_treatment; ++t) {
      for (int32_t j = 0; j < n_tailor; ++j) {
        row("%8s:%10s       %8.4f", tailors[j].text, treatments[t].text);
      }
    }
  }

  void treatments(const NameField* names, int32_t count) {
    for (int32_t t = 0; t < count; ++t) row("%10s                %8.4f", names[t].text);
  }

 private:
  template <typename... Names>
  void row(const char* format, Names... names) {
    host().listingText(format, names..., estimates_[k_]);
    interval(k_);
    host().listingEndLine();
    ++k_;
  }

  void interval(int32_t k) const {
    if (with_ci_) host().listingText("     %10.4f  %10.4f", info_.upper[k], info_.lower[k]);
  }

  const KESTRIONINFOSTR& info_;
  const double* estimates_;
  bool with_ci_;
  int32_t k_ = 0;
};

void make_printable(NameField* names, int32_t count) {
  for (int32_t j = 0; j < count; ++j) host().nameToText(names[j].text, kNameLength);
}

}  // namespace

void kestrionOutput(KESTRIONINFOSTR& info) {
  const TalvenRoutines& h = host();
  const bool ci = info.deriveCI != 0;
  log("%3zkestrionOutput start.......");

  if (info.hasMain1) make_printable(info.main1Names, info.p10);
  make_printable(info.tailor1Names, info.p11);
  if (info.hasMain2) make_printable(info.main2Names, info.p20);
  make_printable(info.tailor2Names, info.p21);
  make_printable(info.stg1TrtNames, info.K1 - 1);
  make_printable(info.stg2TrtNames, info.K2 - 1);

  h.titles(0, nullptr, 0);
  char title[256];
  h.fill(' ', title, sizeof title);
  const int32_t length = h.format(title, static_cast<int32_t>(sizeof title),
                                  "%9tPROC TALVEN -- Q-Learning and Adaptive Confidence Intervals");
  h.titles(1, title, std::clamp<int32_t>(length, 0, static_cast<int32_t>(sizeof title) - 1));
  h.startListing();

  line(" ");
  empty_line();
  line("Number of observations in dataset:            %7ld", static_cast<long>(info.nObs));
  line("Number of observations in stage 1:            %7ld", static_cast<long>(info.n1));
  line("Number of observations in stage 2:            %7ld", static_cast<long>(info.n2));
  if (info.nCollinear > 0) {
    line("Number of collinear cases:                    %7ld", static_cast<long>(info.nCollinear));
    const char* warning = talven_study_text(info.study, TALVEN_TEXT_COLLINEAR, 0, nullptr);
    if (warning != nullptr) log("%2z%s", warning);
  }
  empty_line();

  line("First Stage Regression Result                     ");
  line(kRule);
  line(ci ? "                            Parameter      Confidence Interval "
          : "                            Parameter   ");
  line(ci ? "Variable                    Estimates      Upper       Lower   "
          : "Variable                    Estimates   ");
  Table stage1(info, info.beta1hat.data(), ci);
  stage1.intercept();
  if (info.hasMain1) stage1.plain(info.main1Names, info.p10);
  stage1.plain(info.tailor1Names, info.p11);
  stage1.interactions(info.tailor1Names, info.p11, info.stg1TrtNames, info.K1 - 1);
  stage1.treatments(info.stg1TrtNames, info.K1 - 1);

  if (info.nContrasts > 0) {
    const int32_t p1 = info.p1();
    empty_line();
    line(ci ? "                            Parameter      Confidence Interval"
            : "                            Parameter      ");
    line(ci ? "Contrasts                   Estimates      Upper       Lower   "
            : "Contrasts                   Estimates      ");
    for (int32_t m = 0; m < info.nContrasts; ++m) {
      const double estimate = info.contrast_estimates[static_cast<std::size_t>(m)];
      h.listingText("Contrast%2ld                %8.4f", static_cast<long>(m) + 1, estimate);
      if (ci) h.listingText("     %10.4f  %10.4f", info.upper[p1 + m], info.lower[p1 + m]);
      h.listingEndLine();
    }
  }
  empty_line();

  if (info.n2 > 0) {
    line("Second Stage Regression Result                    ");
    line(kRule);
    line("                            Parameter      ");
    line("Variable                    Estimates   ");
    Table stage2(info, info.beta2hat.data(), false);
    stage2.intercept();
    if (info.hasMain2) stage2.plain(info.main2Names, info.p20);
    stage2.plain(info.tailor2Names, info.p21);
    stage2.interactions(info.tailor2Names, info.p21, info.stg2TrtNames, info.K2 - 1);
    stage2.treatments(info.stg2TrtNames, info.K2 - 1);
    empty_line();
  }
}

}  // namespace talven
