// SoftHSMv2 with a token of its own: a temporary folder holding the
// configuration and the token directory, the token initialised with the
// benchmark's user PIN. The folder is removed afterwards.
#pragma once

#include <memory>
#include <string>

#include "common/loaded_module.h"
#include "common/p11_client.h"

namespace zorad::bench {

class SoftHsmToken {
 public:
  explicit SoftHsmToken(const std::string& libraryPath);
  ~SoftHsmToken();
  SoftHsmToken(const SoftHsmToken&) = delete;
  SoftHsmToken& operator=(const SoftHsmToken&) = delete;

  Client& client() { return *client_; }
  CK_SLOT_ID slot() const { return slot_; }

 private:
  void InitialiseToken();

  std::string folder_;
  std::unique_ptr<LoadedModule> module_;
  std::unique_ptr<Client> client_;
  CK_SLOT_ID slot_ = 0;
};

}  // namespace zorad::bench
