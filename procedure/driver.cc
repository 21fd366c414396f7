// One procedure step from start-up to the end code, and the release of its record.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "procedure/analysis_steps.h"
#include "procedure/host_services.h"
#include "procedure/kestrion_info.h"

namespace talven {
namespace {

constexpr const char* kVersion = "1.0.0";
constexpr const char* kRevisionDate = "May  2 2018";
void write_banner() {
  log("%8h *** SAS PROC TALVEN ***");
  log("  Version %s", kVersion);
  for (const char* notice : kNotices) log("  %s", notice);
  log("  Revision Date: %s", kRevisionDate);
  log(" ");
}

// Runs inside the library: hands the count on to the host and never throws.
void report_progress(int32_t done, int32_t total, void* /*context*/) {
  const auto progress = host_state().table.progress;
  if (progress != nullptr) progress(done, total);
}

// The values the listing and OUTEST= show.
void read_results(KESTRIONINFOSTR& info) {
  TalvenStudy* study = info.study;
  info.nCollinear = static_cast<int32_t>(talven_study_count(study, TALVEN_COUNT_COLLINEAR));
  auto values = [study](int32_t which, int64_t count, std::vector<double>& out) {
    out.assign(static_cast<std::size_t>(count), 0.0);
    require(talven_study_values(study, which, out.data()));
  };
  values(TALVEN_VALUES_BETA1, info.p1(), info.beta1hat);
  values(TALVEN_VALUES_BETA2, info.p2(), info.beta2hat);
  values(TALVEN_VALUES_UPPER, info.p1() + info.nContrasts, info.upper);
  values(TALVEN_VALUES_LOWER, info.p1() + info.nContrasts, info.lower);
  values(TALVEN_VALUES_CONTRASTS, info.nContrasts, info.contrast_estimates);
}

void procedure_step(int32_t step, KESTRIONINFOSTR& info) {
  switch (step) {
    case TALVEN_STEP_OPTIONS_CHECKED:
      options_checked(info);
      break;
    case TALVEN_STEP_MODEL_CHECKED:
      model_checked(info);
      break;
    case TALVEN_STEP_ROWS:
      getKestrionData(info);
      break;
    case TALVEN_STEP_ROWS_ENDED:
      kestrion_rows_ended(info);
      break;
    case TALVEN_STEP_CONTRASTS:
      getContrastMatrix(info);
      break;
    case TALVEN_STEP_BEFORE_RUN:
      if (host().progress != nullptr) {
        talven_study_on_progress(info.study, &report_progress, nullptr);
      }
      break;
    default:
      break;
  }
}

// The procedure's end of a step unwinds to its driver; it must not pass through the layer, so it
// is held here and resumed when the layer has returned.
struct StepContext {
  KESTRIONINFOSTR& info;
  std::exception_ptr ended;
};

int32_t on_step(int32_t step, TalvenStudy* /*study*/, void* context) {
  auto* c = static_cast<StepContext*>(context);
  try {
    procedure_step(step, c->info);
    return 0;
  } catch (...) {
    c->ended = std::current_exception();
    return -1;
  }
}

}  // namespace

void require(int32_t result) {
  if (result != 0) end_procedure(TALVEN_END_ERROR);
}

std::vector<std::string> study_texts(const KESTRIONINFOSTR& info, int32_t which) {
  std::vector<std::string> out;
  const int64_t count = talven_study_text_count(info.study, which);
  for (int64_t k = 0; k < count; ++k) {
    out.emplace_back(talven_study_text(info.study, which, k, nullptr));
  }
  return out;
}

void run_analysis(KESTRIONINFOSTR& info) {
  StepContext context{info, nullptr};
  const int32_t result = talven_study_analyse_with(info.study, &on_step, &context);
  if (context.ended) std::rethrow_exception(context.ended);
  if (result != 0) {
    explain_refused_contrast(info);
    end_procedure(TALVEN_END_ERROR);
  }
  read_results(info);
}

void kestrionNullify(KESTRIONINFOSTR& info) {
  log("%3zkestrionNullify start.......");
  release_array(info.obsBuffer);
  if (info.hasContrast) {
    release_array(info.contrastObsBuffer);
    release_array(info.contrastMatrix);
  }
  release_array(info.contrastVarNumbers);
  if (info.hasMain1) release_array(info.main1Names);
  release_array(info.tailor1Names);
  if (info.hasMain2) release_array(info.main2Names);
  release_array(info.tailor2Names);
  release_array(info.stg1TrtNames);
  release_array(info.stg2TrtNames);
  release_array(info.readVarNumbers);
  talven_study_free(info.study);
  info.study = nullptr;
  log("%3zNullify pointers.......");
  log("%3zAfter Nullify pointers.......");
  log("%3zkestrionNullify end.......");
}

void run_procedure(TalvenParseHolder* holder) {
  start_host_services(holder);
  const TalvenRoutines& h = host();
  if (h.parseStatement(&talven_grammar(), holder) >= TALVEN_PARSE_FAILED) {
    end_procedure(TALVEN_END_ERROR);
  }

  KESTRIONINFOSTR info;
  // The study layer's memory is the host's; on an error stop the study is released on the way
  // out, before the host frees what the step left open.
  struct StudyOwner {
    KESTRIONINFOSTR& info;
    ~StudyOwner() { talven_study_free(info.study); }
  } owner{info};
  info.nCollinear = 0;

  write_banner();
  read_options(info);
  run_analysis(info);

  log("%3zBefore kestrionOutput......");
  kestrionOutput(info);
  if (info.rules) printRules(info);
  if (info.value) printValueTable(info);
  log("%3zAfter kestrionOutput......");
  handStepResults(info);
  if (info.hasOutest) writeOutest(info);
  if (info.has_out) writeOut(info);
  if (info.has_outvalue) writeOutvalue(info);

  h.readerEnd(info.dataReader);
  info.dataReader = nullptr;

  log("%3zBefore Nullify KESTRIONINFOSTR......");
  kestrionNullify(info);
  log("%3zAfter Nullify KESTRIONINFOSTR......");
  end_procedure(TALVEN_END_OK);
}

}  // namespace talven
