// Reads DATA=: keeps the complete cases, decides the stage-2 sample, and codes the treatments of
// each stage by the order in which their levels first appear.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "procedure/host_services.h"
#include "procedure/kestrion_info.h"

namespace talven {
namespace {

// Where each group of variables sits in one observation, in reading order.
struct Layout {
  int64_t main1 = 0, tailor1 = 0, trt1 = 0, sample = -1, main2 = 0, tailor2 = 0, trt2 = 0,
          response = 0;
  int64_t stage1_end = 0, stage2_begin = 0, stage2_end = 0;
};

Layout layout_of(const KESTRIONINFOSTR& info) {
  Layout l;
  int64_t pos = 0;
  l.main1 = pos;
  pos += info.p10;
  l.tailor1 = pos;
  pos += info.p11;
  l.trt1 = pos;
  pos += info.K1 - 1;
  l.stage1_end = pos;
  if (info.hasStg2Sample) l.sample = pos++;
  l.stage2_begin = pos;
  l.main2 = pos;
  pos += info.p20;
  l.tailor2 = pos;
  pos += info.p21;
  l.trt2 = pos;
  pos += info.K2 - 1;
  l.stage2_end = pos;
  l.response = pos;
  return l;
}

// A treatment level is the tuple of a subject's K-1 treatment values; with two treatments that is
// the single value. Column k of the (K-1) x K table holds level k.
class LevelTable {
 public:
  LevelTable(double* table, int32_t k) : table_(table), k_(k), rows_(k - 1) {}

  bool matches(const double* values, int32_t column) const {
    for (int32_t t = 0; t < rows_; ++t) {
      if (!(std::fabs(values[t] - at(table_, rows_, t, column)) < kLevelTolerance)) return false;
    }
    return true;
  }

  // False when the values are a new level and the table is already full.
  bool learn(const double* values) {
    for (int32_t c = 0; c < found_; ++c) {
      if (matches(values, c)) return true;
    }
    if (found_ == k_) return false;
    for (int32_t t = 0; t < rows_; ++t) at(table_, rows_, t, found_) = values[t];
    ++found_;
    return true;
  }

  int32_t found() const { return found_; }

  // The last matching column counts, unfilled ones (all 0) included; 0 when none matches.
  int32_t code(const double* values) const {
    for (int32_t c = k_ - 1; c >= 0; --c) {
      if (matches(values, c)) return c + 1;
    }
    return 0;
  }

 private:
  double* table_;
  int32_t k_;
  int32_t rows_;
  int32_t found_ = 0;
};

void copy_values(double* target, int64_t n1, int64_t i, const double* source, int64_t count) {
  for (int64_t j = 0; j < count; ++j) at(target, n1, i, j) = source[j];
}

// OUT= describes every observation read, not only those the fits use.
void keep_for_out(KESTRIONINFOSTR& info, const Layout& l, const uint8_t* missing, int64_t d,
                  bool retained, bool in_stage2) {
  double* out = info.out_covariates + d * info.covariate_width();
  const std::pair<int64_t, int64_t> groups[] = {
      {l.main1, info.p10}, {l.tailor1, info.p11}, {l.main2, info.p20}, {l.tailor2, info.p21}};
  for (const auto& [first, count] : groups) {
    for (int64_t pos = first; pos < first + count; ++pos) {
      *out++ = missing[pos] != 0 ? NAN : info.obsBuffer[pos];
    }
  }
  info.out_fits[2 * d] = retained ? 1 : 0;
  info.out_fits[2 * d + 1] = in_stage2 ? 1 : 0;
}

// Why observations were left out: the specified warning says only that some were. A variable
// may be read at several positions (age in MAIN1 and MAIN2); each counts once per observation.
class LeftOutTally {
 public:
  LeftOutTally(const KESTRIONINFOSTR& info, const Layout& layout) : layout_(layout) {
    for (int32_t pos = 0; pos < info.nReadVars; ++pos) {
      const int32_t number = info.readVarNumbers[pos];
      std::size_t k = 0;
      while (k < numbers_.size() && numbers_[k] != number) ++k;
      if (k == numbers_.size()) numbers_.push_back(number);
      variable_of_.push_back(k);
    }
    missing_.assign(numbers_.size(), 0);
    stage2_missing_.assign(numbers_.size(), 0);
    seen_.assign(numbers_.size(), -1);
    stage2_seen_.assign(numbers_.size(), -1);
  }

  // Stage-2 values count only for observations in the stage-2 sample: the others need none.
  void left_out(const double* values, const uint8_t* missing, bool in_sample, bool bad_sample) {
    ++left_out_;
    if (bad_sample) ++bad_sample_;
    for (std::size_t pos = 0; pos < variable_of_.size(); ++pos) {
      const auto p = static_cast<int64_t>(pos);
      if (!missing[pos]) continue;
      if (p >= layout_.stage2_begin && p < layout_.stage2_end && !in_sample) continue;
      count_once(missing_, seen_, pos);
    }
    if (bad_sample) ++bad_values_[values[layout_.sample]];
  }

  // Without STG2SAMPLE: how often each stage-2 variable is missing among all observations.
  void stage2_missing(const uint8_t* missing) {
    for (int64_t p = layout_.stage2_begin; p < layout_.stage2_end; ++p) {
      if (missing[p]) count_once(stage2_missing_, stage2_seen_, static_cast<std::size_t>(p));
    }
  }

  void next_observation() { ++observation_; }

  void report(const KESTRIONINFOSTR& info, int64_t delivered) const {
    if (left_out_ > 0) {
      std::vector<std::pair<std::string, int64_t>> reasons;
      for (std::size_t k = 0; k < numbers_.size(); ++k) {
        if (missing_[k] > 0) {
          reasons.push_back({variable_name(info.dataSet, numbers_[k]) + " missing", missing_[k]});
        }
      }
      if (bad_sample_ > 0) {
        reasons.push_back({sample_name(info) + " neither 0 nor 1", bad_sample_});
      }
      // Most first; ties in the order of the names, so that the NOTE reads the same whatever
      // the order of the statements.
      std::sort(reasons.begin(), reasons.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
      });
      if (reasons.size() > kMostReasons) reasons.resize(kMostReasons);
      std::string text;
      for (const auto& [reason, count] : reasons) {
        if (!text.empty()) text += ", ";
        text.append(reason).append(" in ").append(std::to_string(count));
      }
      log("%3z%ld of %ld observations were left out: %s.", static_cast<long>(left_out_),
          static_cast<long>(delivered), text.c_str());
    }
    if (bad_sample_ > 0) report_bad_sample(info);
    if (layout_.sample < 0) report_stage2_missing(info, delivered);
  }

 private:
  static constexpr std::size_t kMostReasons = 10;
  static constexpr std::size_t kMostValues = 5;

  void count_once(std::vector<int64_t>& counts, std::vector<int64_t>& seen, std::size_t pos) {
    const std::size_t k = variable_of_[pos];
    if (seen[k] == observation_) return;
    seen[k] = observation_;
    ++counts[k];
  }

  static std::string sample_name(const KESTRIONINFOSTR& info) {
    return variable_name(info.dataSet, info.readVarNumbers[info.p10 + info.p11 + info.K1 - 1]);
  }

  void report_bad_sample(const KESTRIONINFOSTR& info) const {
    std::vector<std::pair<double, int64_t>> values(bad_values_.begin(), bad_values_.end());
    // Most first; ties in increasing order of value (the map's order).
    std::stable_sort(values.begin(), values.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    auto observations = [](int64_t count) {
      return std::to_string(count) + (count == 1 ? " observation" : " observations");
    };
    std::vector<std::string> parts;
    int64_t listed = 0;
    for (std::size_t v = 0; v < values.size() && v < kMostValues; ++v) {
      char value[64];
      std::snprintf(value, sizeof value, "%.10g", values[v].first);
      parts.push_back(observations(values[v].second) + " with the value " + value);
      listed += values[v].second;
    }
    if (listed < bad_sample_)
      parts.push_back(observations(bad_sample_ - listed) + " with other values");
    std::string text;
    for (std::size_t k = 0; k < parts.size(); ++k) {
      text += k == 0 ? "" : (k + 1 == parts.size() ? " and " : ", ");
      text += parts[k];
    }
    log("%2zSTG2SAMPLE variable %s must be 0 (outside the stage-2 sample) or 1 (in it); %s %s "
        "left out.",
        sample_name(info).c_str(), text.c_str(), bad_sample_ == 1 ? "was" : "were");
  }

  void report_stage2_missing(const KESTRIONINFOSTR& info, int64_t delivered) const {
    std::size_t worst = 0;
    for (std::size_t k = 1; k < numbers_.size(); ++k) {
      if (stage2_missing_[k] > stage2_missing_[worst]) worst = k;
    }
    const int64_t count = stage2_missing_.empty() ? 0 : stage2_missing_[worst];
    if (count == 0 || count * 10 < delivered) return;
    log("%2zWithout STG2SAMPLE every observation is in the stage-2 sample, and %s is missing in "
        "%ld of %ld observations, which were therefore left out of both stages. If only some "
        "subjects entered stage 2, mark them with a STG2SAMPLE statement.",
        variable_name(info.dataSet, numbers_[worst]).c_str(), static_cast<long>(count),
        static_cast<long>(delivered));
  }

  const Layout& layout_;
  std::vector<int32_t> numbers_;          // distinct variables, in reading order
  std::vector<std::size_t> variable_of_;  // reading position -> index into numbers_
  std::vector<int64_t> missing_;
  std::vector<int64_t> stage2_missing_;
  std::vector<int64_t> seen_;
  std::vector<int64_t> stage2_seen_;
  std::map<double, int64_t> bad_values_;
  int64_t observation_ = 0;
  int64_t left_out_ = 0;
  int64_t bad_sample_ = 0;
};

}  // namespace

void getKestrionData(KESTRIONINFOSTR& info) {
  const TalvenRoutines& h = host();
  log("%3zgetKestrionData start.......");
  const Layout l = layout_of(info);
  const int64_t width = info.nReadVars;

  if (h.declareVariables(info.dataSet, TALVEN_DECLARE_VARIABLES, info.readVarNumbers,
                         info.nReadVars) != 0) {
    stop("%1zThe variables of data set %s cannot be declared for reading.",
         h.dataSetName(info.dataSet));
  }
  info.dataReader = h.readerCreate(info.dataSet, info.nReadVars);
  if (info.dataReader == nullptr)
    stop("%1zData set %s cannot be read.", h.dataSetName(info.dataSet));
  for (int64_t k = 0; k < width; ++k) {
    if (h.readerBind(info.dataReader, info.readVarNumbers[k], &info.obsBuffer[k], 8,
                     TALVEN_BIND_DOUBLE) != 0) {
      stop("%1zVariable %d of data set %s cannot be read.", info.readVarNumbers[k],
           h.dataSetName(info.dataSet));
    }
  }
  if (h.readerFinish(info.dataReader) != 0) {
    stop("%1zData set %s cannot be read.", h.dataSetName(info.dataSet));
  }

  // Each kept observation goes straight to its place in the subject arrays, laid out for nObs
  // subjects until the count is known; a staging copy of the whole data set would cost as much
  // memory again. Treatment values wait in their own tables until every level has been seen.
  const std::size_t capacity = static_cast<std::size_t>(info.nObs);
  const std::size_t stage1_width = static_cast<std::size_t>(info.K1 - 1);
  const std::size_t stage2_width = static_cast<std::size_t>(info.K2 - 1);
  info.H10 = allocate_array<double>(capacity * static_cast<std::size_t>(info.p10), "H10");
  info.H11 = allocate_array<double>(capacity * static_cast<std::size_t>(info.p11), "H11");
  info.inputH20 = allocate_array<double>(capacity * static_cast<std::size_t>(info.p20), "inputH20");
  info.inputH21 = allocate_array<double>(capacity * static_cast<std::size_t>(info.p21), "inputH21");
  info.respStatus = allocate_array<int32_t>(capacity, "respStatus");
  info.A1 = allocate_array<int32_t>(capacity, "A1");
  info.inputA2 = allocate_array<int32_t>(capacity, "inputA2");
  info.inputY2 = allocate_array<double>(capacity, "inputY2");
  info.Y1 = allocate_array<double>(capacity, "Y1");
  double* treatments1 = allocate_array<double>(capacity * stage1_width, "stage1Treatments");
  double* treatments2 = allocate_array<double>(capacity * stage2_width, "stage2Treatments");
  double* row = allocate_array<double>(static_cast<std::size_t>(width), "observation");
  const int64_t rows = info.nObs;

  LeftOutTally tally(info, l);
  const std::size_t covariates = static_cast<std::size_t>(info.covariate_width());
  if (info.has_out) {
    info.out_covariates = allocate_array<double>(capacity * covariates, "outCovariates");
    info.out_fits = allocate_array<int32_t>(capacity * 2, "outFits");
  }
  std::vector<uint8_t> missing(static_cast<std::size_t>(width));
  int64_t n1 = 0;
  int64_t delivered = 0;
  while (h.readerNext(info.dataReader)) {
    if (delivered == info.nObs) {
      log("%2zData set %s delivered more than its %ld observations; the others were not read.",
          h.dataSetName(info.dataSet), static_cast<long>(info.nObs));
      break;
    }
    ++delivered;
    h.readerTransfer(info.dataReader);
    bool missing_stage1 = false, missing_sample = false, missing_stage2 = false,
         missing_response = false;
    for (int64_t pos = 0; pos < width; ++pos) {
      const double value = info.obsBuffer[pos];
      missing[static_cast<std::size_t>(pos)] = h.isMissing(value) ? 1 : 0;
      if (missing[static_cast<std::size_t>(pos)] != 0) {
        if (pos < l.stage1_end) {
          missing_stage1 = true;
        } else if (pos == l.sample) {
          missing_sample = true;
        } else if (pos < l.stage2_end) {
          missing_stage2 = true;
        } else {
          missing_response = true;
        }
        // Missing stage-2 treatments stay recognisable so that their code can be settled.
        row[pos] = pos >= l.trt2 && pos < l.stage2_end ? NAN : 0.0;
      } else {
        row[pos] = pos >= l.trt2 && pos < l.stage2_end ? std::trunc(value) : value;
      }
    }
    double s = 0.0;
    const double sample_value = l.sample >= 0 ? row[l.sample] : 0.0;
    if (l.sample >= 0 && !missing_sample) {
      s = 1.0 - std::trunc(row[l.sample]);
      row[l.sample] = s;
    }
    const bool retained =
        !missing_sample && !missing_response &&
        ((s == 0.0 && !missing_stage1 && !missing_stage2) || (s == 1.0 && !missing_stage1));
    const uint8_t* flags = missing.data();
    if (l.sample < 0 && missing_stage2) tally.stage2_missing(flags);
    if (!retained) {
      const bool bad_sample = !missing_sample && s != 0.0 && s != 1.0;
      if (bad_sample) row[l.sample] = sample_value;
      tally.left_out(row, flags, !missing_sample && s == 0.0, bad_sample);
    }
    tally.next_observation();
    if (info.has_out)
      keep_for_out(info, l, missing.data(), delivered - 1, retained, retained && s == 0.0);
    if (!retained) continue;
    copy_values(info.H10, rows, n1, row + l.main1, info.p10);
    copy_values(info.H11, rows, n1, row + l.tailor1, info.p11);
    copy_values(info.inputH20, rows, n1, row + l.main2, info.p20);
    copy_values(info.inputH21, rows, n1, row + l.tailor2, info.p21);
    for (std::size_t t = 0; t < stage1_width; ++t) {
      treatments1[static_cast<std::size_t>(n1) * stage1_width + t] = row[l.trt1 + t];
    }
    for (std::size_t t = 0; t < stage2_width; ++t) {
      treatments2[static_cast<std::size_t>(n1) * stage2_width + t] = row[l.trt2 + t];
    }
    info.respStatus[n1] = l.sample >= 0 ? static_cast<int32_t>(row[l.sample]) : 0;
    info.inputY2[n1] = row[l.response];
    ++n1;
  }
  release_array(row);
  info.n1 = static_cast<int32_t>(n1);
  info.n_delivered = delivered;
  tally.report(info, delivered);
  if (info.n1 < info.nObs) {
    log("%2zThere are missing data in the dataset, complete case analysis was used.");
  }
  // Close the columns up to n1 rows, the layout the library expects. Column j only moves
  // towards the front, so the columns are moved in increasing order.
  if (n1 < rows) {
    const std::pair<double*, int64_t> tables[] = {{info.H10, info.p10},
                                                  {info.H11, info.p11},
                                                  {info.inputH20, info.p20},
                                                  {info.inputH21, info.p21}};
    for (const auto& [table, columns] : tables) {
      for (int64_t j = 1; j < columns; ++j) {
        std::memmove(table + j * n1, table + j * rows,
                     static_cast<std::size_t>(n1) * sizeof(double));
      }
    }
  }

  const std::size_t n_limits = static_cast<std::size_t>(info.p1() + info.nContrasts);
  info.beta1hat = allocate_array<double>(static_cast<std::size_t>(info.p1()), "beta1hat");
  info.beta2hat = allocate_array<double>(static_cast<std::size_t>(info.p2()), "beta2hat");
  info.upper = allocate_array<double>(n_limits, "upper");
  info.lower = allocate_array<double>(n_limits, "lower");
  for (std::size_t k = 0; k < n_limits; ++k) info.upper[k] = info.lower[k] = 0.0;

  LevelTable levels1(info.levels1, info.K1);
  LevelTable levels2(info.levels2, info.K2);
  info.n2 = 0;
  for (int64_t i = 0; i < n1; ++i) {
    if (!levels1.learn(treatments1 + static_cast<std::size_t>(i) * stage1_width)) {
      stop(
          "%1zTreatment variable in stage 1 has more than 2 treatments, this version of Proc "
          "TALVEN only allows 2 treatments.");
    }
    if (info.respStatus[i] == 0) ++info.n2;
    if (info.respStatus[i] == 0 &&
        !levels2.learn(treatments2 + static_cast<std::size_t>(i) * stage2_width)) {
      stop(
          "%1zTreatment variable in stage 2 has more than 2 treatments, this version of Proc "
          "TALVEN only allows 2 treatments.");
    }
  }

  info.levels1_found = levels1.found();
  info.levels2_found = levels2.found();
  if (info.n2 < info.p2()) stop("%1zThere is not enough data at stage 2 for the method to work.");

  for (int64_t i = 0; i < n1; ++i) {
    info.A1[i] = levels1.code(treatments1 + static_cast<std::size_t>(i) * stage1_width);
    // Outside the stage-2 sample a missing or unknown stage-2 treatment still needs a valid code.
    const int32_t code2 = levels2.code(treatments2 + static_cast<std::size_t>(i) * stage2_width);
    info.inputA2[i] = code2 > 0 ? code2 : 1;
    info.Y1[i] = info.inputY2[i];
  }

  release_array(treatments1);
  release_array(treatments2);
  log("%3zgetKestrionData end.......");
}

}  // namespace talven
