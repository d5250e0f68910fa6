// The PIN operations behind C_SetPIN and C_InitPIN and the random bytes
// behind C_GenerateRandom, on the slot of an open session: the exact
// commands, the 6989 activation answer, and PINs outside the token's
// limits refused before anything is sent.
#include <gtest/gtest.h>

#include "card/token_pin.h"
#include "card/token_random.h"
#include "slot/slot_table.h"
#include "support/token_fixture.h"

namespace zorad::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pin(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Command(Bytes header, const Bytes& data) {
  header.insert(header.end(), data.begin(), data.end());
  return header;
}

class PinOperationsTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    if (HasFatalFailure()) return;
    slot_ = slot::FindSlot(slotId_);
    ASSERT_NE(nullptr, slot_);
    card_->ClearLog();
    beginsBefore_ = sim::pcsc::CallCount(sim::pcsc::Call::kBeginTransaction);
  }
  slot::Slot* slot_ = nullptr;
  size_t beginsBefore_ = 0;
};

TEST_F(PinOperationsTest, SetPinVerifiesOldAndStoresNewInOneTransaction) {
  const Bytes oldPin = Pin(kSoPin);
  const Bytes newPin = Pin("abcd");
  ASSERT_CKR(CKR_OK, card::SetTokenPIN(*slot_, oldPin.data(), oldPin.size(), newPin.data(),
                                       newPin.size(), CKU_SO));
  const std::vector<Bytes> commands = card_->Commands();
  ASSERT_EQ(3u, commands.size());
  EXPECT_EQ(0xA4, commands[0][1]);
  EXPECT_EQ(Command({0x00, 0x20, 0x00, 0x67, 0x08}, oldPin), commands[1]);
  EXPECT_EQ(Command({0x00, 0x24, 0x01, 0x67, 0x08}, Pin("abcd1111")), commands[2]);
  EXPECT_EQ(1u, sim::pcsc::CallCount(sim::pcsc::Call::kBeginTransaction) - beginsBefore_);

  C_CloseSession(session_);
  session_ = Open();
  EXPECT_CKR(CKR_PIN_INCORRECT, Login(session_, CKU_SO, kSoPin));
  EXPECT_CKR(CKR_OK, Login(session_, CKU_SO, "abcd"));
}

// The token allows 4 to 8 bytes: a PIN set outside that is refused, an old
// PIN longer than any the card holds is wrong.
TEST_F(PinOperationsTest, PinsOutsideTheLimitsOrMissingAreRefusedBeforeTheCard) {
  const Bytes nine = Pin("123456789");
  const Bytes three = Pin("123");
  const Bytes good = Pin("1234");
  EXPECT_CKR(CKR_PIN_INCORRECT, card::SetTokenPIN(*slot_, nine.data(), nine.size(), good.data(),
                                                  good.size(), CKU_USER));
  EXPECT_CKR(CKR_PIN_LEN_RANGE, card::SetTokenPIN(*slot_, good.data(), good.size(), nine.data(),
                                                  nine.size(), CKU_USER));
  EXPECT_CKR(CKR_PIN_LEN_RANGE, card::SetTokenPIN(*slot_, good.data(), good.size(), three.data(),
                                                  three.size(), CKU_USER));
  EXPECT_CKR(CKR_ARGUMENTS_BAD,
             card::SetTokenPIN(*slot_, nullptr, 0, good.data(), good.size(), CKU_USER));
  EXPECT_CKR(CKR_PIN_LEN_RANGE, card::InitTokenPIN(*slot_, nine.data(), nine.size()));
  EXPECT_CKR(CKR_PIN_LEN_RANGE, card::InitTokenPIN(*slot_, three.data(), three.size()));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, card::InitTokenPIN(*slot_, good.data(), 0));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, card::InitTokenPIN(*slot_, nullptr, 4));
  EXPECT_TRUE(card_->Commands().empty());
}

TEST_F(PinOperationsTest, SetPinWithWrongOldPinChangesNothing) {
  const Bytes wrong = Pin("0000");
  const Bytes newPin = Pin("4321");
  EXPECT_CKR(CKR_PIN_INCORRECT, card::SetTokenPIN(*slot_, wrong.data(), wrong.size(), newPin.data(),
                                                  newPin.size(), CKU_USER));
  EXPECT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
}

TEST_F(PinOperationsTest, InitPinAcceptsAnAlreadyActiveUserPinFile) {
  for (const uint16_t activation : {uint16_t{0x9000}, uint16_t{0x6989}}) {
    SCOPED_TRACE(activation);
    card_->SetActivationAnswer(activation);
    ASSERT_CKR(CKR_OK, Login(session_, CKU_SO, kSoPin));  // the card lets the SO set it
    card_->ClearLog();
    const Bytes pin = Pin("2468");
    ASSERT_CKR(CKR_OK, card::InitTokenPIN(*slot_, pin.data(), pin.size()));
    const std::vector<Bytes> commands = card_->Commands();
    ASSERT_EQ(3u, commands.size());
    EXPECT_EQ((Bytes{0x00, 0x44, 0x00, 0x00, 0x02, 0x00, 0x1E}), commands[1]);
    EXPECT_EQ(Command({0x00, 0x24, 0x01, 0x69, 0x08}, Pin("24681111")), commands[2]);
    ASSERT_CKR(CKR_OK, C_Logout(session_));
    EXPECT_CKR(CKR_OK, Login(session_, CKU_USER, "2468"));
    ASSERT_CKR(CKR_OK, C_Logout(session_));
  }
}

TEST_F(PinOperationsTest, InitPinFailsWhenActivationIsRefused) {
  card_->SetActivationAnswer(0x6A82);
  ASSERT_CKR(CKR_OK, Login(session_, CKU_SO, kSoPin));
  const Bytes pin = Pin("2468");
  EXPECT_CKR(CKR_FUNCTION_FAILED, card::InitTokenPIN(*slot_, pin.data(), pin.size()));
  ASSERT_CKR(CKR_OK, C_Logout(session_));
  EXPECT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
}

TEST_F(PinOperationsTest, RandomBytesComeInChallengesOf32) {
  Bytes random(40, 0);
  ASSERT_CKR(CKR_OK, card::GenerateTokenRandom(*slot_, random.data(), random.size()));
  const std::vector<Bytes> commands = card_->Commands();
  ASSERT_EQ(3u, commands.size());
  EXPECT_EQ((Bytes{0x00, 0x84, 0x00, 0x00, 0x20}), commands[1]);
  EXPECT_EQ((Bytes{0x00, 0x84, 0x00, 0x00, 0x08}), commands[2]);
  EXPECT_NE(Bytes(40, 0), random);

  EXPECT_CKR(CKR_FUNCTION_FAILED, card::GenerateTokenRandom(*slot_, nullptr, 8));
  EXPECT_CKR(CKR_FUNCTION_FAILED, card::GenerateTokenRandom(*slot_, random.data(), 0));
  card_->AnswerMatching({std::nullopt, 0x84}, 0x6F00);
  EXPECT_CKR(CKR_FUNCTION_FAILED, card::GenerateTokenRandom(*slot_, random.data(), 8));
}

}  // namespace
}  // namespace zorad::test
