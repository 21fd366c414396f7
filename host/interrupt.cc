#include "host/interrupt.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

namespace host {
namespace {

volatile std::sig_atomic_t g_signal = 0;
std::atomic<StopRequest> g_stop{nullptr};
static_assert(std::atomic<StopRequest>::is_always_lock_free);

// The handler reads the name only while `g_temporary_set` is 1, which is set after the copy.
char g_temporary[4096];
volatile std::sig_atomic_t g_temporary_set = 0;

void on_signal(int signal) {
  if (g_signal == 0) {
    g_signal = signal;
    const StopRequest stop = g_stop.load();
    if (stop != nullptr) stop(1);
    return;
  }
  // Asked twice: end now, the way the signal ends a process, leaving no temporary file behind.
  if (g_temporary_set != 0) ::unlink(g_temporary);
  struct sigaction plain {};
  plain.sa_handler = SIG_DFL;
  sigemptyset(&plain.sa_mask);
  ::sigaction(signal, &plain, nullptr);
  ::raise(signal);
}

}  // namespace

StopRequest find_stop_request(const std::vector<std::filesystem::path>& folders) {
  for (const std::filesystem::path& folder : folders) {
    const std::filesystem::path file = folder / "libKestrion.so";
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) continue;
    // The procedure module links the same file, which the loader then shares with this handle.
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    return reinterpret_cast<StopRequest>(::dlsym(handle, "stopkestrion"));
  }
  return nullptr;
}

void install_interrupt_handlers(StopRequest stop) {
  g_stop.store(stop);
  struct sigaction action {};
  action.sa_handler = &on_signal;
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGINT, SIGTERM}) {
    // A signal the run was started to ignore (a background job, nohup) stays ignored.
    struct sigaction before {};
    if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

int interrupt_signal() {
  return static_cast<int>(g_signal);
}

std::string signal_name(int signal) {
  if (signal == SIGINT) return "SIGINT";
  if (signal == SIGTERM) return "SIGTERM";
  return "signal " + std::to_string(signal);
}

void check_interrupt() {
  if (g_signal != 0) throw RunInterrupted{static_cast<int>(g_signal)};
}

void set_temporary_file(const char* path) {
  g_temporary_set = 0;
  if (path == nullptr || std::strlen(path) >= sizeof g_temporary) return;
  std::memcpy(g_temporary, path, std::strlen(path) + 1);
  g_temporary_set = 1;
}

void reset_interrupt_for_testing() {
  g_signal = 0;
}

}  // namespace host
