// The value of the regimes: the estimated regime's value from the stage-1 fit, and the values of
// the regimes the trial embeds by normalised inverse probability weighting, with percentile
// bootstrap intervals for them and their pairwise differences.
#ifndef KESTRION_ENGINE_REGIME_VALUE_H
#define KESTRION_ENGINE_REGIME_VALUE_H

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "engine/model.h"
#include "numerics/array.h"
#include "numerics/error_record.h"

namespace kestrion {

struct ValueOptions {
  double alpha = 0.05;
  int32_t nBootValue = 1000;
  int32_t seed = 0;  // 0: the clock stands for the seed
  int32_t cores = 0;
  bool minimize = false;
  double mAlpha = 0.0;  // 0: chosen by the double bootstrap
  int32_t nBootTune = 200;
  int32_t nBootstrap2 = 1000;
  // False: the estimated regime's row keeps its point value alone (for callers and tests that
  // want the embedded regimes only).
  bool optimalInterval = true;
};

// Row statuses, as kestrion.h numbers them.
enum class ValueStatus : int32_t { kOk = 0, kNoInterval = 1, kNotEstimable = 2, kMerged = 3 };

struct ValueRow {
  double estimate = std::numeric_limits<double>::quiet_NaN();
  double lower = std::numeric_limits<double>::quiet_NaN();
  double upper = std::numeric_limits<double>::quiet_NaN();
  int32_t followers = -1;
  int32_t kept = 0;
  ValueStatus status = ValueStatus::kNoInterval;
};

// Rows in the order of kestrion.h: the estimated regime, the K1*K2 embedded regimes (a1 code
// outer), their differences (r < s, r outer).
struct ValueTable {
  std::vector<ValueRow> rows;
  double m = std::numeric_limits<double>::quiet_NaN();
  double pHat = std::numeric_limits<double>::quiet_NaN();
  double mAlpha = std::numeric_limits<double>::quiet_NaN();
  int32_t choice = 0;  // MAlphaChoice (value_interval.h)
};

// The full-data estimates of both stages (p1, p2), in the outcome's own sign.
struct FullDataEstimates {
  ConstDblVec beta1hat;
  ConstDblVec beta2hat;
};

int64_t value_row_count(int32_t K1, int32_t K2);
// Row of the difference of embedded regimes r < s (0-based among the R embedded ones).
int64_t difference_row(int32_t R, int32_t r, int32_t s);

// The mean over the subjects of the largest fitted stage-1 Q-value (smallest with minimize).
double estimated_regime_value(const ModelShape& shape, const StudyArrays& study,
                              ConstDblVec beta1hat, bool minimize);

// The embedded regimes' values on the subjects rows[0 .. n1) (row numbers 1..n1; null: every
// subject once, in order). value[r] is NaN where regime r is not estimable.
class EmbeddedScratch;
void embedded_values(const ModelShape& shape, const StudyArrays& study, const int32_t* rows,
                     EmbeddedScratch& scratch, double* value, int32_t* followers);
class EmbeddedScratch {
 public:
  explicit EmbeddedScratch(const ModelShape& shape);

 private:
  friend void embedded_values(const ModelShape&, const StudyArrays&, const int32_t*,
                              EmbeddedScratch&, double*, int32_t*);
  std::vector<int32_t> count1;   // K1: subjects given a1
  std::vector<int32_t> count2;   // K1: of them in the stage-2 sample
  std::vector<int32_t> count12;  // K1*K2: of those given a2
  std::vector<double> sum_w;
  std::vector<double> sum_wy;
};

// Fills rows[0 .. size) with row numbers 1..n drawn with replacement; called on the calling
// thread, one resample after another in the order kestrion.h states.
using ResampleSource = std::function<void(int32_t n, int32_t size, int32_t* rows)>;
// The value bootstrap's own generator (uniform_generator.h): row k = ceil(u * n).
ResampleSource value_resamples(int32_t seed);

// The arguments must have been checked (value_arguments_problem). Memory that cannot be had is
// reported in `record` with code 200.
// The estimated regime's interval needs two treatments at each stage; otherwise its row has the
// point value alone. A stop request, and too few usable refits, end the call with a report.
Status value_table(const ModelShape& shape, const StudyArrays& study,
                   const FullDataEstimates& estimates, const ValueOptions& options,
                   const ResampleSource& resamples, ValueTable& table, ErrorRecord& record);

// The first problem of a call, as a sentence, or empty when it is usable.
std::string value_arguments_problem(const ModelShape& shape, const StudyArrays& study,
                                    const FullDataEstimates& estimates,
                                    const ValueOptions& options);

}  // namespace kestrion

#endif  // KESTRION_ENGINE_REGIME_VALUE_H
