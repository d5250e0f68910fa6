// Slot information from the reader, token information through the slot
// table, and the mechanism table.
#include <gtest/gtest.h>

#include "slots/slots_fixture.h"

namespace zorad::test {
namespace {

using sim::pcsc::AttributeAnswer;

class SlotInfoTest : public SlotsTest {
 protected:
  CK_SLOT_ID OnlySlot() {
    const std::vector<CK_SLOT_ID> ids = SlotList();
    EXPECT_EQ(1u, ids.size());
    return ids.empty() ? 0 : ids[0];
  }
};

TEST_F(SlotInfoTest, SlotInformationFromTheReaderDriver) {
  struct Case {
    const char* what;
    AttributeAnswer vendor;
    AttributeAnswer version;
    std::string manufacturer;
    CK_VERSION expected;
  };
  const std::string vendor = "Zorad Simulated Readers";
  const Case cases[] = {
      {"both served", AttributeAnswer::kServed, AttributeAnswer::kServed,
       vendor + '\0' + std::string(32 - vendor.size() - 1, ' '), {1, 2}},
      {"neither (ERROR_NOT_SUPPORTED)", AttributeAnswer::kNotSupported,
       AttributeAnswer::kNotSupported, std::string(32, ' '), {0, 0}},
      {"neither (unsupported feature)", AttributeAnswer::kUnsupportedFeature,
       AttributeAnswer::kUnsupportedFeature, std::string(32, ' '), {0, 0}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::pcsc::ReaderOptions options;
    options.vendorNameAnswer = c.vendor;
    options.ifdVersionAnswer = c.version;
    const std::string name = "Reader " + std::to_string(n++);
    ASSERT_TRUE(sim::pcsc::AddReader(name, options));
    const std::vector<CK_SLOT_ID> ids = SlotList();
    CK_SLOT_INFO info;
    ASSERT_CKR(CKR_OK, C_GetSlotInfo(ids.back(), &info));
    EXPECT_EQ(Padded(name, 64), Field(info.slotDescription));
    EXPECT_EQ(c.manufacturer, Field(info.manufacturerID));
    EXPECT_EQ(CK_FLAGS{CKF_REMOVABLE_DEVICE | CKF_HW_SLOT}, info.flags);
    EXPECT_EQ(c.expected.major, info.hardwareVersion.major);
    EXPECT_EQ(c.expected.minor, info.hardwareVersion.minor);
    EXPECT_EQ(c.expected.major, info.firmwareVersion.major);
    EXPECT_EQ(c.expected.minor, info.firmwareVersion.minor);
  }
}

TEST_F(SlotInfoTest, TokenPresentFollowsTheCard) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  const CK_SLOT_ID slotId = OnlySlot();
  EXPECT_FALSE(TokenPresent(slotId));
  InsertCard("Alpha");
  EXPECT_TRUE(TokenPresent(slotId));
  ASSERT_TRUE(sim::pcsc::RemoveCard("Alpha"));
  EXPECT_FALSE(TokenPresent(slotId));

  CK_SLOT_INFO info;
  EXPECT_CKR(CKR_SLOT_ID_INVALID, C_GetSlotInfo(slotId + 100, &info));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_GetSlotInfo(slotId, nullptr));
}

TEST_F(SlotInfoTest, TokenInformationOfAPersonalisedCard) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  InsertCard("Alpha");
  const CK_SLOT_ID slotId = OnlySlot();
  CK_TOKEN_INFO info;
  ASSERT_CKR(CKR_OK, C_GetTokenInfo(slotId, &info));
  EXPECT_EQ(Padded("Zorad test token", 32), Field(info.label));
  EXPECT_EQ("0123456789ABCD  ", Field(info.serialNumber));
  EXPECT_EQ(CK_FLAGS{CKF_RNG | CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED}, info.flags);

  EXPECT_CKR(CKR_SLOT_ID_INVALID, C_GetTokenInfo(slotId + 100, &info));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_GetTokenInfo(slotId, nullptr));
}

TEST_F(SlotInfoTest, SlotsWithoutTokenOfTheFamily) {
  struct Case {
    const char* what;
    std::function<std::shared_ptr<sim::CardDevice>()> card;
  };
  const Case cases[] = {
      {"empty reader", [] { return nullptr; }},
      {"card of another family", [] { return std::make_shared<ForeignCard>(); }},
      {"chip without the application",
       [] { return std::make_shared<sim::SimulatedCard>(sim::BlankCardPersonalisation()); }},
      {"token that cannot be read",
       [] {
         auto card = std::make_shared<sim::SimulatedCard>();
         card->SetPinMustChange(0x67, true);
         return card;
       }},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = "Reader " + std::to_string(n++);
    ASSERT_TRUE(sim::pcsc::AddReader(name));
    if (auto device = c.card()) {
      ASSERT_TRUE(sim::pcsc::InsertCard(name, device));
    }
    const CK_SLOT_ID slotId = SlotList().back();
    EXPECT_FALSE(TokenPresent(slotId));
    CK_TOKEN_INFO info;
    EXPECT_CKR(CKR_TOKEN_NOT_PRESENT, C_GetTokenInfo(slotId, &info));
  }
}

TEST_F(SlotInfoTest, RemovedCardIsNoLongerAToken) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  InsertCard("Alpha");
  const CK_SLOT_ID slotId = OnlySlot();
  CK_TOKEN_INFO info;
  ASSERT_CKR(CKR_OK, C_GetTokenInfo(slotId, &info));
  ASSERT_TRUE(sim::pcsc::RemoveCard("Alpha"));
  EXPECT_TRUE(SlotList(CK_TRUE).empty());
  EXPECT_CKR(CKR_TOKEN_NOT_PRESENT, C_GetTokenInfo(slotId, &info));

  // Another card in its place is read afresh.
  sim::CardPersonalisation other;
  other.serialNumber = {0, 0, 0, 0, 0, 0, 0x42};
  InsertCard("Alpha", other);
  EXPECT_EQ(std::vector<CK_SLOT_ID>{slotId}, SlotList(CK_TRUE));
  ASSERT_CKR(CKR_OK, C_GetTokenInfo(slotId, &info));
  EXPECT_EQ("00000000000042  ", Field(info.serialNumber));
}

TEST_F(SlotInfoTest, MechanismList) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  const CK_SLOT_ID slotId = OnlySlot();
  const std::vector<CK_MECHANISM_TYPE> expected = {
      CKM_GOSTR3410_KEY_PAIR_GEN, CKM_GOSTR3410, CKM_GOSTR3410_WITH_GOSTR3411};

  CK_ULONG count = 0;
  EXPECT_CKR(CKR_OK, C_GetMechanismList(slotId, nullptr, &count));
  EXPECT_EQ(3u, count);

  CK_MECHANISM_TYPE list[5] = {7, 7, 7, 7, 7};
  count = 5;
  EXPECT_CKR(CKR_OK, C_GetMechanismList(slotId, list, &count));
  ASSERT_EQ(3u, count);
  EXPECT_EQ(expected, std::vector<CK_MECHANISM_TYPE>(list, list + 3));
  EXPECT_EQ(0u, list[3]);
  EXPECT_EQ(0u, list[4]);

  count = 2;
  EXPECT_CKR(CKR_BUFFER_TOO_SMALL, C_GetMechanismList(slotId, list, &count));
  EXPECT_EQ(2u, count);
  EXPECT_CKR(CKR_SLOT_ID_INVALID, C_GetMechanismList(slotId + 100, nullptr, &count));
  EXPECT_EQ(2u, count);
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_GetMechanismList(slotId, list, nullptr));
}

TEST_F(SlotInfoTest, MechanismInfo) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  const CK_SLOT_ID slotId = OnlySlot();
  struct Case {
    CK_MECHANISM_TYPE type;
    CK_RV expected;
    CK_FLAGS flags;
    CK_ULONG size;
  };
  const Case cases[] = {
      {CKM_GOSTR3410_KEY_PAIR_GEN, CKR_OK, CKF_HW | CKF_GENERATE_KEY_PAIR, 256},
      {CKM_GOSTR3410, CKR_OK, CKF_HW | CKF_SIGN | CKF_VERIFY, 256},
      {CKM_GOSTR3410_WITH_GOSTR3411, CKR_OK, CKF_HW | CKF_SIGN | CKF_VERIFY, 256},
      {CKM_GOSTR3411, CKR_MECHANISM_INVALID, 0, 0},
      {CKM_RSA_PKCS, CKR_MECHANISM_INVALID, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    CK_MECHANISM_INFO info{9, 9, 9};
    EXPECT_CKR(c.expected, C_GetMechanismInfo(slotId, c.type, &info));
    EXPECT_EQ(c.size, info.ulMinKeySize);
    EXPECT_EQ(c.size, info.ulMaxKeySize);
    EXPECT_EQ(c.flags, info.flags);
  }
  CK_MECHANISM_INFO info;
  EXPECT_CKR(CKR_SLOT_ID_INVALID, C_GetMechanismInfo(slotId + 100, CKM_GOSTR3410, &info));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_GetMechanismInfo(slotId, CKM_GOSTR3410, nullptr));
}

}  // namespace
}  // namespace zorad::test
