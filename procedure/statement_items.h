// Item and flag numbers of the PROC TALVEN grammar: the contract between the statement's tables
// and everything that reads its parse results.
#ifndef TALVEN_PROCEDURE_STATEMENT_ITEMS_H
#define TALVEN_PROCEDURE_STATEMENT_ITEMS_H

#include <cstdint>

namespace talven {

enum Item : int32_t {
  kData = 1,
  kContrast1 = 2,
  kNtreats1 = 5,
  kNtreats2 = 6,
  kMain1 = 7,
  kTailor1 = 8,
  kMain2 = 9,
  kTailor2 = 10,
  kResponse = 12,
  kStg1Trt = 13,
  kStg2Trt = 14,
  kStg2Sample = 15,
  kNbootstrap1 = 17,
  kNgrid = 18,
  kAlpha = 19,
  kCores = 20,
  kGridScale = 21,
  kNbootstrap2 = 22,
  kSeed = 23,
  kOutest = 24,
  kOut = 25,
};
inline constexpr int32_t kDeriveCiFlag = 1;
inline constexpr int32_t kRulesFlag = 2;
inline constexpr int32_t kMinimizeFlag = 3;

}  // namespace talven

#endif  // TALVEN_PROCEDURE_STATEMENT_ITEMS_H
