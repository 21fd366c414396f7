// Reads CONTRAST1=: one contrast of the stage-1 coefficients per observation; the study layer
// counts a missing coefficient as 0.
#include <cmath>
#include <cstdint>

#include "procedure/host_services.h"
#include "procedure/kestrion_info.h"

namespace talven {

namespace {

// Opens CONTRAST1= and binds each of its columns to the observation buffer.
void open_contrast_reader(KESTRIONINFOSTR& info, const TalvenRoutines& h, const char* name) {
  const int32_t cols = info.nContrastCols;
  if (h.prepareDataSet(info.contrastSet, TALVEN_PREPARE_READING, 2) != 0 ||
      h.declareVariables(info.contrastSet, TALVEN_DECLARE_VARIABLES, info.contrastVarNumbers,
                         cols) != 0) {
    stop("%1zData set %s cannot be read.", name);
  }
  info.contrastReader = h.readerCreate(info.contrastSet, cols);
  if (info.contrastReader == nullptr) stop("%1zData set %s cannot be read.", name);
  for (int32_t j = 0; j < cols; ++j) {
    info.contrastVarNumbers[j] = j + 1;
    if (h.readerBind(info.contrastReader, j + 1, &info.contrastObsBuffer[j], 8,
                     TALVEN_BIND_DOUBLE) != 0) {
      stop("%1zVariable %d of data set %s cannot be read.", j + 1, name);
    }
  }
  if (h.readerFinish(info.contrastReader) != 0) stop("%1zData set %s cannot be read.", name);
}

// One contrast per observation, at most nContrasts of them; missing coefficients become NaN.
void read_contrast_rows(KESTRIONINFOSTR& info, const TalvenRoutines& h, const char* name) {
  const int32_t cols = info.nContrastCols;
  const int64_t rows = info.nContrasts;
  int64_t r = 0;
  while (h.readerNext(info.contrastReader)) {
    if (r == rows) {
      log("%2zData set %s delivered more than its %ld observations; the others were not read.",
          name, static_cast<long>(rows));
      break;
    }
    h.readerTransfer(info.contrastReader);
    for (int32_t j = 0; j < cols; ++j) {
      const double value = info.contrastObsBuffer[j];
      at(info.contrastMatrix, rows, r, j) = h.isMissing(value) ? NAN : value;
    }
    ++r;
  }
  // Contrasts the reader did not deliver must still be defined numbers.
  for (; r < rows; ++r) {
    for (int32_t j = 0; j < cols; ++j) at(info.contrastMatrix, rows, r, j) = 0.0;
  }
}

}  // namespace

void getContrastMatrix(KESTRIONINFOSTR& info) {
  log("%3zgetContrastMatrix start.......");
  if (info.hasContrast) {
    const TalvenRoutines& h = host();
    const char* name = h.dataSetName(info.contrastSet);
    open_contrast_reader(info, h, name);
    read_contrast_rows(info, h, name);
    require(talven_study_set_contrasts(info.study, info.nContrasts, info.contrastMatrix));
  }
  log("%3zgetContrastMatrix end.......");
}

}  // namespace talven
