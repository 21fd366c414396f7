// Why observations were left out: the missing-data warning says only that some were.
#ifndef TALVEN_FRONTEND_STUDY_TALLY_H
#define TALVEN_FRONTEND_STUDY_TALLY_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "frontend/study.h"

namespace talven {

class LeftOutTally {
 public:
  using Say = std::function<void(int32_t severity, const std::string& text)>;

  // `reading` holds the column of each reading position; a variable may be read at several
  // positions (age in MAIN1 and MAIN2) and counts once per observation.
  LeftOutTally(const std::vector<int32_t>& reading, const std::vector<std::string>& names,
               const Layout& layout);

  // Stage-2 values count only for observations in the stage-2 sample: the others need none.
  void left_out(const double* values, const uint8_t* missing, bool in_sample, bool bad_sample);
  // Without STG2SAMPLE: how often each stage-2 variable is missing among all observations.
  void stage2_missing(const uint8_t* missing);
  void next_observation() { ++observation_; }

  void report(const Say& say, int64_t delivered) const;
  // Every reason an observation was left out, with its count: most first, ties by name.
  std::vector<std::pair<std::string, int64_t>> reasons() const;

 private:
  static constexpr std::size_t kMostReasons = 10;
  static constexpr std::size_t kMostValues = 5;

  void count_once(std::vector<int64_t>& counts, std::vector<int64_t>& seen, std::size_t pos);
  std::string sample_name() const;
  void report_bad_sample(const Say& say) const;
  void report_stage2_missing(const Say& say, int64_t delivered) const;

  const std::vector<std::string>& names_;
  Layout layout_;
  std::vector<int32_t> reading_;
  std::vector<int32_t> columns_;          // distinct variables, in reading order
  std::vector<std::size_t> variable_of_;  // reading position -> index into columns_
  std::vector<int64_t> missing_;
  std::vector<int64_t> stage2_missing_;
  std::vector<int64_t> seen_;
  std::vector<int64_t> stage2_seen_;
  std::map<double, int64_t> bad_values_;
  int64_t observation_ = 0;
  int64_t left_out_ = 0;
  int64_t bad_sample_ = 0;
};

}  // namespace talven

#endif  // TALVEN_FRONTEND_STUDY_TALLY_H
