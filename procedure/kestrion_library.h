// The compute library as the driver sees it. The entries default to the linked libKestrion; tests
// replace them to drive failure paths the real library cannot be made to take on demand.
#ifndef TALVEN_PROCEDURE_KESTRION_LIBRARY_H
#define TALVEN_PROCEDURE_KESTRION_LIBRARY_H

#include <string>
#include <vector>

#include "kestrion.h"

namespace talven {

struct KestrionLibrary {
  decltype(&::checkversion) checkversion;
  decltype(&::runkestrion) runkestrion;
  decltype(&::seedkestrion) seedkestrion;
  decltype(&::progresskestrion) progresskestrion;
};

KestrionLibrary& kestrion_library();
KestrionLibrary linked_kestrion_library();

// The pieces of a diagnostic text that go to the log, one per line: the text ends at its first
// NUL (or after `length` characters), and any run of CR and LF separates two pieces.
std::vector<std::string> split_diagnostic_text(const char* text, int length);

}  // namespace talven

#endif  // TALVEN_PROCEDURE_KESTRION_LIBRARY_H
