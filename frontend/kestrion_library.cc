#include "frontend/kestrion_library.h"

#include <chrono>

#include "kestrion_options.h"

namespace talven {

SeedClock& seed_clock() {
  static SeedClock clock = [] {
    return static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  };
  return clock;
}

int32_t seed_from_clock(uint64_t ticks) {
  return static_cast<int32_t>(1 + ticks % uint64_t{kestrion::kLargestSeed});
}

KestrionLibrary linked_kestrion_library() {
  return KestrionLibrary{&::checkversion, &::runkestrion, &::seedkestrion, &::progresskestrion,
                         &::valuekestrion};
}

KestrionLibrary& kestrion_library() {
  static KestrionLibrary library = linked_kestrion_library();
  return library;
}

std::vector<std::string> split_diagnostic_text(const char* text, int length) {
  std::vector<std::string> pieces;
  std::string piece;
  for (int k = 0; k < length && text[k] != '\0'; ++k) {
    if (text[k] == '\r' || text[k] == '\n') {
      if (!piece.empty()) pieces.push_back(piece);
      piece.clear();
    } else {
      piece += text[k];
    }
  }
  if (!piece.empty()) pieces.push_back(piece);
  return pieces;
}

}  // namespace talven
