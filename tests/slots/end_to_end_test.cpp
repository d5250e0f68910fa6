// An application's view: the function list, the slots and the token of a
// simulated card.
#include <gtest/gtest.h>

#include "slots/slots_fixture.h"

namespace zorad::test {
namespace {

class EndToEndTest : public ModuleTest {};

TEST_F(EndToEndTest, ListSlotsAndReadTheTokenThroughTheFunctionList) {
  ASSERT_TRUE(sim::pcsc::AddReader("Reader A"));
  ASSERT_TRUE(sim::pcsc::AddReader("Reader B"));
  ASSERT_TRUE(sim::pcsc::InsertCard("Reader B", std::make_shared<sim::SimulatedCard>()));
  CK_FUNCTION_LIST_PTR p11 = nullptr;
  ASSERT_CKR(CKR_OK, C_GetFunctionList(&p11));
  ASSERT_CKR(CKR_OK, p11->C_Initialize(nullptr));

  CK_ULONG count = 0;
  ASSERT_CKR(CKR_OK, p11->C_GetSlotList(CK_TRUE, nullptr, &count));
  ASSERT_EQ(1u, count);
  CK_SLOT_ID slotId = 0;
  ASSERT_CKR(CKR_OK, p11->C_GetSlotList(CK_TRUE, &slotId, &count));
  CK_SLOT_INFO slotInfo;
  ASSERT_CKR(CKR_OK, p11->C_GetSlotInfo(slotId, &slotInfo));
  EXPECT_EQ(Padded("Reader B", 64), Field(slotInfo.slotDescription));
  CK_TOKEN_INFO info;
  ASSERT_CKR(CKR_OK, p11->C_GetTokenInfo(slotId, &info));
  EXPECT_EQ(Padded("Zorad test token", 32), Field(info.label));
  EXPECT_EQ(Padded("Corvantix", 32), Field(info.manufacturerID));
  EXPECT_EQ("0123456789ABCD  ", Field(info.serialNumber));
  EXPECT_EQ(
      CK_FLAGS{CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED},
      info.flags);
  EXPECT_CKR(CKR_OK, p11->C_Finalize(nullptr));
}

}  // namespace
}  // namespace zorad::test
