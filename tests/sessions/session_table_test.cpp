// Opening, describing and closing sessions: flag checks, handle numbering,
// and the session states each login gives.
#include <gtest/gtest.h>

#include "support/token_fixture.h"

namespace zorad::test {
namespace {

class SessionTableTest : public CardInReaderTest {};

TEST_F(SessionTableTest, OpenSessionRefusesBadArguments) {
  struct Case {
    CK_SLOT_ID slot;
    CK_FLAGS flags;
    bool handlePointer;
    CK_RV expected;
  };
  const Case cases[] = {
      {slotId_, CKF_RW_SESSION, true, CKR_SESSION_PARALLEL_NOT_SUPPORTED},
      {slotId_, CKF_SERIAL_SESSION | 0x08, true, CKR_ARGUMENTS_BAD},
      {slotId_, kReadWrite, false, CKR_ARGUMENTS_BAD},
      {slotId_ + 100, kReadWrite, true, CKR_SLOT_ID_INVALID},
  };
  for (const Case& c : cases) {
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    EXPECT_CKR(c.expected, C_OpenSession(c.slot, c.flags, nullptr, nullptr,
                                         c.handlePointer ? &handle : nullptr));
    EXPECT_EQ(CK_INVALID_HANDLE, handle);
  }
}

TEST_F(SessionTableTest, OpenSessionWithoutCardIsTokenNotPresent) {
  ASSERT_TRUE(sim::pcsc::RemoveCard(kReaderName));
  CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
  EXPECT_CKR(CKR_TOKEN_NOT_PRESENT, C_OpenSession(slotId_, kReadWrite, nullptr, nullptr, &handle));
}

// Handles are numbered relative to the first, since the counter goes on
// across the cases of one process.
TEST_F(SessionTableTest, HandlesAreNeverReused) {
  const CK_SESSION_HANDLE first = Open();
  const CK_SESSION_HANDLE second = Open();
  EXPECT_EQ(first + 1, second);
  ASSERT_CKR(CKR_OK, C_CloseSession(first));
  EXPECT_EQ(second + 1, Open());
  EXPECT_CKR(CKR_SESSION_HANDLE_INVALID, C_CloseSession(first));

  // A new initialisation goes on from where the counter was.
  ASSERT_CKR(CKR_OK, C_Finalize(nullptr));
  ASSERT_CKR(CKR_OK, C_Initialize(nullptr));
  CK_ULONG count = 1;
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, nullptr, &count));
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, &slotId_, &count));
  EXPECT_EQ(second + 2, Open());
}

TEST_F(SessionTableTest, SessionInfoReportsSlotFlagsAndState) {
  const CK_SESSION_HANDLE session = Open(kReadOnly);
  CK_SESSION_INFO info{};
  ASSERT_CKR(CKR_OK, C_GetSessionInfo(session, &info));
  EXPECT_EQ(slotId_, info.slotID);
  EXPECT_EQ(kReadOnly, info.flags);
  EXPECT_EQ(CKS_RO_PUBLIC_SESSION, info.state);
  // The device state is the card's last status word: the PIN state query
  // that ended the token's reading (ten tries left).
  EXPECT_EQ(0xFFFF63CAu, info.ulDeviceError);

  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_GetSessionInfo(session, nullptr));
  EXPECT_CKR(CKR_SESSION_HANDLE_INVALID, C_GetSessionInfo(session + 1000, &info));
}

// Session states for every login: the user's functions, the security
// officer's functions (read/write only), or public.
TEST_F(SessionTableTest, SessionStatesFollowTheSlotsLogin) {
  struct Case {
    CK_USER_TYPE who;  // ~0: nobody
    const char* pin;
    CK_STATE readOnly;  // ~0: no read-only session can exist
    CK_STATE readWrite;
  };
  const Case cases[] = {
      {~0ul, nullptr, CKS_RO_PUBLIC_SESSION, CKS_RW_PUBLIC_SESSION},
      {CKU_USER, kUserPin, CKS_RO_USER_FUNCTIONS, CKS_RW_USER_FUNCTIONS},
      {CKU_SO, kSoPin, ~0ul, CKS_RW_SO_FUNCTIONS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.who);
    const CK_SESSION_HANDLE rw = Open(kReadWrite);
    const CK_SESSION_HANDLE ro = c.readOnly == ~0ul ? CK_INVALID_HANDLE : Open(kReadOnly);
    if (c.pin != nullptr) {
      ASSERT_CKR(CKR_OK, Login(rw, c.who, c.pin));
    }
    EXPECT_EQ(c.readWrite, StateOf(rw));
    if (ro != CK_INVALID_HANDLE) {
      EXPECT_EQ(c.readOnly, StateOf(ro));
    } else {
      CK_SESSION_HANDLE refused = CK_INVALID_HANDLE;
      EXPECT_CKR(CKR_SESSION_READ_WRITE_SO_EXISTS,
                 C_OpenSession(slotId_, kReadOnly, nullptr, nullptr, &refused));
    }
    if (c.pin != nullptr) {
      ASSERT_CKR(CKR_OK, C_Logout(rw));
    }
    C_CloseSession(rw);
    if (ro != CK_INVALID_HANDLE) C_CloseSession(ro);
  }
}

TEST_F(SessionTableTest, SecurityOfficerCannotLogInWhileAReadOnlySessionExists) {
  const CK_SESSION_HANDLE rw = Open(kReadWrite);
  const CK_SESSION_HANDLE ro = Open(kReadOnly);
  EXPECT_CKR(CKR_SESSION_READ_ONLY_EXISTS, Login(rw, CKU_SO, kSoPin));
  ASSERT_CKR(CKR_OK, C_CloseSession(ro));
  EXPECT_CKR(CKR_OK, Login(rw, CKU_SO, kSoPin));
}

TEST_F(SessionTableTest, ClosingASessionDestroysOnlyItsOwnSessionObjects) {
  const CK_SESSION_HANDLE a = Open();
  const CK_SESSION_HANDLE b = Open();
  Template object;
  object.Ulong(CKA_CLASS, CKO_DATA).Text(CKA_LABEL, "mine");
  CK_OBJECT_HANDLE ofA = 0, ofB = 0;
  ASSERT_CKR(CKR_OK, C_CreateObject(a, object.data(), object.size(), &ofA));
  ASSERT_CKR(CKR_OK, C_CreateObject(b, object.data(), object.size(), &ofB));
  ASSERT_CKR(CKR_OK, C_CloseSession(a));
  EXPECT_EQ("", ReadText(b, ofA));
  EXPECT_EQ("mine", ReadText(b, ofB));
}

}  // namespace
}  // namespace zorad::test
