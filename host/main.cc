#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "host/command_line.h"

int main(int argc, char** argv) {
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    return host::run_command(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "talven: stopped: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "talven: stopped by an unexpected failure\n");
  }
  return 2;
}
