// The C interface: each export is a shim between a guard that turns any exception into the
// documented failure result and the Study method behind it.
#include <cstdint>
#include <new>

#include "frontend/study.h"
#include "kestrion.h"
#include "talven_frontend.h"

struct TalvenStudy {
  talven::Study study;
};

namespace {

constexpr const char* kNoMemory = "Unable to allocate memory for the study.";

template <typename Body>
int32_t guarded(TalvenStudy* s, Body&& body) {
  if (s == nullptr) return -1;
  try {
    return body(s->study) ? 0 : -1;
  } catch (const std::bad_alloc&) {
    s->study.internal_failure(kNoMemory);
  } catch (...) {
    s->study.internal_failure("An internal error occurred in the study layer.");
  }
  return -1;
}

// Readers of results allocate nothing the caller could lose; a failure is the empty answer.
template <typename Result, typename Body>
Result reading(const TalvenStudy* s, Result empty, Body&& body) {
  if (s == nullptr) return empty;
  try {
    return body(s->study);
  } catch (...) {
    return empty;
  }
}

}  // namespace

extern "C" {

int32_t talven_frontend_version(void) {
  return TALVEN_FRONTEND_VERSION;
}

TalvenStudy* talven_study_new(void) {
  try {
    return new TalvenStudy;
  } catch (...) {
    return nullptr;
  }
}

void talven_study_free(TalvenStudy* study) {
  delete study;
}

void talven_request_stop(int32_t stop) {
  stopkestrion(stop != 0 ? 1 : 0);
}

void talven_study_on_message(TalvenStudy* study, TalvenMessageCallback callback, void* context) {
  if (study != nullptr) study->study.on_message(callback, context);
}

void talven_study_use_memory(TalvenStudy* study, TalvenAllocate allocate, TalvenRelease release,
                             void* context) {
  if (study != nullptr) study->study.use_memory(allocate, release, context);
}

void talven_study_on_progress(TalvenStudy* study, TalvenProgressCallback callback, void* context) {
  if (study != nullptr) study->study.on_progress(callback, context);
}

int32_t talven_study_set_data_name(TalvenStudy* study, const char* name) {
  return guarded(study, [&](talven::Study& s) { return s.set_data_name(name); });
}

int32_t talven_study_add_column(TalvenStudy* study, const char* name) {
  if (study == nullptr) return -1;
  int32_t index = -1;
  guarded(study, [&](talven::Study& s) {
    index = s.add_column(name);
    return index >= 0;
  });
  return index;
}

int32_t talven_study_add_product(TalvenStudy* study, int32_t count, const int32_t* factors) {
  if (study == nullptr) return -1;
  int32_t index = -1;
  guarded(study, [&](talven::Study& s) {
    index = s.add_product(count, factors);
    return index >= 0;
  });
  return index;
}

int32_t talven_study_add_term(TalvenStudy* study, const char* term) {
  if (study == nullptr) return -1;
  int32_t index = -1;
  guarded(study, [&](talven::Study& s) {
    index = s.add_term(term);
    return index >= 0;
  });
  return index;
}

int32_t talven_study_set_list(TalvenStudy* study, int32_t role, int32_t count,
                              const int32_t* columns) {
  return guarded(study, [&](talven::Study& s) { return s.set_list(role, count, columns); });
}

int32_t talven_study_set_role(TalvenStudy* study, const char* role, int32_t count,
                              const int32_t* columns) {
  return guarded(study, [&](talven::Study& s) { return s.set_role(role, count, columns); });
}

int32_t talven_study_set_option(TalvenStudy* study, const char* name, double value) {
  return guarded(study, [&](talven::Study& s) { return s.set_option(name, value); });
}

int32_t talven_study_set_contrast_columns(TalvenStudy* study, int32_t count,
                                          const char* const* names, const int32_t* character) {
  return guarded(study,
                 [&](talven::Study& s) { return s.set_contrast_columns(count, names, character); });
}

int32_t talven_study_set_text_column(TalvenStudy* study, int32_t column, int64_t n,
                                     const char* const* values, int32_t level_count,
                                     const char* const* levels) {
  return guarded(study, [&](talven::Study& s) {
    return s.set_text_column(column, n, values, level_count, levels);
  });
}

int32_t talven_study_check_options(TalvenStudy* study) {
  return guarded(study, [](talven::Study& s) { return s.check_options(); });
}

int32_t talven_study_check_model(TalvenStudy* study) {
  return guarded(study, [](talven::Study& s) { return s.check_model(); });
}

int32_t talven_study_reading_order(const TalvenStudy* study, int32_t* columns) {
  return reading(study, int32_t{-1}, [&](const talven::Study& s) {
    if (columns == nullptr) return int32_t{-1};
    int32_t k = 0;
    for (int32_t column : s.reading_order()) columns[k++] = column;
    return int32_t{0};
  });
}

int32_t talven_study_expect_rows(TalvenStudy* study, int64_t n) {
  return guarded(study, [&](talven::Study& s) { return s.expect_rows(n); });
}

int32_t talven_study_add_row(TalvenStudy* study, const double* values) {
  return guarded(study, [&](talven::Study& s) { return s.add_row(values); });
}

int32_t talven_study_add_columns(TalvenStudy* study, int64_t n, const double* const* columns) {
  return guarded(study, [&](talven::Study& s) { return s.add_columns(n, columns); });
}

int32_t talven_study_end_rows(TalvenStudy* study) {
  return guarded(study, [](talven::Study& s) { return s.end_rows(); });
}

int32_t talven_study_set_contrasts(TalvenStudy* study, int64_t rows, const double* values) {
  return guarded(study, [&](talven::Study& s) { return s.set_contrasts(rows, values); });
}

int32_t talven_study_analyse(TalvenStudy* study, int64_t n, const double* const* columns,
                             int64_t contrast_rows, const double* contrasts) {
  return guarded(study,
                 [&](talven::Study& s) { return s.analyse(n, columns, contrast_rows, contrasts); });
}

int32_t talven_study_analyse_with(TalvenStudy* study, TalvenStepCallback callback, void* context) {
  return guarded(study, [&](talven::Study& s) {
    if (callback == nullptr) return s.analyse_with([](int32_t) { return true; });
    return s.analyse_with([&](int32_t step) { return callback(step, study, context) == 0; });
  });
}

int32_t talven_study_prepare(TalvenStudy* study) {
  return guarded(study, [](talven::Study& s) { return s.prepare(); });
}

int32_t talven_study_run(TalvenStudy* study) {
  return guarded(study, [](talven::Study& s) { return s.run(); });
}

int64_t talven_study_count(const TalvenStudy* study, int32_t which) {
  return reading(study, int64_t{-1}, [&](const talven::Study& s) { return s.count(which); });
}

double talven_study_number(const TalvenStudy* study, int32_t which) {
  return reading(study, __builtin_nan(""), [&](const talven::Study& s) { return s.number(which); });
}

int32_t talven_study_values(const TalvenStudy* study, int32_t which, double* out) {
  return reading(study, int32_t{-1}, [&](const talven::Study& s) {
    return s.values(which, out) ? int32_t{0} : int32_t{-1};
  });
}

int64_t talven_study_text_count(const TalvenStudy* study, int32_t which) {
  return reading(study, int64_t{-1}, [&](const talven::Study& s) { return s.text_count(which); });
}

const char* talven_study_text(const TalvenStudy* study, int32_t which, int64_t index,
                              int32_t* severity) {
  return reading(study, static_cast<const char*>(nullptr),
                 [&](const talven::Study& s) { return s.text(which, index, severity); });
}

int64_t talven_study_result_count(const TalvenStudy* study) {
  return reading(study, int64_t{-1}, [](const talven::Study& s) { return s.result_count(); });
}

const char* talven_study_result_name(const TalvenStudy* study, int64_t index) {
  return reading(study, static_cast<const char*>(nullptr), [&](const talven::Study& s) {
    const talven::NamedResult* r = s.result(index);
    return r != nullptr ? r->name.c_str() : nullptr;
  });
}

const char* talven_study_result_type(const TalvenStudy* study, int64_t index) {
  return reading(study, static_cast<const char*>(nullptr), [&](const talven::Study& s) {
    const talven::NamedResult* r = s.result(index);
    return r != nullptr ? r->type.c_str() : nullptr;
  });
}

int64_t talven_study_result_length(const TalvenStudy* study, int64_t index) {
  return reading(study, int64_t{-1}, [&](const talven::Study& s) {
    const talven::NamedResult* r = s.result(index);
    if (r == nullptr) return int64_t{-1};
    return static_cast<int64_t>(r->type == "texts" ? r->texts.size() : r->reals.size());
  });
}

int32_t talven_study_result_reals(const TalvenStudy* study, int64_t index, double* out) {
  return reading(study, int32_t{-1}, [&](const talven::Study& s) {
    const talven::NamedResult* r = s.result(index);
    if (r == nullptr || r->type == "texts" || (!r->reals.empty() && out == nullptr)) {
      return int32_t{-1};
    }
    for (std::size_t k = 0; k < r->reals.size(); ++k) out[k] = r->reals[k];
    return int32_t{0};
  });
}

const char* talven_study_result_text(const TalvenStudy* study, int64_t index, int64_t element) {
  return reading(study, static_cast<const char*>(nullptr), [&](const talven::Study& s) {
    const talven::NamedResult* r = s.result(index);
    if (r == nullptr || element < 0 || element >= static_cast<int64_t>(r->texts.size())) {
      return static_cast<const char*>(nullptr);
    }
    return r->texts[static_cast<std::size_t>(element)].c_str();
  });
}

int32_t talven_study_out_values(const TalvenStudy* study, double* out) {
  return reading(study, int32_t{-1}, [&](const talven::Study& s) {
    return s.out_values(out) ? int32_t{0} : int32_t{-1};
  });
}

int32_t talven_study_recommend(const TalvenStudy* study, int64_t n, const double* const* columns,
                               double* out) {
  return reading(study, int32_t{-1}, [&](const talven::Study& s) {
    return s.recommend(n, columns, out) ? int32_t{0} : int32_t{-1};
  });
}

}  // extern "C"
