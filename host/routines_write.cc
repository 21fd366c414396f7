// Host routine: writing an output data set that a procedure hands over.
#include <cstdint>
#include <string>

#include "host/csv_writer.h"
#include "host/routines.h"
#include "host/step_context.h"
#include "host/text_util.h"

namespace host::routines {

namespace {

// Checks what a procedure hands over for an output data set; empty when it is usable.
std::string invalid_output(const char* const* names, const int32_t* types, int32_t nVars,
                           const double* numbers, const char* const* texts, int64_t nObs) {
  if (nVars < 1 || names == nullptr || types == nullptr) return "it has no variables";
  if (nObs < 0 || nObs > INT32_MAX) return "its observation count is " + std::to_string(nObs);
  bool numeric = false, character = false;
  for (int32_t j = 0; j < nVars; ++j) {
    if (names[j] == nullptr || names[j][0] == '\0') {
      return "variable " + std::to_string(j + 1) + " has no name";
    }
    for (int32_t k = 0; k < j; ++k) {
      if (iequals(names[k], names[j])) {
        return std::string("variable name ") + names[j] + " appears twice";
      }
    }
    if (types[j] == TALVEN_VAR_NUMERIC) {
      numeric = true;
    } else if (types[j] == TALVEN_VAR_CHARACTER) {
      character = true;
    } else {
      return std::string("variable ") + names[j] + " has no known type";
    }
  }
  if (nObs > 0 && ((numeric && numbers == nullptr) || (character && texts == nullptr))) {
    return "its values are missing";
  }
  return {};
}

DataTable as_table(const char* const* names, const int32_t* types, int32_t nVars,
                   const double* numbers, const char* const* texts, int64_t nObs) {
  DataTable table;
  table.rows = nObs;
  const auto n = static_cast<size_t>(nObs);
  for (int32_t j = 0; j < nVars; ++j) {
    Column c;
    c.name = names[j];
    const size_t first = static_cast<size_t>(j) * n;
    if (types[j] == TALVEN_VAR_NUMERIC) {
      c.type = VarType::kNumeric;
      if (n > 0) c.numbers.assign(numbers + first, numbers + first + n);
    } else {
      c.type = VarType::kCharacter;
      for (size_t i = 0; i < n; ++i) {
        c.texts.emplace_back(texts[first + i] != nullptr ? texts[first + i] : "");
      }
    }
    table.columns.push_back(std::move(c));
  }
  return table;
}

}  // namespace

int32_t writeDataSet(int32_t item, const char* const* names, const int32_t* types, int32_t nVars,
                     const double* numbers, const char* const* texts, int64_t nObs) {
  const StepContext* step = running_step();
  if (step == nullptr) return 1;
  const ItemValue* v = given_item(item);
  if (v == nullptr || v->output_path.empty()) {
    host_error("PROCEDURE " + step->name + " asked to write the data set of item " +
               std::to_string(item) + ", which names no output data set.");
    return 1;
  }
  const std::string shown = v->data_set_ref.display();
  const std::string wrong = invalid_output(names, types, nVars, numbers, texts, nObs);
  if (!wrong.empty()) {
    host_error("PROCEDURE " + step->name + " handed the host an invalid data set " + shown + ": " +
               wrong + ".");
    return 1;
  }
  const DataTable table = as_table(names, types, nVars, numbers, texts, nObs);
  const Result<void> written = write_file_atomically(v->output_path, format_csv(table));
  if (!written) {
    host_error("The data set " + shown + " could not be written to " + v->output_path.string() +
               ": " + written.error() + ".");
    return 1;
  }
  step_log().note("The data set " + shown + " has " + std::to_string(nObs) + " observations and " +
                  std::to_string(nVars) + " variables.");
  return 0;
}

}  // namespace host::routines
