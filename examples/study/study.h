// Synthetic two-stage SMART studies for the example, the tests and the benchmarks.
//
// A study is a table of named numeric columns, one row per subject, NaN for a missing value.
// generate_study() draws one from a fixed seed; the same options give the same study, bit for
// bit, on every machine: the generator avoids the standard library's distributions, whose
// algorithms are left to each implementation, and rounds its values to 4 decimals, so only a
// math library whose log, exp, sin or cos differ from glibc's in more than the last bit could
// change a value. The test that regenerates examples/smart_study.csv would show it.
//
// The model behind a generated study (column names in brackets):
//   - baseline: age [age], further main-effect covariates [x1_2, x1_3, ...] and tailoring
//     covariates, the first being a severity score [o11, o12, ...];
//   - stage-1 treatment, randomised over K1 arms [a1, or a1_1 ... a1_(K1-1)];
//   - response: less likely with higher severity; responders leave the trial's second stage
//     (stage2 = 0), non-responders form the stage-2 sample (stage2 = 1) [stage2];
//   - non-responders only: a side-effect score and further stage-2 main covariates [sidefx,
//     x2_2, ...], tailoring covariates, the first being adherence [o21, o22, ...], and a
//     re-randomised stage-2 treatment [a2, or a2_1 ... a2_(K2-1)].
//     Responders were not re-randomised and not measured again: their stage-2 columns are
//     missing (empty in the CSV);
//   - final outcome [y]: main effects, the treatment effects tailored by o11 and o21, a bonus
//     for responders and standard normal noise.
// With stage2_indicator = false every subject is a non-responder and there is no stage2 column.
//
// build_analysis_arrays() turns a study and the variable lists of an analysis into the input
// arrays of runkestrion (include/kestrion.h), selecting complete cases and coding treatments
// the way the TALVEN procedure does, so that benchmarks and engine tests can call the library
// without the talven command.
#ifndef TALVEN_EXAMPLES_STUDY_STUDY_H_
#define TALVEN_EXAMPLES_STUDY_STUDY_H_

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "kestrion.h"
#include "kestrion_model.h"

namespace smart {

// How the K-1 columns of a treatment show its arm. "low" and "high" are -1 and 1, or 0 and 1.
enum class TreatmentCoding { kMinusOnePlusOne, kZeroOne };

// With more than two arms: kOneHot gives arm 1 every column low and arm k > 1 column k-1 high;
// kTuple gives arm k its first k-1 columns high, so no single column identifies every arm.
// With two arms both give arm 1 low, arm 2 high.
enum class ArmLayout { kOneHot, kTuple };

struct StudyOptions {
  int n = 300;
  std::uint64_t seed = 2018;
  int n_main1 = 1;    // age, x1_2, x1_3, ...
  int n_tailor1 = 1;  // o11, o12, ...  (at least 1: o11 drives the model)
  int n_main2 = 1;    // sidefx, x2_2, ...
  int n_tailor2 = 1;  // o21, o22, ...  (at least 1: o21 drives the model)
  int k1 = 2;         // arms per stage
  int k2 = 2;
  TreatmentCoding coding = TreatmentCoding::kMinusOnePlusOne;
  ArmLayout layout = ArmLayout::kOneHot;
  // false: everyone is re-randomised at stage 2 and the study has no stage2 column.
  bool stage2_indicator = true;
  // Multiplies every stage-2 treatment effect; 0 makes stage 2 non-regular (no effect at all).
  double stage2_effect = 1.0;
  // Fraction of subjects, among those who have the group, with one value of the group blanked:
  // stage 1 (MAIN1, TAILOR1, stage-1 treatment), stage 2 (MAIN2, TAILOR2, stage-2 treatment of
  // non-responders), response (y). Drawn from a stream of their own, so the values that stay
  // are those of the same study without missing values.
  double missing_stage1 = 0.0;
  double missing_stage2 = 0.0;
  double missing_response = 0.0;
  // Adds a column "const1" equal to 1 for every subject: collinear with the intercept.
  bool constant_covariate = false;

  // Empty when the options are usable, else a message naming the offending option.
  std::string validate() const;
};

struct Column {
  std::string name;
  std::vector<double> values;  // NaN = missing
};

struct Study {
  std::vector<Column> columns;

  std::size_t rows() const { return columns.empty() ? 0 : columns.front().values.size(); }
  // Null when there is no column of that name (names compared exactly).
  const Column* find(std::string_view name) const;
};

// The variable lists of an analysis, as on the TALVEN statement. An empty stg2sample means the
// list is not given: every complete case is then in the stage-2 sample.
struct AnalysisSpec {
  std::vector<std::string> main1, tailor1, stg1trt;
  std::string stg2sample;
  std::vector<std::string> main2, tailor2, stg2trt;
  std::string response;
  int k1 = 2;
  int k2 = 2;
};

// The model a generated study was drawn from: every generated covariate in its list.
AnalysisSpec default_spec(const StudyOptions& options);

// Throws std::invalid_argument with the message of StudyOptions::validate() on bad options.
Study generate_study(const StudyOptions& options);

// Header row of names, then one row per subject; a missing value is an empty field, every other
// value the shortest text that reads back as the same double.
void write_csv(const Study& study, std::ostream& out);

// Inputs of runkestrion; names are its argument names. Matrices are column-major: element
// (i, j) of an r-by-c matrix at i + j*r. Level tables are (K-1) x K, column k holding the
// treatment values of arm k. A typical call:
//
//   smart::AnalysisArrays a;
//   std::string error;
//   if (!smart::build_analysis_arrays(study, smart::default_spec(options), &a, &error)) ...
//   runkestrion(1, 2, a.Y1.data(), a.inputY2.data(), a.n1, a.n2, a.respStatus.data(),
//               a.A1.data(), a.inputA2.data(), a.H10.data(), a.p10, a.H11.data(), a.p11,
//               a.inputH20.data(), a.p20, a.inputH21.data(), a.p21, a.levels1.data(), a.K1,
//               a.levels2.data(), a.K2, contrasts, nC, ...);
// The shape fields p10 ... K2 and the sizes p1(), p2() are the library's (kestrion_model.h).
struct AnalysisArrays : kestrion::ModelShape {
  std::int32_t n1 = 0, n2 = 0;
  std::vector<double> Y1, inputY2;
  std::vector<std::int32_t> respStatus, A1, inputA2;
  std::vector<double> H10, H11, inputH20, inputH21;
  std::vector<double> levels1, levels2;
  std::int32_t dropped = 0;  // observations left out as incomplete
};

// The data of an analysis as the value computations take them, with the stage estimates beside.
inline KestrionValueData value_data(const AnalysisArrays& a, const double* beta1,
                                    const double* beta2) {
  return {a.n1,
          a.n2,
          a.Y1.data(),
          a.inputY2.data(),
          a.respStatus.data(),
          a.A1.data(),
          a.inputA2.data(),
          a.H10.data(),
          a.p10,
          a.H11.data(),
          a.p11,
          a.inputH20.data(),
          a.p20,
          a.inputH21.data(),
          a.p21,
          a.levels1.data(),
          a.K1,
          a.levels2.data(),
          a.K2,
          beta1,
          beta2};
}

// Selects the complete cases, decides stage-2 membership, codes the treatments and fills *out.
// The rules are the procedure's:
//   - a subject is kept when its response and STG2SAMPLE value are present, the STG2SAMPLE
//     value v truncated toward zero is 0 or 1, its stage-1 values are present and, if it is in
//     the stage-2 sample (v = 1, or no STG2SAMPLE), its stage-2 values are present;
//   - stage-2 treatment values are truncated toward zero;
//   - an arm is the tuple of a subject's K-1 treatment values, components equal within 1e-8;
//     arms are numbered 1..K by first appearance, stage-2 arms among the stage-2 sample only;
//   - a subject outside the stage-2 sample keeps the stage-2 values it has; a missing one is
//     stored as 0, and its stage-2 code is that of its arm if known, else 1.
// Returns false with a message in *error (and *out unspecified) for an unknown column, list
// sizes that do not fit K, more than K arms in a stage, or fewer stage-2 subjects than p2.
bool build_analysis_arrays(const Study& study, const AnalysisSpec& spec, AnalysisArrays* out,
                           std::string* error);

}  // namespace smart

#endif  // TALVEN_EXAMPLES_STUDY_STUDY_H_
