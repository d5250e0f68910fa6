#include "module_loader.h"

#include <filesystem>
#include <system_error>

#include "tool_error.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace zorad::tool {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr const char* kModuleFileName = "zorad_pkcs11.dll";

void* OpenLibrary(const std::string& path, std::string& error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) error = "Windows error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(module);
}
void* LookUp(void* handle, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
void CloseLibrary(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }

fs::path ExecutableFolder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return {};
  return fs::path(std::string(path, length)).parent_path();
}
#else
constexpr const char* kModuleFileName = "zorad_pkcs11.so";

void* OpenLibrary(const std::string& path, std::string& error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* text = dlerror();
    error = text != nullptr ? text : "unknown error";
  }
  return handle;
}
void* LookUp(void* handle, const char* name) { return dlsym(handle, name); }
void CloseLibrary(void* handle) { dlclose(handle); }

fs::path ExecutableFolder() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : self.parent_path();
}
#endif

bool IsFile(const std::string& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

}  // namespace

LoadedModule::LoadedModule(const std::string& path) : path_(path) {
  std::string error;
  if (!IsFile(path)) {
    throw ToolError(ExitCode::kModule, "The PKCS#11 module '" + path +
                                           "' does not exist: give its path with --module.");
  }
  handle_ = OpenLibrary(path, error);
  if (handle_ == nullptr) {
    throw ToolError(ExitCode::kModule, "Cannot load the PKCS#11 module '" + path + "' (" + error +
                                           "): check that it is a module built for this system.");
  }
  auto getFunctionList =
      reinterpret_cast<CK_C_GetFunctionList>(LookUp(handle_, "C_GetFunctionList"));
  if (getFunctionList == nullptr) {
    CloseLibrary(handle_);
    throw ToolError(ExitCode::kModule,
                    "'" + path + "' has no C_GetFunctionList: it is not a PKCS#11 module.");
  }
  if (getFunctionList(&functions_) != CKR_OK || functions_ == nullptr) {
    CloseLibrary(handle_);
    throw ToolError(ExitCode::kModule,
                    "C_GetFunctionList of '" + path + "' failed: the module is unusable.");
  }
}

// The module stays loaded until the process ends: C_Finalize has released
// everything it holds, and unloading it only before exit would turn the
// memory its libraries keep for the process into apparent leaks.
LoadedModule::~LoadedModule() = default;

std::vector<std::string> DefaultModuleCandidates() {
  std::vector<std::string> candidates;
  const fs::path folder = ExecutableFolder();
  if (!folder.empty()) candidates.push_back((folder / kModuleFileName).string());
#ifdef ZORAD_TOOL_INSTALLED_MODULE
  candidates.push_back(ZORAD_TOOL_INSTALLED_MODULE);
#endif
#ifdef ZORAD_TOOL_BUILD_MODULE
  candidates.push_back(ZORAD_TOOL_BUILD_MODULE);
#endif
  return candidates;
}

std::string FindDefaultModule() {
  std::string searched;
  for (const std::string& candidate : DefaultModuleCandidates()) {
    if (IsFile(candidate)) return candidate;
    searched += "\n  " + candidate;
  }
  throw ToolError(ExitCode::kModule,
                  "The zorad_pkcs11 module was not found: give its path with --module PATH. "
                  "Searched:" +
                      searched);
}

}  // namespace zorad::tool
