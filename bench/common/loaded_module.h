// A PKCS#11 module loaded from its file, as an application loads one.
#pragma once

#include <string>

#include "platform/cryptoki.h"

namespace zorad::bench {

class LoadedModule {
 public:
  // Throws BenchError when the file cannot be loaded or has no function list.
  explicit LoadedModule(const std::string& path);
  ~LoadedModule();
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  CK_FUNCTION_LIST* functions() const { return functions_; }

 private:
  void* handle_ = nullptr;
  CK_FUNCTION_LIST* functions_ = nullptr;
};

}  // namespace zorad::bench
