// Finds and loads procedure modules: PROC NAME is lib<name>.so beside the executable or in
// ../lib beside it.
#ifndef TALVEN_HOST_MODULE_LOADER_H
#define TALVEN_HOST_MODULE_LOADER_H

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "host/result.h"
#include "talven_host.h"

namespace host {

// The folder of the running executable and ../lib beside it.
std::vector<std::filesystem::path> default_module_folders();

class ModuleLoader {
 public:
  explicit ModuleLoader(std::vector<std::filesystem::path> folders)
      : folders_(std::move(folders)) {}
  ModuleLoader(const ModuleLoader&) = delete;
  ModuleLoader& operator=(const ModuleLoader&) = delete;

  // The module's mcn_main. Modules stay loaded for the run.
  Result<TalvenMcnMain> load(const std::string& procedure);

 private:
  std::vector<std::filesystem::path> folders_;
  std::map<std::string, TalvenMcnMain> loaded_;
};

}  // namespace host

#endif  // TALVEN_HOST_MODULE_LOADER_H
