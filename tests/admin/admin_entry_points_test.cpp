// The token administration entry points: C_InitToken, C_InitPIN, C_SetPIN.
#include <gtest/gtest.h>

#include <string>

#include "sim/card/card_state.h"
#include "signing/card_slot_fixture.h"
#include "support/token_fixture.h"

namespace zorad::test {
namespace {

constexpr uint8_t kUserPinReference = 0x69;

std::string Label(const std::string& text) {
  std::string label = text;
  label.resize(32, ' ');
  return label;
}

class AdminTest : public CardInReaderTest {
 protected:
  CK_RV InitToken(const std::string& soPin, std::string label = Label("Administered"),
                  CK_SLOT_ID slot = 0) {
    Bytes pin(soPin.begin(), soPin.end());
    return C_InitToken(slot == 0 ? slotId_ : slot, pin.empty() ? nullptr : pin.data(), pin.size(),
                       reinterpret_cast<CK_UTF8CHAR*>(label.data()));
  }
  static CK_RV InitPin(CK_SESSION_HANDLE s, const std::string& pin) {
    Bytes bytes(pin.begin(), pin.end());
    return C_InitPIN(s, bytes.empty() ? nullptr : bytes.data(), bytes.size());
  }
  static CK_RV SetPin(CK_SESSION_HANDLE s, const std::string& oldPin, const std::string& newPin) {
    Bytes o(oldPin.begin(), oldPin.end());
    Bytes n(newPin.begin(), newPin.end());
    return C_SetPIN(s, o.empty() ? nullptr : o.data(), o.size(), n.empty() ? nullptr : n.data(),
                    n.size());
  }
};

TEST_F(AdminTest, InitTokenOnATokenInUse) {
  const CK_SESSION_HANDLE s = Open();
  ASSERT_CKR(CKR_OK, Login(s, CKU_USER, kUserPin));
  Template data;
  data.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Text(CKA_LABEL, "gone soon");
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  ASSERT_CKR(CKR_OK, C_CreateObject(s, data.data(), data.size(), &handle));
  ASSERT_CKR(CKR_OK, C_CloseSession(s));

  ASSERT_CKR(CKR_OK, InitToken(kSoPin, Label("Administered")));
  CK_TOKEN_INFO info{};
  ASSERT_CKR(CKR_OK, C_GetTokenInfo(slotId_, &info));
  EXPECT_EQ(Label("Administered"),
            std::string(reinterpret_cast<const char*>(info.label), sizeof info.label));
  EXPECT_NE(0u, info.flags & CKF_TOKEN_INITIALIZED);
  EXPECT_EQ(0u, info.flags & CKF_USER_PIN_INITIALIZED);
  EXPECT_EQ(64u * 128u, info.ulFreePublicMemory);

  // The slot follows the card: a new session sees an empty token with no
  // usable user PIN until the security officer sets one.
  const CK_SESSION_HANDLE again = Open();
  EXPECT_TRUE(FindAll(again).empty());
  EXPECT_CKR(CKR_FUNCTION_FAILED, Login(again, CKU_USER, kUserPin));
  EXPECT_FALSE(card_->State().files.at(sim::kUserPinFid).active);
  ASSERT_CKR(CKR_OK, Login(again, CKU_SO, kSoPin));
  ASSERT_CKR(CKR_OK, InitPin(again, "2468"));
  ASSERT_CKR(CKR_OK, C_GetTokenInfo(slotId_, &info));
  EXPECT_NE(0u, info.flags & CKF_USER_PIN_INITIALIZED);
}

TEST_F(AdminTest, InitTokenRefusals) {
  // A session open on the slot: the card is not touched.
  const CK_SESSION_HANDLE s = Open(kReadOnly);
  card_->ClearLog();
  EXPECT_CKR(CKR_SESSION_EXISTS, InitToken(kSoPin));
  EXPECT_TRUE(card_->Commands().empty());
  ASSERT_CKR(CKR_OK, C_CloseSession(s));

  EXPECT_CKR(CKR_SLOT_ID_INVALID, InitToken(kSoPin, Label("x"), slotId_ + 100));
  Bytes pin(kSoPin, kSoPin + 8);
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_InitToken(slotId_, pin.data(), pin.size(), nullptr));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_InitToken(slotId_, nullptr, 8, pin.data()));

  const Bytes userPin = card_->State().pins.at(kUserPinReference).value;
  EXPECT_CKR(CKR_PIN_INCORRECT, InitToken("00000000"));
  EXPECT_CKR(CKR_PIN_LEN_RANGE, InitToken("123"));  // shorter than the token allows
  card_->SetPinTriesLeft(0x67, 0);
  EXPECT_CKR(CKR_PIN_LOCKED, InitToken(kSoPin));
  EXPECT_EQ(userPin, card_->State().pins.at(kUserPinReference).value);
  // The token is still usable.
  EXPECT_NE(CK_INVALID_HANDLE, Open());
}

// A card failure cuts the initialisation short: the slot reads the card
// again, and the token stays listed. A card swapped for it right after
// (pulled while the module looks, the other one put in) is read too.
TEST_F(AdminTest, FailedInitTokenKeepsTheToken) {
  card_->AnswerMatching({std::nullopt, 0xD6}, 0x6581);
  EXPECT_CKR(CKR_DEVICE_ERROR, InitToken(kSoPin));
  card_->ClearFaults();
  CK_ULONG count = 0;
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, nullptr, &count));
  EXPECT_EQ(1u, count);

  card_->AnswerMatching({std::nullopt, 0xD6}, 0x6581);
  EXPECT_CKR(CKR_DEVICE_ERROR, InitToken(kSoPin));
  ASSERT_TRUE(sim::pcsc::RemoveCard(kReaderName));
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, nullptr, &count));
  auto other = std::make_shared<sim::SimulatedCard>(Personalisation());
  sim::CardState state = other->State();
  state.settings.serialNumber[6] = 0xEE;
  other->ReplaceState(state);
  ASSERT_TRUE(sim::pcsc::InsertCard(kReaderName, other));
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, nullptr, &count));
  EXPECT_EQ(1u, count);
  CK_TOKEN_INFO info{};
  ASSERT_CKR(CKR_OK, C_GetTokenInfo(slotId_, &info));
  EXPECT_EQ('E', info.serialNumber[12]);
}

// One torn table write: re-initialising, the only repair, still works.
TEST_F(AdminTest, InitTokenRepairsADamagedAllocationTable) {
  card_->WriteFile(sim::kPublicAreaFid, 8192 + 128, Bytes(8, 0xEE));
  ASSERT_CKR(CKR_OK, InitToken(kSoPin));
  CK_TOKEN_INFO info{};
  EXPECT_CKR(CKR_OK, C_GetTokenInfo(slotId_, &info));
  EXPECT_EQ(64u * 128u, info.ulFreePublicMemory);
}

TEST_F(AdminTest, InitPinNeedsTheSecurityOfficerInAReadWriteSession) {
  const CK_SESSION_HANDLE rw = Open();
  const CK_SESSION_HANDLE ro = Open(kReadOnly);
  EXPECT_CKR(CKR_USER_NOT_LOGGED_IN, InitPin(rw, "24682468"));
  ASSERT_CKR(CKR_OK, Login(rw, CKU_USER, kUserPin));
  EXPECT_CKR(CKR_USER_NOT_LOGGED_IN, InitPin(rw, "24682468"));
  EXPECT_CKR(CKR_SESSION_READ_ONLY, InitPin(ro, "24682468"));
  ASSERT_CKR(CKR_OK, C_Logout(rw));
  ASSERT_CKR(CKR_OK, C_CloseSession(ro));

  ASSERT_CKR(CKR_OK, Login(rw, CKU_SO, kSoPin));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, InitPin(rw, ""));
  EXPECT_CKR(CKR_PIN_LEN_RANGE, InitPin(rw, "123456789"));
  EXPECT_CKR(CKR_SESSION_HANDLE_INVALID, InitPin(0x7777, "24682468"));
  ASSERT_CKR(CKR_OK, InitPin(rw, "2468"));
  ASSERT_CKR(CKR_OK, C_Logout(rw));
  EXPECT_CKR(CKR_OK, Login(rw, CKU_USER, "2468"));
}

TEST_F(AdminTest, SetPinWithNobodyLoggedInLeavesTheCardLoggedOut) {
  const CK_SESSION_HANDLE s = Open();
  EXPECT_CKR(CKR_PIN_INCORRECT, SetPin(s, "99999999", "13571357"));
  ASSERT_CKR(CKR_OK, SetPin(s, kUserPin, "13571357"));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, StateOf(s));
  EXPECT_FALSE(card_->IsPinVerified(kUserPinReference));
  EXPECT_CKR(CKR_PIN_INCORRECT, Login(s, CKU_USER, kUserPin));
  EXPECT_CKR(CKR_OK, Login(s, CKU_USER, "13571357"));
}

TEST_F(AdminTest, SetPinRefusals) {
  const CK_SESSION_HANDLE ro = Open(kReadOnly);
  EXPECT_CKR(CKR_SESSION_READ_ONLY, SetPin(ro, kUserPin, "13571357"));
  const CK_SESSION_HANDLE rw = Open();
  // A null old PIN of length 0 passes the entry check; the card operation
  // refuses it.
  EXPECT_CKR(CKR_ARGUMENTS_BAD, SetPin(rw, "", "13571357"));
  EXPECT_CKR(CKR_PIN_LEN_RANGE, SetPin(rw, kUserPin, "123456789"));
  Bytes pin(kUserPin, kUserPin + 8);
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_SetPIN(rw, nullptr, 8, pin.data(), pin.size()));
  EXPECT_CKR(CKR_SESSION_HANDLE_INVALID, SetPin(0x7777, kUserPin, "13571357"));
  EXPECT_CKR(CKR_OK, Login(rw, CKU_USER, kUserPin));
}

}  // namespace
}  // namespace zorad::test
