// C_Login and C_Logout: the login state of the slot, shared by its sessions,
// the PIN block on the card, wrong and blocked PINs, and logging the card
// out.
#include <gtest/gtest.h>

#include <functional>

#include "card/token.h"
#include "reader/reader.h"
#include "slot/slot_table.h"
#include "store/object_maps.h"
#include "store/token_logout.h"
#include "support/token_fixture.h"

namespace zorad::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kVerify = 0x20;
constexpr uint8_t kUserReference = 0x69;

class LoginTest : public SessionTest {
 protected:
  // A key pair on the card and a sign operation begun with it in the
  // session: what a PIN given again (CKU_CONTEXT_SPECIFIC) is for.
  void BeginSignOperation() {
    const std::vector<uint8_t> cryptoProA{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
    Template pub, priv;
    pub.Bool(CKA_TOKEN, true).Bytes(CKA_GOSTR3410_PARAMS, cryptoProA);
    priv.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true);
    CK_MECHANISM generate{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE, privateKey = CK_INVALID_HANDLE;
    ASSERT_CKR(CKR_OK, C_GenerateKeyPair(session_, &generate, pub.data(), pub.size(), priv.data(),
                                         priv.size(), &publicKey, &privateKey));
    CK_MECHANISM sign{CKM_GOSTR3410, nullptr, 0};
    ASSERT_CKR(CKR_OK, C_SignInit(session_, &sign, privateKey));
  }

  // The VERIFY commands the card received since the log was cleared.
  std::vector<Bytes> VerifyCommands() const {
    std::vector<Bytes> verifies;
    for (const Bytes& command : card_->Commands()) {
      if (command.size() > 1 && command[1] == kVerify) verifies.push_back(command);
    }
    return verifies;
  }
};

// The card leaves and comes back between two calls that look at the reader:
// it lost the user's verification, so the slot's login ends with it and the
// card is read again as a card nobody is logged in to.
TEST_F(LoginTest, CardRemovalEndsTheLogin) {
  ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  const CK_OBJECT_HANDLE secret = CreateData("secret", /*token=*/false, /*isPrivate=*/true);
  ASSERT_TRUE(sim::pcsc::RemoveCard(kReaderName));
  CK_SLOT_INFO slotInfo;
  ASSERT_CKR(CKR_OK, C_GetSlotInfo(slotId_, &slotInfo));
  ASSERT_EQ(0u, slotInfo.flags & CKF_TOKEN_PRESENT);
  ASSERT_TRUE(sim::pcsc::InsertCard(kReaderName, card_));

  CK_SESSION_HANDLE again = CK_INVALID_HANDLE;
  EXPECT_CKR(CKR_OK, C_OpenSession(slotId_, kReadWrite, nullptr, nullptr, &again));
  CK_TOKEN_INFO info;
  EXPECT_CKR(CKR_OK, C_GetTokenInfo(slotId_, &info));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(again));
  CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
  EXPECT_CKR(CKR_OBJECT_HANDLE_INVALID, C_GetAttributeValue(again, secret, &label, 1));
  EXPECT_CKR(CKR_OK, Login(again, CKU_USER, kUserPin));
}

// However the module notices that the card left (a slot query, an event
// poll, a call on the card), the slot's sessions end with it: nothing begun
// before the removal completes on the card put back. A card pulled and put
// back before the module looked is a removal and an insertion.
TEST_F(LoginTest, RemovalEndsTheSessionsHoweverItIsNoticed) {
  CK_SLOT_INFO slotInfo;
  CK_TOKEN_INFO tokenInfo;
  CK_SLOT_ID event = 0;
  CK_OBJECT_HANDLE object = 0;
  CK_BYTE bytes[32];
  CK_ULONG length = sizeof bytes;
  const std::pair<bool, std::function<void(CK_SESSION_HANDLE)>> ways[] = {  // put back first?
      {false, [&](CK_SESSION_HANDLE) { C_GetSlotInfo(slotId_, &slotInfo); }},
      {false, [&](CK_SESSION_HANDLE) { C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr); }},
      {false, [&](CK_SESSION_HANDLE s) { C_GenerateRandom(s, bytes, sizeof bytes); }},
      {true, [&](CK_SESSION_HANDLE) { EXPECT_CKR(CKR_OK, C_GetTokenInfo(slotId_, &tokenInfo)); }},
      {true, [&](CK_SESSION_HANDLE) { Open(); }},
  };
  for (const auto& [backFirst, notice] : ways) {
    SCOPED_TRACE(backFirst);
    const CK_SESSION_HANDLE old = Open();
    ASSERT_CKR(CKR_OK, Login(old, CKU_USER, kUserPin));
    CK_MECHANISM digest{CKM_GOSTR3411, nullptr, 0};
    ASSERT_CKR(CKR_OK, C_DigestInit(old, &digest));
    ASSERT_TRUE(sim::pcsc::RemoveCard(kReaderName));
    if (backFirst) sim::pcsc::InsertCard(kReaderName, card_);
    notice(old);
    if (!backFirst) sim::pcsc::InsertCard(kReaderName, card_);
    EXPECT_CKR(CKR_SESSION_HANDLE_INVALID, C_DigestFinal(old, bytes, &length));
    EXPECT_CKR(CKR_SESSION_HANDLE_INVALID, C_CreateObject(old, nullptr, 0, &object));
    EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(Open()));
  }
}

// Another application's logout resets the card, which forgets this
// application's verification: the login ends with it, public work goes on
// and a new login succeeds.
TEST_F(LoginTest, ResetByAnotherApplicationEndsTheLogin) {
  ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  CreateData("public", true);
  CreateData("private", true, true);
  const size_t everything = FindAll(session_).size();
  ASSERT_TRUE(sim::pcsc::ResetByOtherApplication(kReaderName));
  CK_TOKEN_INFO info;
  ASSERT_CKR(CKR_OK, C_GetTokenInfo(slotId_, &info));  // a call that notices the reset
  EXPECT_TRUE(store::MapsOf(*slot::FindSlot(slotId_)->token).privateObjects.empty())
      << "the private values read under the login are still in memory";
  EXPECT_EQ(everything - 1, FindAll(session_).size());
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(session_));
  EXPECT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  EXPECT_EQ(everything, FindAll(session_).size());
  // The next call may be the login itself: it notices the reset first.
  ASSERT_TRUE(sim::pcsc::ResetByOtherApplication(kReaderName));
  EXPECT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  EXPECT_EQ(everything, FindAll(session_).size());
}

// The login is the slot's, shared by its sessions; closing the last of
// them logs the card out as C_Logout does (SoftHSMv2 alike): the next
// session starts public and sees no private object.
TEST_F(LoginTest, LoginIsSharedBySessionsAndEndsWithTheLast) {
  const CK_SESSION_HANDLE other = Open(kReadOnly);
  ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  EXPECT_EQ(CKS_RO_USER_FUNCTIONS, StateOf(other));
  EXPECT_CKR(CKR_USER_ALREADY_LOGGED_IN, Login(other, CKU_USER, kUserPin));
  CreateData("secret", true, true);

  ASSERT_CKR(CKR_OK, C_CloseSession(session_));
  EXPECT_EQ(CKS_RO_USER_FUNCTIONS, StateOf(other));
  ASSERT_CKR(CKR_OK, C_CloseSession(other));
  const CK_SESSION_HANDLE later = Open();
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(later));
  EXPECT_FALSE(card_->IsPinVerified(kUserReference));
  EXPECT_TRUE(FindAll(later).empty());

  ASSERT_CKR(CKR_OK, Login(later, CKU_USER, kUserPin));
  ASSERT_CKR(CKR_OK, C_Logout(later));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(later));
  EXPECT_FALSE(card_->IsPinVerified(kUserReference)) << "logout powers the card down";
  ASSERT_CKR(CKR_OK, Login(later, CKU_USER, kUserPin));
  ASSERT_CKR(CKR_OK, C_Finalize(nullptr));
  EXPECT_FALSE(card_->IsPinVerified(kUserReference)) << "finalisation resets the card";
}

TEST_F(LoginTest, ClosingAllSessionsOfTheSlotEndsTheLogin) {
  ASSERT_CKR(CKR_OK, Login(Open(kReadOnly), CKU_USER, kUserPin));
  const CK_OBJECT_HANDLE object = CreateData("session object", false);
  EXPECT_CKR(CKR_SLOT_ID_INVALID, C_CloseAllSessions(slotId_ + 100));
  ASSERT_CKR(CKR_OK, C_CloseAllSessions(slotId_));
  EXPECT_CKR(CKR_SESSION_HANDLE_INVALID, C_CloseSession(session_));
  const CK_SESSION_HANDLE later = Open();
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(later));
  EXPECT_TRUE(ReadText(later, object).empty());  // gone with its session
}

TEST_F(LoginTest, LoginStateRules) {
  struct Step {
    CK_USER_TYPE userType;
    const char* pin;
    CK_RV expected;
  };
  // Applied in order on one slot. A PIN given again is for an operation
  // under way: without one it is refused (SoftHSMv2 alike).
  constexpr CK_USER_TYPE kBeginSign = 0xFFFF;  // no login: a sign operation begins
  const Step steps[] = {
      {CKU_CONTEXT_SPECIFIC, kUserPin, CKR_OPERATION_NOT_INITIALIZED},
      {CKU_USER, kUserPin, CKR_OK},
      {CKU_SO, kSoPin, CKR_USER_ANOTHER_ALREADY_LOGGED_IN},
      {CKU_CONTEXT_SPECIFIC, kUserPin, CKR_OPERATION_NOT_INITIALIZED},
      {kBeginSign, "", CKR_OK},
      {CKU_CONTEXT_SPECIFIC, kUserPin, CKR_OK},
      {CKU_CONTEXT_SPECIFIC, "0000", CKR_PIN_INCORRECT},  // the card drops the login
      {CKU_USER, kUserPin, CKR_OK},
      {CKU_USER, kUserPin, CKR_USER_ALREADY_LOGGED_IN},
      {7, kUserPin, CKR_USER_TYPE_INVALID},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.userType);
    if (step.userType == kBeginSign) {
      BeginSignOperation();
      continue;
    }
    EXPECT_CKR(step.expected, Login(session_, step.userType, step.pin));
  }
  EXPECT_EQ(CKS_RW_USER_FUNCTIONS, StateOf(session_));
  EXPECT_CKR(CKR_OK, C_Logout(session_));
  EXPECT_CKR(CKR_USER_NOT_LOGGED_IN, C_Logout(session_));
  EXPECT_CKR(CKR_SESSION_HANDLE_INVALID, Login(session_ + 1000, CKU_USER, kUserPin));
  EXPECT_CKR(CKR_SESSION_HANDLE_INVALID, C_Logout(session_ + 1000));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_Login(session_, CKU_USER, nullptr, 4));
}

// A refused PIN of the role logged in: the slot follows what the card then
// says about that role.
TEST_F(LoginTest, RefusedPinOfTheRoleLoggedInFollowsTheCard) {
  ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  BeginSignOperation();
  card_->ClearLog();
  card_->AnswerAt(2, 0x63C2);  // refused, but the card keeps the verification
  EXPECT_CKR(CKR_PIN_INCORRECT, Login(session_, CKU_CONTEXT_SPECIFIC, "0000"));
  EXPECT_EQ(CKS_RW_USER_FUNCTIONS, StateOf(session_));
  std::vector<CK_UTF8CHAR> wrong(4, '0'), pin(8, '4');
  EXPECT_CKR(CKR_PIN_INCORRECT, C_SetPIN(session_, wrong.data(), 4, pin.data(), 8));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(session_));
}

TEST_F(LoginTest, RefusedPinsLeaveTheSlotLoggedOut) {
  struct Case {
    const char* name;
    std::string pin;
    uint8_t triesLeft;  // 0: the PIN is blocked
    CK_RV expected;
    size_t verifiesSent;
  };
  const Case cases[] = {
      {"wrong PIN", "1111", 5, CKR_PIN_INCORRECT, 1},
      {"blocked PIN", kUserPin, 0, CKR_PIN_LOCKED, 1},
      {"longer than any PIN the card holds", "123456789", 5, CKR_PIN_INCORRECT, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    card_->SetPinTriesLeft(kUserReference, c.triesLeft);
    card_->ClearLog();
    EXPECT_CKR(c.expected, Login(session_, CKU_USER, c.pin));
    EXPECT_EQ(c.verifiesSent, VerifyCommands().size());
    EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(session_));
  }
}

TEST_F(LoginTest, OtherCardRefusalIsFunctionFailed) {
  card_->AnswerMatching({std::nullopt, kVerify}, 0x6A88);
  EXPECT_CKR(CKR_FUNCTION_FAILED, Login(session_, CKU_USER, kUserPin));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(session_));
}

// The PIN goes to the card as an 8-byte block padded with '1', a longer one
// (up to the token's maximum) whole; an empty PIN passes the argument check
// and becomes eight '1's.
TEST_F(LoginTest, PinBlockOnTheCard) {
  struct Case {
    std::string cardPin;
    Bytes block;
  };
  const Case cases[] = {
      {"1234", {'1', '2', '3', '4', 0x31, 0x31, 0x31, 0x31}},
      {"abcdefgh", {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}},
      {"", Bytes(8, 0x31)},
      {"0123456789", {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cardPin);
    sim::CardPersonalisation p;
    p.userPin = c.cardPin;
    p.maxPinLen = 10;
    card_->ReplaceState(sim::Personalise(p));
    // A card put through a reset is read again: the new PIN limits.
    ASSERT_TRUE(sim::pcsc::ResetByOtherApplication(kReaderName));
    CK_TOKEN_INFO info;
    ASSERT_CKR(CKR_OK, C_GetTokenInfo(slotId_, &info));
    card_->ClearLog();
    ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, c.cardPin));
    const std::vector<Bytes> verifies = VerifyCommands();
    ASSERT_EQ(1u, verifies.size());
    Bytes expected = c.block;
    const Bytes header{0x00, kVerify, 0x00, kUserReference, uint8_t(c.block.size())};
    expected.insert(expected.begin(), header.begin(), header.end());
    EXPECT_EQ(expected, verifies[0]);
    ASSERT_CKR(CKR_OK, C_Logout(session_));
  }
}

// A login sends the PIN only; a private area that cannot be read shows at
// the next search, and the login stands.
TEST_F(LoginTest, UnreadablePrivateAreaShowsAtTheNextSearch) {
  const sim::CardPersonalisation p;
  const size_t privateTable = p.privateArea.capacity + 128;
  card_->WriteFile(0x0001, privateTable, Bytes(16, 0xEE));
  EXPECT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  EXPECT_NE(CKR_OK, C_FindObjectsInit(session_, nullptr, 0));
  EXPECT_EQ(CKS_RW_USER_FUNCTIONS, StateOf(session_));
}

TEST_F(LoginTest, UserLoginSendsOneVerifyOnly) {
  card_->ClearLog();
  ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  const std::vector<Bytes> commands = card_->Commands();
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(0xA4, commands[0][1]) << "application selected first";
  EXPECT_EQ(kVerify, commands[1][1]);
  EXPECT_EQ(1u, VerifyCommands().size());
  // The private area waits for a search.
  size_t areaSelects = 0;
  for (const Bytes& command : commands) {
    if (command.size() == 7 && command[1] == 0xA4 && command[5] == 0x00 &&
        (command[6] == 0x01 || command[6] == 0x09)) {
      ++areaSelects;
    }
  }
  EXPECT_EQ(0u, areaSelects);
}

}  // namespace
}  // namespace zorad::test

namespace zorad::test {
namespace {

class LogoutTokenTest : public LoginTest {
 protected:
  slot::Slot& TheSlot() { return *slot::FindSlot(slotId_); }
};

// Logging out ends the card's verification and the slot's login without
// reading the card; public objects another process broke meanwhile show at
// the next search.
TEST_F(LogoutTokenTest, LogoutReadsNothingAndTheNextSearchChecks) {
  ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  CreateData("private", true, true);
  const sim::CardPersonalisation p;
  card_->WriteFile(0x0009, p.publicArea.capacity + 128, Bytes(16, 0xEE));
  card_->ClearLog();
  EXPECT_CKR(CKR_OK, C_Logout(session_));
  EXPECT_TRUE(card_->Commands().empty());
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(session_));
  EXPECT_FALSE(card_->IsPinVerified(kUserReference));
  EXPECT_TRUE(store::MapsOf(*TheSlot().token).privateObjects.empty());
  EXPECT_NE(CKR_OK, C_FindObjectsInit(session_, nullptr, 0));
}

TEST_F(LogoutTokenTest, SlotWithoutTokenIsGeneralError) {
  ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  slot::Slot& slot = TheSlot();
  reader::CloseReader(slot.reader.get());
  slot.token.reset();
  EXPECT_CKR(CKR_GENERAL_ERROR, store::LogoutToken(slot));
  EXPECT_EQ(card::kNobody, slot.loginState);
}

// A token whose tables were never read is powered down and logged out.
TEST_F(LogoutTokenTest, TokenWithoutTablesStillEndsTheVerification) {
  ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  slot::Slot& slot = TheSlot();
  slot.token->objects.toat().reset();
  EXPECT_CKR(CKR_OK, store::LogoutToken(slot));
  EXPECT_EQ(card::kNobody, slot.loginState);
  EXPECT_FALSE(card_->IsPinVerified(kUserReference));
}

}  // namespace
}  // namespace zorad::test
