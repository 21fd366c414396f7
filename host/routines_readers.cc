// Host routines: data set attributes and the observation readers.
#include <algorithm>
#include <cstring>
#include <memory>

#include "host/csv_reader.h"
#include "host/routines.h"
#include "host/step_context.h"

namespace host::routines {

int64_t dataSetAttribute(TalvenDataSet* dataSet, int32_t code) {
  if (!known_data_set(dataSet)) return -1;
  if (code == TALVEN_ATTR_OBSERVATIONS) return dataSet->table->rows;
  if (code == TALVEN_ATTR_VARIABLES) return static_cast<int64_t>(dataSet->table->columns.size());
  return -1;
}

int32_t variableAttributes(TalvenDataSet* dataSet, int32_t varNumber, char* name, int32_t nameSize,
                           int32_t* nameLength, int32_t* type) {
  if (!known_data_set(dataSet) || varNumber < 1 ||
      static_cast<size_t>(varNumber) > dataSet->table->columns.size()) {
    return 1;
  }
  const Column& c = dataSet->table->columns[static_cast<size_t>(varNumber) - 1];
  int32_t copied = 0;
  if (name != nullptr && nameSize > 0) {
    copied = static_cast<int32_t>(std::min(c.name.size(), static_cast<size_t>(nameSize - 1)));
    std::memcpy(name, c.name.data(), static_cast<size_t>(copied));
    name[copied] = '\0';
  }
  if (nameLength != nullptr) *nameLength = copied;
  if (type != nullptr) {
    *type = c.type == VarType::kNumeric ? TALVEN_VAR_NUMERIC : TALVEN_VAR_CHARACTER;
  }
  return 0;
}

int32_t declareVariables(TalvenDataSet* dataSet, int32_t code, const int32_t* varNumbers,
                         int32_t count) {
  if (!known_data_set(dataSet) || code != TALVEN_DECLARE_VARIABLES || count < 0 ||
      (count > 0 && varNumbers == nullptr)) {
    return 1;
  }
  const int64_t nvars = static_cast<int64_t>(dataSet->table->columns.size());
  for (int32_t k = 0; k < count; ++k) {
    if (varNumbers[k] < 1 || varNumbers[k] > nvars) {
      host_error("PROCEDURE " + running_step()->name + " declared variable number " +
                 std::to_string(varNumbers[k]) + " of " + dataSet->name + ", which has " +
                 std::to_string(nvars) + " variables.");
      return 1;
    }
  }
  dataSet->declared.assign(varNumbers, varNumbers + count);
  return 0;
}

int32_t prepareDataSet(TalvenDataSet* dataSet, int32_t code, int32_t /*item*/) {
  return known_data_set(dataSet) && code == TALVEN_PREPARE_READING ? 0 : 1;
}

const char* dataSetName(TalvenDataSet* dataSet) {
  return known_data_set(dataSet) ? dataSet->name.c_str() : "";
}

TalvenReader* readerCreate(TalvenDataSet* dataSet, int32_t count) {
  if (!known_data_set(dataSet) || count < 0) return nullptr;
  StepContext& step = *running_step();
  auto reader = std::make_unique<TalvenReader>();
  reader->data_set = dataSet;
  reader->capacity = count;
  reader->sequence = step.readers_created++;
  TalvenReader* raw = reader.get();
  step.readers.emplace(raw, std::move(reader));
  return raw;
}

int32_t readerBind(TalvenReader* reader, int32_t varNumber, double* target, int32_t length,
                   int32_t type) {
  if (known_reader(reader) == nullptr || target == nullptr || reader->finished) return 1;
  const DataTable& t = *reader->data_set->table;
  if (varNumber < 1 || static_cast<size_t>(varNumber) > t.columns.size() || length != 8 ||
      type != TALVEN_BIND_DOUBLE ||
      reader->bindings.size() >= static_cast<size_t>(reader->capacity)) {
    host_error("PROCEDURE " + running_step()->name + " bound variable number " +
               std::to_string(varNumber) + " of " + reader->data_set->name +
               " in a way the host cannot honour.");
    return 1;
  }
  const Column& c = t.columns[static_cast<size_t>(varNumber) - 1];
  if (c.type != VarType::kNumeric) {
    host_error("Variable " + c.name + " of " + reader->data_set->name +
               " is character; it cannot be read as a number.");
    explainCharacter(reader->data_set, varNumber);
    return 1;
  }
  reader->bindings.emplace_back(varNumber - 1, target);
  return 0;
}

int32_t readerFinish(TalvenReader* reader) {
  if (known_reader(reader) == nullptr) return 1;
  reader->finished = true;
  return 0;
}

int32_t readerNext(TalvenReader* reader) {
  if (known_reader(reader) == nullptr) return 0;
  reader->advanced = true;
  const int64_t rows = reader->data_set->table->rows;
  if (reader->row < rows) ++reader->row;
  if (reader->row < rows) {
    reader->rows_delivered.push_back(reader->row);
    ++reader->delivered;
    return 1;
  }
  note_observations_read(reader);
  return 0;
}

int32_t readerTransfer(TalvenReader* reader) {
  if (known_reader(reader) == nullptr || reader->row < 0 ||
      reader->row >= reader->data_set->table->rows) {
    return 1;
  }
  const auto row = static_cast<size_t>(reader->row);
  for (const auto& [column, target] : reader->bindings) {
    *target = reader->data_set->table->columns[static_cast<size_t>(column)].numbers[row];
  }
  return 0;
}

void readerEnd(TalvenReader* reader) {
  if (known_reader(reader) == nullptr) return;
  note_observations_read(reader);
  running_step()->readers.erase(reader);
}

void explainCharacter(TalvenDataSet* dataSet, int32_t varNumber) {
  if (!known_data_set(dataSet) || varNumber < 1 ||
      static_cast<size_t>(varNumber) > dataSet->table->columns.size()) {
    return;
  }
  const std::string why = character_explanation(dataSet->table->columns[varNumber - 1]);
  if (!why.empty()) host_error(why);
}

}  // namespace host::routines

namespace host::routines {

int64_t characterValues(TalvenDataSet* dataSet, int32_t varNumber, const char** values,
                        int64_t capacity) {
  if (!known_data_set(dataSet) || varNumber < 1 ||
      static_cast<size_t>(varNumber) > dataSet->table->columns.size()) {
    return -1;
  }
  const Column& c = dataSet->table->columns[static_cast<size_t>(varNumber) - 1];
  if (c.type != VarType::kCharacter) return -1;
  const auto count = static_cast<int64_t>(c.texts.size());
  for (int64_t i = 0; values != nullptr && i < count && i < capacity; ++i) {
    values[i] = c.texts[static_cast<size_t>(i)].c_str();
  }
  return count;
}

}  // namespace host::routines
