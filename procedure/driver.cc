// One procedure step from start-up to the end code, and the release of its record.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kestrion_options.h"
#include "kestrion_plan.h"
#include "procedure/host_services.h"
#include "procedure/kestrion_info.h"
#include "procedure/kestrion_library.h"
#include "procedure/rank_cause.h"

namespace talven {
namespace {

constexpr const char* kVersion = "1.0.0";
constexpr const char* kRevisionDate = "May  2 2018";

// Stands in for the arrays that have no elements in this run, so the library never sees null.
double empty_block[1] = {0.0};

const double* or_empty(const double* block) {
  return block != nullptr ? block : empty_block;
}

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

std::string format_number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

// A treatment with fewer levels than its stage has treatments makes the design rank deficient;
// the analysis then stops with a report that does not say why.
void explain_missing_levels(const KESTRIONINFOSTR& info) {
  struct Stage {
    const char* list;
    int32_t k, found, used, number;
    const double* levels;
    const std::vector<std::string>& names;
  };
  const Stage stages[] = {{"STG1TRT", info.K1, info.levels1_found, info.n1, 1, info.levels1,
                           info.stage1_names.treatments},
                          {"STG2TRT", info.K2, info.levels2_found, info.n2, 2, info.levels2,
                           info.stage2_names.treatments}};
  for (const Stage& stage : stages) {
    if (stage.found >= stage.k) continue;
    const int32_t rows = stage.k - 1;
    std::vector<std::string> levels;
    for (int32_t c = 0; c < stage.found; ++c) {
      std::vector<std::string> values;
      for (int32_t t = 0; t < rows; ++t)
        values.push_back(format_number(stage.levels[t + c * rows]));
      std::string level = rows == 1 ? values[0] : std::string("(");
      if (rows > 1) level.append(join(values)).append(")");
      levels.push_back(level);
    }
    const std::string found = rows == 1 ? "one value"
                              : stage.found == 1
                                  ? "one combination of values"
                                  : std::to_string(stage.found) + " combinations of values";
    log("%1z%s variable%s %s %s only %s (%s) among the %ld observations used; NTREATS%d=%d "
        "treatments are expected.",
        stage.list, rows == 1 ? "" : "s", join(stage.names).c_str(), rows == 1 ? "has" : "have",
        found.c_str(), join(levels).c_str(), static_cast<long>(stage.used), stage.number, stage.k);
  }
}

std::string response_name(const KESTRIONINFOSTR& info) {
  return variable_name(info.dataSet, info.readVarNumbers[info.nReadVars - 1]);
}

void negate_response(KESTRIONINFOSTR& info) {
  for (int32_t i = 0; i < info.n1; ++i) {
    info.Y1[i] = -info.Y1[i];
    info.inputY2[i] = -info.inputY2[i];
  }
}

// What produced the limits, so that they can be reproduced and judged.
void note_intervals(const KESTRIONINFOSTR& info) {
  const std::string skipped =
      info.nCollinear == 0 ? std::string("no collinear replicates were skipped")
      : info.nCollinear == 1
          ? std::string("1 collinear replicate was skipped")
          : std::to_string(info.nCollinear) + " collinear replicates were skipped";
  log("%3zIntervals at ALPHA=%g from NBOOTSTRAP1=%d and NBOOTSTRAP2=%d replicates, NGRID=%d, "
      "GRID_SCALE=%g; %s.",
      info.alpha, info.nBootstrap1, info.nBootstrap2, info.nGrid, info.gridScale, skipped.c_str());
}

// The intervals' memory, from the formula the library plans with, against the machine's.
void check_memory(const KESTRIONINFOSTR& info) {
  kestrion::IntervalSizes sizes;
  sizes.n1 = info.n1;
  sizes.n2 = info.n2;
  sizes.p10 = info.p10;
  sizes.p11 = info.p11;
  sizes.p20 = info.p20;
  sizes.p21 = info.p21;
  sizes.K1 = info.K1;
  sizes.K2 = info.K2;
  sizes.nC = info.nContrasts;
  sizes.nBootstrap1 = info.nBootstrap1;
  sizes.nBootstrap2 = info.nBootstrap2;
  sizes.nGrid = info.nGrid;
  sizes.threads = kestrion::interval_threads(info.cores, info.nBootstrap1);
  const double need = kestrion::plan_intervals(sizes).bytes;
  const double have = kestrion::physical_memory_bytes();
  constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
  if (have > 0 && need > have) {
    stop(
        "%1zThe intervals need about %.1f GB of memory; this machine has %.1f GB. Lower NGRID= "
        "or use fewer TAILOR2 variables.",
        need / kGiB, have / kGiB);
  }
}

void call_library(KESTRIONINFOSTR& info, int32_t* message, uint8_t& error_flag) {
  const KestrionLibrary& library = kestrion_library();
  const int32_t version[3] = {1, 0, 0};
  uint8_t mismatch = 0;
  library.checkversion(version, &mismatch);
  if (mismatch != 0) {
    log("%1zThe TALVEN library has an incorrect version number.");
    log(" ");
    end_procedure(TALVEN_END_ERROR);
  }

  explain_missing_levels(info);
  if (info.deriveCI) check_memory(info);
  if (info.deriveCI) {
    if (info.seed != 0) {
      log("%3zThe bootstrap used SEED=%d.", info.seed);
    } else {
      // One seed for the whole run, so that the run can be repeated with SEED=.
      info.seed = seed_from_clock(seed_clock()());
      log("%3zThe bootstrap was seeded from the clock: SEED=%d repeats this run.", info.seed);
    }
  }
  if (info.minimize) {
    log("%3zMINIMIZE: smaller values of %s are better. The analysis maximises -%s; every estimate "
        "and limit is reported for %s.",
        response_name(info).c_str(), response_name(info).c_str(), response_name(info).c_str());
    negate_response(info);
  }
  log("%3zBefore runkestrion......");
  library.seedkestrion(info.seed);
  const bool progress =
      info.deriveCI && host().progress != nullptr && library.progresskestrion != nullptr;
  if (progress) library.progresskestrion(&report_progress, nullptr);
  library.runkestrion(info.cores, info.fixedTwo, info.Y1, info.inputY2, info.n1, info.n2,
                      info.respStatus, info.A1, info.inputA2, or_empty(info.H10), info.p10,
                      or_empty(info.H11), info.p11, or_empty(info.inputH20), info.p20,
                      or_empty(info.inputH21), info.p21, info.levels1, info.K1, info.levels2,
                      info.K2, or_empty(info.contrastMatrix), info.nContrasts, info.nBootstrap1,
                      info.nBootstrap2, info.nGrid, info.gridScale, info.deriveCI, info.alpha,
                      info.beta1hat, info.beta2hat, info.upper, info.lower, &info.nCollinear,
                      &error_flag, kMessageLength, message);
  if (progress) library.progresskestrion(nullptr, nullptr);
  if (info.deriveCI && error_flag == 0) {
    const int32_t threads = kestrion::interval_threads(info.cores, info.nBootstrap1);
    log("%3zThe bootstrap ran on %d thread%s.", threads, threads == 1 ? "" : "s");
  }
  log("%3zAfter runkestrion......");
  if (info.minimize) {
    // min(x) = -max(-x): the analysis of -y, read back for y. Each limit changes side.
    negate_response(info);
    for (int32_t k = 0; k < info.p1(); ++k) info.beta1hat[k] = -info.beta1hat[k];
    for (int32_t k = 0; k < info.p2(); ++k) info.beta2hat[k] = -info.beta2hat[k];
    for (int32_t k = 0; k < info.p1() + info.nContrasts; ++k) {
      const double upper = info.upper[k];
      info.upper[k] = -info.lower[k];
      info.lower[k] = -upper;
    }
  }
}

}  // namespace

SeedClock& seed_clock() {
  static SeedClock clock = [] {
    return static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  };
  return clock;
}

int32_t seed_from_clock(uint64_t ticks) {
  return static_cast<int32_t>(1 + ticks % uint64_t{kestrion::kLargestSeed});
}

KestrionLibrary linked_kestrion_library() {
  return KestrionLibrary{&::checkversion, &::runkestrion, &::seedkestrion, &::progresskestrion};
}

KestrionLibrary& kestrion_library() {
  static KestrionLibrary library = linked_kestrion_library();
  return library;
}

std::vector<std::string> split_diagnostic_text(const char* text, int length) {
  std::vector<std::string> pieces;
  std::string piece;
  for (int k = 0; k < length && text[k] != '\0'; ++k) {
    if (text[k] == '\r' || text[k] == '\n') {
      if (!piece.empty()) pieces.push_back(piece);
      piece.clear();
    } else {
      piece += text[k];
    }
  }
  if (!piece.empty()) pieces.push_back(piece);
  return pieces;
}

void kestrionNullify(KESTRIONINFOSTR& info) {
  log("%3zkestrionNullify start.......");
  release_array(info.obsBuffer);
  if (info.hasContrast) {
    release_array(info.contrastObsBuffer);
    release_array(info.contrastMatrix);
  }
  release_array(info.contrastVarNumbers);
  release_array(info.H10);
  release_array(info.H11);
  release_array(info.inputH20);
  release_array(info.inputH21);
  release_array(info.Y1);
  release_array(info.inputY2);
  release_array(info.levels1);
  release_array(info.levels2);
  if (info.hasMain1) release_array(info.main1Names);
  release_array(info.tailor1Names);
  if (info.hasMain2) release_array(info.main2Names);
  release_array(info.tailor2Names);
  release_array(info.stg1TrtNames);
  release_array(info.stg2TrtNames);
  release_array(info.readVarNumbers);
  release_array(info.respStatus);
  release_array(info.A1);
  release_array(info.inputA2);
  release_array(info.beta1hat);
  release_array(info.beta2hat);
  release_array(info.upper);
  release_array(info.lower);
  release_array(info.out_covariates);
  release_array(info.out_fits);
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
  int32_t* message = allocate_array<int32_t>(kMessageLength, "message");
  for (int k = 0; k < kMessageLength; ++k) message[k] = ' ';
  char* text = allocate_array<char>(kMessageLength + 1, "text");
  uint8_t error_flag = 0;
  info.nCollinear = 0;

  write_banner();
  read_options(info);
  getKestrionData(info);
  getContrastMatrix(info);
  call_library(info, message, error_flag);

  for (int k = 0; k < kMessageLength; ++k) text[k] = static_cast<char>(message[k] & 0xFF);
  text[kMessageLength] = '\0';
  if (error_flag != 0) {
    log("%1zA problem occured during model estimation.  Diagnostic information is as follows:");
    log(" ");
    for (const std::string& piece : name_rank_cause(split_diagnostic_text(text, kMessageLength),
                                                    info.stage1_names, info.stage2_names)) {
      log("   %s", piece.c_str());
    }
    log(" ");
    end_procedure(TALVEN_END_ERROR);
  }

  if (info.deriveCI) note_intervals(info);

  log("%3zBefore kestrionOutput......");
  kestrionOutput(info);
  if (info.rules) printRules(info);
  log("%3zAfter kestrionOutput......");
  handStepResults(info);
  if (info.hasOutest) writeOutest(info);
  if (info.has_out) writeOut(info);

  h.readerEnd(info.dataReader);
  info.dataReader = nullptr;
  release_array(message);
  release_array(text);

  log("%3zBefore Nullify KESTRIONINFOSTR......");
  kestrionNullify(info);
  log("%3zAfter Nullify KESTRIONINFOSTR......");
  end_procedure(TALVEN_END_OK);
}

}  // namespace talven
