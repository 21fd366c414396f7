// A private folder for one test, removed with its content when the test is over. ctest runs the
// tests of one program in parallel processes, so the name holds the test's name and the process.
#ifndef TALVEN_TESTS_SUPPORT_TEMP_FOLDER_H
#define TALVEN_TESTS_SUPPORT_TEMP_FOLDER_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <iterator>
#include <string>
#include <string_view>

#include "tests/support/files.h"

namespace test_support {

class TempFolder {
 public:
  // Named after the running test.
  TempFolder() : TempFolder(current_test_name()) {}
  explicit TempFolder(const std::string& tag)
      : dir_(std::filesystem::temp_directory_path() /
             ("talven_" + tag + "_" + std::to_string(::getpid()))) {
    clear();
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return dir_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return dir_ / name; }

  // `name` is relative to the folder; folders above it are created.
  void write(const std::filesystem::path& name, std::string_view bytes) const {
    write_file(dir_ / name, bytes);
  }
  // Empties the folder.
  void clear() const {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  // Files and folders directly in it: a test sees that nothing was left behind.
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir_), {}));
  }

  static std::string current_test_name() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr) return "test";
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    return name;
  }

 private:
  std::filesystem::path dir_;
};

}  // namespace test_support

#endif  // TALVEN_TESTS_SUPPORT_TEMP_FOLDER_H
