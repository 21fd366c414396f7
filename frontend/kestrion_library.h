// The compute library as the study layer sees it. The entries default to the linked libKestrion;
// tests replace them to drive failure paths the real library cannot be made to take on demand.
#ifndef TALVEN_FRONTEND_KESTRION_LIBRARY_H
#define TALVEN_FRONTEND_KESTRION_LIBRARY_H

#include <cstdint>
#include <string>
#include <vector>

#include "kestrion.h"

namespace talven {

struct KestrionLibrary {
  decltype(&::checkversion) checkversion;
  decltype(&::runkestrion) runkestrion;
  decltype(&::seedkestrion) seedkestrion;
  decltype(&::progresskestrion) progresskestrion;
  decltype(&::valuekestrion) valuekestrion;
};

KestrionLibrary& kestrion_library();

// The clock that seeds a bootstrap run without SEED=; tests replace it.
using SeedClock = uint64_t (*)();
SeedClock& seed_clock();
// A seed in 1..2147483562 from a clock reading.
int32_t seed_from_clock(uint64_t ticks);
KestrionLibrary linked_kestrion_library();

// The pieces of a diagnostic text that go to the log, one per line: the text ends at its first
// NUL (or after `length` characters), and any run of CR and LF separates two pieces.
std::vector<std::string> split_diagnostic_text(const char* text, int length);

}  // namespace talven

#endif  // TALVEN_FRONTEND_KESTRION_LIBRARY_H
