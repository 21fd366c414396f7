// The one way the end-to-end tests run the built talven command: in a private temporary folder,
// with the program, the data, the log and the listing as files there.
#ifndef TALVEN_TESTS_E2E_E2E_SUPPORT_H
#define TALVEN_TESTS_E2E_E2E_SUPPORT_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/temp_folder.h"

namespace e2e {

namespace fs = std::filesystem;
using test_support::read_file;

inline std::string talven_binary() {
  return TALVEN_BINARY_DIR "/bin/talven";
}

// What one run left: its exit status, log, listing and standard error.
struct TalvenRun {
  int status = -1;  // exit status; -1 when killed by a signal
  std::string log_text;
  std::vector<std::string> log;  // log_text split into lines
  std::string listing;
  std::string stderr_text;

  bool has(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }
  bool has_prefix(const std::string& prefix) const { return count_prefix(prefix) > 0; }
  size_t count_prefix(const std::string& prefix) const {
    return static_cast<size_t>(std::count_if(
        log.begin(), log.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
  }
  std::string first_error() const { return first_with("ERROR: "); }
  std::string first_warning() const { return first_with("WARNING: "); }
  // Everything the run wrote to the log and to standard error, for failure messages.
  std::string all() const { return log_text + stderr_text; }

 private:
  std::string first_with(const std::string& prefix) const {
    for (const std::string& l : log) {
      if (l.rfind(prefix, 0) == 0) return l;
    }
    return "";
  }
};

inline bool built_with_asan() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

// A temporary folder that is the WORK library of the runs made in it; removed with its content.
class Folder : public test_support::TempFolder {
 public:
  using TempFolder::TempFolder;

  // Runs `talven --log log.txt --print out.txt ARGS prog.sas` here, with `env` (variable
  // assignments) before it.
  TalvenRun talven(const std::string& program, const std::string& env = "",
                   const std::string& args = "") const {
    write("prog.sas", program);
    return run_command(env + " " + talven_binary() + " --log log.txt --print out.txt " + args +
                       " prog.sas 2>stderr.txt");
  }

  // Runs a shell command here; log.txt, out.txt and stderr.txt are read back as the log, the
  // listing and standard error, so a command that writes them elsewhere leaves them empty.
  TalvenRun run_command(const std::string& command) const {
    for (const char* f : {"log.txt", "out.txt", "stderr.txt"}) fs::remove(path() / f);
    // Leaks are findings; a sanitizer report must not be mistaken for the program's own status.
    const std::string sanitizers =
        built_with_asan() ? "export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:"
                            "exitcode=86 UBSAN_OPTIONS=halt_on_error=1:exitcode=87; "
                          : "";
    const std::string full = "cd '" + path().string() + "' && " + sanitizers + command;
    const int raw = std::system(full.c_str());
    TalvenRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.log_text = read_file(path() / "log.txt");
    std::istringstream log(r.log_text);
    for (std::string line; std::getline(log, line);) r.log.push_back(line);
    r.listing = read_file(path() / "out.txt");
    r.stderr_text = read_file(path() / "stderr.txt");
    return r;
  }
};

// A small two-stage study with a fixed pseudo-random design: n subjects, about half of them in
// the stage-2 sample, treatments coded -1/1; z1 and z2 are spare numeric variables, site is
// character.
inline std::string small_study(int n) {
  uint64_t state = 20180502;
  auto uniform = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 11) / 9007199254740992.0;
  };
  std::ostringstream out;
  out.precision(6);
  out << "id,age,o11,a1,stage2,o21,a2,z1,z2,site,y\n";
  for (int i = 1; i <= n; ++i) {
    const double age = 30 + std::floor(uniform() * 40);
    const double o11 = uniform() * 2 - 1;
    const int a1 = uniform() < 0.5 ? -1 : 1;
    const bool second = uniform() < 0.55;
    const double o21 = uniform() * 2 - 1;
    const int a2 = uniform() < 0.5 ? -1 : 1;
    const double y = 0.5 + 0.02 * age + o11 * (0.4 + 0.3 * a1) +
                     (second ? o21 * (0.6 + 0.5 * a2) : 0.0) + uniform() - 0.5;
    out << i << ',' << age << ',' << o11 << ',' << a1 << ',' << (second ? 1 : 0) << ',';
    if (second) {
      out << o21 << ',' << a2;
    } else {
      out << ',';
    }
    out << ',' << uniform() << ',' << uniform() << ",site" << (i % 3) << ',' << y << '\n';
  }
  return out.str();
}

constexpr const char* kContrasts = "c1,c2,c3,c4,c5\n0,0,0,2,2\n0,0,0,-2,2\n";

// The statements of a complete model over small_study().
constexpr const char* kModel =
    "  MAIN1 age; TAILOR1 o11; STG1TRT a1; STG2SAMPLE stage2;\n"
    "  MAIN2 age; TAILOR2 o21; STG2TRT a2; RESPONSE y;\nRUN;\n";

}  // namespace e2e

#endif  // TALVEN_TESTS_E2E_E2E_SUPPORT_H
