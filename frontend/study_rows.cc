// The observations: complete cases, the stage-2 sample, and each stage's treatments coded by the
// order in which their levels first appear.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "frontend/study.h"
#include "frontend/study_tally.h"

namespace talven {
namespace {

// A treatment level is the tuple of a subject's K-1 treatment values; with two treatments that is
// the single value. Column k of the (K-1) x K table holds level k.
class LevelTable {
 public:
  LevelTable(double* table, int32_t k) : table_(table), k_(k), rows_(k - 1) {}

  bool matches(const double* values, int32_t column) const {
    for (int32_t t = 0; t < rows_; ++t) {
      if (!(std::fabs(values[t] - table_[t + column * rows_]) < kLevelTolerance)) return false;
    }
    return true;
  }

  // False when the values are a new level and the table is already full.
  bool learn(const double* values) {
    for (int32_t c = 0; c < found_; ++c) {
      if (matches(values, c)) return true;
    }
    if (found_ == k_) return false;
    for (int32_t t = 0; t < rows_; ++t) table_[t + found_ * rows_] = values[t];
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

constexpr std::size_t kFirstCapacity = 1024;

}  // namespace

bool Study::grow_columns(Block<double>& block, int32_t columns, std::size_t rows,
                         const char* field) {
  Block<double> fresh(memory_);
  if (!fresh.allocate(rows * static_cast<std::size_t>(columns))) return no_memory(field);
  for (int32_t j = 0; j < columns && n1_ > 0; ++j) {
    std::memcpy(fresh.data() + static_cast<std::size_t>(j) * rows,
                block.data() + static_cast<std::size_t>(j) * capacity_,
                static_cast<std::size_t>(n1_) * sizeof(double));
  }
  block.swap(fresh);
  return true;
}

// The subject arrays are laid out for `rows` subjects until the count is known; a front end that
// says how many observations come gets them in one piece, never copied.
bool Study::reserve(std::size_t rows) {
  if (rows <= capacity_) return true;
  const auto n1 = static_cast<std::size_t>(n1_);
  const auto delivered = static_cast<std::size_t>(delivered_);
  const std::size_t width1 = static_cast<std::size_t>(options_.K1 - 1);
  const std::size_t width2 = static_cast<std::size_t>(options_.K2 - 1);
  const std::size_t covariates = static_cast<std::size_t>(covariate_width());
  const bool ok =
      grow_columns(H10_, p10_, rows, "H10") && grow_columns(H11_, p11_, rows, "H11") &&
      grow_columns(inputH20_, p20_, rows, "inputH20") &&
      grow_columns(inputH21_, p21_, rows, "inputH21") &&
      (respStatus_.grow(rows, n1) || no_memory("respStatus")) &&
      (inputY2_.grow(rows, n1) || no_memory("inputY2")) &&
      (treatments1_.grow(rows * width1, n1 * width1) || no_memory("stage1Treatments")) &&
      (treatments2_.grow(rows * width2, n1 * width2) || no_memory("stage2Treatments")) &&
      (!options_.keep_out || ((out_covariates_.grow(rows * covariates, delivered * covariates) ||
                               no_memory("outCovariates")) &&
                              (out_fits_.grow(rows * 2, delivered * 2) || no_memory("outFits"))));
  if (ok) capacity_ = rows;
  return ok;
}

bool Study::expect_rows(int64_t n) {
  if (failed_) return false;
  if (phase_ != Phase::kModel && phase_ != Phase::kRows) {
    return fail("The steps of the study were called out of order.");
  }
  if (n < 0) return fail("The number of observations cannot be negative.");
  expected_ = std::max(expected_, n);
  row_.resize(reading_.size());
  missing_.resize(reading_.size());
  if (!tally_) tally_ = std::make_unique<LeftOutTally>(reading_, columns_, layout_);
  phase_ = Phase::kRows;
  return reserve(static_cast<std::size_t>(n));
}

namespace {

// A row counts with its response, stage-1 values and STG2SAMPLE there, and its stage-2 values too
// when it is in the stage-2 sample (s = 0).
bool retained(const RowFate& fate, bool missing_stage1, bool missing_response) {
  if (fate.missing_sample || missing_response || missing_stage1) return false;
  return fate.s == 1.0 || (fate.s == 0.0 && !fate.missing_stage2);
}

}  // namespace

RowFate Study::classify(const double* values, double* row, uint8_t* missing) const {
  const Layout& l = layout_;
  RowFate fate;
  bool missing_stage1 = false, missing_response = false;
  const auto width = static_cast<int64_t>(reading_.size());
  for (int64_t pos = 0; pos < width; ++pos) {
    const double value = values[pos];
    const bool stage2_treatment = pos >= l.trt2 && pos < l.stage2_end;
    missing[pos] = std::isnan(value) ? 1 : 0;
    if (missing[pos] != 0) {
      if (pos < l.stage1_end) {
        missing_stage1 = true;
      } else if (pos == l.sample) {
        fate.missing_sample = true;
      } else if (pos < l.stage2_end) {
        fate.missing_stage2 = true;
      } else {
        missing_response = true;
      }
      // Missing stage-2 treatments stay recognisable so that their code can be settled.
      row[pos] = stage2_treatment ? NAN : 0.0;
    } else {
      row[pos] = stage2_treatment ? std::trunc(value) : value;
    }
  }
  if (l.sample >= 0 && !fate.missing_sample) fate.s = 1.0 - std::trunc(row[l.sample]);
  fate.retained = retained(fate, missing_stage1, missing_response);
  fate.in_stage2 = fate.retained && fate.s == 0.0;
  return fate;
}

// The regime table describes every observation delivered, not only those the fits use.
void Study::keep_for_out(const uint8_t* missing, int64_t d, const RowFate& fate) {
  const Layout& l = layout_;
  double* out = out_covariates_.data() + d * covariate_width();
  const std::pair<int64_t, int64_t> groups[] = {
      {l.main1, p10_}, {l.tailor1, p11_}, {l.main2, p20_}, {l.tailor2, p21_}};
  for (const auto& [first, count] : groups) {
    for (int64_t pos = first; pos < first + count; ++pos) {
      *out++ = missing[pos] != 0 ? NAN : row_[static_cast<std::size_t>(pos)];
    }
  }
  out_fits_[static_cast<std::size_t>(2 * d)] = fate.retained ? 1 : 0;
  out_fits_[static_cast<std::size_t>(2 * d + 1)] = fate.in_stage2 ? 1 : 0;
}

bool Study::keep_row(const double* values) {
  if (static_cast<std::size_t>(delivered_) == capacity_ &&
      !reserve(std::max(kFirstCapacity, 2 * capacity_))) {
    return false;
  }
  const Layout& l = layout_;
  uint8_t* missing = missing_.data();
  double* row = row_.data();
  const RowFate fate = classify(values, row, missing);
  if (l.sample < 0 && fate.missing_stage2) tally_->stage2_missing(missing);
  if (!fate.retained) {
    const bool bad_sample = !fate.missing_sample && fate.s != 0.0 && fate.s != 1.0;
    tally_->left_out(row, missing, !fate.missing_sample && fate.s == 0.0, bad_sample);
  }
  tally_->next_observation();
  if (fate.in_stage2) note_fractional(values + l.trt2);
  if (options_.keep_out) keep_for_out(missing, delivered_, fate);
  ++delivered_;
  if (!fate.retained) return true;

  const std::size_t rows = capacity_;
  const auto i = static_cast<std::size_t>(n1_);
  auto copy = [&](Block<double>& target, int64_t first, int32_t count) {
    for (int32_t j = 0; j < count; ++j) target[i + j * rows] = row[first + j];
  };
  copy(H10_, l.main1, p10_);
  copy(H11_, l.tailor1, p11_);
  copy(inputH20_, l.main2, p20_);
  copy(inputH21_, l.tailor2, p21_);
  const std::size_t width1 = static_cast<std::size_t>(options_.K1 - 1);
  const std::size_t width2 = static_cast<std::size_t>(options_.K2 - 1);
  for (std::size_t t = 0; t < width1; ++t) treatments1_[i * width1 + t] = row[l.trt1 + t];
  for (std::size_t t = 0; t < width2; ++t) treatments2_[i * width2 + t] = row[l.trt2 + t];
  respStatus_[i] = l.sample >= 0 ? static_cast<int32_t>(fate.s) : 0;
  inputY2_[i] = row[l.response];
  retained_rows_.push_back(static_cast<double>(delivered_));
  ++n1_;
  return true;
}

bool Study::add_row(const double* values) {
  if (failed_) return false;
  if (phase_ == Phase::kModel && !expect_rows(0)) return false;
  if (phase_ != Phase::kRows || values == nullptr) {
    return fail("The steps of the study were called out of order.");
  }
  if (!coded_.empty()) {
    // A coded text variable's value comes from the layer, whatever the front end delivered.
    delivered_row_.assign(values, values + delivery_.size());
    for (const auto& [column, codes] : coded_) {
      if (static_cast<int64_t>(codes.size()) <= delivered_) {
        return fail("Variable %s has %lld text values; the data have more observations.",
                    columns_[static_cast<std::size_t>(column)].c_str(),
                    static_cast<long long>(codes.size()));
      }
      for (std::size_t pos = 0; pos < delivery_.size(); ++pos) {
        if (delivery_[pos] == column) {
          delivered_row_[pos] = codes[static_cast<std::size_t>(delivered_)];
        }
      }
    }
    values = delivered_row_.data();
  }
  return keep_row(expand_delivered(values));
}

bool Study::add_columns(int64_t n, const double* const* columns) {
  if (failed_) return false;
  if (n < 0 || (n > 0 && columns == nullptr)) {
    return fail("The number of observations cannot be negative.");
  }
  // A coded text variable's values come from the layer; it needs no numbers of the front end.
  std::vector<const double*> sources(columns == nullptr ? 0 : data_columns());
  for (std::size_t c = 0; c < sources.size(); ++c) sources[c] = columns[c];
  for (const auto& [column, codes] : coded_) {
    if (static_cast<int64_t>(codes.size()) < delivered_ + n) {
      return fail("Variable %s has %lld text values; the data have %lld observations.",
                  columns_[static_cast<std::size_t>(column)].c_str(),
                  static_cast<long long>(codes.size()),
                  static_cast<long long>(delivered_) + static_cast<long long>(n));
    }
    if (static_cast<std::size_t>(column) < sources.size()) {
      sources[static_cast<std::size_t>(column)] = codes.data() + delivered_;
    }
  }
  for (int32_t column : delivery_) {
    if (n > 0 && sources[static_cast<std::size_t>(column)] == nullptr) {
      return fail("Variable %s has no values.", columns_[static_cast<std::size_t>(column)].c_str());
    }
  }
  if (!expect_rows(delivered_ + n)) return false;
  std::vector<double> values(reading_.size());
  for (int64_t i = 0; i < n; ++i) {
    for (std::size_t k = 0; k < reading_.size(); ++k) {
      values[k] = term_value(sources.data(), reading_[k], i);
    }
    if (!keep_row(values.data())) return false;
  }
  return true;
}

// Closes the columns up to n1 rows, the layout the library expects. Column j only moves towards
// the front, so the columns are moved in increasing order.
void Study::close_up_columns() {
  const auto n1 = static_cast<std::size_t>(n1_);
  if (n1 == capacity_) return;
  const std::pair<Block<double>*, int32_t> tables[] = {
      {&H10_, p10_}, {&H11_, p11_}, {&inputH20_, p20_}, {&inputH21_, p21_}};
  for (const auto& [table, columns] : tables) {
    for (int32_t j = 1; j < columns; ++j) {
      std::memmove(table->data() + j * n1, table->data() + j * capacity_, n1 * sizeof(double));
    }
  }
}

constexpr std::size_t kFractionalShown = 5;

void Study::note_fractional(const double* values) {
  const auto width = static_cast<std::size_t>(options_.K2 - 1);
  fractional2_.resize(width);
  for (std::size_t t = 0; t < width; ++t) {
    const double value = values[t];
    std::vector<double>& seen = fractional2_[t];
    if (std::isnan(value) || value == std::trunc(value) || seen.size() > kFractionalShown ||
        std::find(seen.begin(), seen.end(), value) != seen.end()) {
      continue;
    }
    seen.push_back(value);
  }
}

void Study::warn_of_fractional() {
  for (std::size_t t = 0; t < fractional2_.size(); ++t) {
    const std::vector<double>& seen = fractional2_[t];
    if (seen.empty()) continue;
    std::vector<double> shown(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                               seen.size(), kFractionalShown)));
    std::sort(shown.begin(), shown.end());
    std::vector<std::string> becomes;
    becomes.reserve(shown.size());
    for (double v : shown) {
      becomes.push_back(short_number(v) + " becomes " + short_number(std::trunc(v) + 0.0));
    }
    say(TALVEN_MESSAGE_WARNING,
        "STG2TRT variable %s holds values that are not whole numbers; they are used truncated "
        "toward zero: %s%s.",
        stage2_names_.treatments[t].c_str(), join(becomes).c_str(),
        seen.size() > kFractionalShown ? ", and so on" : "");
  }
}

// "-0.5 and 0.5 both become 0" for the values that truncation made one level.
std::string Study::merged_values() const {
  std::vector<std::string> parts;
  for (const std::vector<double>& seen : fractional2_) {
    std::vector<double> values(seen);
    std::sort(values.begin(), values.end(), [](double a, double b) {
      return std::trunc(a) < std::trunc(b) || (std::trunc(a) == std::trunc(b) && a < b);
    });
    for (std::size_t a = 0; a < values.size();) {
      std::size_t b = a;
      std::vector<std::string> same;
      while (b < values.size() && std::trunc(values[b]) == std::trunc(values[a])) {
        same.push_back(short_number(values[b++]));
      }
      if (same.size() == 2) {
        parts.push_back(same[0] + " and " + same[1] + " both become " +
                        short_number(std::trunc(values[a]) + 0.0));
      } else if (same.size() > 2) {
        const std::string last = same.back();
        same.pop_back();
        parts.push_back(join(same) + " and " + last + " all become " +
                        short_number(std::trunc(values[a]) + 0.0));
      }
      a = b;
    }
  }
  return join(parts, "; ");
}

void Study::explain_extra_level(int stage, const double* values) {
  const int32_t k = stage == 1 ? options_.K1 : options_.K2;
  const std::vector<double>& levels = stage == 1 ? levels1_ : levels2_;
  const std::vector<std::string>& names =
      stage == 1 ? stage1_names_.treatments : stage2_names_.treatments;
  const auto rows = static_cast<std::size_t>(k - 1);
  auto level = [&](const double* v) {
    std::vector<std::string> parts;
    for (std::size_t t = 0; t < rows; ++t) parts.push_back(short_number(v[t]));
    if (rows == 1) return parts[0];
    std::string tuple(1, '(');  // appended: GCC 12 at -O2 warns falsely on "(" + string
    tuple.append(join(parts)).push_back(')');
    return tuple;
  };
  std::vector<std::string> found;
  for (std::size_t c = 0; c < static_cast<std::size_t>(k); ++c) {
    found.push_back(level(levels.data() + c * rows));
  }
  found.push_back(level(values));
  say(TALVEN_MESSAGE_PLAIN,
      "STG%dTRT %s %s %s more than %d treatments among the observations used: %s; three "
      "treatments need NTREATS%d=3 with two indicator variables in STG%dTRT (point estimates "
      "only).",
      stage, rows == 1 ? "variable" : "variables", join(names).c_str(), rows == 1 ? "has" : "have",
      k, join(found).c_str(), stage, stage);
}

// The stage-2 sample is what is small: say how STG2SAMPLE divided the observations used.
void Study::explain_small_stage2() {
  if (n1_ == 0) {
    say(TALVEN_MESSAGE_ERROR, "The stage-2 sample has 0 observations: no observation is used.");
    return;
  }
  if (!has_sample_) {
    say(TALVEN_MESSAGE_ERROR,
        "The stage-2 sample has %d observations, fewer than the %d coefficients of stage 2; "
        "without STG2SAMPLE every observation used is in it.",
        n2_, p2());
    return;
  }
  const std::string& sample =
      columns_[static_cast<std::size_t>(reading_[static_cast<std::size_t>(layout_.sample)])];
  const int64_t outside = n1_ - n2_;
  if (n2_ == 0) {
    say(TALVEN_MESSAGE_ERROR,
        "The stage-2 sample has 0 observations: no observation used has STG2SAMPLE %s = 1; "
        "%lld have 0.",
        sample.c_str(), static_cast<long long>(outside));
    return;
  }
  say(TALVEN_MESSAGE_ERROR,
      "The stage-2 sample has %d observations, fewer than the %d coefficients of stage 2: %d "
      "observations used have STG2SAMPLE %s = 1; %lld have 0.",
      n2_, p2(), n2_, sample.c_str(), static_cast<long long>(outside));
}

bool Study::learn_levels() {
  levels1_.assign(static_cast<std::size_t>(options_.K1 - 1) * options_.K1, 0.0);
  levels2_.assign(static_cast<std::size_t>(options_.K2 - 1) * options_.K2, 0.0);
  LevelTable levels1(levels1_.data(), options_.K1);
  LevelTable levels2(levels2_.data(), options_.K2);
  const std::size_t width1 = static_cast<std::size_t>(options_.K1 - 1);
  const std::size_t width2 = static_cast<std::size_t>(options_.K2 - 1);
  n2_ = 0;
  for (int64_t i = 0; i < n1_; ++i) {
    const auto u = static_cast<std::size_t>(i);
    if (!levels1.learn(treatments1_.data() + u * width1)) {
      fail(
          "Treatment variable in stage 1 has more than 2 treatments, this version of Proc "
          "TALVEN only allows 2 treatments.");
      explain_extra_level(1, treatments1_.data() + u * width1);
      return false;
    }
    if (respStatus_[u] == 0) ++n2_;
    if (respStatus_[u] == 0 && !levels2.learn(treatments2_.data() + u * width2)) {
      fail(
          "Treatment variable in stage 2 has more than 2 treatments, this version of Proc "
          "TALVEN only allows 2 treatments.");
      explain_extra_level(2, treatments2_.data() + u * width2);
      return false;
    }
  }
  levels1_found_ = levels1.found();
  levels2_found_ = levels2.found();
  if (n2_ < p2()) {
    explain_small_stage2();
    return fail("There is not enough data at stage 2 for the method to work.");
  }

  const auto n1 = static_cast<std::size_t>(n1_);
  if (!A1_.allocate(n1)) return no_memory("A1");
  if (!inputA2_.allocate(n1)) return no_memory("inputA2");
  if (!Y1_.allocate(n1)) return no_memory("Y1");
  for (std::size_t i = 0; i < n1; ++i) {
    A1_[i] = levels1.code(treatments1_.data() + i * width1);
    // Outside the stage-2 sample a missing or unknown stage-2 treatment still needs a valid code.
    const int32_t code2 = levels2.code(treatments2_.data() + i * width2);
    inputA2_[i] = code2 > 0 ? code2 : 1;
    Y1_[i] = inputY2_[i];
  }
  treatments1_.reset();
  treatments2_.reset();
  count_arms();
  return name_out_columns();
}

void Study::count_arms() {
  arms1_.assign(static_cast<std::size_t>(options_.K1), 0.0);
  arms2_.assign(static_cast<std::size_t>(options_.K2), 0.0);
  for (std::size_t i = 0; i < static_cast<std::size_t>(n1_); ++i) {
    arms1_[static_cast<std::size_t>(A1_[i] - 1)] += 1;
    if (respStatus_[i] == 0) arms2_[static_cast<std::size_t>(inputA2_[i] - 1)] += 1;
  }
}

bool Study::end_rows() {
  if (failed_) return false;
  if (phase_ == Phase::kModel && !expect_rows(0)) return false;
  if (!step(Phase::kRows, Phase::kRowsEnded)) return false;
  if (n1_ > INT32_MAX) return fail("The analysis can use at most %d observations.", INT32_MAX);
  tally_->report([this](int32_t severity, const std::string& text) { say_text(severity, text); },
                 delivered_);
  for (const auto& [reason, count] : tally_->reasons()) {
    left_out_reasons_.push_back(reason);
    left_out_counts_.push_back(static_cast<double>(count));
  }
  if (n1_ < std::max(expected_, delivered_)) {
    say(TALVEN_MESSAGE_WARNING,
        "There are missing data in the dataset, complete case analysis was used.");
  }
  warn_of_fractional();
  close_up_columns();

  if (!beta1hat_.allocate(static_cast<std::size_t>(p1()))) return no_memory("beta1hat");
  if (!beta2hat_.allocate(static_cast<std::size_t>(p2()))) return no_memory("beta2hat");
  return learn_levels();
}

}  // namespace talven
