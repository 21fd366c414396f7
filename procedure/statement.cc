// The PROC TALVEN statement: its grammar, and reading its options into the record in a fixed
// order so that the first problem a user sees is always the same one.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "kestrion_options.h"
#include "procedure/host_services.h"
#include "procedure/kestrion_info.h"
#include "procedure/regime.h"
#include "procedure/stage_model.h"
#include "procedure/statement_items.h"

namespace talven {
namespace {

constexpr int64_t kSlowGrid = 10000;
constexpr int32_t kFewestCovarianceReplicates = 20;

constexpr const char* kVocabulary[] = {
    "(",         ")",           "-",           ":",           "=",        "ALPHA",      "CHAR",
    "CHARACTER", "CONTRAST1",   "CORES",       "DATA",        "DERIVECI", "GRID_SCALE", "MAIN1",
    "MAIN2",     "NBOOTSTRAP1", "NBOOTSTRAP2", "NGRID",       "NTREATS1", "NTREATS2",   "NUMERIC",
    "OUTEST",    "TALVEN",      "RESPONSE",    "SEED",        "STG1TRT",  "STG2SAMPLE", "STG2TRT",
    "TAILOR1",   "TAILOR2",     "_ALL_",       "_CHARACTER_", "_CHAR_",   "_NUMERIC_",  "OUT",
    "RULES",     "MINIMIZE",
};

constexpr TalvenGrammarEntry kEntries[] = {
    {"DATA", TALVEN_ITEM_DATASET, kData, 0, 0},
    {"CONTRAST1", TALVEN_ITEM_DATASET, kContrast1, 0, 0},
    {"NTREATS1", TALVEN_ITEM_INTEGER, kNtreats1, 0, 0},
    {"NTREATS2", TALVEN_ITEM_INTEGER, kNtreats2, 0, 0},
    {"MAIN1", TALVEN_ITEM_VARLIST, kMain1, 1, 0},
    {"TAILOR1", TALVEN_ITEM_VARLIST, kTailor1, 1, 0},
    {"MAIN2", TALVEN_ITEM_VARLIST, kMain2, 1, 0},
    {"TAILOR2", TALVEN_ITEM_VARLIST, kTailor2, 1, 0},
    {"RESPONSE", TALVEN_ITEM_VARLIST, kResponse, 1, 0},
    {"STG1TRT", TALVEN_ITEM_VARLIST, kStg1Trt, TALVEN_VARLIST_TWO_LEVELS, kNtreats1},
    {"STG2TRT", TALVEN_ITEM_VARLIST, kStg2Trt, TALVEN_VARLIST_TWO_LEVELS, kNtreats2},
    {"STG2SAMPLE", TALVEN_ITEM_VARLIST, kStg2Sample, 1, 0},
    {"NBOOTSTRAP1", TALVEN_ITEM_INTEGER, kNbootstrap1, 0, 0},
    {"NGRID", TALVEN_ITEM_INTEGER, kNgrid, 0, 0},
    {"ALPHA", TALVEN_ITEM_REAL, kAlpha, 0, 0},
    {"CORES", TALVEN_ITEM_INTEGER, kCores, 0, 0},
    {"GRID_SCALE", TALVEN_ITEM_REAL, kGridScale, 0, 0},
    {"NBOOTSTRAP2", TALVEN_ITEM_INTEGER, kNbootstrap2, 0, 0},
    {"SEED", TALVEN_ITEM_INTEGER, kSeed, 0, 0},
    {"OUTEST", TALVEN_ITEM_OUTPUT_DATASET, kOutest, 0, 0},
    {"DERIVECI", TALVEN_ITEM_FLAG, kDeriveCiFlag, 0, 0},
    {"OUT", TALVEN_ITEM_OUTPUT_DATASET, kOut, 0, 0},
    {"RULES", TALVEN_ITEM_FLAG, kRulesFlag, 0, 0},
    {"MINIMIZE", TALVEN_ITEM_FLAG, kMinimizeFlag, 0, 0},
};

constexpr TalvenGrammar kGrammar = {
    "TALVEN",
    kVocabulary,
    static_cast<int32_t>(std::size(kVocabulary)),
    kEntries,
    static_cast<int32_t>(std::size(kEntries)),
    kData,
};

bool given(int32_t item) {
  return host().itemGiven(item) != 0;
}

// Integer options arrive as doubles and are truncated toward zero.
int32_t integer_option(int32_t item, const char* name, int32_t fallback) {
  if (!given(item)) return fallback;
  const double value = std::trunc(host().itemNumber(item));
  if (!(value >= INT32_MIN && value <= INT32_MAX)) {
    stop("%1zThe value of %s= is out of range.", name);
  }
  return static_cast<int32_t>(value);
}

double real_option(int32_t item, const char* name, double fallback) {
  if (!given(item)) return fallback;
  const double value = host().itemNumber(item);
  if (!std::isfinite(value)) stop("%1zThe value of %s= is out of range.", name);
  return value;
}

int32_t count_of(int64_t value, const char* what, TalvenDataSet* data_set) {
  if (value < 0 || value > INT32_MAX) {
    stop("%1zThe number of %s of data set %s cannot be handled (%lld).", what,
         host().dataSetName(data_set), static_cast<long long>(value));
  }
  return static_cast<int32_t>(value);
}

struct VariableInfo {
  std::string name;
  int32_t type = 0;
};

VariableInfo variable_info(TalvenDataSet* data_set, int32_t number) {
  char name[257] = {};
  int32_t length = 0;
  VariableInfo info;
  if (host().variableAttributes(data_set, number, name, sizeof name, &length, &info.type) != 0) {
    stop("%1zThe attributes of variable %d of data set %s cannot be read.", number,
         host().dataSetName(data_set));
  }
  name[sizeof name - 1] = '\0';
  info.name = name;
  return info;
}

// The 12-character fields of the listing, and the full names for every other use.
NameField* read_names(KESTRIONINFOSTR& info, int32_t item, int32_t count, const char* field,
                      std::vector<std::string>& full) {
  NameField* names = allocate_array<NameField>(static_cast<std::size_t>(count), field);
  full.clear();
  for (int32_t i = 0; i < count; ++i) {
    const std::string name = variable_info(info.dataSet, host().itemVarNumber(item, i)).name;
    full.push_back(name);
    std::memset(names[i].text, ' ', kNameLength);
    std::memcpy(names[i].text, name.data(), std::min<std::size_t>(name.size(), kNameLength));
    names[i].text[kNameLength] = '\0';
  }
  return names;
}

// The library states the ranges of its options; the procedure stops on the first problem.
void check(const char* problem) {
  if (problem != nullptr) stop("%1z%s", problem);
}

int32_t var_count(int32_t item) {
  const int32_t count = host().itemVarCount(item);
  return count < 0 ? 0 : count;
}

// Variables, not their 12-character names, are compared: two long names may share a prefix.
void check_overlap(const KESTRIONINFOSTR& info, int32_t tailor_item, int32_t main_item,
                   bool main_given, const char* format) {
  if (!main_given) return;
  const int32_t n_tailor = var_count(tailor_item);
  const int32_t n_main = var_count(main_item);
  for (int32_t j = 0; j < n_tailor; ++j) {
    const int32_t tailor = host().itemVarNumber(tailor_item, j);
    for (int32_t m = 0; m < n_main; ++m) {
      if (host().itemVarNumber(main_item, m) == tailor) {
        stop(format, variable_info(info.dataSet, tailor).name.c_str());
      }
    }
  }
}

// RESPONSE, STG2SAMPLE and the treatments each name one variable with a role of its own; a model
// of y on itself or a treatment that is also a covariate gives a meaningless analysis. Stage-1
// treatments may be stage-2 covariates. Variables are compared by number, not by cut names.
void check_roles(const KESTRIONINFOSTR& info, bool has_stg2sample) {
  struct List {
    int32_t item;
    const char* name;
    int32_t count;
  };
  auto count = [](int32_t item) { return given(item) ? var_count(item) : 0; };
  const List covariates[] = {{kMain1, "MAIN1", count(kMain1)},
                             {kTailor1, "TAILOR1", count(kTailor1)},
                             {kMain2, "MAIN2", count(kMain2)},
                             {kTailor2, "TAILOR2", count(kTailor2)}};
  const List roles[] = {{kResponse, "RESPONSE", 1},
                        {kStg2Sample, "STG2SAMPLE", has_stg2sample ? 1 : 0},
                        {kStg1Trt, "STG1TRT", info.K1 - 1},
                        {kStg2Trt, "STG2TRT", info.K2 - 1}};
  auto refuse = [&](int32_t variable, const char* role, const char* list) {
    stop("%1zVariable %s is the %s variable and cannot also be in %s.",
         variable_info(info.dataSet, variable).name.c_str(), role, list);
  };
  for (std::size_t r = 0; r < std::size(roles); ++r) {
    const List& role = roles[r];
    for (int32_t i = 0; i < role.count; ++i) {
      const int32_t variable = host().itemVarNumber(role.item, i);
      for (const List& list : covariates) {
        if (role.item == kStg1Trt && (list.item == kMain2 || list.item == kTailor2)) continue;
        for (int32_t j = 0; j < list.count; ++j) {
          if (host().itemVarNumber(list.item, j) == variable)
            refuse(variable, role.name, list.name);
        }
      }
      // Later roles, and later treatments of the same stage: each pair is looked at once.
      for (std::size_t o = r; o < std::size(roles); ++o) {
        for (int32_t j = o == r ? i + 1 : 0; j < roles[o].count; ++j) {
          if (host().itemVarNumber(roles[o].item, j) == variable) {
            refuse(variable, role.name, roles[o].name);
          }
        }
      }
    }
  }
}

// OUT= holds every DATA= variable followed by the new ones: a name in both would be ambiguous.
void check_out_names(const KESTRIONINFOSTR& info) {
  const std::vector<std::string> added =
      out_column_names(info.stage1_names, info.K1, info.stage2_names, info.K2);
  for (int32_t number = 1; number <= info.nDataVars; ++number) {
    const std::string name = variable_info(info.dataSet, number).name;
    for (const std::string& column : added) {
      if (same_name(name, column)) {
        stop(
            "%1zOUT= adds the variable %s, and data set %s already has a variable of that name; "
            "rename it.",
            column.c_str(), host().dataSetName(info.dataSet));
      }
    }
  }
}

// Limits from too few replicates are valid but unstable: say so, and how many would do.
void warn_of_few_replicates(const KESTRIONINFOSTR& info) {
  // Each tail of the main phase should hold at least one replicate: ALPHA/2 x NBOOTSTRAP1 >= 1.
  const double half = info.alpha / 2;
  if (half * info.nBootstrap1 < 1) {
    double enough = std::ceil(1 / half);
    while (half * (enough - 1) >= 1) --enough;
    while (half * enough < 1) ++enough;
    log("%2zNBOOTSTRAP1=%d is too small for ALPHA=%g: the limits are the extreme replicates; "
        "use NBOOTSTRAP1=%.0f or more.",
        info.nBootstrap1, info.alpha, enough);
  }
  if (info.nBootstrap2 < kFewestCovarianceReplicates) {
    log("%2zNBOOTSTRAP2=%d is too small for a stable covariance of the stage-2 estimates; use "
        "NBOOTSTRAP2=%d or more.",
        info.nBootstrap2, kFewestCovarianceReplicates);
  }
}

double* zero_level_table(int32_t k, const char* field) {
  const std::size_t count = static_cast<std::size_t>(k - 1) * static_cast<std::size_t>(k);
  double* table = allocate_array<double>(count, field);
  for (std::size_t i = 0; i < count; ++i) table[i] = 0.0;
  return table;
}

void append_numbers(int32_t*& out, int32_t item, int32_t count) {
  for (int32_t i = 0; i < count; ++i) *out++ = host().itemVarNumber(item, i);
}

}  // namespace

std::string variable_name(TalvenDataSet* data_set, int32_t number) {
  return variable_info(data_set, number).name;
}

const TalvenGrammar& talven_grammar() {
  return kGrammar;
}

int32_t outest_item() {
  return kOutest;
}

int32_t out_item() {
  return kOut;
}

void read_options(KESTRIONINFOSTR& info) {
  info.dataSet = host().itemDataSet(kData);
  if (info.dataSet == nullptr) stop("%1zDATA= must be specified.");
  info.nDataVars = count_of(host().dataSetAttribute(info.dataSet, TALVEN_ATTR_VARIABLES),
                            "variables", info.dataSet);
  info.nObs = count_of(host().dataSetAttribute(info.dataSet, TALVEN_ATTR_OBSERVATIONS),
                       "observations", info.dataSet);
  info.fixedTwo = 2;

  info.hasContrast = given(kContrast1) ? 1 : 0;
  info.nContrasts = 0;
  info.nContrastCols = 0;
  if (info.hasContrast) {
    info.contrastSet = host().itemDataSet(kContrast1);
    if (info.contrastSet == nullptr) stop("%1zThe CONTRAST1= data set cannot be opened.");
    info.nContrasts = count_of(host().dataSetAttribute(info.contrastSet, TALVEN_ATTR_OBSERVATIONS),
                               "observations", info.contrastSet);
    info.nContrastCols = count_of(host().dataSetAttribute(info.contrastSet, TALVEN_ATTR_VARIABLES),
                                  "variables", info.contrastSet);
  }

  const kestrion::IntervalOptions defaults;
  info.cores = integer_option(kCores, "CORES", defaults.cores);
  info.nBootstrap1 = integer_option(kNbootstrap1, "NBOOTSTRAP1", defaults.nBootstrap1);
  check(kestrion::nbootstrap1_problem(info.nBootstrap1));
  info.nBootstrap2 = integer_option(kNbootstrap2, "NBOOTSTRAP2", defaults.nBootstrap2);
  check(kestrion::nbootstrap2_problem(info.nBootstrap2));
  info.nGrid = integer_option(kNgrid, "NGRID", defaults.nGrid);
  check(kestrion::ngrid_problem(info.nGrid));

  info.K1 = integer_option(kNtreats1, "NTREATS1", 2);
  info.K2 = integer_option(kNtreats2, "NTREATS2", 2);
  // Each treatment beyond the first needs a variable of DATA=; the level tables are sized by K.
  const int64_t most_treatments = int64_t{1} + info.nDataVars;
  if (info.K1 < 2 || info.K1 > most_treatments) {
    stop("%1zNTREATS1 must be between 2 and %d.", static_cast<int32_t>(most_treatments));
  }
  if (info.K2 < 2 || info.K2 > most_treatments) {
    stop("%1zNTREATS2 must be between 2 and %d.", static_cast<int32_t>(most_treatments));
  }
  info.levels1 = zero_level_table(info.K1, "levels1");
  info.levels2 = zero_level_table(info.K2, "levels2");

  info.deriveCI = 0;
  if (host().flagSet(kDeriveCiFlag)) {
    if (info.K1 == 2 && info.K2 == 2) {
      info.deriveCI = 255;
    } else {
      log("%3zConfidence intervals need two treatments at each stage; DERIVECI has no effect.");
    }
  }
  if (info.deriveCI) check(kestrion::ngrid_for_intervals_problem(info.nGrid));

  info.alpha = real_option(kAlpha, "ALPHA", defaults.alpha);
  check(kestrion::alpha_problem(info.alpha));
  info.gridScale = real_option(kGridScale, "GRID_SCALE", defaults.gridScale);
  check(kestrion::grid_scale_problem(info.gridScale));

  info.seed = 0;
  if (given(kSeed)) {
    const double seed = std::trunc(host().itemNumber(kSeed));
    if (!kestrion::seed_in_range(seed)) check(kestrion::kSeedRangeMessage);
    info.seed = static_cast<int32_t>(seed);
  }
  info.hasOutest = given(kOutest) ? 1 : 0;
  // Found out now rather than after the computation.
  if (info.hasOutest && host().writeDataSet == nullptr) {
    stop("%1zThis host cannot write output data sets; remove OUTEST=.");
  }
  info.has_out = given(kOut);
  if (info.has_out && host().writeObservations == nullptr) {
    stop("%1zThis host cannot write output data sets; remove OUT=.");
  }
  info.rules = host().flagSet(kRulesFlag) != 0;
  info.minimize = host().flagSet(kMinimizeFlag) != 0;

  const bool has_main1 = given(kMain1);
  const bool has_tailor1 = given(kTailor1);
  const bool has_main2 = given(kMain2);
  const bool has_tailor2 = given(kTailor2);
  // Only the first variable of these lists is read; an empty list is as good as none.
  const bool has_response = given(kResponse) && var_count(kResponse) > 0;
  const bool has_stg1trt = given(kStg1Trt);
  const bool has_stg2trt = given(kStg2Trt);
  const bool has_stg2sample = given(kStg2Sample) && var_count(kStg2Sample) > 0;
  info.hasMain1 = has_main1 ? 1 : 0;
  info.hasMain2 = has_main2 ? 1 : 0;
  info.hasStg2Sample = has_stg2sample ? 1 : 0;

  info.p10 = 0;
  if (has_main1) {
    info.p10 = var_count(kMain1);
    info.main1Names = read_names(info, kMain1, info.p10, "main1Names", info.stage1_names.main);
  }
  if (!has_tailor1) stop("%1zTAILOR1 must be specified.");
  info.p11 = var_count(kTailor1);
  info.tailor1Names =
      read_names(info, kTailor1, info.p11, "tailor1Names", info.stage1_names.tailor);
  check_overlap(info, kTailor1, kMain1, has_main1,
                "%1zPlease remove variable %s from MAIN1 as TAYLOR1 variables are included as "
                "MAIN1 automatically in the model.");

  info.p20 = 0;
  if (has_main2) {
    info.p20 = var_count(kMain2);
    info.main2Names = read_names(info, kMain2, info.p20, "main2Names", info.stage2_names.main);
  }
  if (!has_tailor2) stop("%1zTAILOR2 must be specified.");
  info.p21 = var_count(kTailor2);
  info.tailor2Names =
      read_names(info, kTailor2, info.p21, "tailor2Names", info.stage2_names.tailor);
  check_overlap(info, kTailor2, kMain2, has_main2,
                "%1zPlease remove variable %s from MAIN2 as TAYLOR2 variables are included as "
                "MAIN2 automatically in the model.");

  const int32_t exponent = (info.K2 - 1) * (info.p21 + 1);
  if (info.deriveCI && kestrion::grid_too_large(info.nGrid, exponent)) {
    stop((std::string("%1z") + kestrion::kGridTooLargeFormat).c_str(), exponent);
  }
  if (kestrion::grid_rows(info.nGrid, exponent) > kSlowGrid) {
    log("%2zThe total number of grid points is greater than 10000. The run will take a long time "
        "to finish.");
  }

  if (!has_response) stop("%1zRESPONSE must be specified.");
  if (!has_stg1trt) stop("%1zSTG1TRT must be specified.");
  if (var_count(kStg1Trt) != info.K1 - 1) {
    stop("%1zPlease specify %d stage 1 treatment variable in STG1TRT.", info.K1 - 1);
  }
  info.stg1TrtNames =
      read_names(info, kStg1Trt, info.K1 - 1, "stg1TrtNames", info.stage1_names.treatments);
  if (!has_stg2trt) stop("%1zSTG2TRT must be specified.");
  if (var_count(kStg2Trt) != info.K2 - 1) {
    stop("%1zPlease specify %d stage 2 treatment variable in STG2TRT.", info.K2 - 1);
  }
  info.stg2TrtNames =
      read_names(info, kStg2Trt, info.K2 - 1, "stg2TrtNames", info.stage2_names.treatments);
  check_roles(info, has_stg2sample);

  const int64_t p1 = info.p10 + int64_t{info.K1} * (info.p11 + 1);
  const int64_t p2 = info.p20 + int64_t{info.K2} * (info.p21 + 1);
  if (p1 > INT32_MAX || p2 > INT32_MAX) stop("%1zThe model has too many coefficients.");
  if (info.hasContrast) {
    const std::vector<std::string> labels = coefficient_labels(info.stage1_names);
    if (info.nContrastCols != p1) {
      log("%1zContrast1 Dataset should have %d columns.", static_cast<int32_t>(p1));
      stop("%1zThe columns are used in this order: %s.", join(labels).c_str());
    }
    std::vector<std::string> columns;
    for (int32_t j = 1; j <= info.nContrastCols; ++j) {
      const VariableInfo variable = variable_info(info.contrastSet, j);
      if (variable.type == TALVEN_VAR_CHARACTER) {
        log("%1zVariable %s of the CONTRAST1= data set is character; contrast coefficients "
            "must be numeric.",
            variable.name.c_str());
        if (host().explainCharacter != nullptr) host().explainCharacter(info.contrastSet, j);
        end_procedure(TALVEN_END_ERROR);
      }
      columns.push_back(variable.name);
    }
    const int misplaced = first_misplaced_column(columns, labels);
    if (misplaced >= 0) {
      log("%2zThe columns of the CONTRAST1= data set are used by position, but their names "
          "suggest another order: column %d is named %s. The order is %s.",
          misplaced + 1, columns[static_cast<std::size_t>(misplaced)].c_str(),
          join(labels).c_str());
    }
    info.contrastObsBuffer =
        allocate_array<double>(static_cast<std::size_t>(info.nContrastCols), "contrastObsBuffer");
    info.contrastMatrix = allocate_array<double>(
        static_cast<std::size_t>(info.nContrasts) * static_cast<std::size_t>(info.nContrastCols),
        "contrastMatrix");
  }
  // Numbered now so that no one ever sees the list unset.
  info.contrastVarNumbers =
      allocate_array<int32_t>(static_cast<std::size_t>(info.nContrastCols), "contrastVarNumbers");
  for (int32_t j = 0; j < info.nContrastCols; ++j) info.contrastVarNumbers[j] = j + 1;

  const int64_t n_read = int64_t{info.p10} + info.p11 + (info.K1 - 1) + (has_stg2sample ? 1 : 0) +
                         info.p20 + info.p21 + (info.K2 - 1) + 1;
  if (n_read > INT32_MAX) stop("%1zThe model has too many variables.");
  info.nReadVars = static_cast<int32_t>(n_read);
  info.obsBuffer = allocate_array<double>(static_cast<std::size_t>(n_read), "obsBuffer");
  info.readVarNumbers = allocate_array<int32_t>(static_cast<std::size_t>(n_read), "readVarNumbers");
  int32_t* out = info.readVarNumbers;
  if (has_main1) append_numbers(out, kMain1, info.p10);
  append_numbers(out, kTailor1, info.p11);
  append_numbers(out, kStg1Trt, info.K1 - 1);
  if (has_stg2sample) append_numbers(out, kStg2Sample, 1);
  if (has_main2) append_numbers(out, kMain2, info.p20);
  append_numbers(out, kTailor2, info.p21);
  append_numbers(out, kStg2Trt, info.K2 - 1);
  append_numbers(out, kResponse, 1);
  if (info.has_out) check_out_names(info);
  if (info.deriveCI) warn_of_few_replicates(info);
}

}  // namespace talven
