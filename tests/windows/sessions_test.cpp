// Sessions, login and the PIN operations through the function list, with
// the PIN commands checked on the card side.
#include <gtest/gtest.h>

#include <string>

#include "windows_fixture.h"

namespace zorad::wintest {
namespace {

// The last VERIFY command the card received.
Bytes LastVerify() {
  const uint32_t size = Sim().CardLogSize(kReader);
  for (uint32_t i = size; i-- > 0;) {
    Bytes command(64);
    const uint32_t length = Sim().CardCommand(kReader, i, command.data(), 64);
    command.resize(std::min<uint32_t>(length, 64));
    if (command.size() >= 2 && command[1] == 0x20) return command;
  }
  return {};
}

Bytes Hex(const std::string& text) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 3) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

CK_RV InitPin(CK_SESSION_HANDLE session, const std::string& pin) {
  Bytes bytes(pin.begin(), pin.end());
  return F().C_InitPIN(session, bytes.data(), static_cast<CK_ULONG>(bytes.size()));
}

CK_RV SetPin(CK_SESSION_HANDLE session, const std::string& oldPin, const std::string& newPin) {
  Bytes o(oldPin.begin(), oldPin.end());
  Bytes n(newPin.begin(), newPin.end());
  return F().C_SetPIN(session, o.data(), static_cast<CK_ULONG>(o.size()), n.data(),
                      static_cast<CK_ULONG>(n.size()));
}

class SessionsTest : public CardTest {};

TEST_F(SessionsTest, OpenFlagsAndStates) {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  EXPECT_CKR(CKR_SESSION_PARALLEL_NOT_SUPPORTED,
             F().C_OpenSession(slot_, CKF_RW_SESSION, nullptr, nullptr, &session));
  EXPECT_CKR(CKR_ARGUMENTS_BAD,
             F().C_OpenSession(slot_, CKF_SERIAL_SESSION | 0x08, nullptr, nullptr, &session));
  EXPECT_CKR(CKR_SLOT_ID_INVALID,
             F().C_OpenSession(slot_ + 7, kReadOnly, nullptr, nullptr, &session));

  const CK_SESSION_HANDLE ro = Open(kReadOnly);
  const CK_SESSION_HANDLE rw = Open(kReadWrite);
  EXPECT_NE(ro, rw);
  EXPECT_EQ(CKS_RO_PUBLIC_SESSION, StateOf(ro));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(rw));
  // The login is the slot's: both sessions see it.
  ASSERT_CKR(CKR_OK, Login(rw, CKU_USER, kUserPin));
  EXPECT_EQ(CKS_RO_USER_FUNCTIONS, StateOf(ro));
  EXPECT_EQ(CKS_RW_USER_FUNCTIONS, StateOf(rw));
  EXPECT_CKR(CKR_USER_ALREADY_LOGGED_IN, Login(ro, CKU_USER, kUserPin));
  EXPECT_CKR(CKR_USER_ANOTHER_ALREADY_LOGGED_IN, Login(ro, CKU_SO, kSoPin));
  ASSERT_CKR(CKR_OK, F().C_CloseSession(ro));
  ASSERT_CKR(CKR_OK, F().C_CloseSession(rw));
  EXPECT_CKR(CKR_SESSION_HANDLE_INVALID, F().C_CloseSession(rw));
  // Closing the last session logs the slot out.
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(Open()));
}

TEST_F(SessionsTest, UserPinGoesToTheCardPadded) {
  const CK_SESSION_HANDLE session = Open();
  ASSERT_CKR(CKR_OK, Login(session, CKU_USER, kUserPin));
  EXPECT_EQ(Hex("00 20 00 69 08 31 32 33 34 35 36 37 38"), LastVerify());
  EXPECT_EQ(1, Sim().CardIsPinVerified(kReader, kUserPinRef));
  ASSERT_CKR(CKR_OK, F().C_Logout(session));
  EXPECT_EQ(0, Sim().CardIsPinVerified(kReader, kUserPinRef));
  EXPECT_CKR(CKR_USER_NOT_LOGGED_IN, F().C_Logout(session));
}

TEST_F(SessionsTest, WrongPinsCountDownToTheLock) {
  const CK_SESSION_HANDLE session = Open();
  CK_TOKEN_INFO info;
  EXPECT_CKR(CKR_PIN_INCORRECT, Login(session, CKU_USER, "0000"));
  EXPECT_EQ(Hex("00 20 00 69 08 30 30 30 30 31 31 31 31"), LastVerify());
  EXPECT_EQ(9, Sim().CardPinTriesLeft(kReader, kUserPinRef));

  // The token's flags follow the card's counter: low at the threshold of
  // 3, the final try, then locked.
  struct Step {
    CK_RV login;
    CK_FLAGS flags;
  };
  const Step steps[] = {
      {CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW},
      {CKR_PIN_INCORRECT, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY},
      {CKR_PIN_LOCKED, CKF_USER_PIN_LOCKED},
  };
  constexpr CK_FLAGS kPinFlags =
      CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;
  Sim().CardSetPinTriesLeft(kReader, kUserPinRef, 3);
  for (const Step& step : steps) {
    EXPECT_CKR(step.login, Login(session, CKU_USER, "00000000"));
    ASSERT_CKR(CKR_OK, F().C_GetTokenInfo(slot_, &info));
    EXPECT_EQ(step.flags, info.flags & kPinFlags);
  }
  EXPECT_CKR(CKR_PIN_LOCKED, Login(session, CKU_USER, kUserPin));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(session));
}

TEST_F(SessionsTest, PinLengthsThroughTheAbi) {
  const CK_SESSION_HANDLE session = Open();
  EXPECT_CKR(CKR_USER_TYPE_INVALID, Login(session, 7, kUserPin));
  CK_UTF8CHAR pin[8] = {'1', '2', '3', '4', '5', '6', '7', '8'};
  EXPECT_CKR(CKR_ARGUMENTS_BAD, F().C_Login(session, CKU_USER, nullptr, 8));
  // A PIN longer than any the card holds (8 bytes here) is wrong unsent.
  const uint32_t before = Sim().CardCountCommands(kReader, -1, 0x20);
  EXPECT_CKR(CKR_PIN_INCORRECT, Login(session, CKU_USER, "123456789"));
  EXPECT_EQ(before, Sim().CardCountCommands(kReader, -1, 0x20));
  EXPECT_CKR(CKR_OK, F().C_Login(session, CKU_USER, pin, sizeof pin));
}

TEST_F(SessionsTest, SecurityOfficerSetsTheUserPin) {
  const CK_SESSION_HANDLE ro = Open(kReadOnly);
  const CK_SESSION_HANDLE rw = Open();
  EXPECT_CKR(CKR_SESSION_READ_ONLY_EXISTS, Login(rw, CKU_SO, kSoPin));
  ASSERT_CKR(CKR_OK, F().C_CloseSession(ro));
  ASSERT_CKR(CKR_OK, Login(rw, CKU_SO, kSoPin));
  EXPECT_EQ(CKS_RW_SO_FUNCTIONS, StateOf(rw));
  CK_SESSION_HANDLE refused = CK_INVALID_HANDLE;
  EXPECT_CKR(CKR_SESSION_READ_WRITE_SO_EXISTS,
             F().C_OpenSession(slot_, kReadOnly, nullptr, nullptr, &refused));
  EXPECT_CKR(CKR_PIN_LEN_RANGE, InitPin(rw, "123456789"));
  ASSERT_CKR(CKR_OK, InitPin(rw, "2468"));
  ASSERT_CKR(CKR_OK, F().C_Logout(rw));
  EXPECT_CKR(CKR_PIN_INCORRECT, Login(rw, CKU_USER, kUserPin));
  EXPECT_CKR(CKR_OK, Login(rw, CKU_USER, "2468"));
}

TEST_F(SessionsTest, UserChangesThePin) {
  const CK_SESSION_HANDLE session = Open();
  ASSERT_CKR(CKR_OK, Login(session, CKU_USER, kUserPin));
  // The wrong PIN ended the user's verification on the card: the slot
  // follows it, and the change made with nobody logged in leaves it so.
  EXPECT_CKR(CKR_PIN_INCORRECT, SetPin(session, "99999999", "13571357"));
  ASSERT_CKR(CKR_OK, SetPin(session, kUserPin, "13571357"));
  EXPECT_CKR(CKR_USER_NOT_LOGGED_IN, F().C_Logout(session));
  EXPECT_CKR(CKR_PIN_INCORRECT, Login(session, CKU_USER, kUserPin));
  EXPECT_CKR(CKR_OK, Login(session, CKU_USER, "13571357"));
}

// C_InitToken with a 32-byte blank-padded label: the token is emptied and
// relabelled, and has no usable user PIN until the officer sets one.
TEST_F(SessionsTest, InitTokenRelabelsAndEmpties) {
  const CK_SESSION_HANDLE session = Open();
  ASSERT_CKR(CKR_OK, Login(session, CKU_USER, kUserPin));
  Template data;
  data.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Text(CKA_LABEL, "gone soon");
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  ASSERT_CKR(CKR_OK, F().C_CreateObject(session, data.data(), data.size(), &handle));

  std::string label = Padded("Wine token", 32);
  Bytes so(kSoPin, kSoPin + 8);
  EXPECT_CKR(CKR_SESSION_EXISTS,
             F().C_InitToken(slot_, so.data(), 8, reinterpret_cast<CK_UTF8CHAR*>(label.data())));
  ASSERT_CKR(CKR_OK, F().C_CloseSession(session));
  ASSERT_CKR(CKR_OK,
             F().C_InitToken(slot_, so.data(), 8, reinterpret_cast<CK_UTF8CHAR*>(label.data())));
  CK_TOKEN_INFO info;
  ASSERT_CKR(CKR_OK, F().C_GetTokenInfo(slot_, &info));
  EXPECT_EQ(label, Field(info.label));
  const CK_SESSION_HANDLE again = Open();
  EXPECT_TRUE(FindAll(again).empty());
  EXPECT_NE(CKR_OK, Login(again, CKU_USER, kUserPin));
  ASSERT_CKR(CKR_OK, Login(again, CKU_SO, kSoPin));
  ASSERT_CKR(CKR_OK, InitPin(again, kUserPin));
  ASSERT_CKR(CKR_OK, F().C_Logout(again));
  EXPECT_CKR(CKR_OK, Login(again, CKU_USER, kUserPin));
}

}  // namespace
}  // namespace zorad::wintest
