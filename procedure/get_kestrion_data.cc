// Reads DATA=: keeps the complete cases, decides the stage-2 sample, and codes the treatments of
// each stage by the order in which their levels first appear.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "procedure/host_services.h"
#include "procedure/kestrion_info.h"

namespace talven {
namespace {

// Where each group of variables sits in one observation, in reading order.
struct Layout {
  int64_t main1 = 0, tailor1 = 0, trt1 = 0, sample = -1, main2 = 0, tailor2 = 0, trt2 = 0,
          response = 0;
  int64_t stage1_end = 0, stage2_begin = 0, stage2_end = 0;
};

Layout layout_of(const KESTRIONINFOSTR& info) {
  Layout l;
  int64_t pos = 0;
  l.main1 = pos;
  pos += info.p10;
  l.tailor1 = pos;
  pos += info.p11;
  l.trt1 = pos;
  pos += info.K1 - 1;
  l.stage1_end = pos;
  if (info.hasStg2Sample) l.sample = pos++;
  l.stage2_begin = pos;
  l.main2 = pos;
  pos += info.p20;
  l.tailor2 = pos;
  pos += info.p21;
  l.trt2 = pos;
  pos += info.K2 - 1;
  l.stage2_end = pos;
  l.response = pos;
  return l;
}

// A treatment level is the tuple of a subject's K-1 treatment values; with two treatments that is
// the single value. Column k of the (K-1) x K table holds level k.
class LevelTable {
 public:
  LevelTable(double* table, int32_t k) : table_(table), k_(k), rows_(k - 1) {}

  bool matches(const double* values, int32_t column) const {
    for (int32_t t = 0; t < rows_; ++t) {
      if (!(std::fabs(values[t] - at(table_, rows_, t, column)) < kLevelTolerance)) return false;
    }
    return true;
  }

  // False when the values are a new level and the table is already full.
  bool learn(const double* values) {
    for (int32_t c = 0; c < found_; ++c) {
      if (matches(values, c)) return true;
    }
    if (found_ == k_) return false;
    for (int32_t t = 0; t < rows_; ++t) at(table_, rows_, t, found_) = values[t];
    ++found_;
    return true;
  }

  // The last matching column counts, unfilled ones (all 0) included; 0 when none matches.
  int32_t code(const double* values) const {
    for (int32_t c = k_ - 1; c >= 0; --c) {
      if (matches(values, c)) return c + 1;
    }
    return 0;
  }

 private:
  double* table_;
  int32_t k_;
  int32_t rows_;
  int32_t found_ = 0;
};

void copy_values(double* target, int64_t n1, int64_t i, const double* source, int64_t count) {
  for (int64_t j = 0; j < count; ++j) at(target, n1, i, j) = source[j];
}

}  // namespace

void getKestrionData(KESTRIONINFOSTR& info) {
  const TalvenRoutines& h = host();
  log("%3zgetKestrionData start.......");
  const Layout l = layout_of(info);
  const int64_t width = info.nReadVars;

  if (h.declareVariables(info.dataSet, TALVEN_DECLARE_VARIABLES, info.readVarNumbers,
                         info.nReadVars) != 0) {
    stop("%1zThe variables of data set %s cannot be declared for reading.",
         h.dataSetName(info.dataSet));
  }
  info.dataReader = h.readerCreate(info.dataSet, info.nReadVars);
  if (info.dataReader == nullptr)
    stop("%1zData set %s cannot be read.", h.dataSetName(info.dataSet));
  for (int64_t k = 0; k < width; ++k) {
    if (h.readerBind(info.dataReader, info.readVarNumbers[k], &info.obsBuffer[k], 8,
                     TALVEN_BIND_DOUBLE) != 0) {
      stop("%1zVariable %d of data set %s cannot be read.", info.readVarNumbers[k],
           h.dataSetName(info.dataSet));
    }
  }
  if (h.readerFinish(info.dataReader) != 0) {
    stop("%1zData set %s cannot be read.", h.dataSetName(info.dataSet));
  }

  // Each kept observation goes straight to its place in the subject arrays, laid out for nObs
  // subjects until the count is known; a staging copy of the whole data set would cost as much
  // memory again. Treatment values wait in their own tables until every level has been seen.
  const std::size_t capacity = static_cast<std::size_t>(info.nObs);
  const std::size_t stage1_width = static_cast<std::size_t>(info.K1 - 1);
  const std::size_t stage2_width = static_cast<std::size_t>(info.K2 - 1);
  info.H10 = allocate_array<double>(capacity * static_cast<std::size_t>(info.p10), "H10");
  info.H11 = allocate_array<double>(capacity * static_cast<std::size_t>(info.p11), "H11");
  info.inputH20 = allocate_array<double>(capacity * static_cast<std::size_t>(info.p20), "inputH20");
  info.inputH21 = allocate_array<double>(capacity * static_cast<std::size_t>(info.p21), "inputH21");
  info.respStatus = allocate_array<int32_t>(capacity, "respStatus");
  info.A1 = allocate_array<int32_t>(capacity, "A1");
  info.inputA2 = allocate_array<int32_t>(capacity, "inputA2");
  info.inputY2 = allocate_array<double>(capacity, "inputY2");
  info.Y1 = allocate_array<double>(capacity, "Y1");
  double* treatments1 = allocate_array<double>(capacity * stage1_width, "stage1Treatments");
  double* treatments2 = allocate_array<double>(capacity * stage2_width, "stage2Treatments");
  double* row = allocate_array<double>(static_cast<std::size_t>(width), "observation");
  const int64_t rows = info.nObs;

  int64_t n1 = 0;
  int64_t delivered = 0;
  while (h.readerNext(info.dataReader)) {
    if (delivered == info.nObs) {
      log("%2zData set %s delivered more than its %ld observations; the others were not read.",
          h.dataSetName(info.dataSet), static_cast<long>(info.nObs));
      break;
    }
    ++delivered;
    h.readerTransfer(info.dataReader);
    bool missing_stage1 = false, missing_sample = false, missing_stage2 = false,
         missing_response = false;
    for (int64_t pos = 0; pos < width; ++pos) {
      const double value = info.obsBuffer[pos];
      if (h.isMissing(value)) {
        if (pos < l.stage1_end) {
          missing_stage1 = true;
        } else if (pos == l.sample) {
          missing_sample = true;
        } else if (pos < l.stage2_end) {
          missing_stage2 = true;
        } else {
          missing_response = true;
        }
        // Missing stage-2 treatments stay recognisable so that their code can be settled.
        row[pos] = pos >= l.trt2 && pos < l.stage2_end ? NAN : 0.0;
      } else {
        row[pos] = pos >= l.trt2 && pos < l.stage2_end ? std::trunc(value) : value;
      }
    }
    double s = 0.0;
    if (l.sample >= 0 && !missing_sample) {
      s = 1.0 - std::trunc(row[l.sample]);
      row[l.sample] = s;
    }
    const bool retained =
        !missing_sample && !missing_response &&
        ((s == 0.0 && !missing_stage1 && !missing_stage2) || (s == 1.0 && !missing_stage1));
    if (!retained) continue;
    copy_values(info.H10, rows, n1, row + l.main1, info.p10);
    copy_values(info.H11, rows, n1, row + l.tailor1, info.p11);
    copy_values(info.inputH20, rows, n1, row + l.main2, info.p20);
    copy_values(info.inputH21, rows, n1, row + l.tailor2, info.p21);
    for (std::size_t t = 0; t < stage1_width; ++t) {
      treatments1[static_cast<std::size_t>(n1) * stage1_width + t] = row[l.trt1 + t];
    }
    for (std::size_t t = 0; t < stage2_width; ++t) {
      treatments2[static_cast<std::size_t>(n1) * stage2_width + t] = row[l.trt2 + t];
    }
    info.respStatus[n1] = l.sample >= 0 ? static_cast<int32_t>(row[l.sample]) : 0;
    info.inputY2[n1] = row[l.response];
    ++n1;
  }
  release_array(row);
  info.n1 = static_cast<int32_t>(n1);
  if (info.n1 < info.nObs) {
    log("%2zThere are missing data in the dataset, complete case analysis was used.");
  }
  // Close the columns up to n1 rows, the layout the library expects. Column j only moves
  // towards the front, so the columns are moved in increasing order.
  if (n1 < rows) {
    const std::pair<double*, int64_t> tables[] = {{info.H10, info.p10},
                                                  {info.H11, info.p11},
                                                  {info.inputH20, info.p20},
                                                  {info.inputH21, info.p21}};
    for (const auto& [table, columns] : tables) {
      for (int64_t j = 1; j < columns; ++j) {
        std::memmove(table + j * n1, table + j * rows,
                     static_cast<std::size_t>(n1) * sizeof(double));
      }
    }
  }

  const std::size_t n_limits = static_cast<std::size_t>(info.p1() + info.nContrasts);
  info.beta1hat = allocate_array<double>(static_cast<std::size_t>(info.p1()), "beta1hat");
  info.beta2hat = allocate_array<double>(static_cast<std::size_t>(info.p2()), "beta2hat");
  info.upper = allocate_array<double>(n_limits, "upper");
  info.lower = allocate_array<double>(n_limits, "lower");
  for (std::size_t k = 0; k < n_limits; ++k) info.upper[k] = info.lower[k] = 0.0;

  LevelTable levels1(info.levels1, info.K1);
  LevelTable levels2(info.levels2, info.K2);
  info.n2 = 0;
  for (int64_t i = 0; i < n1; ++i) {
    if (!levels1.learn(treatments1 + static_cast<std::size_t>(i) * stage1_width)) {
      stop(
          "%1zTreatment variable in stage 1 has more than 2 treatments, this version of Proc "
          "TALVEN only allows 2 treatments.");
    }
    if (info.respStatus[i] == 0) ++info.n2;
    if (info.respStatus[i] == 0 &&
        !levels2.learn(treatments2 + static_cast<std::size_t>(i) * stage2_width)) {
      stop(
          "%1zTreatment variable in stage 2 has more than 2 treatments, this version of Proc "
          "TALVEN only allows 2 treatments.");
    }
  }

  if (info.n2 < info.p2()) stop("%1zThere is not enough data at stage 2 for the method to work.");

  for (int64_t i = 0; i < n1; ++i) {
    info.A1[i] = levels1.code(treatments1 + static_cast<std::size_t>(i) * stage1_width);
    // Outside the stage-2 sample a missing or unknown stage-2 treatment still needs a valid code.
    const int32_t code2 = levels2.code(treatments2 + static_cast<std::size_t>(i) * stage2_width);
    info.inputA2[i] = code2 > 0 ? code2 : 1;
    info.Y1[i] = info.inputY2[i];
  }

  release_array(treatments1);
  release_array(treatments2);
  log("%3zgetKestrionData end.......");
}

}  // namespace talven
