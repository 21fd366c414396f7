#include "frontend/study_tally.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace talven {

LeftOutTally::LeftOutTally(const std::vector<int32_t>& reading,
                           const std::vector<std::string>& names, const Layout& layout)
    : names_(names), layout_(layout), reading_(reading) {
  for (int32_t column : reading) {
    std::size_t k = 0;
    while (k < columns_.size() && columns_[k] != column) ++k;
    if (k == columns_.size()) columns_.push_back(column);
    variable_of_.push_back(k);
  }
  missing_.assign(columns_.size(), 0);
  stage2_missing_.assign(columns_.size(), 0);
  seen_.assign(columns_.size(), -1);
  stage2_seen_.assign(columns_.size(), -1);
}

void LeftOutTally::left_out(const double* values, const uint8_t* missing, bool in_sample,
                            bool bad_sample) {
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

void LeftOutTally::stage2_missing(const uint8_t* missing) {
  for (int64_t p = layout_.stage2_begin; p < layout_.stage2_end; ++p) {
    if (missing[p]) count_once(stage2_missing_, stage2_seen_, static_cast<std::size_t>(p));
  }
}

void LeftOutTally::count_once(std::vector<int64_t>& counts, std::vector<int64_t>& seen,
                              std::size_t pos) {
  const std::size_t k = variable_of_[pos];
  if (seen[k] == observation_) return;
  seen[k] = observation_;
  ++counts[k];
}

std::string LeftOutTally::sample_name() const {
  return names_[static_cast<std::size_t>(reading_[static_cast<std::size_t>(layout_.sample)])];
}

std::vector<std::pair<std::string, int64_t>> LeftOutTally::reasons() const {
  std::vector<std::pair<std::string, int64_t>> reasons;
  for (std::size_t k = 0; k < columns_.size(); ++k) {
    if (missing_[k] > 0) {
      reasons.push_back({names_[static_cast<std::size_t>(columns_[k])] + " missing", missing_[k]});
    }
  }
  if (bad_sample_ > 0) reasons.push_back({sample_name() + " neither 0 nor 1", bad_sample_});
  // Most first; ties in the order of the names, so that the NOTE reads the same whatever the
  // order of the lists.
  std::sort(reasons.begin(), reasons.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  });
  return reasons;
}

void LeftOutTally::report(const Say& say, int64_t delivered) const {
  if (left_out_ > 0) {
    std::vector<std::pair<std::string, int64_t>> reasons = this->reasons();
    if (reasons.size() > kMostReasons) reasons.resize(kMostReasons);
    std::string text;
    for (const auto& [reason, count] : reasons) {
      if (!text.empty()) text += ", ";
      text.append(reason).append(" in ").append(std::to_string(count));
    }
    say(TALVEN_MESSAGE_NOTE, std::to_string(left_out_) + " of " + std::to_string(delivered) +
                                 " observations were left out: " + text + ".");
  }
  if (bad_sample_ > 0) report_bad_sample(say);
  if (layout_.sample < 0) report_stage2_missing(say, delivered);
}

void LeftOutTally::report_bad_sample(const Say& say) const {
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
  say(TALVEN_MESSAGE_WARNING, "STG2SAMPLE variable " + sample_name() +
                                  " must be 0 (outside the stage-2 sample) or 1 (in it); " + text +
                                  (bad_sample_ == 1 ? " was" : " were") + " left out.");
}

void LeftOutTally::report_stage2_missing(const Say& say, int64_t delivered) const {
  std::size_t worst = 0;
  for (std::size_t k = 1; k < columns_.size(); ++k) {
    if (stage2_missing_[k] > stage2_missing_[worst]) worst = k;
  }
  const int64_t count = stage2_missing_.empty() ? 0 : stage2_missing_[worst];
  if (count == 0 || count * 10 < delivered) return;
  say(TALVEN_MESSAGE_WARNING,
      "Without STG2SAMPLE every observation is in the stage-2 sample, and " +
          names_[static_cast<std::size_t>(columns_[worst])] + " is missing in " +
          std::to_string(count) + " of " + std::to_string(delivered) +
          " observations, which were therefore left out of both stages. If only some subjects "
          "entered stage 2, mark them with a STG2SAMPLE statement.");
}

}  // namespace talven
