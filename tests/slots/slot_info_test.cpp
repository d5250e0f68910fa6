// Slot information from the reader driver, slots without a token of the
// family, and the mechanism table.
#include <gtest/gtest.h>

#include "slots/slots_fixture.h"
#include "support/token_fixture.h"

namespace zorad::test {
namespace {

using sim::pcsc::AttributeAnswer;

class SlotInfoTest : public SlotsTest {};

TEST_F(SlotInfoTest, SlotInformationFromTheReaderDriver) {
  struct Case {
    AttributeAnswer answer;
    std::string manufacturer;
    CK_BYTE major, minor;
  };
  const std::string vendor = "Zorad Simulated Readers";
  const Case cases[] = {
      {AttributeAnswer::kServed, Padded(vendor, 32), 1, 2},  // without the driver's terminator
      {AttributeAnswer::kNotSupported, std::string(32, ' '), 0, 0},
      {AttributeAnswer::kUnsupportedFeature, std::string(32, ' '), 0, 0},
  };
  for (const Case& c : cases) {
    const std::string name = "Reader " + std::to_string(static_cast<int>(c.answer));
    SCOPED_TRACE(name);
    sim::pcsc::ReaderOptions options;
    options.vendorNameAnswer = c.answer;
    options.ifdVersionAnswer = c.answer;
    ASSERT_TRUE(sim::pcsc::AddReader(name, options));
    const CK_SLOT_INFO info = SlotInfo(SlotList().back());
    EXPECT_EQ(Padded(name, 64), Field(info.slotDescription));
    EXPECT_EQ(c.manufacturer, Field(info.manufacturerID));
    EXPECT_EQ(CK_FLAGS{CKF_REMOVABLE_DEVICE | CKF_HW_SLOT}, info.flags);
    EXPECT_EQ(c.major, info.hardwareVersion.major);
    EXPECT_EQ(c.minor, info.firmwareVersion.minor);
  }
  CK_SLOT_INFO info;
  EXPECT_CKR(CKR_SLOT_ID_INVALID, C_GetSlotInfo(SlotList().back() + 1, &info));
}

// Another application's card is looked at and left as it is, its PIN
// verifications with it: never reset.
TEST_F(SlotInfoTest, SlotsWithoutTokenOfTheFamily) {
  const auto foreign = std::make_shared<ForeignCard>();
  struct Case {
    const char* what;
    MakeCard card;
    bool removeAfterSeen;
  };
  const Case cases[] = {
      {"empty reader", [] { return nullptr; }, false},
      {"card of another family", [&] { return foreign; }, false},
      {"chip without the application",
       [] { return std::make_shared<sim::SimulatedCard>(sim::BlankCardPersonalisation()); }, false},
      {"token that cannot be read",
       [] {
         auto card = std::make_shared<sim::SimulatedCard>();
         card->SetPinMustChange(0x67, true);
         return card;
       },
       false},
      {"token removed", [] { return std::make_shared<sim::SimulatedCard>(); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(sim::pcsc::AddReader(c.what));
    if (const auto device = c.card()) {
      ASSERT_TRUE(sim::pcsc::InsertCard(c.what, device));
    }
    const CK_SLOT_ID slotId = SlotList().back();
    if (c.removeAfterSeen) {
      ASSERT_TRUE(TokenPresent(slotId));
      ASSERT_TRUE(sim::pcsc::RemoveCard(c.what));
    }
    EXPECT_FALSE(TokenPresent(slotId));
    CK_TOKEN_INFO info;
    EXPECT_CKR(CKR_TOKEN_NOT_PRESENT, C_GetTokenInfo(slotId, &info));
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    EXPECT_NE(CKR_OK, C_OpenSession(slotId, kReadOnly, nullptr, nullptr, &session));
  }
  ASSERT_CKR(CKR_OK, C_Finalize(nullptr));
  EXPECT_EQ(0, foreign->resets);
}

// A card that only this module's first look failed at (another application
// held it) becomes the slot's token with the session opened on it.
TEST_F(SlotInfoTest, TokenAttachedByOpenSessionIsPresent) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  InsertCard("Alpha");
  sim::pcsc::FailNext(sim::pcsc::Call::kBeginTransaction, SCARD_E_SHARING_VIOLATION);
  EXPECT_TRUE(SlotList(CK_TRUE).empty());
  const CK_SLOT_ID slotId = SlotList().at(0);
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  ASSERT_CKR(CKR_OK, C_OpenSession(slotId, kReadOnly, nullptr, nullptr, &session));
  EXPECT_TRUE(TokenPresent(slotId));
  EXPECT_EQ(std::vector<CK_SLOT_ID>{slotId}, SlotList(CK_TRUE));
  CK_TOKEN_INFO info;
  EXPECT_CKR(CKR_OK, C_GetTokenInfo(slotId, &info));
  EXPECT_CKR(CKR_OK, C_CloseSession(session));  // was not closed
}

TEST_F(SlotInfoTest, MechanismTable) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  const CK_SLOT_ID slotId = SlotList().at(0);
  CK_MECHANISM_TYPE list[5] = {7, 7, 7, 7, 7};
  CK_ULONG count = 5;
  EXPECT_CKR(CKR_OK, C_GetMechanismList(slotId, list, &count));
  EXPECT_EQ((std::vector<CK_MECHANISM_TYPE>{CKM_GOSTR3410_KEY_PAIR_GEN, CKM_GOSTR3410,
                                            CKM_GOSTR3410_WITH_GOSTR3411, CKM_GOSTR3411, 0}),
            std::vector<CK_MECHANISM_TYPE>(list, list + 5));
  EXPECT_EQ(4u, count);
  count = 2;
  EXPECT_CKR(CKR_BUFFER_TOO_SMALL, C_GetMechanismList(slotId, list, &count));
  EXPECT_CKR(CKR_SLOT_ID_INVALID, C_GetMechanismList(slotId + 1, nullptr, &count));
  EXPECT_EQ(4u, count);

  CK_MECHANISM_INFO info{};
  EXPECT_CKR(CKR_OK, C_GetMechanismInfo(slotId, CKM_GOSTR3410_WITH_GOSTR3411, &info));
  EXPECT_EQ(CK_FLAGS{CKF_HW | CKF_SIGN | CKF_VERIFY}, info.flags);
  EXPECT_EQ(256u, info.ulMinKeySize);
  EXPECT_CKR(CKR_OK, C_GetMechanismInfo(slotId, CKM_GOSTR3411, &info));
  EXPECT_EQ(CK_FLAGS{CKF_HW | CKF_DIGEST}, info.flags);
  EXPECT_CKR(CKR_MECHANISM_INVALID, C_GetMechanismInfo(slotId, CKM_GOSTR3411_HMAC, &info));
  EXPECT_EQ(0u, info.flags + info.ulMinKeySize + info.ulMaxKeySize);
}

}  // namespace
}  // namespace zorad::test
