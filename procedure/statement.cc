// The PROC TALVEN statement: its grammar, and reading its options into the record in a fixed
// order so that the first problem a user sees is always the same one.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "procedure/analysis_steps.h"
#include "procedure/host_services.h"
#include "procedure/kestrion_info.h"
#include "procedure/statement_items.h"
#include "talven_options.h"

namespace talven {
namespace {

// The grammar's words beside the statement's own names.
constexpr const char* kListWords[] = {"(",           ")",         "-",        ":",      "=",
                                      "CHAR",        "CHARACTER", "NUMERIC",  "TALVEN", "_ALL_",
                                      "_CHARACTER_", "_CHAR_",    "_NUMERIC_"};

constexpr std::size_t kRows = std::size(kOptionTable);

constexpr std::size_t grammar_size() {
  std::size_t n = 0;
  for (const OptionRow& row : kOptionTable) n += in_grammar(row) ? 1 : 0;
  return n;
}

constexpr auto kEntries = [] {
  std::array<TalvenGrammarEntry, grammar_size()> entries{};
  std::size_t k = 0;
  for (const OptionRow& row : kOptionTable) {
    if (!in_grammar(row)) continue;
    entries[k++] = grammar_entry(row);
  }
  return entries;
}();

constexpr auto kVocabulary = [] {
  std::array<const char*, std::size(kListWords) + kRows> words{};
  std::size_t k = 0;
  for (const char* word : kListWords) words[k++] = word;
  for (const OptionRow& row : kOptionTable) words[k++] = row.statement;
  return words;
}();

constexpr TalvenGrammar kGrammar = {
    "TALVEN",
    kVocabulary.data(),
    static_cast<int32_t>(kVocabulary.size()),
    kEntries.data(),
    static_cast<int32_t>(kEntries.size()),
    kData,
};

bool given(int32_t item) {
  return host().itemGiven(item) != 0;
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

// The variable numbers of entry i of a list: one for a variable, the factors of a product x*y
// (for which the host gives the number 0).
std::vector<int32_t> entry_variables(int32_t item, int32_t i) {
  const int32_t number = host().itemVarNumber(item, i);
  if (number != 0 || host().itemVarFactor == nullptr) return {number};
  std::vector<int32_t> factors;
  for (int32_t f = 0; host().itemVarFactor(item, i, f) != 0; ++f) {
    factors.push_back(host().itemVarFactor(item, i, f));
  }
  return factors;
}

// A list entry's name: the variable's, or a product's as written, x*y.
std::string entry_name(const KESTRIONINFOSTR& info, int32_t item, int32_t i) {
  std::string name;
  for (const int32_t number : entry_variables(item, i)) {
    if (!name.empty()) name.push_back('*');  // appended: GCC 12 at -O2 warns falsely on "" + string
    name.append(variable_info(info.dataSet, number).name);
  }
  return name;
}

// The 12-character fields of the listing.
NameField* read_names(KESTRIONINFOSTR& info, int32_t item, int32_t count, const char* field) {
  NameField* names = allocate_array<NameField>(static_cast<std::size_t>(count), field);
  for (int32_t i = 0; i < count; ++i) {
    const std::string name = entry_name(info, item, i);
    std::memset(names[i].text, ' ', kNameLength);
    std::memcpy(names[i].text, name.data(), std::min<std::size_t>(name.size(), kNameLength));
    names[i].text[kNameLength] = '\0';
  }
  return names;
}

int32_t var_count(int32_t item) {
  const int32_t count = host().itemVarCount(item);
  return count < 0 ? 0 : count;
}

}  // namespace

const TalvenGrammar& talven_grammar() {
  return kGrammar;
}

int32_t outest_item() {
  return kOutest;
}

int32_t out_item() {
  return kOut;
}

namespace {

// Messages of the study layer go to the log as they arise, among the procedure's own.
void relay_message(int32_t severity, const char* text, void* /*context*/) {
  switch (severity) {
    case TALVEN_MESSAGE_ERROR:
      log("%1z%s", text);
      break;
    case TALVEN_MESSAGE_WARNING:
      log("%2z%s", text);
      break;
    case TALVEN_MESSAGE_NOTE:
    case TALVEN_MESSAGE_PROGRESS:
      log("%3z%s", text);
      break;
    default:
      log("%s", text);
      break;
  }
}

// The layer's per-subject arrays live in host memory, like every array of the step.
void* host_allocate(uint64_t bytes, void* /*context*/) {
  return host().allocate(static_cast<std::size_t>(bytes));
}

void host_release(void* block, void* /*context*/) {
  host().release(block);
}

void new_study(KESTRIONINFOSTR& info) {
  info.study = talven_study_new();
  if (info.study == nullptr) stop("%1zUnable to allocate memory for %s.", "study");
  talven_study_on_message(info.study, &relay_message, nullptr);
  talven_study_use_memory(info.study, &host_allocate, &host_release, nullptr);
  require(talven_study_set_data_name(info.study, host().dataSetName(info.dataSet)));
  for (int32_t number = 1; number <= info.nDataVars; ++number) {
    require(talven_study_add_column(info.study, variable_info(info.dataSet, number).name.c_str()) <
                    0
                ? -1
                : 0);
  }
}

// The options and variable lists go to the study layer as given; it reads and checks them.
void set_options(const KESTRIONINFOSTR& info) {
  for (const OptionRow& row : kOptionTable) {
    if (!in_grammar(row)) continue;
    if (takes_value(row.kind) && given(row.item)) {
      require(talven_study_set_option(info.study, row.statement, host().itemNumber(row.item)));
    } else if ((row.kind == OptionKind::kFlag && host().flagSet(row.item) != 0) ||
               (row.kind == OptionKind::kOutputData && given(row.item))) {
      require(talven_study_set_option(info.study, row.statement, 1));
    }
  }
}

// A character variable of the lists goes to the layer as its texts: the layer codes a two-valued
// treatment -1 and 1 as for every front end, and refuses a character variable anywhere else.
void set_text_columns(const KESTRIONINFOSTR& info) {
  if (host().characterValues == nullptr) return;
  std::set<int32_t> numbers;
  for (const OptionRow& row : kOptionTable) {
    if (row.kind != OptionKind::kRole || !given(row.item)) continue;
    for (int32_t i = 0; i < var_count(row.item); ++i) {
      for (int32_t number : entry_variables(row.item, i)) numbers.insert(number);
    }
  }
  for (int32_t number : numbers) {
    if (variable_info(info.dataSet, number).type != TALVEN_VAR_CHARACTER) continue;
    const int64_t n = host().characterValues(info.dataSet, number, nullptr, 0);
    if (n < 0) continue;
    std::vector<const char*> texts(static_cast<std::size_t>(n));
    host().characterValues(info.dataSet, number, texts.data(), n);
    require(talven_study_set_text_column(info.study, number - 1, n, texts.data(), 0, nullptr));
  }
}

void set_lists(const KESTRIONINFOSTR& info) {
  for (const OptionRow& row : kOptionTable) {
    if (row.kind != OptionKind::kRole || !given(row.item)) continue;
    std::vector<int32_t> columns;
    columns.reserve(static_cast<std::size_t>(var_count(row.item)));
    for (int32_t i = 0; i < var_count(row.item); ++i) {
      std::vector<int32_t> factors = entry_variables(row.item, i);
      for (int32_t& f : factors) --f;
      columns.push_back(factors.size() == 1 ? factors[0]
                                            : talven_study_add_product(
                                                  info.study, static_cast<int32_t>(factors.size()),
                                                  factors.data()));
    }
    require(talven_study_set_list(info.study, row.role, static_cast<int32_t>(columns.size()),
                                  columns.data()));
  }
  set_text_columns(info);
}

// The listing names CONTRAST1= columns by position; their names and types are checked by the layer.
void set_contrast_columns(const KESTRIONINFOSTR& info) {
  if (!info.hasContrast) return;
  std::vector<std::string> names;
  std::vector<int32_t> character;
  for (int32_t j = 1; j <= info.nContrastCols; ++j) {
    const VariableInfo variable = variable_info(info.contrastSet, j);
    names.push_back(variable.name);
    character.push_back(variable.type == TALVEN_VAR_CHARACTER ? 1 : 0);
  }
  std::vector<const char*> pointers;
  pointers.reserve(names.size());
  for (const std::string& name : names) pointers.push_back(name.c_str());
  require(talven_study_set_contrast_columns(info.study, info.nContrastCols, pointers.data(),
                                            character.data()));
}

}  // namespace

void read_options(KESTRIONINFOSTR& info) {
  info.dataSet = host().itemDataSet(kData);
  if (info.dataSet == nullptr) stop("%1zDATA= must be specified.");
  info.nDataVars = count_of(host().dataSetAttribute(info.dataSet, TALVEN_ATTR_VARIABLES),
                            "variables", info.dataSet);
  info.nObs = count_of(host().dataSetAttribute(info.dataSet, TALVEN_ATTR_OBSERVATIONS),
                       "observations", info.dataSet);

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

  new_study(info);
  set_options(info);
  set_lists(info);
  set_contrast_columns(info);
}

// What the checked options decide for the procedure; output data sets it cannot write are found
// out now rather than after the computation.
void options_checked(KESTRIONINFOSTR& info) {
  info.K1 = static_cast<int32_t>(talven_study_count(info.study, TALVEN_COUNT_K1));
  info.K2 = static_cast<int32_t>(talven_study_count(info.study, TALVEN_COUNT_K2));
  info.nBootstrap1 = static_cast<int32_t>(talven_study_count(info.study, TALVEN_COUNT_NBOOTSTRAP1));
  info.deriveCI = talven_study_count(info.study, TALVEN_COUNT_INTERVALS) != 0 ? 255 : 0;

  info.hasOutest = given(kOutest) ? 1 : 0;
  if (info.hasOutest && host().writeDataSet == nullptr) {
    stop("%1zThis host cannot write output data sets; remove OUTEST=.");
  }
  info.has_out = given(kOut);
  if (info.has_out && host().writeObservations == nullptr) {
    stop("%1zThis host cannot write output data sets; remove OUT=.");
  }
  info.rules = host().flagSet(kRulesFlag) != 0;
  info.value = host().flagSet(option_row("VALUE").item) != 0;
  info.has_outvalue = given(option_row("OUTVALUE").item);
  if (info.has_outvalue && !info.value) stop("%1zOUTVALUE= needs VALUE.");
  if (info.has_outvalue && host().writeDataSet == nullptr) {
    stop("%1zThis host cannot write output data sets; remove OUTVALUE=.");
  }
}

// A refused CONTRAST1= variable is shown with its values, when the host can.
void explain_refused_contrast(const KESTRIONINFOSTR& info) {
  const int64_t refused = talven_study_count(info.study, TALVEN_COUNT_REFUSED_CONTRAST_COLUMN);
  if (refused > 0 && host().explainCharacter != nullptr) {
    host().explainCharacter(info.contrastSet, static_cast<int32_t>(refused));
  }
}

// The listing's labels, the contrast buffers and the reading order of the model.
void model_checked(KESTRIONINFOSTR& info) {
  // The listing's 12-character labels.
  info.hasMain1 = given(kMain1) ? 1 : 0;
  info.hasMain2 = given(kMain2) ? 1 : 0;
  info.p10 = info.hasMain1 ? var_count(kMain1) : 0;
  info.p11 = var_count(kTailor1);
  info.p20 = info.hasMain2 ? var_count(kMain2) : 0;
  info.p21 = var_count(kTailor2);
  if (info.hasMain1) info.main1Names = read_names(info, kMain1, info.p10, "main1Names");
  info.tailor1Names = read_names(info, kTailor1, info.p11, "tailor1Names");
  if (info.hasMain2) info.main2Names = read_names(info, kMain2, info.p20, "main2Names");
  info.tailor2Names = read_names(info, kTailor2, info.p21, "tailor2Names");
  info.stg1TrtNames = read_names(info, kStg1Trt, info.K1 - 1, "stg1TrtNames");
  info.stg2TrtNames = read_names(info, kStg2Trt, info.K2 - 1, "stg2TrtNames");

  if (info.hasContrast) {
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

  const int64_t n_read = talven_study_count(info.study, TALVEN_COUNT_READ_WIDTH);
  info.nReadVars = static_cast<int32_t>(n_read);
  info.obsBuffer = allocate_array<double>(static_cast<std::size_t>(n_read), "obsBuffer");
  info.readVarNumbers = allocate_array<int32_t>(static_cast<std::size_t>(n_read), "readVarNumbers");
  require(talven_study_reading_order(info.study, info.readVarNumbers));
  for (int32_t k = 0; k < info.nReadVars; ++k) ++info.readVarNumbers[k];
}

}  // namespace talven
