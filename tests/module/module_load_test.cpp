// Loads the built module with dlopen, as a PKCS#11 application does, and
// walks its function list and export table.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "platform/cryptoki.h"

namespace {

class ModuleLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(ZORAD_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle_) << dlerror();
  }
  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }
  void* handle_ = nullptr;
};

TEST_F(ModuleLoadTest, FunctionListMatchesExportedSymbols) {
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
  ASSERT_NE(nullptr, getList);
  CK_FUNCTION_LIST_PTR list = nullptr;
  ASSERT_EQ(CKR_OK, getList(&list));
  EXPECT_EQ(2, list->version.major);
  EXPECT_EQ(11, list->version.minor);

  static const char* const kNames[] = {
      "C_Initialize", "C_Finalize", "C_GetInfo", "C_GetFunctionList", "C_GetSlotList",
      "C_GetSlotInfo", "C_GetTokenInfo", "C_GetMechanismList", "C_GetMechanismInfo",
      "C_InitToken", "C_InitPIN", "C_SetPIN", "C_OpenSession", "C_CloseSession",
      "C_CloseAllSessions", "C_GetSessionInfo", "C_GetOperationState",
      "C_SetOperationState", "C_Login", "C_Logout", "C_CreateObject", "C_CopyObject",
      "C_DestroyObject", "C_GetObjectSize", "C_GetAttributeValue", "C_SetAttributeValue",
      "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal", "C_EncryptInit",
      "C_Encrypt", "C_EncryptUpdate", "C_EncryptFinal", "C_DecryptInit", "C_Decrypt",
      "C_DecryptUpdate", "C_DecryptFinal", "C_DigestInit", "C_Digest", "C_DigestUpdate",
      "C_DigestKey", "C_DigestFinal", "C_SignInit", "C_Sign", "C_SignUpdate",
      "C_SignFinal", "C_SignRecoverInit", "C_SignRecover", "C_VerifyInit", "C_Verify",
      "C_VerifyUpdate", "C_VerifyFinal", "C_VerifyRecoverInit", "C_VerifyRecover",
      "C_DigestEncryptUpdate", "C_DecryptDigestUpdate", "C_SignEncryptUpdate",
      "C_DecryptVerifyUpdate", "C_GenerateKey", "C_GenerateKeyPair", "C_WrapKey",
      "C_UnwrapKey", "C_DeriveKey", "C_SeedRandom", "C_GenerateRandom",
      "C_GetFunctionStatus", "C_CancelFunction", "C_WaitForSlotEvent"};
  static_assert(std::size(kNames) == 68);
  void* const* entries = &reinterpret_cast<void* const&>(list->C_Initialize);
  for (size_t i = 0; i < std::size(kNames); ++i) {
    void* symbol = dlsym(handle_, kNames[i]);
    ASSERT_NE(nullptr, symbol) << kNames[i];
    EXPECT_EQ(symbol, entries[i]) << kNames[i] << " is entry " << i;
  }
}

TEST_F(ModuleLoadTest, OnlyTheStandardFunctionsAreExported) {
  // A few internal names that must not leak out of the module.
  for (const char* name : {"_ZN5zorad5trace11DebugPrintfEPKcz", "_ZN5zorad3api5StateEv"}) {
    EXPECT_EQ(nullptr, dlsym(handle_, name)) << name;
  }
}

TEST_F(ModuleLoadTest, StubsAndUninitialisedCallsAnswerAtOnce) {
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR f = nullptr;
  ASSERT_EQ(CKR_OK, getList(&f));
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, f->C_CloseAllSessions(0));
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, f->C_CancelFunction(0));
  CK_INFO info;
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, f->C_GetInfo(&info));
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, f->C_Finalize(nullptr));
}

}  // namespace
