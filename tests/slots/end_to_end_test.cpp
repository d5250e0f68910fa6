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
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  ASSERT_CKR(CKR_OK, p11->C_Initialize(&args));

  CK_ULONG count = 0;
  ASSERT_CKR(CKR_OK, p11->C_GetSlotList(CK_TRUE, nullptr, &count));
  ASSERT_EQ(1u, count);
  CK_SLOT_ID slotId = 0;
  ASSERT_CKR(CKR_OK, p11->C_GetSlotList(CK_TRUE, &slotId, &count));

  CK_SLOT_INFO slotInfo;
  ASSERT_CKR(CKR_OK, p11->C_GetSlotInfo(slotId, &slotInfo));
  EXPECT_EQ(Padded("Reader B", 64), Field(slotInfo.slotDescription));
  EXPECT_NE(0u, slotInfo.flags & CKF_TOKEN_PRESENT);

  CK_TOKEN_INFO tokenInfo;
  ASSERT_CKR(CKR_OK, p11->C_GetTokenInfo(slotId, &tokenInfo));
  EXPECT_EQ(Padded("Zorad test token", 32), Field(tokenInfo.label));
  EXPECT_EQ(Padded("Corvantix", 32), Field(tokenInfo.manufacturerID));
  EXPECT_EQ(Padded("Zorad 2.1", 16), Field(tokenInfo.model));
  EXPECT_EQ("0123456789ABCD  ", Field(tokenInfo.serialNumber));

  CK_ULONG mechanisms = 0;
  EXPECT_CKR(CKR_OK, p11->C_GetMechanismList(slotId, nullptr, &mechanisms));
  EXPECT_EQ(3u, mechanisms);
  EXPECT_CKR(CKR_OK, p11->C_Finalize(nullptr));
}

}  // namespace
}  // namespace zorad::test
