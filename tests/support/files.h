// Whole files as byte strings, for tests that write inputs and read back what a run produced.
#ifndef TALVEN_TESTS_SUPPORT_FILES_H
#define TALVEN_TESTS_SUPPORT_FILES_H

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace test_support {

// The bytes of the file; empty when it cannot be read (a test compares it with what it expects).
inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Writes the bytes, creating the folders above the file.
inline void write_file(const std::filesystem::path& p, std::string_view bytes) {
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

}  // namespace test_support

#endif  // TALVEN_TESTS_SUPPORT_FILES_H
