#include "host/step_context.h"

#include "host/step_services.h"

namespace host {

namespace {
StepContext* g_step = nullptr;
}  // namespace

StepContext* running_step() {
  return g_step;
}

RunningStep::RunningStep(StepContext* step) : outer_(g_step) {
  g_step = step;
}

RunningStep::~RunningStep() {
  g_step = outer_;
}

Log& step_log() {
  if (g_step->progress) g_step->progress->clear();
  return *g_step->env.log;
}

void host_error(const std::string& text) {
  if (g_step != nullptr) step_log().error(text);
}

bool known_data_set(const TalvenDataSet* data_set) {
  if (g_step == nullptr || data_set == nullptr || !g_step->parse) return false;
  for (const auto& [item, value] : g_step->parse->items) {
    if (value.data_set.get() == data_set) return true;
  }
  return false;
}

TalvenReader* known_reader(TalvenReader* reader) {
  if (g_step == nullptr || reader == nullptr) return nullptr;
  return g_step->readers.count(reader) != 0 ? reader : nullptr;
}

const ItemValue* given_item(int32_t item) {
  if (g_step == nullptr || !g_step->parse) return nullptr;
  return g_step->parse->find(item);
}

void note_observations_read(TalvenReader* reader) {
  if (reader->counted || !reader->advanced) return;
  reader->counted = true;
  const std::string& where = reader->data_set->where_text;
  step_log().note("There were " + std::to_string(reader->delivered) +
                  " observations read from the data set " + reader->data_set->name + "." +
                  (where.empty() ? "" : " WHERE " + where + ";"));
}

}  // namespace host
