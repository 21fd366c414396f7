// Host routines: memory, byte blocks, names and the missing-value test.
#include <cstring>

#include "host/routines.h"
#include "host/step_context.h"

namespace host::routines {

void* allocate(size_t bytes) {
  StepContext* step = running_step();
  return step != nullptr ? step->blocks.allocate(bytes) : nullptr;
}

void release(void* block) {
  StepContext* step = running_step();
  if (step != nullptr && block != nullptr) step->blocks.release(block);
}

void fill(int32_t byte, void* address, size_t length) {
  if (address != nullptr) std::memset(address, byte, length);
}

int32_t compare(const void* a, const void* b, size_t length) {
  if (length == 0) return 0;
  if (a == nullptr || b == nullptr) return a == b ? 0 : 1;
  return std::memcmp(a, b, length);
}

void nameToText(char* field, int32_t length) {
  if (field == nullptr) return;
  for (int32_t k = length - 1; k >= 0 && (field[k] == ' ' || field[k] == '\0'); --k) {
    field[k] = '\0';
  }
}

int32_t isMissing(double value) {
  return value != value ? 1 : 0;
}

}  // namespace host::routines
