// Data sets as the host hands them to procedures: a loaded table and the name users see.
#ifndef TALVEN_HOST_DATA_SET_H
#define TALVEN_HOST_DATA_SET_H

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/data_table.h"
#include "host/result.h"

// The opaque handle of the module interface.
struct TalvenDataSet {
  // As the procedure sees it: through data set options, WHERE and BY.
  std::shared_ptr<const host::DataTable> table;
  std::string name;        // "WORK.STUDY", or the path as written
  std::string where_text;  // the WHERE expression that selected the observations, if any
  std::vector<int32_t> declared;
};

namespace host {

struct DataSetOptions;

// How a statement names a data set.
struct DataSetRef {
  std::string libref;  // empty for a quoted path
  std::string member;
  std::string path;  // quoted form
  bool quoted = false;
  std::shared_ptr<const DataSetOptions> options;  // (KEEP= ...), if written
  std::string display() const;                    // "WORK.STUDY" or the path
};

class Libraries {
 public:
  explicit Libraries(std::filesystem::path work) { folders_["WORK"] = std::move(work); }
  // `delimiter`: the one the library's text files are read with (LIBNAME DLM=); none: each
  // file's own, as the CSV reader finds it.
  Result<void> assign(const std::string& libref, const std::filesystem::path& folder,
                      std::optional<char> delimiter = {});
  std::optional<std::filesystem::path> folder(const std::string& libref) const;
  std::optional<char> delimiter(const std::string& libref) const;

 private:
  std::map<std::string, std::filesystem::path> folders_;  // keys upper case
  std::map<std::string, char> delimiters_;
};

struct LocatedFile {
  std::filesystem::path path;
  std::string note;  // when files of several kinds exist: which one is used
};

// Finds the file of a data set: in a library folder MEMBER.csv, MEMBER.sas7bdat or MEMBER.xpt
// with the name matched without regard to case, in that order of preference. Fails when there is
// none (or two that differ only in case).
Result<LocatedFile> locate_data_set(const DataSetRef& ref, const Libraries& libraries);

// True when the file is read as a SAS data set (.sas7bdat or .xpt, in any case).
bool is_sas_file(const std::filesystem::path& file);

// The file an output data set is written to: in a library folder MEMBER.csv (an existing file of
// that name in another case is replaced under its own name, a new one is named in lower case);
// a quoted path must end in .csv. Checks that the folder exists and can be written.
Result<std::filesystem::path> locate_output_data_set(const DataSetRef& ref,
                                                     const Libraries& libraries);

// Loads data sets. Tables are cached per loader, so a file named twice in one step is read once.
class DataSetLoader {
 public:
  explicit DataSetLoader(const Libraries& libraries) : libraries_(libraries) {}
  virtual ~DataSetLoader() = default;
  virtual Result<std::unique_ptr<TalvenDataSet>> open(const DataSetRef& ref);

  const Libraries& libraries() const { return libraries_; }
  // Receives the notes of the lookup (which of several files was read).
  void set_note_sink(std::function<void(const std::string&)> sink) { note_sink_ = std::move(sink); }

 private:
  struct Loaded {
    std::shared_ptr<const DataTable> table;
    std::string note;  // how the file was read, when the reader chose for the user
  };
  const Libraries& libraries_;
  std::function<void(const std::string&)> note_sink_;
  std::map<std::string, Loaded> cache_;
};

}  // namespace host

#endif  // TALVEN_HOST_DATA_SET_H
