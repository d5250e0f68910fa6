// Null pointers and bad lengths through the Windows ABI: every one is
// refused with a result code, nothing is written through a null pointer,
// and the module and card stay usable afterwards.
#include <gtest/gtest.h>

#include "windows_fixture.h"

namespace zorad::wintest {
namespace {

class BadInputTest : public UserSessionTest {
 protected:
  void SetUp() override {
    UserSessionTest::SetUp();
    if (HasFatalFailure()) return;
    object_ = CreateData("target", true);
  }
  CK_OBJECT_HANDLE object_ = CK_INVALID_HANDLE;
};

struct Inputs {
  CK_SLOT_ID slot;
  CK_SESSION_HANDLE session;
  CK_OBJECT_HANDLE object;
};

TEST_F(BadInputTest, NullPointersAndBadLengths) {
  struct Case {
    const char* what;
    CK_RV (*call)(const Inputs&);
    CK_RV expected;
  };
  static CK_BYTE buffer[128];
  static CK_ULONG length;
  static CK_ATTRIBUTE attribute{CKA_LABEL, buffer, sizeof buffer};
  static CK_MECHANISM keyPairGen{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  static CK_OBJECT_HANDLE handle;
  const Case cases[] = {
      {"C_GetInfo(NULL)", [](const Inputs&) { return F().C_GetInfo(nullptr); }, CKR_ARGUMENTS_BAD},
      {"C_GetSlotList count NULL",
       [](const Inputs&) { return F().C_GetSlotList(CK_FALSE, nullptr, nullptr); },
       CKR_ARGUMENTS_BAD},
      {"C_GetSlotInfo info NULL",
       [](const Inputs& in) { return F().C_GetSlotInfo(in.slot, nullptr); }, CKR_ARGUMENTS_BAD},
      {"C_GetTokenInfo info NULL",
       [](const Inputs& in) { return F().C_GetTokenInfo(in.slot, nullptr); }, CKR_ARGUMENTS_BAD},
      {"C_GetMechanismList count NULL",
       [](const Inputs& in) { return F().C_GetMechanismList(in.slot, nullptr, nullptr); },
       CKR_ARGUMENTS_BAD},
      {"C_GetMechanismInfo info NULL",
       [](const Inputs& in) { return F().C_GetMechanismInfo(in.slot, CKM_GOSTR3410, nullptr); },
       CKR_ARGUMENTS_BAD},
      {"C_OpenSession handle NULL",
       [](const Inputs& in) {
         return F().C_OpenSession(in.slot, kReadOnly, nullptr, nullptr, nullptr);
       },
       CKR_ARGUMENTS_BAD},
      {"C_GetSessionInfo info NULL",
       [](const Inputs& in) { return F().C_GetSessionInfo(in.session, nullptr); },
       CKR_ARGUMENTS_BAD},
      {"C_Login PIN NULL with a length",
       [](const Inputs& in) { return F().C_Login(in.session, CKU_SO, nullptr, 8); },
       CKR_ARGUMENTS_BAD},
      {"C_InitPIN PIN NULL", [](const Inputs& in) { return F().C_InitPIN(in.session, nullptr, 8); },
       CKR_ARGUMENTS_BAD},
      {"C_SetPIN old PIN NULL",
       [](const Inputs& in) { return F().C_SetPIN(in.session, nullptr, 8, buffer, 8); },
       CKR_ARGUMENTS_BAD},
      {"C_InitToken label NULL",
       [](const Inputs& in) { return F().C_InitToken(in.slot, buffer, 8, nullptr); },
       CKR_ARGUMENTS_BAD},
      {"C_CreateObject template NULL",
       [](const Inputs& in) { return F().C_CreateObject(in.session, nullptr, 2, &handle); },
       CKR_ARGUMENTS_BAD},
      {"C_CreateObject handle NULL",
       [](const Inputs& in) { return F().C_CreateObject(in.session, &attribute, 1, nullptr); },
       CKR_ARGUMENTS_BAD},
      {"C_GetAttributeValue template NULL",
       [](const Inputs& in) { return F().C_GetAttributeValue(in.session, in.object, nullptr, 1); },
       CKR_ARGUMENTS_BAD},
      {"C_GetAttributeValue count 0",
       [](const Inputs& in) {
         return F().C_GetAttributeValue(in.session, in.object, &attribute, 0);
       },
       CKR_ARGUMENTS_BAD},
      {"C_SetAttributeValue template NULL",
       [](const Inputs& in) { return F().C_SetAttributeValue(in.session, in.object, nullptr, 3); },
       CKR_ARGUMENTS_BAD},
      {"C_FindObjectsInit template NULL",
       [](const Inputs& in) { return F().C_FindObjectsInit(in.session, nullptr, 1); },
       CKR_ARGUMENTS_BAD},
      {"C_FindObjects array NULL",
       [](const Inputs& in) { return F().C_FindObjects(in.session, nullptr, 1, &length); },
       CKR_ARGUMENTS_BAD},
      {"C_FindObjects count NULL",
       [](const Inputs& in) { return F().C_FindObjects(in.session, &handle, 1, nullptr); },
       CKR_ARGUMENTS_BAD},
      {"C_FindObjects maximum 0",
       [](const Inputs& in) { return F().C_FindObjects(in.session, &handle, 0, &length); },
       CKR_ARGUMENTS_BAD},
      {"C_SignInit mechanism NULL",
       [](const Inputs& in) { return F().C_SignInit(in.session, nullptr, in.object); },
       CKR_ARGUMENTS_BAD},
      {"C_VerifyInit mechanism NULL",
       [](const Inputs& in) { return F().C_VerifyInit(in.session, nullptr, in.object); },
       CKR_ARGUMENTS_BAD},
      {"C_GenerateKeyPair mechanism NULL",
       [](const Inputs& in) {
         return F().C_GenerateKeyPair(in.session, nullptr, &attribute, 1, &attribute, 1, &handle,
                                      &handle);
       },
       CKR_ARGUMENTS_BAD},
      {"C_GenerateKeyPair public handle NULL",
       [](const Inputs& in) {
         return F().C_GenerateKeyPair(in.session, &keyPairGen, &attribute, 1, &attribute, 1,
                                      nullptr, &handle);
       },
       CKR_ARGUMENTS_BAD},
      {"C_GenerateKeyPair private handle NULL",
       [](const Inputs& in) {
         return F().C_GenerateKeyPair(in.session, &keyPairGen, &attribute, 1, &attribute, 1,
                                      &handle, nullptr);
       },
       CKR_ARGUMENTS_BAD},
      {"C_GenerateRandom buffer NULL",
       [](const Inputs& in) { return F().C_GenerateRandom(in.session, nullptr, 16); },
       CKR_ARGUMENTS_BAD},
      {"C_GenerateRandom length 0",
       [](const Inputs& in) { return F().C_GenerateRandom(in.session, buffer, 0); }, CKR_OK},
      {"C_Sign without an operation",
       [](const Inputs& in) { return F().C_Sign(in.session, buffer, 32, buffer, &length); },
       CKR_OPERATION_NOT_INITIALIZED},
      {"C_Verify without an operation",
       [](const Inputs& in) { return F().C_Verify(in.session, buffer, 32, buffer, 64); },
       CKR_OPERATION_NOT_INITIALIZED},
      {"C_WaitForSlotEvent slot NULL",
       [](const Inputs&) { return F().C_WaitForSlotEvent(CKF_DONT_BLOCK, nullptr, nullptr); },
       CKR_ARGUMENTS_BAD},
      {"C_GetSessionInfo unknown handle",
       [](const Inputs& in) {
         CK_SESSION_INFO info;
         return F().C_GetSessionInfo(in.session + 1000, &info);
       },
       CKR_SESSION_HANDLE_INVALID},
      {"C_GetAttributeValue unknown object",
       [](const Inputs& in) {
         return F().C_GetAttributeValue(in.session, in.object + 1000, &attribute, 1);
       },
       CKR_OBJECT_HANDLE_INVALID},
  };
  const Inputs inputs{slot_, session_, object_};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_CKR(c.expected, c.call(inputs));
  }
  // Still usable, with nothing left half done on the card.
  EXPECT_EQ(0u, Sim().OpenTransactions());
  const Bytes label = ReadAttribute(session_, object_, CKA_LABEL);
  EXPECT_EQ("target", std::string(label.begin(), label.end()));
  EXPECT_EQ(CKS_RW_USER_FUNCTIONS, StateOf(session_));
}

// A signature operation needs a key object: a data object or an unknown
// handle starts none.
TEST_F(BadInputTest, SignatureOperationsNeedAKey) {
  CK_MECHANISM mechanism{CKM_GOSTR3410, nullptr, 0};
  CK_BYTE data[64] = {};
  EXPECT_CKR(CKR_KEY_TYPE_INCONSISTENT, F().C_SignInit(session_, &mechanism, object_));
  EXPECT_CKR(CKR_KEY_HANDLE_INVALID, F().C_VerifyInit(session_, &mechanism, object_ + 1000));
  EXPECT_CKR(CKR_OPERATION_NOT_INITIALIZED, F().C_Verify(session_, data, 32, data, 64));
}

}  // namespace
}  // namespace zorad::wintest
