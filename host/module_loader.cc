#include "host/module_loader.h"

#include <dlfcn.h>

#include "host/text_util.h"

namespace host {

namespace fs = std::filesystem;

std::vector<fs::path> default_module_folders() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  const fs::path dir = exe.parent_path();
  return {dir, dir / ".." / "lib"};
}

Result<TalvenMcnMain> ModuleLoader::load(const std::string& procedure) {
  const std::string file = "lib" + to_lower(procedure) + ".so";
  auto cached = loaded_.find(file);
  if (cached != loaded_.end()) return cached->second;
  for (const fs::path& folder : folders_) {
    const fs::path candidate = folder / file;
    std::error_code ec;
    if (!fs::exists(candidate, ec)) continue;
    dlerror();
    void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = dlerror();
      return Failure{"The module of PROCEDURE " + to_upper(procedure) + " (" + candidate.string() +
                     ") cannot be loaded: " + (why != nullptr ? why : "unknown reason") + "."};
    }
    void* symbol = dlsym(handle, "mcn_main");
    if (symbol == nullptr) {
      dlclose(handle);
      return Failure{"The module " + candidate.string() +
                     " has no entry mcn_main; it is not a procedure module."};
    }
    auto entry = reinterpret_cast<TalvenMcnMain>(symbol);
    loaded_.emplace(file, entry);
    return entry;
  }
  return Failure{"Procedure " + to_upper(procedure) + " not found."};
}

}  // namespace host
