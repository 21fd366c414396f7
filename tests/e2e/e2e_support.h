// Runs the built talven command in a private temporary folder, for the end-to-end tests of bad
// input and failure injection.
#ifndef TALVEN_TESTS_E2E_E2E_SUPPORT_H
#define TALVEN_TESTS_E2E_E2E_SUPPORT_H

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;

struct TalvenRun {
  int status = -1;  // exit status; -1 when killed by a signal
  std::vector<std::string> log;
  std::string stderr_text;

  bool has(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }
  std::string first_error() const {
    for (const std::string& l : log) {
      if (l.rfind("ERROR: ", 0) == 0) return l;
    }
    return "";
  }
  std::string first_warning() const {
    for (const std::string& l : log) {
      if (l.rfind("WARNING: ", 0) == 0) return l;
    }
    return "";
  }
  std::string all() const {
    std::string out;
    for (const std::string& l : log) out += l + "\n";
    return out + stderr_text;
  }
};

inline std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

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

class Folder {
 public:
  explicit Folder(const std::string& tag)
      : dir_(fs::temp_directory_path() / ("talven_" + tag + "_" + std::to_string(::getpid()))) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  const fs::path& path() const { return dir_; }
  void write(const std::string& name, const std::string& bytes) const {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
  }

  // Runs `talven ARGS prog.sas` here with `env` before it; the log is read back line by line.
  TalvenRun talven(const std::string& program, const std::string& env = "",
                   const std::string& args = "") const {
    write("prog.sas", program);
    fs::remove(dir_ / "log.txt");
    fs::remove(dir_ / "stderr.txt");
    // Leaks are findings; a sanitizer report must not be mistaken for the program's own status.
    const std::string asan =
        built_with_asan() ? "ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:exitcode=86 "
                            "UBSAN_OPTIONS=halt_on_error=1:exitcode=87 "
                          : "";
    const std::string command = "cd '" + dir_.string() + "' && " + asan + env + " " +
                                TALVEN_BINARY_DIR "/bin/talven --log log.txt --print out.txt " +
                                args + " prog.sas 2>stderr.txt";
    const int raw = std::system(command.c_str());
    TalvenRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::istringstream log(read_file(dir_ / "log.txt"));
    for (std::string line; std::getline(log, line);) r.log.push_back(line);
    r.stderr_text = read_file(dir_ / "stderr.txt");
    return r;
  }

 private:
  fs::path dir_;
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
