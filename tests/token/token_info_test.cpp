// Reading the token information from the card and handing it out.
#include <gtest/gtest.h>

#include "card/apdu.h"
#include "card/token_info.h"
#include "sim/card/personalisation.h"
#include "token/token_fixture.h"

namespace zorad::test {
namespace {

constexpr CK_FLAGS kAlways = CKF_RNG | CKF_LOGIN_REQUIRED;
constexpr CK_FLAGS kInitialised = kAlways | CKF_TOKEN_INITIALIZED;

class TokenInfoTest : public TokenTest {
 protected:
  CK_RV Read(CK_TOKEN_INFO& info) {
    const CK_RV rv = card::ReadTokenInfo(slot_);
    card::FillTokenInfo(info, *slot_.token);
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
  EXPECT_EQ(kInitialised | CKF_USER_PIN_INITIALIZED, info.flags);
  EXPECT_EQ(1u, info.ulSessionCount);
  EXPECT_EQ(1u, info.ulRwSessionCount);
  EXPECT_EQ(4u, info.ulMinPinLen);
  EXPECT_EQ(8u, info.ulMaxPinLen);
  EXPECT_EQ(8192u, info.ulTotalPublicMemory);
  EXPECT_EQ(64u * 128u, info.ulFreePublicMemory);
  EXPECT_EQ(8192u, info.ulTotalPrivateMemory);
  EXPECT_EQ(0u, info.ulFreePrivateMemory);  // nobody logged in
  EXPECT_EQ(1, info.firmwareVersion.major);
  EXPECT_EQ(0, info.firmwareVersion.minor);
  EXPECT_FALSE(slot_.token->objects.objectsStale);
}

TEST_F(TokenInfoTest, PrivateFreeMemoryWhileTheUserIsLoggedIn) {
  sim::CardPersonalisation p;
  p.privateArea = {4096, 0, 32, 128};
  InsertCard(p, true);
  slot_.loginState = card::kUser;
  const std::vector<uint8_t> pin = sim::PinBlock(p.userPin);
  ASSERT_EQ(reader::RDR_OK, card::APDU_SelectApp(slot_.reader.get()));
  ASSERT_EQ(reader::RDR_OK, card::APDU_Verify(slot_.reader.get(), card::kUserPinReference,
                                              pin.data(), pin.size()));
  CK_TOKEN_INFO info;
  ASSERT_CKR(CKR_OK, Read(info));
  EXPECT_EQ(32u * 128u, info.ulFreePrivateMemory);
}

// Blank cards, and information files that fail their checks, read as an
// empty token without error.
TEST_F(TokenInfoTest, CardsWithoutUsableTokenInformation) {
  struct Case {
    const char* what;
    sim::CardPersonalisation personalisation;
    uint32_t labelMissingAt;  // command answered 6A82; 0 for none
    std::string label;
    size_t reads;  // READ BINARY commands sent
  };
  sim::CardPersonalisation otherFormat;
  otherFormat.formatMajor = 2;
  const std::string zeros(32, '\0');
  const Case cases[] = {
      {"chip without the application", sim::BlankCardPersonalisation(), 0, zeros, 0},
      {"label file missing", {}, 2, zeros, 1},
      {"wrong checksum", sim::CorruptCardPersonalisation(), 0, Padded("Zorad test token", 32), 2},
      {"format 2.0", otherFormat, 0, Padded("Zorad test token", 32), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto card = InsertCard(c.personalisation, true);
    if (c.labelMissingAt != 0) card->AnswerAt(c.labelMissingAt, 0x6A82);
    CK_TOKEN_INFO info;
    ASSERT_CKR(CKR_OK, Read(info));
    EXPECT_EQ(c.label, Field(info.label));
    EXPECT_EQ(zeros, Field(info.manufacturerID));
    EXPECT_EQ(Padded("Zorad 2.1", 16), Field(info.model));
    EXPECT_EQ("0123456789ABCD  ", Field(info.serialNumber));
    EXPECT_EQ(kAlways, info.flags);
    EXPECT_EQ(0u, info.ulTotalPublicMemory + info.ulTotalPrivateMemory);
    EXPECT_EQ(0, info.firmwareVersion.major);
    EXPECT_EQ(255, slot_.token->info.writeChunk);
    EXPECT_TRUE(slot_.token->objects.objectsStale);
    EXPECT_EQ(c.reads, card->CountCommands({std::nullopt, 0xB0}));
    EXPECT_EQ(0u, card->CountCommands({std::nullopt, 0x20}));  // no PIN state asked
  }
}

TEST_F(TokenInfoTest, UnformattedPublicAreaIsNotInitialised) {
  sim::CardPersonalisation p;
  p.formatAreas = false;
  InsertCard(p);
  CK_TOKEN_INFO info;
  ASSERT_CKR(CKR_OK, Read(info));
  EXPECT_EQ(kAlways, info.flags);
  EXPECT_EQ(8192u, info.ulTotalPublicMemory);
}

// Blocks of 17 bytes hold a header and no body: objects there could be
// written but never read back.
TEST_F(TokenInfoTest, BlocksWithoutRoomForABodyAreRefused) {
  sim::CardPersonalisation p;
  p.privateArea = {170, 0, 10, 17};
  InsertCard(p);
  CK_TOKEN_INFO info;
  EXPECT_CKR(CKR_TOKEN_NOT_RECOGNIZED, Read(info));
}

TEST_F(TokenInfoTest, PinStateFlags) {
  struct Case {
    const char* what;
    uint8_t reference;
    int triesLeft;  // -1: all left
    bool mustChange;
    CK_RV expected;
    CK_FLAGS flags;
  };
  const uint8_t user = card::kUserPinReference;
  const uint8_t so = card::kSoPinReference;
  const Case cases[] = {
      {"user, all tries left", user, -1, false, CKR_OK, 0},
      {"user, 3 left (the threshold)", user, 3, false, CKR_OK, 0},
      {"user, 2 left", user, 2, false, CKR_OK, CKF_USER_PIN_COUNT_LOW},
      {"user, 1 left", user, 1, false, CKR_OK, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY},
      {"user, blocked", user, 0, false, CKR_OK, CKF_USER_PIN_LOCKED},
      {"user, must change", user, -1, true, CKR_OK, CKF_USER_PIN_TO_BE_CHANGED},
      {"SO, 1 left", so, 1, false, CKR_OK, CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY},
      {"SO, blocked", so, 0, false, CKR_OK, CKF_SO_PIN_LOCKED},
      {"SO, 6982", so, -1, true, CKR_TOKEN_NOT_RECOGNIZED, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto card = InsertCard();
    if (c.triesLeft >= 0) card->SetPinTriesLeft(c.reference, static_cast<uint8_t>(c.triesLeft));
    card->SetPinMustChange(c.reference, c.mustChange);
    CK_TOKEN_INFO info;
    EXPECT_CKR(c.expected, Read(info));
    // Set unless the query answers 6982, as after token initialisation. A
    // failed reading keeps what the token held before (nothing here).
    const bool userPinSet = !c.mustChange || c.reference == so;
    const CK_FLAGS read = kInitialised | c.flags | (userPinSet ? CKF_USER_PIN_INITIALIZED : 0);
    EXPECT_EQ(c.expected == CKR_OK ? read : 0, info.flags);
    EXPECT_EQ(c.expected == CKR_OK, slot_.token->infoRead);
  }
}

TEST_F(TokenInfoTest, FailuresEndTheTransaction) {
  struct Case {
    const char* what;
    uint32_t command;  // 1 SELECT, 2 label, 3 information file, 4 serial number
    uint16_t sw;       // 0: the reader fails instead
    CK_RV expected;
  };
  const Case cases[] = {
      {"SELECT refused", 1, 0x6D00, CKR_TOKEN_NOT_RECOGNIZED},
      {"label unreadable", 2, 0x6982, CKR_TOKEN_NOT_RECOGNIZED},
      {"information file unreadable", 3, 0x6581, CKR_TOKEN_NOT_RECOGNIZED},
      {"serial number refused", 4, 0x6D00, CKR_TOKEN_NOT_RECOGNIZED},
      {"card gone during the label read", 2, 0, CKR_FUNCTION_FAILED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto card = InsertCard({}, true);
    if (c.sw != 0) {
      card->AnswerAt(c.command, c.sw);
    } else {
      sim::pcsc::FailNext(sim::pcsc::Call::kTransmit, sim::pcsc::kRemovedCard, 1, c.command - 1);
    }
    CK_TOKEN_INFO info;
    EXPECT_CKR(c.expected, Read(info));
    EXPECT_FALSE(slot_.token->infoRead);
    EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
  }
  Insert(nullptr);
  EXPECT_CKR(CKR_FUNCTION_FAILED, card::ReadTokenInfo(slot_));  // nothing to connect to
}

}  // namespace
}  // namespace zorad::test
