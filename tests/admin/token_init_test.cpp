// Initialising a token on the card.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "card/byte_order.h"
#include "card/crc32.h"
#include "card/token.h"
#include "card/token_info.h"
#include "card/token_init.h"
#include "reader/reader.h"
#include "signing/card_slot_fixture.h"
#include "sim/card/card_state.h"
#include "sim/pcsc/pcsc_double.h"
#include "slot/slot_init.h"
#include "slot/slot_token.h"
#include "store/object_maps.h"

namespace zorad::test {
namespace {

constexpr uint8_t kSoPinReference = 0x67;
constexpr uint8_t kUserPinReference = 0x69;
constexpr size_t kDefaultCardCommands = 82;

std::string Label(const std::string& text) {
  std::string label = text;
  label.resize(32, ' ');
  return label;
}

class TokenInitTest : public CardSlotTest {
 protected:
  CK_RV Initialize(const std::string& soPin, const std::string& label = Label("Fresh token")) {
    return slot::InitializeCardInSlot(EmptySlot(), reinterpret_cast<const uint8_t*>(soPin.data()),
                                      soPin.size(), reinterpret_cast<const uint8_t*>(label.data()));
  }

  // The card's whole persistent state, as its image file holds it.
  Bytes Image() const {
    const std::string path = ::testing::TempDir() + "zorad_init_image.bin";
    EXPECT_TRUE(card_->SaveImage(path));
    std::ifstream in(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    return bytes;
  }

  // Commands that carry data to the PIN reference (not the status query).
  size_t PinVerifications(uint8_t reference) const {
    size_t count = 0;
    for (const Bytes& c : Commands()) {
      if (c.size() > 5 && c[1] == 0x20 && c[3] == reference) ++count;
    }
    return count;
  }

  // An area as initialisation leaves it: zeros up to the table, then an
  // empty table with its checksum.
  void ExpectEmptyArea(uint16_t fid, const sim::AreaDescriptor& area) const {
    const Bytes file = card_->FileContent(fid);
    const size_t tableOffset = size_t{area.capacity} + 128;
    ASSERT_GE(file.size(), tableOffset + 4 + area.blockCount);
    EXPECT_EQ(Bytes(tableOffset, 0), Bytes(file.begin(), file.begin() + tableOffset));
    Bytes table(4 + area.blockCount, 0);
    card::StoreBE32(table.data(), card::CRC32(Bytes(area.blockCount, 0)));
    EXPECT_EQ(table,
              Bytes(file.begin() + tableOffset, file.begin() + tableOffset + 4 + area.blockCount));
  }
};

TEST_F(TokenInitTest, InitialisesAPersonalisedCard) {
  InsertCard();
  PutKeyPair(1);
  WriteKeyObject(true, 3, 7, 0xABCDEF01, 1);
  WriteKeyObject(false, 5, 9, 0x12345678, 1);
  const Bytes oldUserPin = card_->State().pins.at(kUserPinReference).value;
  const Bytes soPin = card_->State().pins.at(kSoPinReference).value;

  ASSERT_CKR(CKR_OK, Initialize("87654321", Label("Fresh token")));
  EXPECT_EQ(kDefaultCardCommands, Commands().size());
  EXPECT_EQ(nullptr, slot_.token);
  EXPECT_EQ(0u, slot_.reader->card);
  EXPECT_EQ(0u, slot_.reader->previousState);
  EXPECT_EQ(0u, sim::pcsc::OpenTransactions());

  const sim::CardState state = card_->State();
  EXPECT_EQ(soPin, state.pins.at(kSoPinReference).value);
  const Bytes newUserPin = state.pins.at(kUserPinReference).value;
  EXPECT_EQ(8u, newUserPin.size());
  EXPECT_NE(oldUserPin, newUserPin);
  EXPECT_FALSE(state.files.at(sim::kUserPinFid).active);
  ExpectEmptyArea(sim::kPrivateAreaFid, personalisation_.privateArea);
  ExpectEmptyArea(sim::kPublicAreaFid, personalisation_.publicArea);
  const Bytes label = card_->FileContent(sim::kLabelFid);
  EXPECT_EQ(Label("Fresh token"), std::string(label.begin(), label.end()));

  // Read afresh, the card is an initialised, empty token.
  AttachToken();
  EXPECT_NE(0u, slot_.token->tokenFlags & CKF_TOKEN_INITIALIZED);
  EXPECT_EQ(64u * 128u, slot_.token->freePublicMemory);
  EXPECT_TRUE(store::MapsOf(*slot_.token).publicObjects.empty());
}

TEST_F(TokenInitTest, SoPinForms) {
  struct Case {
    std::string pin;
    uint8_t maxPinLen;
    std::string verify;
  };
  const Case cases[] = {
      {"876543", 8, "00 20 00 67 08 38 37 36 35 34 33 31 31"},
      {"87654321", 8, "00 20 00 67 08 38 37 36 35 34 33 32 31"},
      {"0123456789", 10, "00 20 00 67 0A 30 31 32 33 34 35 36 37 38 39"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pin);
    sim::CardPersonalisation p;
    p.soPin = c.pin;
    p.maxPinLen = c.maxPinLen;
    if (card_) sim::pcsc::RemoveCard(kReaderName);
    InsertCard(p);
    ASSERT_CKR(CKR_OK, Initialize(c.pin));
    std::vector<std::string> verifications;
    for (const std::string& text : CommandTexts()) {
      if (text.rfind("00 20 00 67 ", 0) == 0 && text.size() > 14) verifications.push_back(text);
    }
    EXPECT_EQ(std::vector<std::string>{c.verify}, verifications);
  }
}

TEST_F(TokenInitTest, PinRefusals) {
  struct Case {
    const char* what;
    std::string pin;
    uint8_t soTriesLeft;
    CK_RV expected;
    bool verifySent;
    bool tokenKept;
  };
  const Case cases[] = {
      {"shorter than the minimum", "876", 10, CKR_PIN_LEN_RANGE, false, false},
      {"longer than the maximum", "876543210", 10, CKR_PIN_LEN_RANGE, false, false},
      {"empty", "", 10, CKR_PIN_LEN_RANGE, false, false},
      {"wrong", "11112222", 10, CKR_PIN_INCORRECT, true, true},
      {"blocked", "87654321", 0, CKR_PIN_LOCKED, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (card_) sim::pcsc::RemoveCard(kReaderName);
    InsertCard();
    card_->SetPinTriesLeft(kSoPinReference, c.soTriesLeft);
    const Bytes userPin = card_->State().pins.at(kUserPinReference).value;
    const Bytes publicArea = card_->FileContent(sim::kPublicAreaFid);
    EXPECT_CKR(c.expected, Initialize(c.pin));
    EXPECT_EQ(c.verifySent ? 1u : 0u, PinVerifications(kSoPinReference));
    EXPECT_EQ(0u, PinVerifications(kUserPinReference));
    EXPECT_EQ(c.tokenKept, slot_.token != nullptr);
    EXPECT_EQ(userPin, card_->State().pins.at(kUserPinReference).value);
    EXPECT_EQ(publicArea, card_->FileContent(sim::kPublicAreaFid));
    EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
  }
}

// An area whose erase range or table the card commands cannot address
// refuses the initialisation before the user PIN is replaced.
TEST_F(TokenInitTest, AreasBeyondTheCardsAddressingLeaveTheCardUntouched) {
  struct Case {
    const char* what;
    sim::AreaDescriptor publicArea;
    sim::AreaDescriptor privateArea;
  };
  const Case cases[] = {
      {"private table beyond 0x7FFF", {8192, 0, 64, 128}, {32700, 0, 64, 128}},
      {"public erase range beyond 0x80FE", {32895, 0, 64, 128}, {8192, 0, 64, 128}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (card_) sim::pcsc::RemoveCard(kReaderName);
    InsertCard();
    sim::CardPersonalisation wide = personalisation_;
    wide.publicArea = c.publicArea;
    wide.privateArea = c.privateArea;
    card_->WriteFile(sim::kTokenInfoFid, 0, sim::BuildTokenInfo(wide));
    const Bytes before = Image();
    EXPECT_CKR(CKR_DEVICE_ERROR, Initialize("87654321"));
    EXPECT_EQ(before, Image());
    EXPECT_EQ(0u, PinVerifications(kSoPinReference));
    EXPECT_EQ(nullptr, slot_.token);
  }
}

TEST_F(TokenInitTest, ActivationAnswer6989CountsAsDone) {
  InsertCard();
  card_->SetActivationAnswer(0x6989);
  ASSERT_CKR(CKR_OK, Initialize("87654321"));
  EXPECT_FALSE(card_->State().files.at(sim::kUserPinFid).active);
}

// Every command of the initialisation failing in turn: never a success,
// the transaction always ended, the token record gone except after the
// card refused the SO PIN.
TEST_F(TokenInitTest, FailureOfAnyCommand) {
  for (uint32_t n = 1; n <= kDefaultCardCommands; ++n) {
    SCOPED_TRACE(n);
    if (card_) sim::pcsc::RemoveCard(kReaderName);
    InsertCard();
    card_->AnswerAt(n, 0x6581);
    const CK_RV rv = Initialize("87654321");
    EXPECT_NE(CKR_OK, rv);
    EXPECT_EQ(nullptr, slot_.token);
    EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
    // Writes fail as device errors, the PIN replacement as a card failure.
    const Bytes failed = Commands().back();
    const bool pinStep = failed[1] == 0x84 || failed[1] == 0x24 || failed[1] == 0x44 ||
                         failed[1] == 0x04 || (failed[1] == 0x20 && failed.size() > 5);
    if (failed[1] == 0xD6) {
      EXPECT_CKR(CKR_DEVICE_ERROR, rv);
    } else if (pinStep) {
      EXPECT_CKR(CKR_FUNCTION_FAILED, rv);
    }
  }
}

TEST_F(TokenInitTest, MissingArguments) {
  InsertCard();
  const Bytes label(32, ' ');
  EXPECT_CKR(CKR_ARGUMENTS_BAD,
             slot::InitializeCardInSlot(EmptySlot(), reinterpret_cast<const uint8_t*>("87654321"),
                                        8, nullptr));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, slot::InitializeCardInSlot(EmptySlot(), nullptr, 8, label.data()));
  EXPECT_TRUE(Commands().empty());
  // No PIN at all is a PIN of length 0, refused by the token's limits.
  EXPECT_CKR(CKR_PIN_LEN_RANGE, slot::InitializeCardInSlot(EmptySlot(), nullptr, 0, label.data()));
}

// Every card write was done when the transaction failed to end: the
// initialisation stands.
TEST_F(TokenInitTest, FailingToEndTheTransactionAfterAllWrites) {
  InsertCard();
  sim::pcsc::FailNext(sim::pcsc::Call::kEndTransaction, SCARD_F_INTERNAL_ERROR);
  EXPECT_CKR(CKR_OK, Initialize("87654321"));
  EXPECT_EQ(0u, slot_.reader->previousState);
  EXPECT_EQ(nullptr, slot_.token);
  EXPECT_FALSE(card_->State().files.at(sim::kUserPinFid).active);
  // The double counts the refused end as a transaction never ended.
  sim::pcsc::Reset();
}

}  // namespace
}  // namespace zorad::test
