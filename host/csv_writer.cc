#include "host/csv_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/interrupt.h"

namespace host {

namespace fs = std::filesystem;

namespace {

// Quoting keeps blanks and empty texts: the reader trims blanks around unquoted fields and reads
// an empty unquoted field as missing.
bool needs_quotes(std::string_view text) {
  if (text.empty()) return true;
  if (text.front() == ' ' || text.back() == ' ' || text.front() == '\t' || text.back() == '\t') {
    return true;
  }
  return text.find_first_of(",\"\r\n") != std::string_view::npos;
}

void append_text(std::string& out, std::string_view text) {
  if (!needs_quotes(text)) {
    out += text;
    return;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

void append_number(std::string& out, double value) {
  if (!std::isfinite(value)) return;  // missing; infinities have no CSV form the reader accepts
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

bool write_all(int fd, std::string_view bytes) {
#ifdef KESTRION_FAULT_INJECTION
  // Test builds: TALVEN_FAIL_OUTPUT_WRITE makes every output write stop halfway, as a full disk
  // would, so that the clean-up can be seen from the outside.
  if (std::getenv("TALVEN_FAIL_OUTPUT_WRITE") != nullptr) {
    const std::string_view half = bytes.substr(0, bytes.size() / 2);
    if (::write(fd, half.data(), half.size()) < 0) return false;
    errno = ENOSPC;
    return false;
  }
#endif
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// The rename is only durable once the folder's entry is on disk.
Result<void> sync_folder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return Failure{"its folder cannot be opened to flush it: " + std::string(std::strerror(errno))};
  std::string why;
  // Some file systems cannot flush a folder at all (EINVAL); nothing more can be done there.
  if (::fsync(fd) != 0 && errno != EINVAL) why = std::strerror(errno);
  ::close(fd);
  if (!why.empty()) return Failure{"its folder cannot be flushed to disk: " + why};
  return {};
}

}  // namespace

std::string format_csv(const DataTable& table) {
  std::string out;
  for (size_t c = 0; c < table.columns.size(); ++c) {
    if (c > 0) out += ',';
    append_text(out, table.columns[c].name);
  }
  out += '\n';
  for (int64_t r = 0; r < table.rows; ++r) {
    const auto row = static_cast<size_t>(r);
    for (size_t c = 0; c < table.columns.size(); ++c) {
      if (c > 0) out += ',';
      const Column& column = table.columns[c];
      if (column.type == VarType::kNumeric) {
        if (row < column.numbers.size()) append_number(out, column.numbers[row]);
      } else {
        append_text(out, row < column.texts.size() ? column.texts[row] : std::string());
      }
    }
    out += '\n';
  }
  return out;
}

Result<void> write_file_atomically(const fs::path& file, std::string_view bytes) {
  const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
  std::string hidden_name = ".";
  hidden_name += file.filename().string();
  hidden_name += ".XXXXXX";
  std::string pattern = (folder / hidden_name).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    return Failure{"a temporary file cannot be created in " + folder.string() + ": " +
                   std::strerror(errno)};
  }
  const std::string temporary(name.data());
  set_temporary_file(temporary.c_str());
  std::string why;
  if (!write_all(fd, bytes) || ::fsync(fd) != 0) why = std::strerror(errno);
  // A new file gets the permissions a newly created file would get, not mkstemp's 0600.
  if (why.empty()) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat existing {};
    const mode_t mode =
        ::stat(file.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : (0666 & ~mask);
    ::fchmod(fd, mode);
  }
  if (::close(fd) != 0 && why.empty()) why = std::strerror(errno);
  if (why.empty() && ::rename(temporary.c_str(), file.c_str()) != 0) why = std::strerror(errno);
  if (!why.empty()) ::unlink(temporary.c_str());
  set_temporary_file(nullptr);
  if (!why.empty()) return Failure{why};
  return sync_folder(folder);
}

Result<void> check_file_writable(const fs::path& file) {
  std::error_code ec;
  if (fs::is_directory(file, ec)) return Failure{"it is a folder"};
  const fs::path parent = file.parent_path().empty() ? fs::path(".") : file.parent_path();
  if (!fs::is_directory(parent, ec)) {
    return Failure{"the folder " + parent.string() + " does not exist"};
  }
  // The file is written beside itself and renamed, so the folder must take new files.
  if (::access(parent.c_str(), W_OK | X_OK) != 0) {
    return Failure{"the folder " + parent.string() + " does not accept new files (" +
                   std::strerror(errno) + ")"};
  }
  return {};
}

std::string write_failure(const std::string& shown, const std::filesystem::path& file,
                          const std::string& reason) {
  const bool same = std::filesystem::path(shown).lexically_normal() == file.lexically_normal();
  return "The data set " + shown + " could not be written" + (same ? "" : " to " + file.string()) +
         ": " + reason + ".";
}

}  // namespace host
