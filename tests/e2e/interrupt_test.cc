// SIGINT and SIGTERM during a long bootstrap: the command stops at once, keeps the log it wrote,
// adds the interruption to it, exits with 128 + the signal, writes no output of the interrupted
// step and leaves no temporary file.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

extern char** environ;

namespace e2e {
namespace {

// Starts talven with SIGINT and SIGTERM at their default dispositions and unblocked, whatever the
// test runner gave this process.
pid_t start_talven(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  const std::string binary = talven_binary();
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, binary.c_str(), nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  return failed == 0 ? pid : -1;
}

bool log_has(const Folder& folder, const std::string& text) {
  return read_file(folder / "log.txt").find(text) != std::string::npos;
}

std::vector<std::string> hidden_files(const Folder& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder.path())) {
    const std::string name = entry.path().filename().string();
    if (name.front() == '.') names.push_back(name);
  }
  return names;
}

TEST(Interrupt, ASignalStopsTheRunAndKeepsTheLogAndEarlierOutputs) {
  const struct {
    int signal;
    const char* name;
    int status;
  } cases[] = {{SIGINT, "SIGINT", 130}, {SIGTERM, "SIGTERM", 143}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Folder folder("interrupt");
    folder.write("study.csv", small_study(300));
    // Step 1 writes est.csv; step 2 would replace it and write regime.csv, but runs for minutes.
    folder.write("prog.sas", std::string("PROC TALVEN DATA=study OUTEST=est;\n") + kModel +
                                 "PROC TALVEN DATA=study DERIVECI SEED=5 NBOOTSTRAP1=100000 "
                                 "NBOOTSTRAP2=2000 NGRID=10 OUTEST=est OUT=regime;\n" +
                                 kModel + "PROC TALVEN DATA=study OUTEST=later;\n" + kModel);
    const pid_t pid =
        start_talven({"-L", folder.path().string(), "--log", (folder / "log.txt").string(),
                      "--print", (folder / "out.txt").string(), (folder / "prog.sas").string()});
    ASSERT_GT(pid, 0);

    // The second step has begun once its seed is in the log; its bootstrap a moment later.
    const auto begun = std::chrono::steady_clock::now();
    while (!log_has(folder, "NOTE: The bootstrap used SEED=5.") &&
           std::chrono::steady_clock::now() - begun < std::chrono::seconds(60)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string est_before = read_file(folder / "est.csv");
    ASSERT_FALSE(est_before.empty()) << read_file(folder / "log.txt");

    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(pid, c.signal), 0);
    int raw = 0;
    ASSERT_EQ(waitpid(pid, &raw, 0), pid);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    std::printf("talven stopped %.3f s after %s\n", seconds, c.name);

    const std::string log = read_file(folder / "log.txt");
    ASSERT_TRUE(WIFEXITED(raw)) << log;
    EXPECT_EQ(WEXITSTATUS(raw), c.status) << log;
    EXPECT_LT(seconds, 5.0);
    EXPECT_NE(log.find("NOTE: PROCEDURE TALVEN used"), std::string::npos) << "step 1 is logged";
    EXPECT_NE(log.find("ERROR: The analysis was interrupted.\n"), std::string::npos) << log;
    EXPECT_NE(log.find(std::string("ERROR: The run was interrupted by signal ") + c.name + ".\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("WORK.LATER"), std::string::npos) << "no step after the interrupted one";
    EXPECT_EQ(read_file(folder / "est.csv"), est_before);
    EXPECT_FALSE(fs::exists(folder / "regime.csv"));
    EXPECT_FALSE(fs::exists(folder / "later.csv"));
    EXPECT_EQ(hidden_files(folder), std::vector<std::string>{});
    EXPECT_NE(read_file(folder / "out.txt").find("TALVEN"), std::string::npos)
        << "the listing of step 1 is flushed";
  }
}

}  // namespace
}  // namespace e2e
