// The PROC TALVEN grammar from the study layer's option table: the entry of each row, and the item
// and flag numbers that the procedure reads by name.
#ifndef TALVEN_PROCEDURE_STATEMENT_ITEMS_H
#define TALVEN_PROCEDURE_STATEMENT_ITEMS_H

#include <cstdint>
#include <string_view>

#include "talven_options.h"
#include "talven_host.h"

namespace talven {

inline constexpr int32_t kData = option_row("DATA").item;
inline constexpr int32_t kContrast1 = option_row("CONTRAST1").item;
inline constexpr int32_t kNtreats1 = option_row("NTREATS1").item;
inline constexpr int32_t kNtreats2 = option_row("NTREATS2").item;
inline constexpr int32_t kMain1 = option_row("MAIN1").item;
inline constexpr int32_t kTailor1 = option_row("TAILOR1").item;
inline constexpr int32_t kMain2 = option_row("MAIN2").item;
inline constexpr int32_t kTailor2 = option_row("TAILOR2").item;
inline constexpr int32_t kResponse = option_row("RESPONSE").item;
inline constexpr int32_t kStg1Trt = option_row("STG1TRT").item;
inline constexpr int32_t kStg2Trt = option_row("STG2TRT").item;
inline constexpr int32_t kStg2Sample = option_row("STG2SAMPLE").item;
inline constexpr int32_t kOutest = option_row("OUTEST").item;
inline constexpr int32_t kOut = option_row("OUT").item;
inline constexpr int32_t kDeriveCiFlag = option_row("DERIVECI").item;
inline constexpr int32_t kRulesFlag = option_row("RULES").item;

constexpr bool in_grammar(const OptionRow& row) {
  return row.item != 0 && row.kind != OptionKind::kPackage;
}

constexpr int32_t item_kind(OptionKind kind) {
  switch (kind) {
    case OptionKind::kReal:
      return TALVEN_ITEM_REAL;
    case OptionKind::kFlag:
      return TALVEN_ITEM_FLAG;
    case OptionKind::kInputData:
      return TALVEN_ITEM_DATASET;
    case OptionKind::kOutputData:
      return TALVEN_ITEM_OUTPUT_DATASET;
    case OptionKind::kRole:
      return TALVEN_ITEM_VARLIST;
    default:
      return TALVEN_ITEM_INTEGER;
  }
}

constexpr int32_t list_values(ListValues values) {
  switch (values) {
    case ListValues::kNumeric:
      return TALVEN_VARLIST_NUMERIC;
    case ListValues::kTwoLevels:
      return TALVEN_VARLIST_TWO_LEVELS;
    default:
      return TALVEN_VARLIST_ANY;
  }
}

// The grammar entry of a row; `levels` names a row of `table`.
constexpr TalvenGrammarEntry grammar_entry(const OptionRow& row, OptionTable table = kOptionTable) {
  int32_t levels_item = 0;
  for (const OptionRow& other : table) {
    if (row.levels != nullptr && std::string_view(other.statement) == row.levels) {
      levels_item = other.item;
    }
  }
  return {row.statement, item_kind(row.kind), row.item, list_values(row.values), levels_item};
}

}  // namespace talven

#endif  // TALVEN_PROCEDURE_STATEMENT_ITEMS_H
