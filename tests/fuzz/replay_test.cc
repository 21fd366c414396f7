// Replays the committed seed corpus of every fuzz target, and the inputs that once made a target
// fail (fuzz/regressions/<target>/), through the targets' own entries: each must pass without a
// crash, a sanitizer report or a broken table.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/entries.h"

namespace {

namespace fs = std::filesystem;

using Entry = void (*)(const uint8_t*, size_t);

// Runs every file of the target's folders; returns how many there were.
int replay(const std::string& target, Entry entry) {
  int files = 0;
  for (const char* folder : {"corpus", "regressions"}) {
    const fs::path dir = fs::path(TALVEN_SOURCE_DIR) / "fuzz" / folder / target;
    if (!fs::is_directory(dir)) continue;
    for (const fs::directory_entry& f : fs::directory_iterator(dir)) {
      if (!f.is_regular_file()) continue;
      std::ifstream in(f.path(), std::ios::binary);
      const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
      SCOPED_TRACE(f.path().string());
      entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++files;
    }
  }
  return files;
}

TEST(FuzzReplay, EveryCorpusAndRegressionInputPasses) {
  const struct {
    const char* target;
    Entry entry;
  } targets[] = {{"program", fuzz::run_program},
                 {"csv", fuzz::run_csv},
                 {"sas7bdat", fuzz::run_sas7bdat},
                 {"xport", fuzz::run_xport}};
  for (const auto& t : targets) EXPECT_GT(replay(t.target, t.entry), 0) << t.target;
}

}  // namespace
