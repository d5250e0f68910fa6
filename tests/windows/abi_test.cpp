// The Windows ABI at the byte level: 1-byte packed structures with a 32-bit
// CK_ULONG, written by the module into buffers with guard bytes behind
// them, and the function list read at its packed offsets.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <string>

#include "windows_fixture.h"

namespace zorad::wintest {
namespace {

// The layout an application compiled with the standard's Windows rules
// expects; the module's own header is checked the same way at build time.
static_assert(sizeof(CK_ULONG) == 4);
static_assert(sizeof(CK_VERSION) == 2);
static_assert(sizeof(CK_INFO) == 72);
static_assert(sizeof(CK_SLOT_INFO) == 104);
static_assert(sizeof(CK_TOKEN_INFO) == 160);
static_assert(sizeof(CK_SESSION_INFO) == 16);
static_assert(sizeof(CK_ATTRIBUTE) == 16);
static_assert(sizeof(CK_MECHANISM) == 16);
static_assert(sizeof(CK_MECHANISM_INFO) == 12);
static_assert(sizeof(CK_C_INITIALIZE_ARGS) == 44);
static_assert(offsetof(CK_C_INITIALIZE_ARGS, flags) == 32);
static_assert(offsetof(CK_C_INITIALIZE_ARGS, pReserved) == 36);
static_assert(offsetof(CK_TOKEN_INFO, flags) == 96);
static_assert(offsetof(CK_FUNCTION_LIST, C_Initialize) == 2);

constexpr uint8_t kGuard = 0xA5;
constexpr size_t kGuardSize = 32;

// A structure-sized output area followed by guard bytes.
template <size_t N>
struct Guarded {
  Guarded() { bytes.fill(kGuard); }
  void* data() { return bytes.data(); }
  bool GuardIntact() const {
    for (size_t i = N; i < bytes.size(); ++i) {
      if (bytes[i] != kGuard) return false;
    }
    return true;
  }
  uint32_t U32(size_t offset) const {
    uint32_t v;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
  }
  std::string Text(size_t offset, size_t length) const {
    return std::string(reinterpret_cast<const char*>(bytes.data() + offset), length);
  }
  std::array<uint8_t, N + kGuardSize> bytes;
};

class AbiTest : public CardTest {};

TEST_F(AbiTest, InfoIs72PackedBytes) {
  Guarded<72> info;
  ASSERT_CKR(CKR_OK, F().C_GetInfo(static_cast<CK_INFO*>(info.data())));
  EXPECT_TRUE(info.GuardIntact());
  EXPECT_EQ(2, info.bytes[0]);
  EXPECT_EQ(30, info.bytes[1]);
  EXPECT_EQ(Padded("Corvantix", 32), info.Text(2, 32));
  EXPECT_EQ(0u, info.U32(34));
  EXPECT_EQ(Padded("Velmoran PKCS#11 API", 32), info.Text(38, 32));
  EXPECT_EQ(1, info.bytes[70]);
  EXPECT_EQ(0, info.bytes[71]);
}

TEST_F(AbiTest, SlotInfoIs104PackedBytes) {
  Guarded<104> info;
  ASSERT_CKR(CKR_OK, F().C_GetSlotInfo(slot_, static_cast<CK_SLOT_INFO*>(info.data())));
  EXPECT_TRUE(info.GuardIntact());
  EXPECT_EQ(Padded(kReader, 64), info.Text(0, 64));
  // The driver's vendor name, blank-padded without its terminator.
  EXPECT_EQ(Padded("Zorad Simulated Readers", 32), info.Text(64, 32));
  EXPECT_EQ(CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT, info.U32(96));
  // The reader's version 0x01020003: major 1, minor 2.
  EXPECT_EQ(1, info.bytes[100]);
  EXPECT_EQ(2, info.bytes[101]);
}

TEST_F(AbiTest, TokenInfoIs160PackedBytes) {
  Guarded<160> info;
  ASSERT_CKR(CKR_OK, F().C_GetTokenInfo(slot_, static_cast<CK_TOKEN_INFO*>(info.data())));
  EXPECT_TRUE(info.GuardIntact());
  EXPECT_EQ(Padded("Zorad test token", 32), info.Text(0, 32));
  EXPECT_EQ(Padded("Corvantix", 32), info.Text(32, 32));
  EXPECT_EQ("0123456789ABCD  ", info.Text(80, 16));
  EXPECT_EQ(CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED,
            info.U32(96));
  EXPECT_EQ(8u, info.U32(116));     // ulMaxPinLen
  EXPECT_EQ(4u, info.U32(120));     // ulMinPinLen
  EXPECT_EQ(8192u, info.U32(124));  // ulTotalPublicMemory
  EXPECT_EQ(8192u, info.U32(128));  // ulFreePublicMemory: 64 blocks of 128
  EXPECT_EQ(8192u, info.U32(132));  // ulTotalPrivateMemory
  EXPECT_EQ(1, info.bytes[142]);    // firmwareVersion: the card's format 1.0
}

TEST_F(AbiTest, SessionInfoIs16PackedBytes) {
  const CK_SESSION_HANDLE session = Open();
  Guarded<16> info;
  ASSERT_CKR(CKR_OK, F().C_GetSessionInfo(session, static_cast<CK_SESSION_INFO*>(info.data())));
  EXPECT_TRUE(info.GuardIntact());
  EXPECT_EQ(slot_, info.U32(0));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, info.U32(4));
  EXPECT_EQ(kReadWrite, info.U32(8));
}

TEST_F(AbiTest, MechanismListEntriesAre32Bit) {
  CK_ULONG count = 0;
  ASSERT_CKR(CKR_OK, F().C_GetMechanismList(slot_, nullptr, &count));
  ASSERT_EQ(4u, count);
  // Five entries offered: four filled, the rest cleared, nothing beyond.
  Guarded<5 * 4> list;
  count = 5;
  ASSERT_CKR(CKR_OK,
             F().C_GetMechanismList(slot_, static_cast<CK_MECHANISM_TYPE*>(list.data()), &count));
  EXPECT_EQ(4u, count);
  EXPECT_TRUE(list.GuardIntact());
  EXPECT_EQ(CKM_GOSTR3410_KEY_PAIR_GEN, list.U32(0));
  EXPECT_EQ(CKM_GOSTR3410, list.U32(4));
  EXPECT_EQ(CKM_GOSTR3410_WITH_GOSTR3411, list.U32(8));
  EXPECT_EQ(CKM_GOSTR3411, list.U32(12));
  EXPECT_EQ(0u, list.U32(16));

  count = 2;
  EXPECT_CKR(CKR_BUFFER_TOO_SMALL,
             F().C_GetMechanismList(slot_, static_cast<CK_MECHANISM_TYPE*>(list.data()), &count));
  EXPECT_EQ(4u, count);

  Guarded<12> info;
  ASSERT_CKR(CKR_OK, F().C_GetMechanismInfo(slot_, CKM_GOSTR3410_WITH_GOSTR3411,
                                            static_cast<CK_MECHANISM_INFO*>(info.data())));
  EXPECT_TRUE(info.GuardIntact());
  EXPECT_EQ(256u, info.U32(0));
  EXPECT_EQ(256u, info.U32(4));
  EXPECT_EQ(CKF_HW | CKF_SIGN | CKF_VERIFY, info.U32(8));
  EXPECT_CKR(
      CKR_MECHANISM_INVALID,
      F().C_GetMechanismInfo(slot_, CKM_RSA_PKCS, static_cast<CK_MECHANISM_INFO*>(info.data())));
  EXPECT_EQ(0u, info.U32(0));
  EXPECT_EQ(0u, info.U32(8));
}

// The 68 functions in the order of the standard's function list.
constexpr const char* kFunctionNames[] = {"C_Initialize",
                                          "C_Finalize",
                                          "C_GetInfo",
                                          "C_GetFunctionList",
                                          "C_GetSlotList",
                                          "C_GetSlotInfo",
                                          "C_GetTokenInfo",
                                          "C_GetMechanismList",
                                          "C_GetMechanismInfo",
                                          "C_InitToken",
                                          "C_InitPIN",
                                          "C_SetPIN",
                                          "C_OpenSession",
                                          "C_CloseSession",
                                          "C_CloseAllSessions",
                                          "C_GetSessionInfo",
                                          "C_GetOperationState",
                                          "C_SetOperationState",
                                          "C_Login",
                                          "C_Logout",
                                          "C_CreateObject",
                                          "C_CopyObject",
                                          "C_DestroyObject",
                                          "C_GetObjectSize",
                                          "C_GetAttributeValue",
                                          "C_SetAttributeValue",
                                          "C_FindObjectsInit",
                                          "C_FindObjects",
                                          "C_FindObjectsFinal",
                                          "C_EncryptInit",
                                          "C_Encrypt",
                                          "C_EncryptUpdate",
                                          "C_EncryptFinal",
                                          "C_DecryptInit",
                                          "C_Decrypt",
                                          "C_DecryptUpdate",
                                          "C_DecryptFinal",
                                          "C_DigestInit",
                                          "C_Digest",
                                          "C_DigestUpdate",
                                          "C_DigestKey",
                                          "C_DigestFinal",
                                          "C_SignInit",
                                          "C_Sign",
                                          "C_SignUpdate",
                                          "C_SignFinal",
                                          "C_SignRecoverInit",
                                          "C_SignRecover",
                                          "C_VerifyInit",
                                          "C_Verify",
                                          "C_VerifyUpdate",
                                          "C_VerifyFinal",
                                          "C_VerifyRecoverInit",
                                          "C_VerifyRecover",
                                          "C_DigestEncryptUpdate",
                                          "C_DecryptDigestUpdate",
                                          "C_SignEncryptUpdate",
                                          "C_DecryptVerifyUpdate",
                                          "C_GenerateKey",
                                          "C_GenerateKeyPair",
                                          "C_WrapKey",
                                          "C_UnwrapKey",
                                          "C_DeriveKey",
                                          "C_SeedRandom",
                                          "C_GenerateRandom",
                                          "C_GetFunctionStatus",
                                          "C_CancelFunction",
                                          "C_WaitForSlotEvent"};
static_assert(std::size(kFunctionNames) == 68);

TEST(AbiFunctionListTest, PackedListOfTheExportedFunctions) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(Loaded().functions);
  EXPECT_EQ(2, bytes[0]);
  EXPECT_EQ(11, bytes[1]);
  for (size_t i = 0; i < std::size(kFunctionNames); ++i) {
    SCOPED_TRACE(kFunctionNames[i]);
    void* entry = nullptr;
    std::memcpy(&entry, bytes + 2 + i * sizeof(void*), sizeof entry);
    void* exported = reinterpret_cast<void*>(GetProcAddress(Loaded().module, kFunctionNames[i]));
    ASSERT_NE(nullptr, exported);
    EXPECT_EQ(exported, entry);
  }
  CK_FUNCTION_LIST_PTR again = nullptr;
  auto getList = F().C_GetFunctionList;
  ASSERT_CKR(CKR_OK, getList(&again));
  EXPECT_EQ(Loaded().functions, again);
  EXPECT_CKR(CKR_ARGUMENTS_BAD, getList(nullptr));
}

// The stubs answer with their constants while the module is initialised,
// and ignore their arguments.
TEST(AbiFunctionListTest, StubsAnswerTheirConstants) {
  FinalizeCompletely();
  CK_FUNCTION_LIST& f = F();
  struct Case {
    const char* name;
    CK_RV (*call)(CK_FUNCTION_LIST&);
    CK_RV expected;
  };
  const Case cases[] = {
      {"C_GetFunctionStatus", [](CK_FUNCTION_LIST& f) { return f.C_GetFunctionStatus(7); },
       CKR_FUNCTION_NOT_PARALLEL},
      {"C_CancelFunction", [](CK_FUNCTION_LIST& f) { return f.C_CancelFunction(0); },
       CKR_FUNCTION_NOT_PARALLEL},
      {"C_EncryptInit", [](CK_FUNCTION_LIST& f) { return f.C_EncryptInit(1, nullptr, 2); },
       CKR_FUNCTION_NOT_SUPPORTED},
      {"C_DigestKey", [](CK_FUNCTION_LIST& f) { return f.C_DigestKey(1, 5); },
       CKR_FUNCTION_NOT_SUPPORTED},
      {"C_SignRecover",
       [](CK_FUNCTION_LIST& f) {
         return f.C_SignRecover(1, nullptr, 0xFFFFFFFF, nullptr, nullptr);
       },
       CKR_FUNCTION_NOT_SUPPORTED},
      {"C_GetObjectSize", [](CK_FUNCTION_LIST& f) { return f.C_GetObjectSize(1, 2, nullptr); },
       CKR_FUNCTION_NOT_SUPPORTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, c.call(f));
    ASSERT_CKR(CKR_OK, f.C_Initialize(nullptr));
    EXPECT_CKR(c.expected, c.call(f));
    ASSERT_CKR(CKR_OK, f.C_Finalize(nullptr));
  }
}

}  // namespace
}  // namespace zorad::wintest
