#include "common/loaded_module.h"

#include <dlfcn.h>

#include "common/p11_client.h"

namespace zorad::bench {

LoadedModule::LoadedModule(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) throw BenchError("cannot load " + path + ": " + dlerror());
  auto getFunctionList =
      reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
  if (getFunctionList == nullptr || getFunctionList(&functions_) != CKR_OK ||
      functions_ == nullptr) {
    dlclose(handle_);
    throw BenchError(path + " has no function list");
  }
}

LoadedModule::~LoadedModule() { dlclose(handle_); }

}  // namespace zorad::bench
