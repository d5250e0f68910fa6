// The token's identity on the card: the serial number check, the test for
// a card of the family, the transaction frame of token operations, the
// object list refresh and the device state.
#include <gtest/gtest.h>

#include "card/apdu.h"
#include "card/token_identity.h"
#include "card/token_info.h"
#include "card/token_transaction.h"
#include "sim/card/personalisation.h"
#include "store/token_refresh.h"
#include "token/token_fixture.h"

namespace zorad::test {
namespace {

card::SerialNumberField SerialField(const std::string& text) {
  card::SerialNumberField field;
  field.fill(' ');
  std::copy(text.begin(), text.end(), field.begin());
  return field;
}

std::shared_ptr<sim::SimulatedCard> CardWithSerial(std::array<uint8_t, 7> serial) {
  sim::CardPersonalisation p;
  p.serialNumber = serial;
  return std::make_shared<sim::SimulatedCard>(p);
}

class TokenIdentityTest : public TokenTest {};

TEST_F(TokenIdentityTest, SerialNumberAndTheSameTokenCheck) {
  slot::Slot& slot = Insert(CardWithSerial({0x00, 0x0A, 0xFF, 0x10, 0x20, 0x30, 0x40}));
  ASSERT_CKR(CKR_OK, card::ReadTokenInfo(slot));
  EXPECT_EQ(SerialField("000AFF10203040"), slot.token->serialNumber);
  EXPECT_CKR(CKR_OK, card::IsTheSameToken(slot));

  // Another card in the same reader.
  std::unique_ptr<card::Token> token = std::move(slot.token);
  Insert(CardWithSerial({0x00, 0x0A, 0xFF, 0x10, 0x20, 0x30, 0x41}), true);
  slot.token = std::move(token);
  EXPECT_CKR(CKR_TOKEN_NOT_RECOGNIZED, card::IsTheSameToken(slot));
  reader::CloseReader(slot.reader.get());
  EXPECT_CKR(CKR_TOKEN_NOT_PRESENT, card::IsTheSameToken(slot));
}

// A chip without the application reads as a blank token when asked
// directly, but does not count as a token of the family in a slot.
TEST_F(TokenIdentityTest, WhichCardsAreTokensOfTheFamily) {
  struct Case {
    const char* what;
    MakeCard card;
    CK_RV expected;
    bool inSlot;
  };
  const Case cases[] = {
      {"personalised card", [] { return std::make_shared<sim::SimulatedCard>(); }, CKR_OK, true},
      {"application without token files",
       [] {
         auto card = std::make_shared<sim::SimulatedCard>();
         card->AnswerMatching({std::nullopt, 0xB0}, 0x6A82);
         return card;
       },
       CKR_OK, true},
      {"chip without the application",
       [] { return std::make_shared<sim::SimulatedCard>(sim::BlankCardPersonalisation()); },
       CKR_OK, false},
      {"card of another family", [] { return std::make_shared<ForeignCard>(); }, CKR_OK, false},
      {"no card", [] { return nullptr; }, CKR_TOKEN_NOT_RECOGNIZED, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    slot::Slot& slot = Insert(c.card());
    bool inSlot = !c.inSlot;
    EXPECT_CKR(c.expected, card::IsTokenInSlot(slot, inSlot));
    EXPECT_EQ(c.inSlot, inSlot);
    EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
  }
}

TEST_F(TokenIdentityTest, TransactionEndsOnEveryPath) {
  slot::Slot& slot = Insert(std::make_shared<ForeignCard>(), true);
  {
    card::TokenTransaction transaction(slot);
    EXPECT_CKR(CKR_DEVICE_ERROR, transaction.BeginAndSelect(CKR_DEVICE_ERROR));
    EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
    ASSERT_CKR(CKR_OK, transaction.Begin());
    EXPECT_EQ(1u, sim::pcsc::OpenTransactions());
  }
  EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
}

// After another application reset the card, the card is compared with the
// serial number the record held before the read. A reading that fails
// (another card, a refused transaction) keeps the token's identity: its
// serial number and area descriptors serve every later operation.
TEST_F(TokenIdentityTest, ReadingAfterAResetChecksTheCardAgainstTheSerialHeldBefore) {
  slot::Slot& slot = Insert(std::make_shared<sim::SimulatedCard>());
  ASSERT_CKR(CKR_OK, card::ReadTokenInfo(slot));
  ASSERT_TRUE(sim::pcsc::ResetByOtherApplication(kReaderName));
  EXPECT_CKR(CKR_OK, card::ReadTokenInfo(slot));
  EXPECT_EQ(SerialField("0123456789ABCD"), slot.token->serialNumber);
  const card::TokenInfoFile info = slot.token->info;

  sim::pcsc::FailNext(sim::pcsc::Call::kBeginTransaction, SCARD_E_SHARING_VIOLATION);
  EXPECT_CKR(CKR_FUNCTION_FAILED, card::ReadTokenInfo(slot));
  EXPECT_EQ(SerialField("0123456789ABCD"), slot.token->serialNumber);
  EXPECT_EQ(info.publicArea.blockCount, slot.token->info.publicArea.blockCount);

  slot.token->serialNumber = SerialField("FFFFFFFFFFFFFF");
  ASSERT_TRUE(sim::pcsc::ResetByOtherApplication(kReaderName));
  EXPECT_CKR(CKR_FUNCTION_FAILED, card::ReadTokenInfo(slot));
  EXPECT_EQ(SerialField("FFFFFFFFFFFFFF"), slot.token->serialNumber);
  EXPECT_TRUE(slot.token->infoRead);
  EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
}

TEST_F(TokenIdentityTest, RefreshReadsTheObjectLists) {
  slot::Slot& slot = Insert(std::make_shared<sim::SimulatedCard>());
  ASSERT_CKR(CKR_OK, card::ReadTokenInfo(slot));
  EXPECT_FALSE(slot.token->objects.proven);
  ASSERT_CKR(CKR_OK, store::RefreshToken(slot, nullptr, store::Bodies::kRead));
  EXPECT_TRUE(slot.token->objects.proven);
  EXPECT_FALSE(slot.token->objects.objectsStale);

  // A card that is no token: the lists stay stale and unproven.
  Insert(std::make_shared<ForeignCard>(), true);
  slot.token->info.publicArea = {8192, 0, 64, 128};
  EXPECT_CKR(CKR_FUNCTION_FAILED, store::RefreshToken(slot, nullptr, store::Bodies::kRead));
  EXPECT_TRUE(slot.token->objects.objectsStale);
  EXPECT_FALSE(slot.token->objects.proven);
  EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
}

TEST_F(TokenIdentityTest, TokenStateReportsTheLastDeviceError) {
  slot::Slot& slot = Insert(std::make_shared<ForeignCard>(), true);
  uint32_t state = 1;
  EXPECT_EQ(reader::RDR_BAD_STATUS, card::APDU_SelectApp(slot.reader.get()));
  EXPECT_CKR(CKR_OK, card::GetTokenState(slot, &state));
  EXPECT_EQ(0xFFFF6A82u, state);

  sim::pcsc::FailNext(sim::pcsc::Call::kTransmit, sim::pcsc::kRemovedCard);
  EXPECT_NE(reader::RDR_OK, card::APDU_SelectApp(slot.reader.get()));
  EXPECT_CKR(CKR_OK, card::GetTokenState(slot, &state));
  EXPECT_EQ(sim::pcsc::kRemovedCard, state);
}

}  // namespace
}  // namespace zorad::test
