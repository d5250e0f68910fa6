#include "common/softhsm_token.h"

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace zorad::bench {
namespace {

constexpr const char* kSoPin = "87654321";

std::vector<CK_UTF8CHAR> Utf8(const std::string& text) {
  return std::vector<CK_UTF8CHAR>(text.begin(), text.end());
}

}  // namespace

SoftHsmToken::SoftHsmToken(const std::string& libraryPath) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zorad-bench-softhsm-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) throw BenchError("cannot make a folder for SoftHSMv2");
  folder_ = name.data();
  std::filesystem::create_directory(folder_ + "/tokens");
  std::ofstream(folder_ + "/softhsm2.conf") << "directories.tokendir = " << folder_ << "/tokens\n"
                                            << "objectstore.backend = file\nlog.level = ERROR\n";
  setenv("SOFTHSM2_CONF", (folder_ + "/softhsm2.conf").c_str(), 1);
  module_ = std::make_unique<LoadedModule>(libraryPath);
  client_ = std::make_unique<Client>(module_->functions());
  client_->Initialize();
  InitialiseToken();
}

SoftHsmToken::~SoftHsmToken() {
  if (client_) client_->functions().C_Finalize(nullptr);
  client_.reset();
  module_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void SoftHsmToken::InitialiseToken() {
  CK_FUNCTION_LIST& f = client_->functions();
  CK_ULONG count = 0;
  Check(f.C_GetSlotList(CK_FALSE, nullptr, &count), "SoftHSM C_GetSlotList");
  std::vector<CK_SLOT_ID> slots(count);
  Check(f.C_GetSlotList(CK_FALSE, slots.data(), &count), "SoftHSM C_GetSlotList");
  if (count == 0) throw BenchError("SoftHSM has no slot");
  CK_UTF8CHAR label[32];
  std::memset(label, ' ', sizeof label);
  std::memcpy(label, "bench", 5);
  auto so = Utf8(kSoPin);
  Check(f.C_InitToken(slots.front(), so.data(), static_cast<CK_ULONG>(so.size()), label),
        "SoftHSM C_InitToken");
  slot_ = client_->FirstSlotWithToken();
  const CK_SESSION_HANDLE session = client_->Open(slot_);
  Check(f.C_Login(session, CKU_SO, so.data(), static_cast<CK_ULONG>(so.size())),
        "SoftHSM SO login");
  auto user = Utf8(kUserPin);
  Check(f.C_InitPIN(session, user.data(), static_cast<CK_ULONG>(user.size())), "SoftHSM C_InitPIN");
  client_->Logout(session);
  client_->Close(session);
}

}  // namespace zorad::bench
