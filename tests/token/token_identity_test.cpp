// The token's identity on the card: the serial number check, the test for
// a card of the family, the transaction frame of token operations, the
// object list refresh and the device state.
#include <gtest/gtest.h>

#include "card/apdu.h"
#include "card/token_identity.h"
#include "card/token_info.h"
#include "card/token_refresh.h"
#include "card/token_transaction.h"
#include "sim/card/personalisation.h"
#include "token/token_fixture.h"

namespace zorad::test {
namespace {

class TokenIdentityTest : public TokenTest {
 protected:
  // A slot whose token was read from the card in the reader.
  slot::Slot& ReadSlot() {
    slot::Slot& slot = SlotWithNewToken();
    EXPECT_CKR(CKR_OK, card::ReadTokenInfo(slot));
    return slot;
  }
  static card::SerialNumberField SerialField(const std::string& text) {
    card::SerialNumberField field;
    field.fill(' ');
    std::copy(text.begin(), text.end(), field.begin());
    return field;
  }
};

TEST_F(TokenIdentityTest, SerialNumberIsFourteenHexDigitsAndTwoBlanks) {
  sim::CardPersonalisation p;
  p.serialNumber = {0x00, 0x0A, 0xFF, 0x10, 0x20, 0x30, 0x40};
  InsertCard(p);
  EXPECT_EQ(SerialField("000AFF10203040"), ReadSlot().token->serialNumber);
}

TEST_F(TokenIdentityTest, AnotherCardInTheSameReaderIsNotTheSameToken) {
  InsertCard();
  slot::Slot& slot = ReadSlot();
  EXPECT_CKR(CKR_OK, card::IsTheSameToken(slot));

  sim::CardPersonalisation other;
  other.serialNumber = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCE};
  sim::pcsc::RemoveCard(kReaderName);
  InsertCard(other);
  ASSERT_EQ(reader::RDR_OK, reader::OpenReader(kReaderName, slot.reader.get()));
  EXPECT_CKR(CKR_TOKEN_NOT_RECOGNIZED, card::IsTheSameToken(slot));

  reader::CloseReader(slot.reader.get());
  EXPECT_CKR(CKR_TOKEN_NOT_PRESENT, card::IsTheSameToken(slot));
}

TEST_F(TokenIdentityTest, WhichCardsAreTokensOfTheFamily) {
  struct Case {
    const char* what;
    std::function<std::shared_ptr<sim::CardDevice>()> card;
    CK_RV expected;
    bool inSlot;
  };
  const Case cases[] = {
      {"personalised card",
       [] { return std::make_shared<sim::SimulatedCard>(); }, CKR_OK, true},
      {"card with the application but no token files",
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
    sim::pcsc::RemoveCard(kReaderName);
    if (auto device = c.card()) {
      ASSERT_TRUE(sim::pcsc::InsertCard(kReaderName, device));
    }
    slot::Slot& slot = SlotWithNewToken();
    bool inSlot = !c.inSlot;
    EXPECT_CKR(c.expected, card::IsTokenInSlot(slot, inSlot));
    EXPECT_EQ(c.inSlot, inSlot);
    EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
  }
}

TEST_F(TokenIdentityTest, TransactionAfterAResetChecksTheCard) {
  InsertCard();
  slot::Slot& slot = ReadSlot();

  ASSERT_TRUE(sim::pcsc::ResetByOtherApplication(kReaderName));
  {
    card::TokenTransaction transaction(slot);
    EXPECT_CKR(CKR_OK, transaction.Begin());
    EXPECT_EQ(reader::RDR_OK, transaction.SelectApplication());
    EXPECT_CKR(CKR_OK, transaction.End());
  }

  // The record describes another card: the recovered card is refused and
  // the transaction ended.
  slot.token->serialNumber = SerialField("FFFFFFFFFFFFFF");
  ASSERT_TRUE(sim::pcsc::ResetByOtherApplication(kReaderName));
  {
    card::TokenTransaction transaction(slot);
    EXPECT_CKR(CKR_FUNCTION_FAILED, transaction.Begin());
    EXPECT_FALSE(transaction.active());
  }
  EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
}

TEST_F(TokenIdentityTest, TransactionEndsOnEveryPath) {
  sim::pcsc::RemoveCard(kReaderName);
  ASSERT_TRUE(sim::pcsc::InsertCard(kReaderName, std::make_shared<ForeignCard>()));
  slot::Slot& slot = SlotWithNewToken();
  ASSERT_EQ(reader::RDR_OK, reader::OpenReader(kReaderName, slot.reader.get()));
  {
    card::TokenTransaction transaction(slot);
    EXPECT_CKR(CKR_DEVICE_ERROR, transaction.BeginAndSelect(CKR_DEVICE_ERROR));
    EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
  }
  {
    card::TokenTransaction transaction(slot);
    ASSERT_CKR(CKR_OK, transaction.Begin());
    EXPECT_EQ(1u, sim::pcsc::OpenTransactions());
    // Leaving the scope without End() still ends it.
  }
  EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
}

// The serial number of the record is cleared at the start of a read; after
// a reset by another application the card is compared with the serial
// number the record held before.
TEST_F(TokenIdentityTest, ReadingAfterAResetComparesWithTheSerialNumberHeldBefore) {
  InsertCard();
  slot::Slot& slot = ReadSlot();
  ASSERT_TRUE(sim::pcsc::ResetByOtherApplication(kReaderName));
  EXPECT_CKR(CKR_OK, card::ReadTokenInfo(slot));
  EXPECT_EQ(SerialField("0123456789ABCD"), slot.token->serialNumber);

  slot.token->serialNumber = SerialField("FFFFFFFFFFFFFF");
  ASSERT_TRUE(sim::pcsc::ResetByOtherApplication(kReaderName));
  EXPECT_CKR(CKR_FUNCTION_FAILED, card::ReadTokenInfo(slot));
  EXPECT_FALSE(slot.token->infoRead);
  EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
}

TEST_F(TokenIdentityTest, RefreshReadsTheObjectLists) {
  InsertCard();
  slot::Slot& slot = ReadSlot();
  EXPECT_FALSE(card::IsTokenObjectListRead(slot));
  bool changed = true;
  ASSERT_CKR(CKR_OK, card::RefreshToken(slot, &changed));
  EXPECT_FALSE(changed);
  EXPECT_TRUE(card::IsTokenObjectListRead(slot));
  EXPECT_FALSE(slot.token->objects.objectsStale);
  EXPECT_EQ(8192u, slot.token->freePublicMemory);
}

TEST_F(TokenIdentityTest, FailedRefreshLeavesTheListsStale) {
  struct Case {
    const char* what;
    std::function<std::shared_ptr<sim::CardDevice>()> card;
    CK_RV expected;
  };
  const Case cases[] = {
      {"tables never formatted",
       [] {
         sim::CardPersonalisation p;
         p.formatAreas = false;
         return std::make_shared<sim::SimulatedCard>(p);
       },
       CKR_TOKEN_NOT_RECOGNIZED},
      {"card of another family", [] { return std::make_shared<ForeignCard>(); },
       CKR_FUNCTION_FAILED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::pcsc::RemoveCard(kReaderName);
    ASSERT_TRUE(sim::pcsc::InsertCard(kReaderName, c.card()));
    slot::Slot& slot = SlotWithNewToken();
    // The descriptors of a personalised card, whatever the card says.
    slot.token->info.publicArea = {8192, 0, 64, 128};
    ASSERT_EQ(reader::RDR_OK, reader::OpenReader(kReaderName, slot.reader.get()));
    EXPECT_CKR(c.expected, card::RefreshToken(slot));
    EXPECT_TRUE(slot.token->objects.objectsStale);
    EXPECT_FALSE(slot.token->objects.objectListRead);
    EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
  }
  slot_.token.reset();
  EXPECT_CKR(CKR_FUNCTION_FAILED, card::RefreshToken(slot_));
}

TEST_F(TokenIdentityTest, TokenStateReportsTheLastDeviceError) {
  auto card = InsertCard(sim::BlankCardPersonalisation());
  slot::Slot& slot = SlotWithNewToken();
  uint32_t state = 1;
  EXPECT_CKR(CKR_OK, card::GetTokenState(slot, &state));
  EXPECT_EQ(0u, state);

  ASSERT_EQ(reader::RDR_OK, reader::OpenReader(kReaderName, slot.reader.get()));
  EXPECT_EQ(reader::RDR_BAD_STATUS, card::APDU_SelectApp(slot.reader.get()));
  EXPECT_CKR(CKR_OK, card::GetTokenState(slot, &state));
  EXPECT_EQ(0xFFFF6A82u, state);

  sim::pcsc::FailNext(sim::pcsc::Call::kTransmit, sim::pcsc::kRemovedCard);
  EXPECT_NE(reader::RDR_OK, card::APDU_SelectApp(slot.reader.get()));
  EXPECT_CKR(CKR_OK, card::GetTokenState(slot, &state));
  EXPECT_EQ(sim::pcsc::kRemovedCard, state);

  EXPECT_CKR(CKR_ARGUMENTS_BAD, card::GetTokenState(slot, nullptr));
  slot.token.reset();
  EXPECT_CKR(CKR_FUNCTION_FAILED, card::GetTokenState(slot, &state));
}

}  // namespace
}  // namespace zorad::test
