// The procedure's only way to the host: the anchor stored by mcn_main, start-up of the support
// module, typed wrappers over the routine table, and ending the procedure.
//
// Ending the procedure never returns: it tells the host and then throws ProcedureEnded, which the
// driver entry catches. Nothing thrown here may cross into the host, so no host callback may call
// end_procedure.
#ifndef TALVEN_PROCEDURE_HOST_SERVICES_H
#define TALVEN_PROCEDURE_HOST_SERVICES_H

#include <cstddef>
#include <cstdint>
#include <limits>

#include "talven_host.h"

namespace talven {

struct ProcedureEnded {
  int32_t code;
};

struct HostState {
  TalvenAnchor anchor{};
  bool has_anchor = false;
  TalvenRoutines table{};
  bool has_table = false;
  TalvenDebugSettings debug{};
  bool ended = false;
};

HostState& host_state();

// Stores a copy of the anchor for every later host call.
void store_anchor(const TalvenAnchor* anchor);

// Reads DEBUG into debug level and print flag (only the part of it that the start-up uses).
TalvenDebugSettings parse_debug_value(const char* value, int32_t length);

// Loads "SASPROCD" or "SASPROCI" and fills the routine table; ends with 1012 when neither works.
void start_host_services(TalvenParseHolder* holder);

[[noreturn]] void end_procedure(int32_t code);

// Logs an error line (a "%1z" format) and ends with the error code.
template <typename... Args>
[[noreturn]] void stop(const char* format, Args... args) {
  host_state().table.log(format, args...);
  end_procedure(TALVEN_END_ERROR);
}

template <typename... Args>
void log(const char* format, Args... args) {
  host_state().table.log(format, args...);
}

inline const TalvenRoutines& host() {
  return host_state().table;
}

// Host memory for `count` elements of T; a null block stops the run naming `field`. Zero-length
// requests still get a block so that every array handed to the library is a valid address.
void* allocate_bytes(std::size_t count, std::size_t element_size, const char* field);

template <typename T>
T* allocate_array(std::size_t count, const char* field) {
  return static_cast<T*>(allocate_bytes(count, sizeof(T), field));
}

template <typename T>
void release_array(T*& block) {
  if (block != nullptr) host_state().table.release(block);
  block = nullptr;
}

}  // namespace talven

#endif  // TALVEN_PROCEDURE_HOST_SERVICES_H
