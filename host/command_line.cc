#include "host/command_line.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>

#include "host/interrupt.h"
#include "host/log.h"
#include "host/module_loader.h"
#include "host/runner.h"
#include "host/text_util.h"
#include "talven_host.h"

namespace host {

namespace fs = std::filesystem;

namespace {

// --option=VALUE: the value into *target.
bool inline_value(const std::string& a, const std::string& option,
                  std::optional<std::string>* target) {
  if (a.rfind(option + "=", 0) == 0) {
    *target = a.substr(option.size() + 1);
    return true;
  }
  return false;
}

// The arguments in order; the first error stops the reading.
class ArgumentReader {
 public:
  ArgumentReader(const std::vector<std::string>& args, std::string* error)
      : args_(args), error_(error) {}

  CommandLine read() {
    error_->clear();
    for (i_ = 0; i_ < args_.size() && error_->empty(); ++i_) argument(args_[i_]);
    if (error_->empty() && !cl_.help && !cl_.version && cl_.source == CommandLine::Source::kNone) {
      *error_ = "no program given";
    }
    return cl_;
  }

 private:
  void argument(const std::string& a) {
    if (program_argument(a) || library_argument(a) || output_argument(a)) return;
    if (a.size() > 1 && a[0] == '-') {
      *error_ = "unknown option " + a;
    } else {
      set_source(CommandLine::Source::kFile, a);
    }
  }

  // -h, --help, --version, -e TEXT and -.
  bool program_argument(const std::string& a) {
    if (a == "-h" || a == "--help") {
      cl_.help = true;
    } else if (a == "--version") {
      cl_.version = true;
    } else if (a == "-e") {
      if (const std::optional<std::string> v = value(a)) set_source(CommandLine::Source::kText, *v);
    } else if (a == "-") {
      set_source(CommandLine::Source::kStdin, "");
    } else {
      return false;
    }
    return true;
  }

  // -L DIR, --lib DIR, -LDIR and --lib=DIR.
  bool library_argument(const std::string& a) {
    std::optional<std::string> v;
    if (a == "-L" || a == "--lib") {
      if ((v = value(a))) cl_.lib = *v;
    } else if (a.size() > 2 && a.rfind("-L", 0) == 0) {
      cl_.lib = a.substr(2);
    } else if (inline_value(a, "--lib", &v)) {
      cl_.lib = *v;
    } else {
      return false;
    }
    return true;
  }

  // --log, --print, --html and --debug, each with its value apart or after =.
  bool output_argument(const std::string& a) {
    if (a == "--log") {
      cl_.log_file = value(a);
    } else if (inline_value(a, "--log", &cl_.log_file) ||
               inline_value(a, "--print", &cl_.print_file) ||
               inline_value(a, "--html", &cl_.html_file) ||
               inline_value(a, "--debug", &cl_.debug)) {
    } else if (a == "--print") {
      cl_.print_file = value(a);
    } else if (a == "--html") {
      cl_.html_file = value(a);
    } else if (a == "--debug") {
      cl_.debug = value(a);
    } else {
      return false;
    }
    return true;
  }

  void set_source(CommandLine::Source s, const std::string& value) {
    if (cl_.source != CommandLine::Source::kNone) {
      *error_ = "give one program only: a file, -e TEXT or -";
      return;
    }
    cl_.source = s;
    cl_.program = value;
  }

  // The argument after an option that takes one.
  std::optional<std::string> value(const std::string& option) {
    if (i_ + 1 >= args_.size()) {
      *error_ = "option " + option + " needs a value";
      return std::nullopt;
    }
    return args_[++i_];
  }

  const std::vector<std::string>& args_;
  std::string* error_;
  CommandLine cl_;
  size_t i_ = 0;
};

}  // namespace

CommandLine parse_command_line(const std::vector<std::string>& args, std::string* error) {
  return ArgumentReader(args, error).read();
}

std::string usage_text() {
  return "usage: talven [OPTIONS] PROGRAM.sas     run every step of a program file\n"
         "       talven [OPTIONS] -e 'TEXT'        run program text given on the command line\n"
         "       talven [OPTIONS] -                read the program from standard input\n"
         "  -L, --lib DIR      folder of the WORK library (default: the current folder)\n"
         "  --log FILE         write the log to FILE (default: standard error)\n"
         "  --print FILE       write the listing to FILE (default: standard output)\n"
         "  --html FILE        also write an HTML report of the whole run to FILE\n"
         "  --debug TEXT       the host value DEBUG that a procedure reads at start-up\n"
         "  -h, --help         this text;  --version  version of the host, module and library\n"
         "Exit status: 0 success, 1 warnings, 2 errors.\n"
         "Statements, options, data formats and messages: see the user guide, docs/user-guide.md\n"
         "in the TALVEN source tree (installed as share/doc/talven/user-guide.md).\n";
}

namespace {

// mcn_main only stores the anchor and returns static data, so it is safe to call outside a step.
int32_t no_value(const char*, char*, int32_t) {
  return -1;
}
TalvenSupportEntry no_module(const char*) {
  return nullptr;
}
void no_message(const char*) {}
void no_end(int32_t) {}
const TalvenAnchor kIdleAnchor = {sizeof(TalvenAnchor), &no_value, &no_module, &no_message,
                                  &no_end};

std::string module_version() {
  ModuleLoader loader(default_module_folders());
  const Result<TalvenMcnMain> entry = loader.load("TALVEN");
  if (!entry) return "procedure module: not available (" + entry.error() + ")";
  const TalvenImageInformation* info = (*entry)(&kIdleAnchor);
  if (info == nullptr || std::memcmp(info->tag, TALVEN_IMAGE_TAG, TALVEN_IMAGE_TAG_LENGTH) != 0) {
    return "procedure module: libtalven.so has no image information";
  }
  std::string out = "procedure module libtalven.so: host interface ";
  out += info->interfaceVersion != nullptr ? info->interfaceVersion : "?";
  out += " (";
  out += info->interfaceRelease != nullptr ? info->interfaceRelease : "?";
  out += "), built ";
  out += info->buildDate != nullptr ? info->buildDate : "?";
  return out;
}

std::string library_version() {
  for (const fs::path& folder : default_module_folders()) {
    const fs::path file = folder / "libKestrion.so";
    std::error_code ec;
    if (!fs::exists(file, ec)) continue;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return "compute library libKestrion.so: cannot be loaded";
    using CheckVersion = void (*)(const int32_t*, uint8_t*);
    auto check = reinterpret_cast<CheckVersion>(dlsym(handle, "checkversion"));
    if (check == nullptr) return "compute library libKestrion.so: no checkversion";
    const int32_t wanted[3] = {1, 0, 0};
    uint8_t mismatch = 255;
    check(wanted, &mismatch);
    return mismatch == 0 ? "compute library libKestrion.so: interface 1.0.0"
                         : "compute library libKestrion.so: not interface 1.0.0";
  }
  return "compute library libKestrion.so: not found";
}

bool read_stream(std::istream& in, std::string* text) {
  text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// What the HTML reports show of the run.
Report report_info(const CommandLine& cl) {
  Report info;
  info.program = cl.source == CommandLine::Source::kFile   ? cl.program
                 : cl.source == CommandLine::Source::kText ? "program text given with -e"
                                                           : "standard input";
  static const char* const kNames[] = {"Command", "Procedure module", "Compute library"};
  std::istringstream versions(version_text());
  std::string line;
  for (const char* name : kNames) {
    if (!std::getline(versions, line)) break;
    // "procedure module libtalven.so: ..." under the name "Procedure module".
    if (istarts_with(line, std::string(name) + " ")) line.erase(0, std::strlen(name) + 1);
    info.settings.push_back({name, line});
  }
  info.settings.push_back({"WORK library", cl.lib});
  return info;
}

// The program's text from -e, standard input or its file; false after saying why not.
bool read_program(const CommandLine& cl, std::string* text) {
  if (cl.source == CommandLine::Source::kText) {
    *text = cl.program;
    return true;
  }
  if (cl.source == CommandLine::Source::kStdin) {
    if (read_stream(std::cin, text)) return true;
    std::fprintf(stderr, "talven: the program cannot be read from standard input\n");
    return false;
  }
  std::error_code ec;
  if (fs::is_directory(cl.program, ec)) {
    std::fprintf(stderr, "talven: the program file %s is a folder\n", cl.program.c_str());
    return false;
  }
  std::ifstream in(cl.program, std::ios::binary);
  if (!in || !read_stream(in, text)) {
    std::fprintf(stderr, "talven: the program file %s cannot be read: %s\n", cl.program.c_str(),
                 std::strerror(errno));
    return false;
  }
  return true;
}

// --log or --print FILE opened for writing, when given; false after saying why not.
bool open_output(const std::optional<std::string>& file, const char* what, FilePtr* out) {
  if (!file) return true;
  out->reset(std::fopen(file->c_str(), "w"));
  if (*out) return true;
  std::fprintf(stderr, "talven: the %s %s cannot be written: %s\n", what, file->c_str(),
               std::strerror(errno));
  return false;
}

RunSettings run_settings(const CommandLine& cl) {
  RunSettings settings;
  settings.report_info = report_info(cl);
  if (cl.source == CommandLine::Source::kFile) {
    settings.protected_files.emplace_back(cl.program, "the program");
  }
  if (cl.log_file) settings.protected_files.emplace_back(*cl.log_file, "the log");
  if (cl.print_file) settings.protected_files.emplace_back(*cl.print_file, "the listing");
  settings.work = cl.lib;
  settings.debug = cl.debug;
  settings.module_folders = default_module_folders();
  return settings;
}

}  // namespace

std::string version_text() {
  return std::string("talven ") + kHostVersion + "\n" + module_version() + "\n" +
         library_version() + "\n";
}

int run_command(const std::vector<std::string>& args) {
  std::string error;
  const CommandLine cl = parse_command_line(args, &error);
  if (!error.empty()) {
    std::fprintf(stderr, "talven: %s\n%s", error.c_str(), usage_text().c_str());
    return 2;
  }
  if (cl.help) {
    std::fputs(usage_text().c_str(), stdout);
    return 0;
  }
  if (cl.version) {
    std::fputs(version_text().c_str(), stdout);
    return 0;
  }

  std::error_code ec;
  if (!fs::is_directory(cl.lib, ec)) {
    std::fprintf(stderr, "talven: the WORK folder %s does not exist\n", cl.lib.c_str());
    return 2;
  }

  std::string text;
  if (!read_program(cl, &text)) return 2;

  FilePtr log_file;
  FilePtr print_file;
  if (!open_output(cl.log_file, "log file", &log_file) ||
      !open_output(cl.print_file, "listing file", &print_file)) {
    return 2;
  }
  // Line by line, so that an interrupted or killed run keeps every line written before it ended.
  if (log_file) std::setvbuf(log_file.get(), nullptr, _IOLBF, BUFSIZ);
  Log log(log_file ? log_file.get() : stderr);
  Listing listing(print_file ? print_file.get() : stdout);

  RunSettings settings = run_settings(cl);
  install_interrupt_handlers(find_stop_request(settings.module_folders));
  // Only a person watching the log on a terminal wants a progress line; a log file never gets it.
  if (!log_file && ::isatty(::fileno(stderr)) == 1) settings.progress = stderr;
  ProgramRunner runner(settings, log, listing);
  int status = 2;
  const Result<void> report = cl.html_file ? runner.open_html(*cl.html_file) : Result<void>();
  if (report) {
    status = runner.run(text);
  } else {
    // Before any step: a long run must not end in a report that cannot be written.
    log.error("The HTML report cannot be written to " + *cl.html_file + ": " + report.error() +
              ". No step was run.");
  }

  // A log or listing that could not be written completely is a failure, not a success.
  for (std::FILE* f : {log_file.get(), print_file.get(), stdout}) {
    if (f != nullptr && (std::fflush(f) != 0 || std::ferror(f))) {
      std::fprintf(stderr, "talven: writing the %s failed\n",
                   f == log_file.get() ? "log" : "listing");
      status = 2;
    }
  }
  return status;
}

}  // namespace host
