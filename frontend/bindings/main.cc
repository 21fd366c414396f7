// talven_bindings [--check] REPOSITORY: writes the packages' generated files from their templates,
// or with --check reports (status 1) every committed copy that differs from what it would write.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "frontend/bindings/bindings.h"

namespace {

bool read_file(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *text = buffer.str();
  return true;
}

// Written beside the file and renamed over it, so that a failed write leaves the old copy whole.
bool write_file(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out || !(out << text) || !out.flush()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = argc == 3 && std::strcmp(argv[1], "--check") == 0;
  if (argc != 2 && !check) {
    std::fprintf(stderr, "usage: talven_bindings [--check] REPOSITORY\n");
    return 2;
  }
  const std::string root = std::string(argv[argc - 1]) + "/";
  int status = 0;
  for (const talven::bindings::GeneratedFile& file : talven::bindings::generated_files()) {
    std::string source, committed;
    if (!read_file(root + file.template_path, &source)) {
      std::fprintf(stderr, "talven_bindings: cannot read %s\n", file.template_path.c_str());
      return 2;
    }
    const std::string text = talven::bindings::fill(source);
    if (check) {
      if (!read_file(root + file.path, &committed) || committed != text) {
        std::fprintf(stderr,
                     "talven_bindings: %s is stale; regenerate it with "
                     "`cmake --build --preset dev --target bindings`\n",
                     file.path.c_str());
        status = 1;
      }
    } else if (!write_file(root + file.path, text)) {
      std::fprintf(stderr, "talven_bindings: cannot write %s\n", file.path.c_str());
      return 2;
    }
  }
  return status;
}
