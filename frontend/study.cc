// The study's messages, memory and phases; the options and the model with their checks.
#include "frontend/study.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "frontend/study_tally.h"
#include "kestrion_options.h"

namespace talven {
namespace {

constexpr int64_t kSlowGrid = 10000;
constexpr int32_t kFewestCovarianceReplicates = 20;

}  // namespace

std::string formatted(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  return text;
}

namespace {

void* default_allocate(uint64_t bytes, void* /*context*/) {
  return std::malloc(static_cast<std::size_t>(bytes));
}

void default_release(void* block, void* /*context*/) {
  std::free(block);
}

std::string upper_case(const char* text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

template <typename T>
bool Block<T>::allocate(std::size_t count) {
  return grow(count, 0);
}

template <typename T>
bool Block<T>::grow(std::size_t count, std::size_t keep) {
  // Zero-length arrays still get a block: every array handed to the library is a valid address.
  const std::size_t elements = count == 0 ? 1 : count;
  if (elements > SIZE_MAX / sizeof(T)) return false;
  void* block = memory_->allocate(elements * sizeof(T), memory_->context);
  if (block == nullptr) return false;
  T* fresh = static_cast<T*>(block);
  if (keep > 0) std::memcpy(fresh, data_, std::min(keep, count) * sizeof(T));
  reset();
  data_ = fresh;
  count_ = count;
  return true;
}

template <typename T>
void Block<T>::reset() {
  if (data_ != nullptr) memory_->release(data_, memory_->context);
  data_ = nullptr;
  count_ = 0;
}

template class Block<double>;
template class Block<int32_t>;

Study::Study()
    : H10_(memory_),
      H11_(memory_),
      inputH20_(memory_),
      inputH21_(memory_),
      inputY2_(memory_),
      Y1_(memory_),
      respStatus_(memory_),
      A1_(memory_),
      inputA2_(memory_),
      treatments1_(memory_),
      treatments2_(memory_),
      out_covariates_(memory_),
      out_fits_(memory_),
      beta1hat_(memory_),
      beta2hat_(memory_),
      upper_(memory_),
      lower_(memory_) {
  memory_.allocate = default_allocate;
  memory_.release = default_release;
}

Study::~Study() = default;

void Study::use_memory(TalvenAllocate allocate, TalvenRelease release, void* context) {
  // Blocks already held must go back where they came from.
  if (phase_ >= Phase::kRows || allocate == nullptr || release == nullptr) return;
  memory_ = StudyMemory{allocate, release, context};
}

void Study::say_text(int32_t severity, const std::string& text) {
  messages_.push_back({severity, text});
  if (message_callback_ != nullptr) message_callback_(severity, text.c_str(), message_context_);
}

bool Study::no_memory(const char* field) {
  return fail("Unable to allocate memory for %s.", field);
}

void Study::internal_failure(const char* what) {
  if (!failed_) fail("%s", what);
}

bool Study::step(Phase required, Phase next) {
  if (failed_) return false;
  if (phase_ != required) {
    return fail("The steps of the study were called out of order.");
  }
  phase_ = next;
  return true;
}

bool Study::set_data_name(const char* name) {
  if (failed_ || name == nullptr) return false;
  data_name_ = name;
  return true;
}

int32_t Study::add_column(const char* name) {
  if (failed_) return -1;
  // Products follow every data column, so that a data column's index never moves.
  if (phase_ != Phase::kNew || name == nullptr || !products_.empty()) {
    fail("The steps of the study were called out of order.");
    return -1;
  }
  columns_.emplace_back(name);
  return static_cast<int32_t>(columns_.size() - 1);
}

bool Study::set_list(int32_t role, int32_t count, const int32_t* columns) {
  if (failed_) return false;
  if (phase_ != Phase::kNew) return fail("The steps of the study were called out of order.");
  if (role < TALVEN_ROLE_MAIN1 || role > TALVEN_ROLE_STG2SAMPLE || count < 0 ||
      (count > 0 && columns == nullptr)) {
    return fail("Variable list %d is not one of the study's roles.", role);
  }
  List& l = lists_[role];
  l.given = true;
  l.columns.clear();
  for (int32_t i = 0; i < count; ++i) {
    if (columns[i] < 0 || static_cast<std::size_t>(columns[i]) >= columns_.size()) {
      return fail("Column %d of a variable list is not a variable of the data.", columns[i]);
    }
    l.columns.push_back(columns[i]);
  }
  return true;
}

bool Study::set_role(const char* role, int32_t count, const int32_t* columns) {
  if (failed_) return false;
  const OptionRow* row = find_option(kOptionTable, role == nullptr ? "" : role);
  if (row == nullptr || row->kind != OptionKind::kRole) {
    return fail("%s is not a variable list of the analysis.", role == nullptr ? "" : role);
  }
  return set_list(row->role, count, columns);
}

bool Study::analyse_with(const std::function<bool(int32_t step)>& front_end) {
  auto hand_over = [&](int32_t step) {
    if (failed_) return false;
    if (!front_end(step)) failed_ = true;
    return !failed_;
  };
  return check_options() && hand_over(TALVEN_STEP_OPTIONS_CHECKED) && check_model() &&
         hand_over(TALVEN_STEP_MODEL_CHECKED) && hand_over(TALVEN_STEP_ROWS) && end_rows() &&
         hand_over(TALVEN_STEP_ROWS_ENDED) && hand_over(TALVEN_STEP_CONTRASTS) &&
         hand_over(TALVEN_STEP_BEFORE_RUN) && prepare() && run();
}

bool Study::analyse(int64_t n, const double* const* columns, int64_t contrast_rows,
                    const double* contrasts) {
  return analyse_with([&](int32_t step) {
    if (step == TALVEN_STEP_ROWS) return add_columns(n, columns);
    if (step == TALVEN_STEP_CONTRASTS && has_contrast_) {
      return set_contrasts(contrast_rows, contrasts);
    }
    return true;
  });
}

bool Study::set_option(const char* name, double value) {
  if (failed_) return false;
  if (phase_ != Phase::kNew) return fail("The steps of the study were called out of order.");
  if (!option_values_.set(name == nullptr ? "" : name, value)) {
    return fail("%s is not an option of the analysis.",
                upper_case(name == nullptr ? "" : name).c_str());
  }
  return true;
}

bool Study::set_contrast_columns(int32_t count, const char* const* names,
                                 const int32_t* character) {
  if (failed_) return false;
  if (phase_ != Phase::kNew || count < 0) {
    return fail("The steps of the study were called out of order.");
  }
  has_contrast_ = true;
  n_contrast_cols_ = count;
  contrast_names_.clear();
  contrast_character_.assign(static_cast<std::size_t>(count), 0);
  for (int32_t j = 0; j < count; ++j) {
    if (names != nullptr) contrast_names_.emplace_back(names[j] != nullptr ? names[j] : "");
    if (character != nullptr) contrast_character_[static_cast<std::size_t>(j)] = character[j];
  }
  return true;
}

bool Study::check_options() {
  if (!step(Phase::kNew, Phase::kOptions)) return false;
  OptionCheck check{options_,
                    static_cast<int64_t>(data_columns()),
                    [this](const std::string& text) { say_text(TALVEN_MESSAGE_NOTE, text); },
                    {}};
  if (!option_values_.read(check)) return fail("%s", check.problem.c_str());
  return true;
}

std::vector<std::string> Study::names_of(int32_t role) const {
  std::vector<std::string> names;
  for (int32_t c : list(role).columns) names.push_back(columns_[static_cast<std::size_t>(c)]);
  return names;
}

// Variables, not names, are compared.
bool Study::check_overlap(int32_t tailor, int32_t main, const char* format) {
  if (!list(main).given) return true;
  for (int32_t t : list(tailor).columns) {
    for (int32_t m : list(main).columns) {
      if (same_term(m, t)) return fail(format, columns_[static_cast<std::size_t>(t)].c_str());
    }
  }
  return true;
}

// RESPONSE, STG2SAMPLE and the treatments each name one variable with a role of its own; a model
// of y on itself or a treatment that is also a covariate gives a meaningless analysis. Stage-1
// treatments may be stage-2 covariates.
bool Study::check_roles() {
  using Role = RoleColumns;
  const Role covariates[] = {{TALVEN_ROLE_MAIN1, "MAIN1", list(TALVEN_ROLE_MAIN1).columns.size()},
                             {TALVEN_ROLE_TAILOR1, "TAILOR1", std::size_t(p11_)},
                             {TALVEN_ROLE_MAIN2, "MAIN2", list(TALVEN_ROLE_MAIN2).columns.size()},
                             {TALVEN_ROLE_TAILOR2, "TAILOR2", std::size_t(p21_)}};
  const Role roles[] = {{TALVEN_ROLE_RESPONSE, "RESPONSE", 1},
                        {TALVEN_ROLE_STG2SAMPLE, "STG2SAMPLE", has_sample_ ? 1u : 0u},
                        {TALVEN_ROLE_STG1TRT, "STG1TRT", std::size_t(options_.K1 - 1)},
                        {TALVEN_ROLE_STG2TRT, "STG2TRT", std::size_t(options_.K2 - 1)}};
  for (std::size_t r = 0; r < std::size(roles); ++r) {
    for (std::size_t i = 0; i < roles[r].count; ++i) {
      if (!check_role_variable(roles, r, i, covariates)) return false;
    }
  }
  return true;
}

// The i-th variable of roles[r] against the covariate lists, then against the later roles and the
// later treatments of the same stage, so that each pair is looked at once.
bool Study::check_role_variable(std::span<const RoleColumns> roles, std::size_t r, std::size_t i,
                                std::span<const RoleColumns> covariates) {
  const RoleColumns& role = roles[r];
  const int32_t variable = list(role.role).columns[i];
  for (const RoleColumns& other : covariates) {
    const bool stage2_covariate =
        other.role == TALVEN_ROLE_MAIN2 || other.role == TALVEN_ROLE_TAILOR2;
    if (role.role == TALVEN_ROLE_STG1TRT && stage2_covariate) continue;
    if (holds(other, 0, variable)) return refuse_role(variable, role.name, other.name);
  }
  if (holds(role, i + 1, variable)) return refuse_role(variable, role.name, role.name);
  for (std::size_t o = r + 1; o < roles.size(); ++o) {
    if (holds(roles[o], 0, variable)) return refuse_role(variable, role.name, roles[o].name);
  }
  return true;
}

bool Study::holds(const RoleColumns& role, std::size_t first, int32_t variable) const {
  for (std::size_t j = first; j < role.count; ++j) {
    if (term_holds(list(role.role).columns[j], variable)) return true;
  }
  return false;
}

bool Study::refuse_role(int32_t variable, const char* role, const char* other) {
  return fail("Variable %s is the %s variable and cannot also be in %s.",
              columns_[static_cast<std::size_t>(variable)].c_str(), role, other);
}

bool Study::check_contrast_columns() {
  if (!has_contrast_) return true;
  const std::vector<std::string> labels = coefficient_labels(stage1_names_);
  if (n_contrast_cols_ != p1()) {
    say(TALVEN_MESSAGE_ERROR, "Contrast1 Dataset should have %d columns.", p1());
    return fail("The columns are used in this order: %s.", join(labels).c_str());
  }
  for (int32_t j = 0; j < n_contrast_cols_; ++j) {
    if (contrast_character_[static_cast<std::size_t>(j)] != 0) {
      refused_contrast_column_ = j + 1;
      const std::string name =
          contrast_names_.empty() ? std::to_string(j + 1) : contrast_names_[std::size_t(j)];
      return fail(
          "Variable %s of the CONTRAST1= data set is character; contrast coefficients must be "
          "numeric.",
          name.c_str());
    }
  }
  if (contrast_names_.empty()) return true;
  const int misplaced = first_misplaced_column(contrast_names_, labels);
  if (misplaced >= 0) {
    say(TALVEN_MESSAGE_WARNING,
        "The columns of the CONTRAST1= data set are used by position, but their names suggest "
        "another order: column %d is named %s. The order is %s.",
        misplaced + 1, contrast_names_[static_cast<std::size_t>(misplaced)].c_str(),
        join(labels).c_str());
  }
  return true;
}

// OUT= holds every variable of the data followed by the new ones: a name in both is ambiguous.
bool Study::check_out_names() {
  for (std::size_t c = 0; c < data_columns(); ++c) {
    const std::string& name = columns_[c];
    for (const std::string& column : out_columns_) {
      if (same_name(name, column)) {
        return fail(
            "OUT= adds the variable %s, and data set %s already has a variable of that name; "
            "rename it.",
            column.c_str(), data_name_.c_str());
      }
    }
  }
  return true;
}

// Limits from too few replicates are valid but unstable: say so, and how many would do.
void Study::warn_of_few_replicates() {
  // Each tail of the main phase should hold at least one replicate: ALPHA/2 x NBOOTSTRAP1 >= 1.
  const double half = options_.alpha / 2;
  if (half * options_.nBootstrap1 < 1) {
    double enough = std::ceil(1 / half);
    while (half * (enough - 1) >= 1) --enough;
    while (half * enough < 1) ++enough;
    say(TALVEN_MESSAGE_WARNING,
        "NBOOTSTRAP1=%d is too small for ALPHA=%g: the limits are the extreme replicates; use "
        "NBOOTSTRAP1=%.0f or more.",
        options_.nBootstrap1, options_.alpha, enough);
  }
  if (options_.nBootstrap2 < kFewestCovarianceReplicates) {
    say(TALVEN_MESSAGE_WARNING,
        "NBOOTSTRAP2=%d is too small for a stable covariance of the stage-2 estimates; use "
        "NBOOTSTRAP2=%d or more.",
        options_.nBootstrap2, kFewestCovarianceReplicates);
  }
}

void Study::lay_out() {
  reading_.clear();
  auto append = [this](int32_t role, std::size_t count) {
    const List& l = list(role);
    for (std::size_t i = 0; i < count; ++i) reading_.push_back(l.columns[i]);
  };
  Layout& l = layout_;
  l.main1 = 0;
  append(TALVEN_ROLE_MAIN1, static_cast<std::size_t>(p10_));
  l.tailor1 = static_cast<int64_t>(reading_.size());
  append(TALVEN_ROLE_TAILOR1, static_cast<std::size_t>(p11_));
  l.trt1 = static_cast<int64_t>(reading_.size());
  append(TALVEN_ROLE_STG1TRT, static_cast<std::size_t>(options_.K1 - 1));
  l.stage1_end = static_cast<int64_t>(reading_.size());
  l.sample = -1;
  if (has_sample_) {
    l.sample = static_cast<int64_t>(reading_.size());
    append(TALVEN_ROLE_STG2SAMPLE, 1);
  }
  l.stage2_begin = l.main2 = static_cast<int64_t>(reading_.size());
  append(TALVEN_ROLE_MAIN2, static_cast<std::size_t>(p20_));
  l.tailor2 = static_cast<int64_t>(reading_.size());
  append(TALVEN_ROLE_TAILOR2, static_cast<std::size_t>(p21_));
  l.trt2 = static_cast<int64_t>(reading_.size());
  append(TALVEN_ROLE_STG2TRT, static_cast<std::size_t>(options_.K2 - 1));
  l.stage2_end = l.response = static_cast<int64_t>(reading_.size());
  append(TALVEN_ROLE_RESPONSE, 1);
}

// The reading order, then the text variables that it makes treatments.
bool Study::lay_out_and_code() {
  lay_out();
  lay_out_delivery();
  if (delivery_.size() > static_cast<std::size_t>(INT32_MAX)) {
    return fail("The model has too many variables.");
  }
  return code_text_columns();
}

// RESPONSE, the treatments and STG2SAMPLE: given, of the right length, and each in one role.
bool Study::check_role_lists() {
  // Only the first variable of these lists is read; an empty list is as good as none.
  const List& response = list(TALVEN_ROLE_RESPONSE);
  if (!response.given || response.columns.empty()) return fail("RESPONSE must be specified.");
  const List& stg1trt = list(TALVEN_ROLE_STG1TRT);
  if (!stg1trt.given) return fail("STG1TRT must be specified.");
  if (static_cast<int64_t>(stg1trt.columns.size()) != options_.K1 - 1) {
    return fail("Please specify %d stage 1 treatment variable in STG1TRT.", options_.K1 - 1);
  }
  stage1_names_.treatments = names_of(TALVEN_ROLE_STG1TRT);
  const List& stg2trt = list(TALVEN_ROLE_STG2TRT);
  if (!stg2trt.given) return fail("STG2TRT must be specified.");
  if (static_cast<int64_t>(stg2trt.columns.size()) != options_.K2 - 1) {
    return fail("Please specify %d stage 2 treatment variable in STG2TRT.", options_.K2 - 1);
  }
  stage2_names_.treatments = names_of(TALVEN_ROLE_STG2TRT);
  has_sample_ = list(TALVEN_ROLE_STG2SAMPLE).given && !list(TALVEN_ROLE_STG2SAMPLE).columns.empty();
  return check_product_roles() && check_roles();
}

bool Study::check_model() {
  if (!step(Phase::kOptions, Phase::kModel)) return false;
  const List& main1 = list(TALVEN_ROLE_MAIN1);
  const List& main2 = list(TALVEN_ROLE_MAIN2);
  p10_ = main1.given ? static_cast<int32_t>(main1.columns.size()) : 0;
  stage1_names_.main = names_of(TALVEN_ROLE_MAIN1);
  if (!list(TALVEN_ROLE_TAILOR1).given) return fail("TAILOR1 must be specified.");
  p11_ = static_cast<int32_t>(list(TALVEN_ROLE_TAILOR1).columns.size());
  stage1_names_.tailor = names_of(TALVEN_ROLE_TAILOR1);
  if (!check_overlap(TALVEN_ROLE_TAILOR1, TALVEN_ROLE_MAIN1,
                     "Please remove variable %s from MAIN1 as TAYLOR1 variables are included as "
                     "MAIN1 automatically in the model.")) {
    return false;
  }
  p20_ = main2.given ? static_cast<int32_t>(main2.columns.size()) : 0;
  stage2_names_.main = names_of(TALVEN_ROLE_MAIN2);
  if (!list(TALVEN_ROLE_TAILOR2).given) return fail("TAILOR2 must be specified.");
  p21_ = static_cast<int32_t>(list(TALVEN_ROLE_TAILOR2).columns.size());
  stage2_names_.tailor = names_of(TALVEN_ROLE_TAILOR2);
  if (!check_overlap(TALVEN_ROLE_TAILOR2, TALVEN_ROLE_MAIN2,
                     "Please remove variable %s from MAIN2 as TAYLOR2 variables are included as "
                     "MAIN2 automatically in the model.")) {
    return false;
  }

  const int32_t exponent = (options_.K2 - 1) * (p21_ + 1);
  if (options_.deriveCI && kestrion::grid_too_large(options_.nGrid, exponent)) {
    return fail(kestrion::kGridTooLargeFormat, exponent);
  }
  if (kestrion::grid_rows(options_.nGrid, exponent) > kSlowGrid) {
    say(TALVEN_MESSAGE_WARNING,
        "The total number of grid points is greater than 10000. The run will take a long time to "
        "finish.");
  }

  if (!check_role_lists()) return false;
  note_missing_history();

  const int64_t p1 = p10_ + int64_t{options_.K1} * (p11_ + 1);
  const int64_t p2 = p20_ + int64_t{options_.K2} * (p21_ + 1);
  if (p1 > INT32_MAX || p2 > INT32_MAX) return fail("The model has too many coefficients.");
  if (!check_contrast_columns()) return false;
  if (!lay_out_and_code()) return false;
  out_columns_ = out_column_names(stage1_names_, options_.K1, stage2_names_, options_.K2);
  if (options_.keep_out && !check_out_names()) return false;
  if (options_.deriveCI) warn_of_few_replicates();
  return true;
}

}  // namespace talven
