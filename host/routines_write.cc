// Host routine: writing an output data set that a procedure hands over.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "host/csv_writer.h"
#include "host/interrupt.h"
#include "host/routines.h"
#include "host/step_context.h"
#include "host/step_services.h"
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

// The output data set of `item`, or null after an ERROR.
const ItemValue* output_item(const StepContext& step, int32_t item) {
  const ItemValue* v = given_item(item);
  if (v == nullptr || v->output_path.empty()) {
    host_error("PROCEDURE " + step.name + " asked to write the data set of item " +
               std::to_string(item) + ", which names no output data set.");
    return nullptr;
  }
  return v;
}

int32_t write_table(const ItemValue& v, const DataTable& table) {
  const std::string shown = v.data_set_ref.display();
  // An interrupted step leaves its outputs as earlier steps wrote them.
  if (interrupt_signal() != 0) {
    host_error("The data set " + shown + " is not written: the run was interrupted.");
    return 1;
  }
  const Result<void> written = write_file_atomically(v.output_path, format_csv(table));
  if (!written) {
    host_error(write_failure(shown, v.output_path, written.error()));
    return 1;
  }
  step_log().note("The data set " + shown + " has " + std::to_string(table.rows) +
                  " observations and " + std::to_string(table.columns.size()) + " variables.");
  return 0;
}

// The BY variables, with the group's values, before the table's own columns. `from_data`: the
// table holds the DATA= variables, whose BY variables are not repeated.
DataTable with_by_columns(const ByPlan& plan, size_t group, const DataTable& table,
                          bool from_data) {
  DataTable out;
  out.rows = table.rows;
  const auto n = static_cast<size_t>(table.rows);
  for (const Column& key : plan.keys) {
    Column c;
    c.name = key.name;
    c.type = key.type;
    if (key.type == VarType::kNumeric) {
      c.numbers.assign(n, key.numbers[group]);
    } else {
      c.texts.assign(n, key.texts[group]);
    }
    out.columns.push_back(std::move(c));
  }
  for (const Column& c : table.columns) {
    const bool is_key = std::any_of(plan.keys.begin(), plan.keys.end(),
                                    [&](const Column& k) { return iequals(k.name, c.name); });
    if (!(from_data && is_key)) out.columns.push_back(c);
  }
  return out;
}

// Writes the table now, or in a step with BY groups keeps it for the write after the last group.
int32_t deliver(const StepContext& step, int32_t item, const ItemValue& v, const DataTable& table,
                bool from_data) {
  StepShared* shared = step.env.shared;
  if (shared == nullptr || !shared->planned || shared->plan.groups.empty()) {
    return write_table(v, table);
  }
  PendingOutput& out = shared->outputs[item];
  out.path = v.output_path;
  out.shown = v.data_set_ref.display();
  out.group = with_by_columns(shared->plan, shared->current, table, from_data);
  out.group_written = true;
  return 0;
}

}  // namespace

int32_t writeDataSet(int32_t item, const char* const* names, const int32_t* types, int32_t nVars,
                     const double* numbers, const char* const* texts, int64_t nObs) {
  const StepContext* step = running_step();
  if (step == nullptr) return 1;
  const ItemValue* v = output_item(*step, item);
  if (v == nullptr) return 1;
  const std::string wrong = invalid_output(names, types, nVars, numbers, texts, nObs);
  if (!wrong.empty()) {
    host_error("PROCEDURE " + step->name + " handed the host an invalid data set " +
               v->data_set_ref.display() + ": " + wrong + ".");
    return 1;
  }
  return deliver(*step, item, *v, as_table(names, types, nVars, numbers, texts, nObs), false);
}

namespace {

// The rows the reader delivered, every variable as it is; the procedure's columns follow them.
DataTable delivered_rows(const TalvenReader& reader, int64_t rows) {
  const TalvenDataSet& ds = *reader.data_set;
  DataTable table;
  table.rows = rows;
  for (const Column& c : ds.table->columns) {
    Column out;
    out.name = c.name;
    out.type = c.type;
    for (const int64_t row : reader.rows_delivered) {
      if (c.type == VarType::kNumeric) {
        out.numbers.push_back(c.numbers[static_cast<size_t>(row)]);
      } else {
        out.texts.push_back(c.texts[static_cast<size_t>(row)]);
      }
    }
    table.columns.push_back(std::move(out));
  }
  return table;
}

}  // namespace

int32_t writeObservationsTyped(int32_t item, TalvenReader* reader, const char* const* names,
                               const int32_t* types, int32_t nVars, const double* numbers,
                               const char* const* texts, int64_t nObs) {
  const StepContext* step = running_step();
  if (step == nullptr) return 1;
  const ItemValue* v = output_item(*step, item);
  if (v == nullptr) return 1;
  std::string wrong = invalid_output(names, types, nVars, numbers, texts, nObs);
  if (wrong.empty() && known_reader(reader) == nullptr) wrong = "its reader is not known";
  if (wrong.empty() && reader->delivered != nObs) {
    wrong = "it has " + std::to_string(nObs) + " observations where " +
            std::to_string(reader->delivered) + " were read";
  }
  if (wrong.empty()) {
    for (const Column& c : reader->data_set->table->columns) {
      for (int32_t j = 0; j < nVars && wrong.empty(); ++j) {
        if (iequals(c.name, names[j])) wrong = "variable name " + c.name + " appears twice";
      }
    }
  }
  if (!wrong.empty()) {
    host_error("PROCEDURE " + step->name + " handed the host an invalid data set " +
               v->data_set_ref.display() + ": " + wrong + ".");
    return 1;
  }
  DataTable table = delivered_rows(*reader, nObs);
  DataTable added = as_table(names, types, nVars, numbers, texts, nObs);
  for (Column& c : added.columns) table.columns.push_back(std::move(c));
  return deliver(*step, item, *v, table, true);
}

int32_t writeObservations(int32_t item, TalvenReader* reader, const char* const* names,
                          int32_t nVars, const double* numbers, int64_t nObs) {
  const std::vector<int32_t> types(static_cast<size_t>(std::max(nVars, 0)), TALVEN_VAR_NUMERIC);
  return writeObservationsTyped(item, reader, names, types.data(), nVars, numbers, nullptr, nObs);
}

}  // namespace host::routines
