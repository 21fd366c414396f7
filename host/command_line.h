// The talven command: its options, and the work behind --help and --version.
#ifndef TALVEN_HOST_COMMAND_LINE_H
#define TALVEN_HOST_COMMAND_LINE_H

#include <optional>
#include <string>
#include <vector>

namespace host {

inline constexpr const char* kHostVersion = "1.0.0";

struct CommandLine {
  enum class Source { kNone, kFile, kText, kStdin };
  Source source = Source::kNone;
  std::string program;  // file name or program text
  std::string lib = ".";
  std::optional<std::string> log_file;
  std::optional<std::string> print_file;
  std::optional<std::string> html_file;
  std::optional<std::string> debug;
  bool help = false;
  bool version = false;
};

// Empty *error on success.
CommandLine parse_command_line(const std::vector<std::string>& args, std::string* error);

std::string usage_text();

// Host, module and library versions, one per line. Modules and the library are looked for the
// way PROC TALVEN finds them.
std::string version_text();

// The whole command: returns the exit status.
int run_command(const std::vector<std::string>& args);

}  // namespace host

#endif  // TALVEN_HOST_COMMAND_LINE_H
