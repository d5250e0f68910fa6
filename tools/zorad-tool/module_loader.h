// Loading a PKCS#11 module by path and taking its function list; the only
// symbol looked up is C_GetFunctionList.
#pragma once

#include <string>
#include <vector>

#include "platform/cryptoki.h"

namespace zorad::tool {

class LoadedModule {
 public:
  // Throws ToolError (kModule) when the file cannot be loaded, has no
  // C_GetFunctionList or that call fails. The module is not unloaded.
  explicit LoadedModule(const std::string& path);
  ~LoadedModule();
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  CK_FUNCTION_LIST* functions() const { return functions_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  void* handle_ = nullptr;
  CK_FUNCTION_LIST* functions_ = nullptr;
};

// The places the product's own module is looked for, in order: beside the
// tool's executable, the installed module, the module of the build tree.
std::vector<std::string> DefaultModuleCandidates();

// The first candidate that exists; throws ToolError (kModule) naming the
// places searched when none does.
std::string FindDefaultModule();

}  // namespace zorad::tool
