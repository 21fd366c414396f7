// PROC HOSTTEST: reports what the host parsed, prints the DATA= observations and, on request,
// misbehaves (leaks, warnings, errors, returning without ending) so that the host's handling of
// each can be checked from the outside.
#include <cmath>
#include <cstring>
#include <string>

#include "talven_host.h"

namespace {

enum Item : int32_t {
  kData = 1,
  kOther = 2,
  kN = 3,
  kX = 4,
  kMode = 5,
  kLeak = 6,
  kVars = 7,
  kAny = 8
};

const char* const kVocabulary[] = {"DATA",  "OTHER", "N",   "X", "MODE", "LEAK",
                                   "FLAGA", "VARS",  "ANY", "=", "-",    ":"};
const TalvenGrammarEntry kEntries[] = {
    {"DATA", TALVEN_ITEM_DATASET, kData, 0, 0}, {"OTHER", TALVEN_ITEM_DATASET, kOther, 0, 0},
    {"N", TALVEN_ITEM_INTEGER, kN, 0, 0},       {"X", TALVEN_ITEM_REAL, kX, 0, 0},
    {"MODE", TALVEN_ITEM_INTEGER, kMode, 0, 0}, {"LEAK", TALVEN_ITEM_INTEGER, kLeak, 0, 0},
    {"FLAGA", TALVEN_ITEM_FLAG, 1, 0, 0},       {"VARS", TALVEN_ITEM_VARLIST, kVars, 1, 0},
    {"ANY", TALVEN_ITEM_VARLIST, kAny, 0, 0},
};
const TalvenGrammar kGrammar = {"HOSTTEST",
                                kVocabulary,
                                static_cast<int32_t>(sizeof kVocabulary / sizeof *kVocabulary),
                                kEntries,
                                static_cast<int32_t>(sizeof kEntries / sizeof *kEntries),
                                kData};

const TalvenAnchor* g_anchor = nullptr;
TalvenRoutines g_r;

void list_items(const TalvenRoutines& r) {
  for (int32_t item : {kN, kX, kMode, kLeak}) {
    if (r.itemGiven(item)) r.log("%3zitem %d = %.17g", item, r.itemNumber(item));
  }
  if (r.flagSet(1)) r.log("%3zflag FLAGA set");
  for (int32_t item : {kVars, kAny}) {
    if (!r.itemGiven(item)) continue;
    std::string numbers;
    for (int32_t k = 0; k < r.itemVarCount(item); ++k) {
      numbers += ' ';
      numbers += std::to_string(r.itemVarNumber(item, k));
    }
    r.log("%3zlist %d:%s", item, numbers.c_str());
  }
  for (int32_t item : {kData, kOther}) {
    TalvenDataSet* ds = r.itemDataSet(item);
    if (ds == nullptr) continue;
    r.log("%3zdata set %s: %ld observations, %ld variables", r.dataSetName(ds),
          static_cast<long>(r.dataSetAttribute(ds, TALVEN_ATTR_OBSERVATIONS)),
          static_cast<long>(r.dataSetAttribute(ds, TALVEN_ATTR_VARIABLES)));
  }
}

// Prints the VARS variables of every observation, "." for a missing value.
void print_data(const TalvenRoutines& r) {
  TalvenDataSet* ds = r.itemDataSet(kData);
  const int32_t count = r.itemVarCount(kVars);
  if (ds == nullptr || count == 0) return;
  char title[256];
  std::memset(title, ' ', sizeof title);
  const int32_t length = r.format(title, sizeof title, "%9tHOSTTEST of %s", r.dataSetName(ds));
  r.titles(0, nullptr, 0);
  r.titles(1, title, length);
  r.startListing();
  auto* numbers = static_cast<int32_t*>(r.allocate(sizeof(int32_t) * static_cast<size_t>(count)));
  auto* values = static_cast<double*>(r.allocate(sizeof(double) * static_cast<size_t>(count)));
  if (numbers == nullptr || values == nullptr) {
    r.log("%1zUnable to allocate memory for %s.", "values");
    return;
  }
  for (int32_t k = 0; k < count; ++k) numbers[k] = r.itemVarNumber(kVars, k);
  r.declareVariables(ds, TALVEN_DECLARE_VARIABLES, numbers, count);
  TalvenReader* reader = r.readerCreate(ds, count);
  for (int32_t k = 0; k < count; ++k) {
    r.readerBind(reader, numbers[k], &values[k], 8, TALVEN_BIND_DOUBLE);
  }
  r.readerFinish(reader);
  while (r.readerNext(reader)) {
    r.readerTransfer(reader);
    for (int32_t k = 0; k < count; ++k) {
      if (r.isMissing(values[k])) {
        r.listingText("%s.", k ? " " : "");
      } else {
        r.listingText("%s%g", k ? " " : "", values[k]);
      }
    }
    r.listingEndLine();
  }
  r.readerEnd(reader);
  r.release(numbers);
  r.release(values);
}

void driver(TalvenParseHolder* holder) {
  char debug[200] = {0};
  const bool trace = g_anchor->getHostValue("DEBUG", debug, sizeof debug) > 0 &&
                     std::strstr(debug, "TLKTDBG=1") != nullptr;
  TalvenDebugSettings settings = {1, std::strstr(debug, "TLKTPRT=P") != nullptr ? 1 : 0};
  TalvenSupportEntry entry = nullptr;
  if (trace) {
    entry = g_anchor->loadSupportModule("SASPROCD");
    if (entry == nullptr) {
      g_anchor->hostMessage(
          "Cannot load the SASPROCD module. Since this is a debug-only module, an attempt is "
          "made to load SASPROCI instead.");
    }
  }
  const bool debug_module = entry != nullptr;
  if (entry == nullptr) entry = g_anchor->loadSupportModule("SASPROCI");
  if (entry == nullptr) {
    g_anchor->hostMessage(
        "Cannot load the SASPROCI module. The user-written item cannot function without it.");
    g_anchor->endProcedure(TALVEN_END_NO_SUPPORT);
    return;
  }
  std::memset(&g_r, 0, sizeof g_r);
  g_r.size = sizeof g_r;
  char block16[16];
  entry(&g_r, holder, debug_module ? &settings : nullptr, block16);
  const TalvenRoutines& r = g_r;

  if (r.parseStatement(&kGrammar, holder) >= TALVEN_PARSE_FAILED) {
    r.endProcedure(TALVEN_END_ERROR, 0);
    return;
  }
  r.log("%8h *** HOSTTEST ***");
  list_items(r);
  print_data(r);

  const int mode = r.itemGiven(kMode) ? static_cast<int>(r.itemNumber(kMode)) : 0;
  const int leak = r.itemGiven(kLeak) ? static_cast<int>(r.itemNumber(kLeak)) : 0;
  for (int k = 0; k < leak; ++k) r.allocate(16);
  if (leak > 0 && r.itemDataSet(kData) != nullptr) r.readerCreate(r.itemDataSet(kData), 0);
  switch (mode) {
    case 1:
      r.log("%2zSomething to look at.");
      break;
    case 2:
      r.log("%1zSomething went wrong.");
      r.endProcedure(TALVEN_END_ERROR, 0);
      return;
    case 3:
      return;  // never ends the procedure
    case 4:
      if (r.allocate(1u << 20) == nullptr) {
        r.log("%1zUnable to allocate memory for %s.", "block");
        r.endProcedure(TALVEN_END_ERROR, 0);
        return;
      }
      break;
    default:
      break;
  }
  r.endProcedure(TALVEN_END_OK, 0);
}

const char* const kNotices[3] = {"test", "test", "test"};
const TalvenProcedureHeader kHeader = {
    {'h', 'o', 's', 't', 't', 'e', 's', 't'}, &driver, 3, {kNotices[0], kNotices[1], kNotices[2]}};
const TalvenImageInformation kImage = {{'S', 'A', 'S', '_', 'I', 'm', 'a', 'g', 'e', '_', 'I',
                                        'n', 'f', 'o', 'r', 'm', 'a', 't', 'i', 'o', 'n', '='},
                                       1,
                                       "9.00",
                                       "9.00.0001M060102",
                                       "May  2 2018",
                                       &kHeader};

}  // namespace

extern "C" __attribute__((visibility("default"))) const TalvenImageInformation* mcn_main(
    const TalvenAnchor* anchor) {
  g_anchor = anchor;
  return &kImage;
}
