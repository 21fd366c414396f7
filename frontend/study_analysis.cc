// The analysis: the contrasts, the seed, MINIMIZE, the call into libKestrion, and everything a
// front end reports from its results.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "frontend/kestrion_library.h"
#include "frontend/rank_cause.h"
#include "frontend/study.h"
#include "kestrion_plan.h"

namespace talven {
namespace {

constexpr int kMessageLength = 3001;
const double kMissing = std::numeric_limits<double>::quiet_NaN();

// Stands in for the arrays that have no elements in this run, so the library never sees null.
const double kEmpty[1] = {0.0};

const double* or_empty(const double* block) {
  return block != nullptr ? block : kEmpty;
}

std::string format_number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

}  // namespace

bool Study::set_contrasts(int64_t rows, const double* values) {
  if (failed_) return false;
  if (phase_ != Phase::kRowsEnded || !has_contrast_) {
    return fail("The steps of the study were called out of order.");
  }
  if (rows < 0 || (rows > 0 && values == nullptr)) {
    return fail("The number of contrasts cannot be negative.");
  }
  n_contrasts_ = rows;
  // A missing coefficient counts as 0.
  const auto cells = static_cast<std::size_t>(rows) * static_cast<std::size_t>(n_contrast_cols_);
  contrast_matrix_.assign(values, values + cells);
  for (double& value : contrast_matrix_) {
    if (std::isnan(value)) value = 0.0;
  }
  return true;
}

// A treatment with fewer levels than its stage has treatments makes the design rank deficient;
// the analysis then stops with a report that does not say why.
// The stage-2 treatment values that truncation merged, as the end of the "only one value" error.
std::string Study::merged_suffix(int stage) const {
  const std::string merged = stage == 2 ? merged_values() : std::string();
  return merged.empty() ? merged : " Truncated toward zero, " + merged + ".";
}

void Study::explain_missing_levels() {
  struct Stage {
    const char* list;
    int32_t k, found;
    int64_t used;
    int number;
    const std::vector<double>& levels;
    const std::vector<std::string>& names;
  };
  const Stage stages[] = {
      {"STG1TRT", options_.K1, levels1_found_, n1_, 1, levels1_, stage1_names_.treatments},
      {"STG2TRT", options_.K2, levels2_found_, n2_, 2, levels2_, stage2_names_.treatments}};
  for (const Stage& stage : stages) {
    if (stage.found >= stage.k) continue;
    const int32_t rows = stage.k - 1;
    std::vector<std::string> levels;
    for (int32_t c = 0; c < stage.found; ++c) {
      std::vector<std::string> values;
      values.reserve(static_cast<std::size_t>(rows));
      for (int32_t t = 0; t < rows; ++t) {
        const std::size_t at = static_cast<std::size_t>(t) +
                               static_cast<std::size_t>(c) * static_cast<std::size_t>(rows);
        values.push_back(format_number(stage.levels[at]));
      }
      std::string level = rows == 1 ? values[0] : std::string("(");
      if (rows > 1) level.append(join(values)).append(")");
      levels.push_back(level);
    }
    const std::string found = rows == 1 ? "one value"
                              : stage.found == 1
                                  ? "one combination of values"
                                  : std::to_string(stage.found) + " combinations of values";
    const std::string merged = merged_suffix(stage.number);
    say(TALVEN_MESSAGE_ERROR,
        "%s variable%s %s %s only %s (%s) among the %ld observations used; NTREATS%d=%d "
        "treatments are expected.%s",
        stage.list, rows == 1 ? "" : "s", join(stage.names).c_str(), rows == 1 ? "has" : "have",
        found.c_str(), join(levels).c_str(), static_cast<long>(stage.used), stage.number, stage.k,
        merged.c_str());
  }
}

void Study::negate_response() {
  for (int64_t i = 0; i < n1_; ++i) {
    const auto u = static_cast<std::size_t>(i);
    Y1_[u] = -Y1_[u];
    inputY2_[u] = -inputY2_[u];
  }
}

bool Study::prepare() {
  if (!step(Phase::kRowsEnded, Phase::kPrepared)) return false;
  const KestrionLibrary& library = kestrion_library();
  const int32_t version[3] = {1, 0, 0};
  uint8_t mismatch = 0;
  library.checkversion(version, &mismatch);
  if (mismatch != 0) {
    fail("The TALVEN library has an incorrect version number.");
    say_text(TALVEN_MESSAGE_PLAIN, " ");
    return false;
  }

  explain_missing_levels();
  if (options_.deriveCI && !check_memory()) return false;
  if (options_.deriveCI || options_.value) {
    if (options_.seed != 0) {
      say(TALVEN_MESSAGE_NOTE, "The bootstrap used SEED=%d.", options_.seed);
    } else {
      // One seed for the whole run, so that the run can be repeated with SEED=.
      options_.seed = seed_from_clock(seed_clock()());
      say(TALVEN_MESSAGE_NOTE, "The bootstrap was seeded from the clock: SEED=%d repeats this run.",
          options_.seed);
    }
  }
  if (options_.minimize) {
    const char* response =
        columns_[static_cast<std::size_t>(list(TALVEN_ROLE_RESPONSE).columns[0])].c_str();
    say(TALVEN_MESSAGE_NOTE,
        "MINIMIZE: smaller values of %s are better. The analysis maximises -%s; every estimate "
        "and limit is reported for %s.",
        response, response, response);
    negate_response();
  }
  const auto n_limits = static_cast<std::size_t>(p1() + n_contrasts_);
  if (!upper_.allocate(n_limits)) return no_memory("upper");
  if (!lower_.allocate(n_limits)) return no_memory("lower");
  for (std::size_t k = 0; k < n_limits; ++k) upper_[k] = lower_[k] = 0.0;
  return true;
}

// The intervals' memory, from the formula the library plans with, against the machine's.
bool Study::check_memory() {
  kestrion::IntervalSizes sizes;
  sizes.n1 = static_cast<int32_t>(n1_);
  sizes.n2 = n2_;
  sizes.p10 = p10_;
  sizes.p11 = p11_;
  sizes.p20 = p20_;
  sizes.p21 = p21_;
  sizes.K1 = options_.K1;
  sizes.K2 = options_.K2;
  sizes.nC = static_cast<int32_t>(n_contrasts_);
  sizes.nBootstrap1 = options_.nBootstrap1;
  sizes.nBootstrap2 = options_.nBootstrap2;
  sizes.nGrid = options_.nGrid;
  sizes.threads = kestrion::interval_threads(options_.cores, options_.nBootstrap1);
  const double need = kestrion::plan_intervals(sizes).bytes;
  const double have = kestrion::physical_memory_bytes();
  constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
  if (have > 0 && need > have) {
    return fail(
        "The intervals need about %.1f GB of memory; this machine has %.1f GB. Lower NGRID= or "
        "use fewer TAILOR2 variables.",
        need / kGiB, have / kGiB);
  }
  return true;
}

// What produced the limits, so that they can be reproduced and judged.
void Study::note_intervals() {
  const std::string skipped =
      nCollinear_ == 0   ? std::string("no collinear replicates were skipped")
      : nCollinear_ == 1 ? std::string("1 collinear replicate was skipped")
                         : std::to_string(nCollinear_) + " collinear replicates were skipped";
  say(TALVEN_MESSAGE_NOTE,
      "Intervals at ALPHA=%g from NBOOTSTRAP1=%d and NBOOTSTRAP2=%d replicates, NGRID=%d, "
      "GRID_SCALE=%g; %s.",
      options_.alpha, options_.nBootstrap1, options_.nBootstrap2, options_.nGrid,
      options_.gridScale, skipped.c_str());
}

// The library's diagnostic text as the error of the run; a stop on request has its own line.
void Study::report_run_failure(const std::vector<int32_t>& message) {
  std::string text(kMessageLength, '\0');
  for (int k = 0; k < kMessageLength; ++k) text[k] = static_cast<char>(message[k] & 0xFF);
  diagnostic_ = name_rank_cause(split_diagnostic_text(text.data(), kMessageLength), stage1_names_,
                                stage2_names_);
  failed_ = true;
  if (diagnostic_.size() == 1 && diagnostic_.front() == KESTRION_INTERRUPTED) {
    interrupted_ = true;
    say_text(TALVEN_MESSAGE_ERROR, KESTRION_INTERRUPTED);
    return;
  }
  say(TALVEN_MESSAGE_ERROR,
      "A problem occured during model estimation.  Diagnostic information is as follows:");
  say_text(TALVEN_MESSAGE_PLAIN, " ");
  for (const std::string& piece : diagnostic_) say_text(TALVEN_MESSAGE_PLAIN, "   " + piece);
  say_text(TALVEN_MESSAGE_PLAIN, " ");
}

bool Study::run() {
  if (!step(Phase::kPrepared, Phase::kDone)) return false;
  const KestrionLibrary& library = kestrion_library();
  std::vector<int32_t> message(kMessageLength, ' ');
  uint8_t error_flag = 0;
  nCollinear_ = 0;

  say_text(TALVEN_MESSAGE_PROGRESS, "Before runkestrion......");
  library.seedkestrion(options_.seed);
  const bool progress =
      options_.deriveCI && progress_callback_ != nullptr && library.progresskestrion != nullptr;
  if (progress) library.progresskestrion(progress_callback_, progress_context_);
  library.runkestrion(
      options_.cores, 2, Y1_.data(), inputY2_.data(), static_cast<int32_t>(n1_), n2_,
      respStatus_.data(), A1_.data(), inputA2_.data(), or_empty(H10_.data()), p10_,
      or_empty(H11_.data()), p11_, or_empty(inputH20_.data()), p20_, or_empty(inputH21_.data()),
      p21_, levels1_.data(), options_.K1, levels2_.data(), options_.K2,
      or_empty(contrast_matrix_.empty() ? nullptr : contrast_matrix_.data()),
      static_cast<int32_t>(n_contrasts_), options_.nBootstrap1, options_.nBootstrap2,
      options_.nGrid, options_.gridScale, options_.deriveCI ? 255 : 0, options_.alpha,
      beta1hat_.data(), beta2hat_.data(), upper_.data(), lower_.data(), &nCollinear_, &error_flag,
      kMessageLength, message.data());
  if (progress) library.progresskestrion(nullptr, nullptr);
  if (options_.deriveCI && error_flag == 0) {
    const int32_t threads = kestrion::interval_threads(options_.cores, options_.nBootstrap1);
    say(TALVEN_MESSAGE_NOTE, "The bootstrap ran on %d thread%s.", threads, threads == 1 ? "" : "s");
  }
  say_text(TALVEN_MESSAGE_PROGRESS, "After runkestrion......");
  if (options_.minimize) {
    // min(x) = -max(-x): the analysis of -y, read back for y. Each limit changes side.
    negate_response();
    for (int32_t k = 0; k < p1(); ++k) beta1hat_[k] = -beta1hat_[k];
    for (int32_t k = 0; k < p2(); ++k) beta2hat_[k] = -beta2hat_[k];
    for (std::size_t k = 0; k < upper_.size(); ++k) {
      const double upper = upper_[k];
      upper_[k] = -lower_[k];
      lower_[k] = -upper;
    }
  }

  if (error_flag != 0) {
    report_run_failure(message);
    return false;
  }
  if (options_.deriveCI) note_intervals();
  gather_results();
  // The values come last so that the other results stand whatever becomes of them.
  return !options_.value || run_value();
}

StageFit Study::stage_fit(int stage) const {
  StageFit fit;
  const bool first = stage == 1;
  fit.p_main = first ? p10_ : p20_;
  fit.p_tailor = first ? p11_ : p21_;
  fit.k = first ? options_.K1 : options_.K2;
  const Block<double>& beta = first ? beta1hat_ : beta2hat_;
  fit.beta.assign(beta.data(), beta.data() + (first ? p1() : p2()));
  fit.levels = first ? levels1_ : levels2_;
  fit.minimize = options_.minimize;
  return fit;
}

StageFit Study::shown_fit(int stage) const {
  return in_presentation_order(stage_fit(stage));
}

// The Q-value columns are named after the treatments, which are known once the rows are read.
bool Study::name_out_columns() {
  std::vector<std::string> suffixes[2];
  for (int s = 0; s < 2; ++s) {
    std::string minus, plus;
    treatment_texts(s + 1, &minus, &plus);
    suffixes[s] = q_column_suffixes(shown_fit(s + 1), s + 1, minus, plus);
  }
  out_columns_ = out_column_names(stage1_names_, options_.K1, stage2_names_, options_.K2,
                                  suffixes[0], suffixes[1]);
  return !options_.keep_out || check_out_names();
}

// The log line that says which treatment level each OUT= Q-value column stands for.
std::string Study::out_levels_line(const StageFit& fit, const StageNames& names, int stage) const {
  std::string minus, plus;
  treatment_texts(stage, &minus, &plus);
  const std::string prefix = std::string("Q").append(std::to_string(stage)).append("_");
  std::vector<std::string> columns;
  for (const std::string& column : out_columns_) {
    if (column.compare(0, prefix.size(), prefix) == 0) columns.push_back(column);
  }
  std::string line;
  for (int32_t l = 0; l < fit.k; ++l) {
    if (l > 0) line += "; ";
    line.append(columns[static_cast<std::size_t>(l)]).append(" is ");
    if (fit.k == 2) line.append(names.treatments[0]).append(" = ");
    line.append(level_text(fit, names, l, minus, plus));
  }
  return "OUT= levels of stage " + std::to_string(stage) + ": " + line + ".";
}

// The values a stage's rule classifies: its single tailoring variable in the fit and, with OUT=,
// in every observation whose recommendation is shown; and a text treatment's values.
RuleContext Study::rule_context(int stage) const {
  RuleContext context;
  const bool first = stage == 1;
  if ((first ? p11_ : p21_) == 1) {
    const Block<double>& tailor = first ? H11_ : inputH21_;
    for (int64_t i = 0; i < n1_; ++i) {
      if (first || respStatus_[static_cast<std::size_t>(i)] == 0) {
        context.observed.push_back(tailor[static_cast<std::size_t>(i)]);
      }
    }
    const int32_t at = first ? p10_ : p10_ + p11_ + p20_;
    for (int64_t d = 0; options_.keep_out && d < delivered_; ++d) {
      const double x = out_covariates_[static_cast<std::size_t>(d * covariate_width() + at)];
      if (!std::isnan(x)) context.observed.push_back(x);
    }
  }
  treatment_texts(stage, &context.minus, &context.plus);
  return context;
}

void Study::gather_results() {
  const int32_t p1 = this->p1();
  contrast_estimates_.assign(static_cast<std::size_t>(n_contrasts_), 0.0);
  for (int64_t m = 0; m < n_contrasts_; ++m) {
    double estimate = 0.0;
    for (int32_t j = 0; j < n_contrast_cols_; ++j) {
      estimate += contrast_matrix_[static_cast<std::size_t>(m + j * n_contrasts_)] * beta1hat_[j];
    }
    contrast_estimates_[static_cast<std::size_t>(m)] = estimate;
  }

  // The rows of the listing's tables, with full names: cut names could make two rows share a key.
  auto add = [this](int32_t stage, const std::string& term, double estimate, double lower,
                    double upper) {
    table_stage_.push_back(stage);
    table_terms_.push_back(term);
    table_estimate_.push_back(estimate);
    table_lower_.push_back(lower);
    table_upper_.push_back(upper);
  };
  const std::vector<std::string> labels1 = coefficient_labels(stage1_names_);
  for (std::size_t k = 0; k < labels1.size(); ++k) {
    add(1, labels1[k], beta1hat_[k], options_.deriveCI ? lower_[k] : kMissing,
        options_.deriveCI ? upper_[k] : kMissing);
  }
  for (int64_t m = 0; m < n_contrasts_; ++m) {
    const auto k = static_cast<std::size_t>(p1 + m);
    add(1, "Contrast" + std::to_string(m + 1), contrast_estimates_[static_cast<std::size_t>(m)],
        options_.deriveCI ? lower_[k] : kMissing, options_.deriveCI ? upper_[k] : kMissing);
  }
  if (n2_ > 0) {
    const std::vector<std::string> labels2 = coefficient_labels(stage2_names_);
    for (std::size_t k = 0; k < labels2.size(); ++k) {
      add(2, labels2[k], beta2hat_[k], kMissing, kMissing);
    }
  }

  const StageFit fits[] = {shown_fit(1), shown_fit(2)};
  const StageNames* names[] = {&stage1_names_, &stage2_names_};
  for (int s = 0; s < 2; ++s) {
    rules_[s] = describe_rule(fits[s], *names[s], rule_context(s + 1));
    out_levels_.push_back(out_levels_line(fits[s], *names[s], s + 1));
  }
  if (nCollinear_ > 0) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "Out of %7ld bootstrap samples, %7ld were discarded due to collinearity.",
                  static_cast<long>(options_.nBootstrap1), static_cast<long>(nCollinear_));
    collinear_.emplace_back(text);
  }
}

void Study::out_row(const StageFit& stage1, const StageFit& stage2, const double* covariates,
                    int32_t fit1, int32_t fit2, int64_t i, int64_t n, double* out) const {
  const ObservationCovariates row{
      covariates, covariates + p10_, covariates + p10_ + p11_, covariates + p10_ + p11_ + p20_,
      fit1 == 1,  fit2 == 1};
  talven::out_values(stage1, stage2, row, i, n, out);
  // Unknown membership of the fits (a new observation without every variable) is missing.
  if (fit1 < 0) out[i] = kMissing;
  if (fit2 < 0) out[i + n] = kMissing;
}

bool Study::out_values(double* out) const {
  if (phase_ != Phase::kDone || failed_ || !options_.keep_out || out == nullptr) return false;
  const StageFit stage1 = shown_fit(1);
  const StageFit stage2 = shown_fit(2);
  const int64_t width = covariate_width();
  for (int64_t d = 0; d < delivered_; ++d) {
    const auto u = static_cast<std::size_t>(d);
    out_row(stage1, stage2, out_covariates_.data() + d * width, out_fits_[2 * u],
            out_fits_[2 * u + 1], d, delivered_, out);
  }
  return true;
}

bool Study::recommend(int64_t n, const double* const* columns, double* out) const {
  if (phase_ != Phase::kDone || failed_ || n < 0 ||
      (n > 0 && (columns == nullptr || out == nullptr))) {
    return false;
  }
  const StageFit stage1 = shown_fit(1);
  const StageFit stage2 = shown_fit(2);
  const Layout& l = layout_;
  bool complete = true;
  for (int32_t column : delivery_) complete = complete && columns[column] != nullptr;
  std::vector<double> values(reading_.size());
  std::vector<double> row(reading_.size());
  std::vector<uint8_t> missing(reading_.size());
  std::vector<double> covariates(static_cast<std::size_t>(covariate_width()));
  const std::pair<int64_t, int64_t> groups[] = {
      {l.main1, p10_}, {l.tailor1, p11_}, {l.main2, p20_}, {l.tailor2, p21_}};
  for (int64_t i = 0; i < n; ++i) {
    for (std::size_t k = 0; k < reading_.size(); ++k) {
      values[k] = term_value(columns, reading_[k], i);
    }
    std::size_t c = 0;
    for (const auto& [first, count] : groups) {
      for (int64_t pos = first; pos < first + count; ++pos) {
        covariates[c++] = values[static_cast<std::size_t>(pos)];
      }
    }
    int32_t fit1 = -1, fit2 = -1;
    if (complete) {
      const RowFate fate = classify(values.data(), row.data(), missing.data());
      fit1 = fate.retained ? 1 : 0;
      fit2 = fate.in_stage2 ? 1 : 0;
    }
    out_row(stage1, stage2, covariates.data(), fit1, fit2, i, n, out);
  }
  return true;
}

double Study::number(int32_t which) const {
  switch (which) {
    case TALVEN_NUMBER_ALPHA:
      return options_.alpha;
    case TALVEN_NUMBER_GRID_SCALE:
      return options_.gridScale;
    case TALVEN_NUMBER_REGIME_VALUE:
    case TALVEN_NUMBER_MEAN_OUTCOME: {
      if (phase_ != Phase::kDone || failed_ || n1_ == 0) return kMissing;
      // The observations of the stage-1 fit: the mean of their VALUE1 and of their outcome.
      const StageFit stage1 = stage_fit(1);
      const auto n1 = static_cast<std::size_t>(n1_);
      std::vector<double> main(static_cast<std::size_t>(p10_));
      std::vector<double> tailor(static_cast<std::size_t>(p11_));
      std::vector<double> q(static_cast<std::size_t>(options_.K1));
      double estimated = 0.0, observed = 0.0;
      for (std::size_t i = 0; i < n1; ++i) {
        for (int32_t m = 0; m < p10_; ++m) main[std::size_t(m)] = H10_[i + m * n1];
        for (int32_t j = 0; j < p11_; ++j) tailor[std::size_t(j)] = H11_[i + j * n1];
        q_values(stage1, main.data(), tailor.data(), q.data());
        estimated += q[static_cast<std::size_t>(recommended_level(stage1, q.data()))];
        observed += Y1_[i];
      }
      return (which == TALVEN_NUMBER_REGIME_VALUE ? estimated : observed) / static_cast<double>(n1);
    }
    default:
      return kMissing;
  }
}

int64_t Study::count(int32_t which) const {
  switch (which) {
    case TALVEN_COUNT_COLUMNS:
      return static_cast<int64_t>(data_columns());
    case TALVEN_COUNT_READ_WIDTH:
      return static_cast<int64_t>(delivery_.size());
    case TALVEN_COUNT_OBSERVATIONS:
      return delivered_;
    case TALVEN_COUNT_STAGE1:
      return n1_;
    case TALVEN_COUNT_STAGE2:
      return n2_;
    case TALVEN_COUNT_COLLINEAR:
      return nCollinear_;
    case TALVEN_COUNT_SEED:
      return options_.seed;
    case TALVEN_COUNT_P1:
      return p1();
    case TALVEN_COUNT_P2:
      return p2();
    case TALVEN_COUNT_CONTRASTS:
      return n_contrasts_;
    case TALVEN_COUNT_K1:
      return options_.K1;
    case TALVEN_COUNT_K2:
      return options_.K2;
    case TALVEN_COUNT_INTERVALS:
      return options_.deriveCI ? 1 : 0;
    case TALVEN_COUNT_TABLE_ROWS:
      return static_cast<int64_t>(table_terms_.size());
    case TALVEN_COUNT_OUT_COLUMNS:
      return static_cast<int64_t>(out_columns_.size());
    case TALVEN_COUNT_NBOOTSTRAP1:
      return options_.nBootstrap1;
    case TALVEN_COUNT_NBOOTSTRAP2:
      return options_.nBootstrap2;
    case TALVEN_COUNT_NGRID:
      return options_.nGrid;
    case TALVEN_COUNT_CORES:
      return options_.cores;
    case TALVEN_COUNT_REFUSED_CONTRAST_COLUMN:
      return refused_contrast_column_;
    case TALVEN_COUNT_INTERRUPTED:
      return interrupted_ ? 1 : 0;
    default:
      return -1;
  }
}

bool Study::values(int32_t which, double* out) const {
  // The data summary exists once the observations are in, even when the analysis then fails.
  const bool summary = which >= TALVEN_VALUES_LEVELS1 && which <= TALVEN_VALUES_LEFT_OUT;
  if (summary ? phase_ < Phase::kRowsEnded : (phase_ != Phase::kDone || failed_)) return false;
  std::vector<double> stages;
  const double* first = nullptr;
  std::size_t count = 0;
  switch (which) {
    case TALVEN_VALUES_BETA1:
      first = beta1hat_.data(), count = static_cast<std::size_t>(p1());
      break;
    case TALVEN_VALUES_BETA2:
      first = beta2hat_.data(), count = static_cast<std::size_t>(p2());
      break;
    case TALVEN_VALUES_UPPER:
      first = upper_.data(), count = upper_.size();
      break;
    case TALVEN_VALUES_LOWER:
      first = lower_.data(), count = lower_.size();
      break;
    case TALVEN_VALUES_CONTRASTS:
      first = contrast_estimates_.data(), count = contrast_estimates_.size();
      break;
    case TALVEN_VALUES_TABLE_STAGE:
      stages.assign(table_stage_.begin(), table_stage_.end());
      first = stages.data(), count = stages.size();
      break;
    case TALVEN_VALUES_TABLE_ESTIMATE:
      first = table_estimate_.data(), count = table_estimate_.size();
      break;
    case TALVEN_VALUES_TABLE_LOWER:
      first = table_lower_.data(), count = table_lower_.size();
      break;
    case TALVEN_VALUES_TABLE_UPPER:
      first = table_upper_.data(), count = table_upper_.size();
      break;
    case TALVEN_VALUES_LEVELS1:
      first = levels1_.data(), count = levels1_.size();
      break;
    case TALVEN_VALUES_LEVELS2:
      first = levels2_.data(), count = levels2_.size();
      break;
    case TALVEN_VALUES_ARMS1:
      first = arms1_.data(), count = arms1_.size();
      break;
    case TALVEN_VALUES_ARMS2:
      first = arms2_.data(), count = arms2_.size();
      break;
    case TALVEN_VALUES_LEFT_OUT:
      first = left_out_counts_.data(), count = left_out_counts_.size();
      break;
    default:
      return false;
  }
  if (count > 0 && out == nullptr) return false;
  for (std::size_t k = 0; k < count; ++k) out[k] = first[k];
  return true;
}

namespace {

const std::vector<std::string>* no_texts() {
  static const std::vector<std::string> none;
  return &none;
}

}  // namespace

int64_t Study::text_count(int32_t which) const {
  if (which == TALVEN_TEXT_MESSAGE) return static_cast<int64_t>(messages_.size());
  const std::vector<std::string>* texts = no_texts();
  switch (which) {
    case TALVEN_TEXT_TABLE_TERM:
      texts = &table_terms_;
      break;
    case TALVEN_TEXT_OUT_COLUMN:
      texts = &out_columns_;
      break;
    case TALVEN_TEXT_RULE1:
      texts = &rules_[0];
      break;
    case TALVEN_TEXT_RULE2:
      texts = &rules_[1];
      break;
    case TALVEN_TEXT_OUT_LEVELS:
      texts = &out_levels_;
      break;
    case TALVEN_TEXT_DIAGNOSTIC:
      texts = &diagnostic_;
      break;
    case TALVEN_TEXT_COLLINEAR:
      texts = &collinear_;
      break;
    case TALVEN_TEXT_COLUMN:
      return static_cast<int64_t>(data_columns());
    case TALVEN_TEXT_LEFT_OUT:
      texts = &left_out_reasons_;
      break;
    default:
      return -1;
  }
  return static_cast<int64_t>(texts->size());
}

const char* Study::text(int32_t which, int64_t index, int32_t* severity) const {
  if (index < 0 || index >= text_count(which)) return nullptr;
  const auto i = static_cast<std::size_t>(index);
  if (which == TALVEN_TEXT_MESSAGE) {
    if (severity != nullptr) *severity = messages_[i].severity;
    return messages_[i].text.c_str();
  }
  switch (which) {
    case TALVEN_TEXT_TABLE_TERM:
      return table_terms_[i].c_str();
    case TALVEN_TEXT_OUT_COLUMN:
      return out_columns_[i].c_str();
    case TALVEN_TEXT_RULE1:
      return rules_[0][i].c_str();
    case TALVEN_TEXT_RULE2:
      return rules_[1][i].c_str();
    case TALVEN_TEXT_OUT_LEVELS:
      return out_levels_[i].c_str();
    case TALVEN_TEXT_DIAGNOSTIC:
      return diagnostic_[i].c_str();
    case TALVEN_TEXT_COLLINEAR:
      return collinear_[i].c_str();
    case TALVEN_TEXT_COLUMN:
      return columns_[i].c_str();
    case TALVEN_TEXT_LEFT_OUT:
      return left_out_reasons_[i].c_str();
    default:
      return nullptr;
  }
}

}  // namespace talven
