#include "host/data_set.h"

#include <algorithm>
#include <iterator>

#include "host/csv_reader.h"
#include "host/csv_writer.h"
#include "host/sas_reader.h"
#include "host/text_util.h"

namespace host {

namespace fs = std::filesystem;

std::string DataSetRef::display() const {
  if (quoted) return path;
  return to_upper(libref) + "." + to_upper(member);
}

Result<void> Libraries::assign(const std::string& libref, const fs::path& folder,
                               std::optional<char> delimiter) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    return Failure{"The folder " + folder.string() + " of library " + to_upper(libref) +
                   " does not exist."};
  }
  folders_[to_upper(libref)] = folder;
  if (delimiter) {
    delimiters_[to_upper(libref)] = *delimiter;
  } else {
    delimiters_.erase(to_upper(libref));
  }
  return {};
}

std::optional<char> Libraries::delimiter(const std::string& libref) const {
  auto it = delimiters_.find(to_upper(libref));
  if (it == delimiters_.end()) return std::nullopt;
  return it->second;
}

std::optional<fs::path> Libraries::folder(const std::string& libref) const {
  auto it = folders_.find(to_upper(libref));
  if (it == folders_.end()) return std::nullopt;
  return it->second;
}

namespace {

// Kinds of data set file in a library folder, in order of preference.
constexpr const char* kExtensions[] = {".csv", ".sas7bdat", ".xpt"};

bool ends_with_ignoring_case(const std::string& name, std::string_view ending) {
  return name.size() >= ending.size() &&
         iequals(std::string_view(name).substr(name.size() - ending.size()), ending);
}

std::string folder_unreadable(const fs::path& folder, const std::string& libref,
                              const std::error_code& ec) {
  return "The folder " + folder.string() + " of library " + to_upper(libref) +
         " cannot be read: " + ec.message() + ".";
}

std::string with_period(std::string text) {
  if (text.empty() || text.back() != '.') text += '.';
  return text;
}

std::string list_names(const std::vector<fs::path>& files) {
  std::string out;
  for (size_t k = 0; k < files.size(); ++k) {
    if (k > 0) out += k + 1 == files.size() ? " and " : ", ";
    out += files[k].filename().string();
  }
  return out;
}

}  // namespace

bool is_sas_file(const fs::path& file) {
  const std::string name = file.filename().string();
  return ends_with_ignoring_case(name, ".sas7bdat") || ends_with_ignoring_case(name, ".xpt");
}

Result<LocatedFile> locate_data_set(const DataSetRef& ref, const Libraries& libraries) {
  if (ref.quoted) {
    std::error_code ec;
    if (!fs::exists(ref.path, ec)) return Failure{"File " + ref.path + " does not exist."};
    return LocatedFile{ref.path, {}};
  }
  const auto folder = libraries.folder(ref.libref);
  if (!folder) return Failure{"Libref " + to_upper(ref.libref) + " is not assigned."};
  constexpr size_t kKinds = std::size(kExtensions);
  std::vector<fs::path> matches[kKinds];
  std::error_code ec;
  for (fs::directory_iterator it(*folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    for (size_t k = 0; k < kKinds; ++k) {
      if (iequals(name, ref.member + kExtensions[k])) matches[k].push_back(it->path());
    }
  }
  if (ec) return Failure{folder_unreadable(*folder, ref.libref, ec)};
  size_t chosen = kKinds;
  for (size_t k = 0; k < kKinds && chosen == kKinds; ++k) {
    if (!matches[k].empty()) chosen = k;
  }
  if (chosen == kKinds) {
    const std::string stem = to_lower(ref.member);
    return Failure{"Data set " + ref.display() + " does not exist (no file " + stem + ".csv, " +
                   stem + ".sas7bdat or " + stem + ".xpt in " + folder->string() + ")."};
  }
  std::vector<fs::path>& found = matches[chosen];
  if (found.size() > 1) {
    std::sort(found.begin(), found.end());
    return Failure{"Data set " + ref.display() + " is ambiguous: both " +
                   found[0].filename().string() + " and " + found[1].filename().string() +
                   " are in " + folder->string() + "."};
  }
  std::vector<fs::path> ignored;
  for (size_t k = chosen + 1; k < kKinds; ++k) {
    ignored.insert(ignored.end(), matches[k].begin(), matches[k].end());
  }
  LocatedFile located{found.front(), {}};
  if (!ignored.empty()) {
    located.note = "Data set " + ref.display() + " is read from " +
                   found.front().filename().string() + "; " + list_names(ignored) +
                   " in the same folder " + (ignored.size() == 1 ? "is" : "are") + " not used.";
  }
  return located;
}

Result<fs::path> locate_output_data_set(const DataSetRef& ref, const Libraries& libraries) {
  std::error_code ec;
  fs::path file;
  if (ref.quoted) {
    file = ref.path;
    if (!ends_with_ignoring_case(file.filename().string(), ".csv")) {
      return Failure{"File " + ref.path +
                     " cannot be written: output data sets are CSV files, so its "
                     "name must end in .csv."};
    }
  } else {
    const auto folder = libraries.folder(ref.libref);
    if (!folder) {
      return Failure{"Libref " + to_upper(ref.libref) + " is not assigned."};
    }
    std::vector<fs::path> same;
    for (fs::directory_iterator it(*folder, ec), end; !ec && it != end; it.increment(ec)) {
      if (iequals(it->path().filename().string(), ref.member + ".csv")) {
        same.push_back(it->path());
      }
    }
    if (ec) {
      return Failure{folder_unreadable(*folder, ref.libref, ec)};
    }
    if (same.size() > 1) {
      std::sort(same.begin(), same.end());
      return Failure{"Data set " + ref.display() + " is ambiguous: both " +
                     same[0].filename().string() + " and " + same[1].filename().string() +
                     " are in " + folder->string() + "."};
    }
    file = same.empty() ? *folder / (to_lower(ref.member) + ".csv") : same.front();
  }
  const Result<void> writable = check_file_writable(file);
  if (!writable)
    return Failure{"File " + file.string() + " cannot be written: " + writable.error() + "."};
  return file;
}

Result<std::unique_ptr<TalvenDataSet>> DataSetLoader::open(const DataSetRef& ref) {
  const Result<LocatedFile> located = locate_data_set(ref, libraries_);
  if (!located) return Failure{located.error()};
  const fs::path& file = located->path;
  if (!located->note.empty() && note_sink_) note_sink_(located->note);
  std::error_code ec;
  fs::path key = fs::weakly_canonical(file, ec);
  if (ec) key = file;
  auto it = cache_.find(key.string());
  if (it == cache_.end()) {
    Loaded loaded;
    const std::optional<char> delimiter =
        ref.quoted ? std::nullopt : libraries_.delimiter(ref.libref);
    const ReadOutcome read =
        is_sas_file(file) ? read_sas_file(file) : read_csv_file(file, delimiter, &loaded.note);
    if (!read) return Failure{with_period(read.error())};
    loaded.table = *read;
    it = cache_.emplace(key.string(), std::move(loaded)).first;
  }
  if (!it->second.note.empty() && note_sink_) note_sink_(it->second.note);
  std::shared_ptr<const DataTable> table = it->second.table;
  auto ds = std::make_unique<TalvenDataSet>();
  ds->table = std::move(table);
  ds->name = ref.display();
  return ds;
}

}  // namespace host
