// Reading the token information from the card and handing it out.
#include <gtest/gtest.h>

#include "card/apdu.h"
#include "card/token_info.h"
#include "sim/card/personalisation.h"
#include "token/token_fixture.h"

namespace zorad::test {
namespace {

constexpr CK_FLAGS kAlways = CKF_RNG | CKF_LOGIN_REQUIRED;

class TokenInfoTest : public TokenTest {
 protected:
  // Reads the token information and fills the CK_TOKEN_INFO from it.
  CK_RV Read(CK_TOKEN_INFO& info) {
    slot::Slot& slot = slot_.token ? slot_ : SlotWithNewToken();
    const CK_RV rv = card::ReadTokenInfo(slot);
    std::memset(&info, 0xEE, sizeof info);
    card::FillTokenInfo(info, *slot.token);
    return rv;
  }
};

TEST_F(TokenInfoTest, PersonalisedCard) {
  InsertCard();
  CK_TOKEN_INFO info;
  ASSERT_CKR(CKR_OK, Read(info));
  EXPECT_EQ(Padded("Zorad test token", 32), Field(info.label));
  EXPECT_EQ(Padded("Corvantix", 32), Field(info.manufacturerID));
  EXPECT_EQ(Padded("Zorad 2.1", 16), Field(info.model));
  EXPECT_EQ("0123456789ABCD  ", Field(info.serialNumber));
  EXPECT_EQ(kAlways | CKF_TOKEN_INITIALIZED, info.flags);
  EXPECT_EQ(0u, info.ulMaxSessionCount);
  EXPECT_EQ(1u, info.ulSessionCount);
  EXPECT_EQ(0u, info.ulMaxRwSessionCount);
  EXPECT_EQ(1u, info.ulRwSessionCount);
  EXPECT_EQ(4u, info.ulMinPinLen);
  EXPECT_EQ(8u, info.ulMaxPinLen);
  EXPECT_EQ(8192u, info.ulTotalPublicMemory);
  EXPECT_EQ(64u * 128u, info.ulFreePublicMemory);
  // The private area is not readable while nobody is logged in.
  EXPECT_EQ(8192u, info.ulTotalPrivateMemory);
  EXPECT_EQ(0u, info.ulFreePrivateMemory);
  EXPECT_EQ(0, info.hardwareVersion.major);
  EXPECT_EQ(0, info.hardwareVersion.minor);
  EXPECT_EQ(1, info.firmwareVersion.major);
  EXPECT_EQ(0, info.firmwareVersion.minor);
  EXPECT_EQ(std::string(16, '\0'), Field(info.utcTime));
  EXPECT_TRUE(slot_.token->infoRead);
  EXPECT_FALSE(slot_.token->objects.objectsStale);
}

TEST_F(TokenInfoTest, PrivateFreeMemoryWhileTheUserIsLoggedIn) {
  sim::CardPersonalisation p;
  p.privateArea = {4096, 0, 32, 128};
  auto card = InsertCard(p);
  slot::Slot& slot = SlotWithNewToken();
  slot.loginState = slot::kUser;
  // The user's verification lets the private table be read.
  ASSERT_EQ(reader::RDR_OK, reader::OpenReader(kReaderName, slot.reader.get()));
  ASSERT_EQ(reader::RDR_OK, card::APDU_SelectApp(slot.reader.get()));
  const std::vector<uint8_t> pin = sim::PinBlock(p.userPin);
  ASSERT_EQ(reader::RDR_OK,
            card::APDU_Verify(slot.reader.get(), card::kUserPinReference, pin.data(), pin.size()));
  CK_TOKEN_INFO info;
  ASSERT_CKR(CKR_OK, Read(info));
  EXPECT_EQ(4096u, info.ulTotalPrivateMemory);
  EXPECT_EQ(32u * 128u, info.ulFreePrivateMemory);
}

TEST_F(TokenInfoTest, BlankCardReadsAsAnEmptyToken) {
  auto card = InsertCard(sim::BlankCardPersonalisation());
  CK_TOKEN_INFO info;
  ASSERT_CKR(CKR_OK, Read(info));
  EXPECT_EQ(std::string(32, '\0'), Field(info.label));
  EXPECT_EQ(std::string(32, '\0'), Field(info.manufacturerID));
  EXPECT_EQ(Padded("Zorad 2.1", 16), Field(info.model));
  EXPECT_EQ("0123456789ABCD  ", Field(info.serialNumber));
  EXPECT_EQ(kAlways, info.flags);
  EXPECT_EQ(0u, info.ulTotalPublicMemory);
  EXPECT_EQ(0u, info.ulTotalPrivateMemory);
  EXPECT_EQ(0, info.firmwareVersion.major);
  EXPECT_EQ(0, info.firmwareVersion.minor);
  EXPECT_EQ(255, slot_.token->info.writeChunk);
  EXPECT_TRUE(slot_.token->objects.objectsStale);
  // No PIN state is asked of a token that is not initialised.
  EXPECT_EQ(0u, card->CountCommands({std::nullopt, 0x20}));
}

TEST_F(TokenInfoTest, InformationFileThatFailsItsChecksOrIsMissing) {
  struct Case {
    const char* what;
    sim::CardPersonalisation personalisation;
    std::function<void(sim::SimulatedCard&)> prepare;
    std::string label;
  };
  sim::CardPersonalisation otherFormat;
  otherFormat.formatMajor = 2;
  const Case cases[] = {
      {"wrong checksum", sim::CorruptCardPersonalisation(), [](sim::SimulatedCard&) {},
       Padded("Zorad test token", 32)},
      {"format 2.0", otherFormat, [](sim::SimulatedCard&) {}, Padded("Zorad test token", 32)},
      // A missing label makes the card blank; its information file is then
      // not read.
      {"label file missing", {},
       [](sim::SimulatedCard& card) { card.AnswerAt(2, 0x6A82); }, std::string(32, '\0')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::pcsc::RemoveCard(kReaderName);
    auto card = InsertCard(c.personalisation);
    SlotWithNewToken();
    ASSERT_EQ(reader::RDR_OK, reader::OpenReader(kReaderName, slot_.reader.get()));
    card->ClearLog();
    c.prepare(*card);
    CK_TOKEN_INFO info;
    ASSERT_CKR(CKR_OK, Read(info));
    EXPECT_EQ(c.label, Field(info.label));
    EXPECT_EQ(std::string(32, '\0'), Field(info.manufacturerID));
    EXPECT_EQ(kAlways, info.flags);
    EXPECT_EQ(0u, info.ulTotalPublicMemory);
    EXPECT_EQ(0, info.firmwareVersion.major);
    EXPECT_EQ("0123456789ABCD  ", Field(info.serialNumber));
    const bool infoFileRead = card->CountCommands({std::nullopt, 0xB0}) == 2;
    EXPECT_EQ(c.label[0] != '\0', infoFileRead);
  }
}

TEST_F(TokenInfoTest, WriteChunkZeroMeans255) {
  sim::CardPersonalisation p;
  p.writeChunk = 0;
  InsertCard(p);
  CK_TOKEN_INFO info;
  ASSERT_CKR(CKR_OK, Read(info));
  EXPECT_EQ(255, slot_.token->info.writeChunk);
}

TEST_F(TokenInfoTest, UnformattedPublicAreaIsNotInitialised) {
  sim::CardPersonalisation p;
  p.formatAreas = false;
  InsertCard(p);
  CK_TOKEN_INFO info;
  ASSERT_CKR(CKR_OK, Read(info));
  EXPECT_EQ(kAlways, info.flags);
  EXPECT_EQ(8192u, info.ulTotalPublicMemory);
  EXPECT_EQ(0u, info.ulFreePublicMemory);
}

TEST_F(TokenInfoTest, PinStateFlags) {
  struct Case {
    const char* what;
    uint8_t reference;
    int triesLeft;  // -1: untouched
    bool mustChange;
    CK_RV expected;
    CK_FLAGS flags;
  };
  const Case cases[] = {
      {"user, all tries left", card::kUserPinReference, -1, false, CKR_OK, 0},
      {"user, 2 left", card::kUserPinReference, 2, false, CKR_OK, CKF_USER_PIN_COUNT_LOW},
      {"user, 1 left", card::kUserPinReference, 1, false, CKR_OK,
       CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY},
      {"user, 3 left (threshold)", card::kUserPinReference, 3, false, CKR_OK, 0},
      {"user, blocked", card::kUserPinReference, 0, false, CKR_OK, CKF_USER_PIN_LOCKED},
      {"user, must change", card::kUserPinReference, -1, true, CKR_OK,
       CKF_USER_PIN_TO_BE_CHANGED},
      {"SO, 1 left", card::kSoPinReference, 1, false, CKR_OK,
       CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY},
      {"SO, blocked", card::kSoPinReference, 0, false, CKR_OK, CKF_SO_PIN_LOCKED},
      // The card knows no "must change" for the security officer.
      {"SO, 6982", card::kSoPinReference, -1, true, CKR_TOKEN_NOT_RECOGNIZED, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::pcsc::RemoveCard(kReaderName);
    auto card = InsertCard();
    if (c.triesLeft >= 0) card->SetPinTriesLeft(c.reference, static_cast<uint8_t>(c.triesLeft));
    if (c.mustChange) card->SetPinMustChange(c.reference, true);
    SlotWithNewToken();
    CK_TOKEN_INFO info;
    EXPECT_CKR(c.expected, Read(info));
    if (c.expected == CKR_OK) {
      EXPECT_EQ(kAlways | CKF_TOKEN_INITIALIZED | c.flags, info.flags);
    }
    EXPECT_EQ(c.expected == CKR_OK, slot_.token->infoRead);
  }
}

TEST_F(TokenInfoTest, CardFailuresAreReported) {
  struct Case {
    const char* what;
    uint32_t command;  // 1 SELECT, 2 label, 3 information file, 4 serial number
    uint16_t sw;
    CK_RV expected;
  };
  const Case cases[] = {
      {"SELECT refused", 1, 0x6D00, CKR_TOKEN_NOT_RECOGNIZED},
      {"label unreadable", 2, 0x6982, CKR_TOKEN_NOT_RECOGNIZED},
      {"information file unreadable", 3, 0x6581, CKR_TOKEN_NOT_RECOGNIZED},
      {"serial number refused", 4, 0x6D00, CKR_TOKEN_NOT_RECOGNIZED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::pcsc::RemoveCard(kReaderName);
    auto card = InsertCard();
    SlotWithNewToken();
    ASSERT_EQ(reader::RDR_OK, reader::OpenReader(kReaderName, slot_.reader.get()));
    card->AnswerAt(c.command, c.sw);
    CK_TOKEN_INFO info;
    EXPECT_CKR(c.expected, Read(info));
    EXPECT_FALSE(slot_.token->infoRead);
    EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
  }
}

TEST_F(TokenInfoTest, ReaderFailuresAreFunctionFailed) {
  InsertCard();
  SlotWithNewToken();
  ASSERT_EQ(reader::RDR_OK, reader::OpenReader(kReaderName, slot_.reader.get()));
  sim::pcsc::FailNext(sim::pcsc::Call::kTransmit, sim::pcsc::kRemovedCard, 1, 1);
  CK_TOKEN_INFO info;
  EXPECT_CKR(CKR_FUNCTION_FAILED, Read(info));
  EXPECT_EQ(0u, sim::pcsc::OpenTransactions());

  // No card to connect to.
  sim::pcsc::RemoveCard(kReaderName);
  SlotWithNewToken();
  EXPECT_CKR(CKR_FUNCTION_FAILED, card::ReadTokenInfo(slot_));
}

}  // namespace
}  // namespace zorad::test
