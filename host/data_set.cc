#include "host/data_set.h"

#include "host/text_util.h"

namespace host {

namespace fs = std::filesystem;

std::string DataSetRef::display() const {
  if (quoted) return path;
  return to_upper(libref) + "." + to_upper(member);
}

std::string Libraries::assign(const std::string& libref, const fs::path& folder) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    return "The folder " + folder.string() + " of library " + to_upper(libref) + " does not exist.";
  }
  folders_[to_upper(libref)] = folder;
  return {};
}

std::optional<fs::path> Libraries::folder(const std::string& libref) const {
  auto it = folders_.find(to_upper(libref));
  if (it == folders_.end()) return std::nullopt;
  return it->second;
}

fs::path locate_data_set(const DataSetRef& ref, const Libraries& libraries, std::string* error) {
  if (ref.quoted) {
    std::error_code ec;
    if (!fs::exists(ref.path, ec)) {
      *error = "File " + ref.path + " does not exist.";
      return {};
    }
    return ref.path;
  }
  const auto folder = libraries.folder(ref.libref);
  if (!folder) {
    *error = "Libref " + to_upper(ref.libref) + " is not assigned.";
    return {};
  }
  const std::string wanted = ref.member + ".csv";
  std::vector<fs::path> matches;
  std::error_code ec;
  for (fs::directory_iterator it(*folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (iequals(it->path().filename().string(), wanted)) matches.push_back(it->path());
  }
  if (ec) {
    *error = "The folder " + folder->string() + " of library " + to_upper(ref.libref) +
             " cannot be read: " + ec.message() + ".";
    return {};
  }
  if (matches.empty()) {
    *error = "Data set " + ref.display() + " does not exist (no file " + to_lower(wanted) + " in " +
             folder->string() + ").";
    return {};
  }
  if (matches.size() > 1) {
    *error = "Data set " + ref.display() + " is ambiguous: both " + matches[0].filename().string() +
             " and " + matches[1].filename().string() + " are in " + folder->string() + ".";
    return {};
  }
  return matches.front();
}

std::unique_ptr<TalvenDataSet> DataSetLoader::open(const DataSetRef& ref, std::string* error) {
  const fs::path file = locate_data_set(ref, libraries_, error);
  if (file.empty()) return nullptr;
  std::error_code ec;
  fs::path key = fs::weakly_canonical(file, ec);
  if (ec) key = file;
  auto it = cache_.find(key.string());
  std::shared_ptr<const DataTable> table;
  if (it != cache_.end()) {
    table = it->second;
  } else {
    CsvOutcome loaded = read_csv_file(file);
    if (!loaded.table) {
      *error = loaded.error + ".";
      return nullptr;
    }
    table = loaded.table;
    cache_.emplace(key.string(), table);
  }
  auto ds = std::make_unique<TalvenDataSet>();
  ds->table = std::move(table);
  ds->name = ref.display();
  return ds;
}

}  // namespace host
