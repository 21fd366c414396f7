// Host routines: ending the procedure, parsing the statement and reading its parse results.
#include "host/routines.h"
#include "host/step_context.h"
#include "host/step_parser.h"
#include "host/step_services.h"

namespace host::routines {

void endProcedure(int32_t code, int32_t /*zero*/) {
  StepContext* step = running_step();
  if (step == nullptr) return;
  step->ended = true;
  step->end_code = code;
}

int32_t parseStatement(const TalvenGrammar* grammar, TalvenParseHolder* /*holder*/) {
  StepContext* step = running_step();
  if (step == nullptr) return TALVEN_PARSE_FAILED;
  if (step->parse) return step->parse->status;  // parsed once per step
  if (grammar == nullptr || (grammar->entryCount > 0 && grammar->entries == nullptr) ||
      grammar->entryCount < 0) {
    host_error("PROCEDURE " + step->name + " handed the host an invalid grammar.");
    step->parse.emplace();
    step->parse->status = TALVEN_PARSE_FAILED;
    return step->parse->status;
  }
  ParseServices services;
  services.note = [](const std::string& m) { step_log().note(m); };
  services.shared = step->env.shared;
  step->parse = parse_step(
      *grammar, step->step, *step->env.loader, [](const std::string& m) { host_error(m); },
      services);
  const StepShared* shared = step->env.shared;
  if (shared != nullptr && shared->planned && !shared->plan.groups.empty()) {
    step->env.listing->set_by_line(shared->plan.groups[shared->current].label);
  }
  return step->parse->status;
}

int32_t itemGiven(int32_t item) {
  return given_item(item) != nullptr ? 1 : 0;
}

double itemNumber(int32_t item) {
  const ItemValue* v = given_item(item);
  return v != nullptr ? v->number : 0.0;
}

TalvenDataSet* itemDataSet(int32_t item) {
  const ItemValue* v = given_item(item);
  return v != nullptr ? v->data_set.get() : nullptr;
}

int32_t itemVarCount(int32_t item) {
  const ItemValue* v = given_item(item);
  return v != nullptr && v->resolved ? static_cast<int32_t>(v->variables.size()) : 0;
}

int32_t itemVarNumber(int32_t item, int32_t index) {
  const ItemValue* v = given_item(item);
  if (v == nullptr || !v->resolved || index < 0 ||
      static_cast<size_t>(index) >= v->variables.size()) {
    return 0;
  }
  return v->variables[static_cast<size_t>(index)];
}

int32_t itemVarFactor(int32_t item, int32_t index, int32_t factor) {
  const ItemValue* v = given_item(item);
  if (v == nullptr || !v->resolved || index < 0 || factor < 0 ||
      static_cast<size_t>(index) >= v->factors.size()) {
    return 0;
  }
  const std::vector<int32_t>& factors = v->factors[static_cast<size_t>(index)];
  return static_cast<size_t>(factor) < factors.size() ? factors[static_cast<size_t>(factor)] : 0;
}

int32_t flagSet(int32_t flag) {
  const StepContext* step = running_step();
  if (step == nullptr || !step->parse) return 0;
  return step->parse->flags.count(flag) != 0 ? 1 : 0;
}

}  // namespace host::routines
