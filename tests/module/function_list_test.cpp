// The function list and the stub groups.
#include <gtest/gtest.h>

#include <functional>

#include "support/module_fixture.h"

namespace zorad::test {
namespace {

class FunctionListTest : public ModuleTest {
 protected:
  CK_FUNCTION_LIST_PTR List() {
    CK_FUNCTION_LIST_PTR list = nullptr;
    EXPECT_CKR(CKR_OK, C_GetFunctionList(&list));
    return list;
  }
};

TEST_F(FunctionListTest, NullPointerIsRefused) {
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_GetFunctionList(nullptr));
}

TEST_F(FunctionListTest, VersionAndEntriesMatchTheExports) {
  CK_FUNCTION_LIST_PTR list = List();
  ASSERT_NE(nullptr, list);
  EXPECT_EQ(2, list->version.major);
  EXPECT_EQ(11, list->version.minor);
  // Every slot after the version is a function pointer, none missing.
  const auto* entries = reinterpret_cast<void* const*>(
      reinterpret_cast<const unsigned char*>(list) + offsetof(CK_FUNCTION_LIST, C_Initialize));
  for (int i = 0; i < 68; ++i) EXPECT_NE(nullptr, entries[i]) << "entry " << i;
  EXPECT_EQ(&C_Initialize, list->C_Initialize);
  EXPECT_EQ(&C_GetFunctionList, list->C_GetFunctionList);
  EXPECT_EQ(&C_WaitForSlotEvent, list->C_WaitForSlotEvent);
  EXPECT_EQ(&C_CancelFunction, list->C_CancelFunction);
}

TEST_F(FunctionListTest, StubsAnswerTheirCodesWhileInitialised) {
  CK_FUNCTION_LIST_PTR f = List();
  ASSERT_NE(nullptr, f);
  const std::function<CK_RV()> unsupported[] = {
      [&] { return f->C_GetOperationState(1, nullptr, nullptr); },
      [&] { return f->C_SetOperationState(1, nullptr, 0, 0, 0); },
      [&] { return f->C_CopyObject(1, 1, nullptr, 0, nullptr); },
      [&] { return f->C_GetObjectSize(1, 1, nullptr); },
      [&] { return f->C_EncryptInit(1, nullptr, 1); },
      [&] { return f->C_Encrypt(1, nullptr, 0, nullptr, nullptr); },
      [&] { return f->C_EncryptUpdate(1, nullptr, 0, nullptr, nullptr); },
      [&] { return f->C_EncryptFinal(1, nullptr, nullptr); },
      [&] { return f->C_DecryptInit(1, nullptr, 1); },
      [&] { return f->C_Decrypt(1, nullptr, 0, nullptr, nullptr); },
      [&] { return f->C_DecryptUpdate(1, nullptr, 0, nullptr, nullptr); },
      [&] { return f->C_DecryptFinal(1, nullptr, nullptr); },
      [&] { return f->C_DigestKey(1, 1); },
      [&] { return f->C_SignRecoverInit(1, nullptr, 1); },
      [&] { return f->C_SignRecover(1, nullptr, 0, nullptr, nullptr); },
      [&] { return f->C_VerifyRecoverInit(1, nullptr, 1); },
      [&] { return f->C_VerifyRecover(1, nullptr, 0, nullptr, nullptr); },
      [&] { return f->C_DigestEncryptUpdate(1, nullptr, 0, nullptr, nullptr); },
      [&] { return f->C_DecryptDigestUpdate(1, nullptr, 0, nullptr, nullptr); },
      [&] { return f->C_SignEncryptUpdate(1, nullptr, 0, nullptr, nullptr); },
      [&] { return f->C_DecryptVerifyUpdate(1, nullptr, 0, nullptr, nullptr); },
      [&] { return f->C_GenerateKey(1, nullptr, nullptr, 0, nullptr); },
      [&] { return f->C_WrapKey(1, nullptr, 1, 1, nullptr, nullptr); },
      [&] { return f->C_UnwrapKey(1, nullptr, 1, nullptr, 0, nullptr, 0, nullptr); },
      [&] { return f->C_DeriveKey(1, nullptr, 1, nullptr, 0, nullptr); },
  };
  EXPECT_EQ(25u, std::size(unsupported));
  for (const bool initialised : {false, true}) {
    if (initialised) {
      ASSERT_CKR(CKR_OK, C_Initialize(nullptr));
    }
    const CK_RV outside = CKR_CRYPTOKI_NOT_INITIALIZED;
    for (size_t i = 0; i < std::size(unsupported); ++i) {
      EXPECT_CKR(initialised ? CKR_FUNCTION_NOT_SUPPORTED : outside, unsupported[i]()) << i;
    }
    EXPECT_CKR(initialised ? CKR_FUNCTION_NOT_PARALLEL : outside, f->C_GetFunctionStatus(1));
    EXPECT_CKR(initialised ? CKR_FUNCTION_NOT_PARALLEL : outside, f->C_CancelFunction(1));
  }
}

TEST_F(FunctionListTest, LibraryInfo) {
  CK_C_INITIALIZE_ARGS args{};
  ASSERT_CKR(CKR_OK, C_Initialize(&args));
  CK_INFO info;
  memset(&info, 0xCC, sizeof info);
  ASSERT_CKR(CKR_OK, C_GetInfo(&info));
  EXPECT_EQ(2, info.cryptokiVersion.major);
  EXPECT_EQ(30, info.cryptokiVersion.minor);
  EXPECT_EQ(std::string("Corvantix") + std::string(23, ' '),
            std::string(reinterpret_cast<char*>(info.manufacturerID), 32));
  EXPECT_EQ(std::string("Velmoran PKCS#11 API") + std::string(12, ' '),
            std::string(reinterpret_cast<char*>(info.libraryDescription), 32));
  EXPECT_EQ(0u, info.flags);
  EXPECT_EQ(1, info.libraryVersion.major);
  EXPECT_EQ(0, info.libraryVersion.minor);
}

}  // namespace
}  // namespace zorad::test
