#include "procedure/host_services.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace talven {
namespace {

constexpr int32_t kDebugValueSize = 200;  // at most 199 characters and the NUL

template <typename Routine>
bool filled_if_needed(int needed, Routine routine) {
  return needed == 0 || routine != nullptr;
}

// Any needed routine left empty by the support module would crash the first time it is used.
bool table_complete(const TalvenRoutines& t) {
  const bool filled[] = {
#define TALVEN_FILLED(needed, result, name, parameters, failure) filled_if_needed(needed, t.name),
      TALVEN_HOST_ROUTINES(TALVEN_FILLED)
#undef TALVEN_FILLED
  };
  return std::find(std::begin(filled), std::end(filled), false) == std::end(filled);
}

bool load_module(const char* name, TalvenParseHolder* holder, const TalvenDebugSettings* debug) {
  HostState& state = host_state();
  TalvenSupportEntry entry = state.anchor.loadSupportModule(name);
  if (entry == nullptr) return false;
  TalvenRoutines table{};
  table.size = sizeof(TalvenRoutines);
  alignas(16) unsigned char block16[16] = {};
  if (entry(&table, holder, debug, block16) != 0 || !table_complete(table)) return false;
  state.table = table;
  state.has_table = true;
  return true;
}

}  // namespace

HostState& host_state() {
  static HostState state;
  return state;
}

void store_anchor(const TalvenAnchor* anchor) {
  HostState& state = host_state();
  state = HostState{};
  if (anchor == nullptr || anchor->size < sizeof(TalvenAnchor) || !anchor->getHostValue ||
      !anchor->loadSupportModule || !anchor->hostMessage || !anchor->endProcedure) {
    return;
  }
  state.anchor = *anchor;
  state.has_anchor = true;
}

TalvenDebugSettings parse_debug_value(const char* value, int32_t length) {
  TalvenDebugSettings debug{};
  if (value == nullptr || length <= 8) return debug;
  static constexpr char kLevel[] = "TLKTDBG=";
  static constexpr char kPrint[] = "TLKTPRT=";
  constexpr int32_t key = 8;
  for (int32_t i = 0; i + key < length; ++i) {
    const char next = value[i + key];
    if (std::memcmp(value + i, kLevel, key) == 0 && next >= '0' && next <= '9') {
      debug.level = next - '0';
    } else if (std::memcmp(value + i, kPrint, key) == 0) {
      debug.print = next == 'P' ? 1 : 0;
    }
  }
  return debug;
}

void start_host_services(TalvenParseHolder* holder) {
  HostState& state = host_state();
  state.has_table = false;
  state.ended = false;

  char value[kDebugValueSize] = {};
  int32_t length = state.anchor.getHostValue("DEBUG", value, kDebugValueSize);
  if (length < 0) length = 0;
  if (length > kDebugValueSize - 1) length = kDebugValueSize - 1;
  value[length] = '\0';
  length = static_cast<int32_t>(std::strlen(value));
  for (int32_t i = 0; i < length; ++i) {
    if (value[i] >= 'a' && value[i] <= 'z') value[i] = static_cast<char>(value[i] - 'a' + 'A');
  }
  state.debug = parse_debug_value(value, length);

  if (state.debug.level != 0) {
    if (load_module("SASPROCD", holder, &state.debug)) return;
    state.anchor.hostMessage(
        "%2zCannot load the SASPROCD module. Since this is a debug-only module, an attempt is "
        "made to load SASPROCI instead.");
    state.debug = TalvenDebugSettings{};
  }
  if (load_module("SASPROCI", holder, nullptr)) return;
  state.anchor.hostMessage(
      "%1zCannot load the SASPROCI module. The user-written item cannot function without it.");
  end_procedure(TALVEN_END_NO_SUPPORT);
}

void end_procedure(int32_t code) {
  HostState& state = host_state();
  if (!state.ended) {
    state.ended = true;
    if (state.has_table) {
      state.table.endProcedure(code, 0);
    } else if (state.has_anchor) {
      state.anchor.endProcedure(code);
    }
  }
  throw ProcedureEnded{code};
}

void* allocate_bytes(std::size_t count, std::size_t element_size, const char* field) {
  if (count == 0) count = 1;
  void* block = nullptr;
  if (count <= std::numeric_limits<std::size_t>::max() / element_size) {
    block = host().allocate(count * element_size);
  }
  if (block == nullptr) stop("%1zUnable to allocate memory for %s.", field);
  return block;
}

}  // namespace talven
