#include <cstddef>
#include <cstdint>

#include "fuzz/entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::run_program(data, size);
  return 0;
}
