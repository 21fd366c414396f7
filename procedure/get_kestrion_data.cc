// Reads DATA= into the study layer, one observation at a time: the layer keeps the complete
// cases, decides the stage-2 sample and codes the treatments.
#include <cmath>
#include <cstdint>

#include "procedure/analysis_steps.h"
#include "procedure/host_services.h"
#include "procedure/kestrion_info.h"

namespace talven {
namespace {

// A character variable that the layer has as text (a host without characterValues gave none:
// reading it as a number then fails with the host's message).
bool text_variable(const KESTRIONINFOSTR& info, int32_t number) {
  if (host().characterValues == nullptr) return false;
  int32_t type = TALVEN_VAR_NUMERIC;
  char name[64];
  int32_t length = 0;
  host().variableAttributes(info.dataSet, number, name, sizeof name, &length, &type);
  return type == TALVEN_VAR_CHARACTER;
}

}  // namespace

void getKestrionData(KESTRIONINFOSTR& info) {
  const TalvenRoutines& h = host();
  log("%3zgetKestrionData start.......");
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
    // A text treatment's values are the layer's codes; the reader has no number for it.
    info.obsBuffer[k] = NAN;
    if (text_variable(info, info.readVarNumbers[k])) continue;
    if (h.readerBind(info.dataReader, info.readVarNumbers[k], &info.obsBuffer[k], 8,
                     TALVEN_BIND_DOUBLE) != 0) {
      stop("%1zVariable %d of data set %s cannot be read.", info.readVarNumbers[k],
           h.dataSetName(info.dataSet));
    }
  }
  if (h.readerFinish(info.dataReader) != 0) {
    stop("%1zData set %s cannot be read.", h.dataSetName(info.dataSet));
  }

  // Each observation goes straight from the reader's buffer into the subject arrays, laid out for
  // nObs subjects: a staging copy of the whole data set would cost as much memory again.
  require(talven_study_expect_rows(info.study, info.nObs));
  int64_t delivered = 0;
  while (h.readerNext(info.dataReader)) {
    if (delivered == info.nObs) {
      log("%2zData set %s delivered more than its %ld observations; the others were not read.",
          h.dataSetName(info.dataSet), static_cast<long>(info.nObs));
      break;
    }
    ++delivered;
    h.readerTransfer(info.dataReader);
    for (int64_t pos = 0; pos < width; ++pos) {
      if (h.isMissing(info.obsBuffer[pos])) info.obsBuffer[pos] = NAN;
    }
    require(talven_study_add_row(info.study, info.obsBuffer));
  }
}

// The layer has applied the data rules.
void kestrion_rows_ended(KESTRIONINFOSTR& info) {
  info.n1 = static_cast<int32_t>(talven_study_count(info.study, TALVEN_COUNT_STAGE1));
  info.n2 = static_cast<int32_t>(talven_study_count(info.study, TALVEN_COUNT_STAGE2));
  log("%3zgetKestrionData end.......");
}

}  // namespace talven
