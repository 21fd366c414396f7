// One analysis of the study layer: the options and variable lists with their checks, the
// observations with the data rules of the procedure, the call into libKestrion and the results.
// The C interface (include/talven_frontend.h) is a thin shim over this class; failures are
// messages and a failed state, never exceptions.
#ifndef TALVEN_FRONTEND_STUDY_H
#define TALVEN_FRONTEND_STUDY_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "frontend/regime.h"
#include "frontend/stage_model.h"
#include "frontend/text_column.h"
#include "talven_frontend.h"
#include "talven_options.h"

namespace talven {

inline constexpr double kLevelTolerance = 1e-8;

// printf into a string.
std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A result by name: a scalar ("count", "number"), or a column ("integers", "reals", "texts").
// Names with a dot are columns of one table: "coef.Estimate" is column Estimate of table coef.
struct NamedResult {
  std::string name;
  std::string type;
  std::vector<double> reals;  // counts and integers too
  std::vector<std::string> texts;
};

struct StudyMessage {
  int32_t severity;
  std::string text;
};

// Memory of the per-subject arrays: the front end's (the host's, for the procedure) or malloc.
struct StudyMemory {
  TalvenAllocate allocate = nullptr;
  TalvenRelease release = nullptr;
  void* context = nullptr;
};

// One array of `count` elements in StudyMemory; released with the study.
template <typename T>
class Block {
 public:
  explicit Block(const StudyMemory& memory) : memory_(&memory) {}
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  ~Block() { reset(); }

  // False when the memory cannot be had; the old contents are then kept.
  bool allocate(std::size_t count);
  // As allocate, keeping the first `keep` elements.
  bool grow(std::size_t count, std::size_t keep);
  void reset();
  void swap(Block& other) {
    std::swap(memory_, other.memory_);
    std::swap(data_, other.data_);
    std::swap(count_, other.count_);
  }

  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  std::size_t size() const { return count_; }

 private:
  const StudyMemory* memory_;
  T* data_ = nullptr;
  std::size_t count_ = 0;
};

// Where each group of variables sits in one observation, in reading order.
struct Layout {
  int64_t main1 = 0, tailor1 = 0, trt1 = 0, sample = -1, main2 = 0, tailor2 = 0, trt2 = 0,
          response = 0;
  int64_t stage1_end = 0, stage2_begin = 0, stage2_end = 0;
};

// What the complete-case rules make of one observation.
struct RowFate {
  bool retained = false;
  bool in_stage2 = false;
  bool missing_sample = false;
  bool missing_stage2 = false;
  double s = 0.0;  // 1 - trunc(STG2SAMPLE): 0 in the stage-2 sample, 1 outside it
};

class LeftOutTally;
struct ValueOutput;

class Study {
 public:
  Study();
  ~Study();
  Study(const Study&) = delete;
  Study& operator=(const Study&) = delete;

  void on_message(TalvenMessageCallback callback, void* context) {
    message_callback_ = callback;
    message_context_ = context;
  }
  void use_memory(TalvenAllocate allocate, TalvenRelease release, void* context);
  void on_progress(TalvenProgressCallback callback, void* context) {
    progress_callback_ = callback;
    progress_context_ = context;
  }

  bool set_data_name(const char* name);
  int32_t add_column(const char* name);
  // A product of data columns, in the order written; returns its column (the same one for the
  // same factors in the same order), or -1.
  int32_t add_product(int32_t count, const int32_t* factors);
  // A variable name or a product "x*y*z" of variable names (case aside); returns its column.
  int32_t add_term(const char* text);
  bool set_list(int32_t role, int32_t count, const int32_t* columns);
  bool set_role(const char* role, int32_t count, const int32_t* columns);
  bool set_option(const char* name, double value);
  bool set_contrast_columns(int32_t count, const char* const* names, const int32_t* character);
  bool set_text_column(int32_t column, int64_t n, const char* const* values, int32_t level_count,
                       const char* const* levels);
  bool check_options();
  bool check_model();
  bool expect_rows(int64_t n);
  bool add_row(const double* values);
  bool add_columns(int64_t n, const double* const* columns);
  bool end_rows();
  bool set_contrasts(int64_t rows, const double* values);
  bool prepare();
  bool run();
  // The steps from check_options to run, in their order, with the front end's part at each
  // TALVEN_STEP_*; a front end that returns false has explained why.
  bool analyse_with(const std::function<bool(int32_t step)>& front_end);
  bool analyse(int64_t n, const double* const* columns, int64_t contrast_rows,
               const double* contrasts);

  int64_t count(int32_t which) const;
  double number(int32_t which) const;
  bool values(int32_t which, double* out) const;
  int64_t text_count(int32_t which) const;
  const char* text(int32_t which, int64_t index, int32_t* severity) const;
  bool out_values(double* out) const;
  bool recommend(int64_t n, const double* const* columns, double* out) const;

  // The data columns a front end delivers for each observation (add_row): the model's positions
  // with each product replaced by its factors, which follow at the end.
  const std::vector<int32_t>& reading_order() const { return delivery_; }

  // Takes a new snapshot of the named results and returns their number.
  int64_t result_count() const;
  // Result `index` of the last snapshot, or nullptr.
  const NamedResult* result(int64_t index) const;

  // Reports a failure that escaped as an exception (memory) at the C boundary.
  void internal_failure(const char* what);

 private:
  enum class Phase { kNew, kOptions, kModel, kRows, kRowsEnded, kPrepared, kDone };

  struct List {
    bool given = false;
    std::vector<int32_t> columns;
  };

  template <typename... Args>
  void say(int32_t severity, const char* format, Args... args);
  void say_text(int32_t severity, const std::string& text);
  // An error message and the failed state; always false, for `return fail(...)`.
  template <typename... Args>
  bool fail(const char* format, Args... args);
  bool no_memory(const char* field);
  // Refuses a step out of order or after a failure.
  bool step(Phase required, Phase next);

  const List& list(int32_t role) const { return lists_[static_cast<std::size_t>(role)]; }
  std::vector<std::string> names_of(int32_t role) const;
  bool check_overlap(int32_t tailor, int32_t main, const char* format);
  // A variable's role and how many of the list's first columns carry it.
  struct RoleColumns {
    int32_t role;
    const char* name;
    std::size_t count;
  };
  bool check_role_lists();
  bool check_roles();
  bool check_role_variable(std::span<const RoleColumns> roles, std::size_t r, std::size_t i,
                           std::span<const RoleColumns> covariates);
  bool holds(const RoleColumns& role, std::size_t first, int32_t variable) const;
  bool refuse_role(int32_t variable, const char* role, const char* other);
  bool check_contrast_columns();
  // Products: their factors, values and checks (study_products.cc).
  std::size_t data_columns() const { return columns_.size() - products_.size(); }
  const std::vector<int32_t>* factors_of(int32_t column) const;
  bool same_term(int32_t a, int32_t b) const;
  bool term_holds(int32_t term, int32_t variable) const;
  double term_value(const double* const* columns, int32_t column, int64_t i) const;
  void lay_out_delivery();
  const double* expand_delivered(const double* delivered);
  bool check_product_roles();
  void note_missing_history();
  bool check_out_names();
  void warn_of_few_replicates();
  void lay_out();
  bool lay_out_and_code();
  const char* role_at(int64_t position) const;
  bool code_text_columns();
  bool code_text_column(int32_t column, const TextColumn& text);
  const char* text_column_role(int32_t column, bool* treatment) const;
  bool refuse_text_column(const std::string& name, const char* role, bool treatment,
                          const TextColumn& text);
  void record_coding(int32_t column, const char* role, const TextColumn& text);
  std::string merged_suffix(int stage) const;

  bool reserve(std::size_t rows);
  bool grow_columns(Block<double>& block, int32_t columns, std::size_t rows, const char* field);
  RowFate classify(const double* values, double* row, uint8_t* missing) const;
  bool keep_row(const double* values);
  void keep_for_out(const uint8_t* missing, int64_t d, const RowFate& fate);
  void close_up_columns();
  bool learn_levels();
  void note_fractional(const double* values);
  void warn_of_fractional();
  std::string merged_values() const;
  void explain_extra_level(int stage, const double* values);
  void explain_small_stage2();
  void explain_missing_levels();
  void count_arms();
  void negate_response();
  void note_intervals();
  void report_run_failure(const std::vector<int32_t>& message);
  bool check_memory();
  void gather_results();
  bool run_value();
  void gather_value(const ValueOutput& out);
  // A treatment level as the value table names it: a text treatment by its own value.
  std::string value_level_name(bool first, const StageFit& fit, int32_t code) const;
  void add_value_row(const char* kind, const std::string& regime, double a1, double a2,
                     const ValueOutput& out, std::size_t row, double sign);
  void note_value_rows(const ValueOutput& out);
  void option_results(std::vector<NamedResult>& out) const;
  void out_text_results(std::vector<NamedResult>& r) const;
  void value_treatment_results(std::vector<NamedResult>& r, int stage, const char* name,
                               const std::vector<double>& codes) const;
  void fitted_results(std::vector<NamedResult>& out) const;
  std::vector<std::pair<std::string, std::string>> settings() const;
  // In the library's numbering of the levels (first appearance), as its codes are.
  StageFit stage_fit(int stage) const;
  // In presentation order, as users see the levels.
  StageFit shown_fit(int stage) const;
  // The values of a stage's text treatment coded -1 and 1; false when it is not one.
  bool treatment_texts(int stage, std::string* minus, std::string* plus) const;
  bool name_out_columns();
  std::string out_levels_line(const StageFit& fit, const StageNames& names, int stage) const;
  RuleContext rule_context(int stage) const;
  void out_row(const StageFit& stage1, const StageFit& stage2, const double* covariates,
               int32_t fit1, int32_t fit2, int64_t i, int64_t n, double* out) const;

 public:
  int32_t p1() const { return p10_ + options_.K1 * (p11_ + 1); }
  int32_t p2() const { return p20_ + options_.K2 * (p21_ + 1); }
  int32_t covariate_width() const { return p10_ + p11_ + p20_ + p21_; }

 private:
  Phase phase_ = Phase::kNew;
  bool failed_ = false;
  bool interrupted_ = false;  // the run was stopped on request
  TalvenMessageCallback message_callback_ = nullptr;
  void* message_context_ = nullptr;
  TalvenProgressCallback progress_callback_ = nullptr;
  void* progress_context_ = nullptr;
  std::vector<StudyMessage> messages_;

  std::string data_name_ = "DATA";
  std::vector<std::string> columns_;
  List lists_[TALVEN_ROLE_STG2SAMPLE + 1];
  OptionValues option_values_;
  bool has_contrast_ = false;
  int32_t n_contrast_cols_ = 0;
  std::vector<std::string> contrast_names_;
  std::vector<int32_t> contrast_character_;
  int32_t refused_contrast_column_ = 0;
  // Text variables by column, and the -1/1 codes of those that are treatments.
  std::map<int32_t, TextColumn> text_columns_;
  std::map<int32_t, std::vector<double>> coded_;
  std::vector<std::string> coding_variable_, coding_value_;
  std::vector<double> coding_code_;
  std::vector<double> delivered_row_;  // an observation with its text variables coded

  // The options as checked.
  StudyOptions options_ = default_options();

  // The model.
  int32_t p10_ = 0, p11_ = 0, p20_ = 0, p21_ = 0;
  bool has_sample_ = false;
  StageNames stage1_names_, stage2_names_;
  std::vector<int32_t> reading_;
  Layout layout_;
  // Factors of the product in column data_columns() + p; products follow every data column.
  std::vector<std::vector<int32_t>> products_;
  std::vector<int32_t> delivery_;
  std::vector<double> expanded_;

  // The observations.
  StudyMemory memory_;
  std::size_t capacity_ = 0;
  int64_t expected_ = 0;
  int64_t delivered_ = 0;
  int64_t n1_ = 0;
  int32_t n2_ = 0;
  Block<double> H10_, H11_, inputH20_, inputH21_, inputY2_, Y1_;
  Block<int32_t> respStatus_, A1_, inputA2_;
  Block<double> treatments1_, treatments2_;
  Block<double> out_covariates_;
  Block<int32_t> out_fits_;
  std::vector<double> retained_rows_;  // observation number (from 1) of each retained subject
  std::vector<double> row_;
  std::vector<uint8_t> missing_;
  std::unique_ptr<LeftOutTally> tally_;
  std::vector<double> levels1_, levels2_;
  int32_t levels1_found_ = 0, levels2_found_ = 0;
  // The data summary: observations per level of each stage, and why others were left out.
  std::vector<double> arms1_, arms2_;
  std::vector<std::string> left_out_reasons_;
  std::vector<double> left_out_counts_;
  // Stage-2 treatment values of the stage-2 sample that are not whole numbers, per variable: the
  // first few distinct ones, which the coding truncates toward zero.
  std::vector<std::vector<double>> fractional2_;
  int64_t n_contrasts_ = 0;
  std::vector<double> contrast_matrix_;

  // The results.
  Block<double> beta1hat_, beta2hat_, upper_, lower_;
  int32_t nCollinear_ = 0;
  std::vector<double> contrast_estimates_;
  std::vector<int32_t> table_stage_;
  std::vector<std::string> table_terms_;
  std::vector<double> table_estimate_, table_lower_, table_upper_;
  std::vector<std::string> out_columns_;
  std::vector<std::string> rules_[2];
  std::vector<std::string> out_levels_;
  std::vector<std::string> diagnostic_;
  std::vector<std::string> collinear_;
  double regime_value_ = 0.0, mean_outcome_ = 0.0;
  // The value table, one entry per row shown.
  struct ValueRows {
    std::vector<std::string> kind, regime;
    std::vector<double> a1, a2, estimate, lower, upper, n, kept, m, p_hat, m_alpha;
  } value_;
  mutable std::vector<NamedResult> snapshot_;
};

template <typename... Args>
void Study::say(int32_t severity, const char* format, Args... args) {
  if constexpr (sizeof...(Args) == 0) {
    say_text(severity, format);
  } else {
    say_text(severity, formatted(format, args...));
  }
}

template <typename... Args>
bool Study::fail(const char* format, Args... args) {
  say(TALVEN_MESSAGE_ERROR, format, args...);
  failed_ = true;
  return false;
}

}  // namespace talven

#endif  // TALVEN_FRONTEND_STUDY_H
