// A PC/SC service that stops and comes back: slots lose their readers and
// tokens, and the module reaches the service again through a new context.
#include <gtest/gtest.h>

#include <future>

#include "slots/slots_fixture.h"

namespace zorad::test {
namespace {

using namespace std::chrono_literals;
using sim::pcsc::Call;
using sim::pcsc::CallCount;

class ReaderServiceTest : public SlotsTest {
 protected:
  void SetUp() override {
    SlotsTest::SetUp();
    ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
    InsertCard("Alpha");
    ASSERT_EQ(1u, SlotList(CK_TRUE).size());
    slotId_ = SlotList(CK_TRUE)[0];
    DrainEvents();
  }

  CK_SLOT_ID slotId_ = 0;
};

TEST_F(ReaderServiceTest, StopTakesEveryTokenAway) {
  sim::pcsc::StopService();
  EXPECT_EQ(slotId_, PollEvent());  // reader and token gone: one event
  // No context can be had while the service is down: the slots are empty.
  EXPECT_EQ(std::vector<CK_SLOT_ID>{slotId_}, SlotList());
  EXPECT_TRUE(SlotList(CK_TRUE).empty());
  EXPECT_FALSE(TokenPresent(slotId_));
  CK_TOKEN_INFO info;
  EXPECT_CKR(CKR_TOKEN_NOT_PRESENT, C_GetTokenInfo(slotId_, &info));
  // A blocking wait outlasts the stop in paced cycles (a monitoring thread
  // does not spin) and reports the reader coming back.
  const size_t attempts = CallCount(Call::kEstablishContext);
  auto waiting = std::async(std::launch::async, [] {
    CK_SLOT_ID slotId = 0;
    return std::make_pair(C_WaitForSlotEvent(0, &slotId, nullptr), slotId);
  });
  EXPECT_EQ(std::future_status::timeout, waiting.wait_for(1000ms));
  EXPECT_LT(CallCount(Call::kEstablishContext) - attempts, 40u);
  sim::pcsc::StartService();
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(2000ms));
  EXPECT_EQ(std::make_pair(CK_RV{CKR_OK}, slotId_), waiting.get());
}

// The restarted service refuses to release the context it no longer knows;
// the first call after the restart must still find reader and card again.
TEST_F(ReaderServiceTest, RestartUnseenByTheModule) {
  const size_t established = CallCount(Call::kEstablishContext);
  sim::pcsc::StopService();
  sim::pcsc::StartService();
  EXPECT_EQ(std::vector<CK_SLOT_ID>{slotId_}, SlotList(CK_TRUE));
  EXPECT_EQ(established + 1, CallCount(Call::kEstablishContext));
  CK_TOKEN_INFO info;
  EXPECT_CKR(CKR_OK, C_GetTokenInfo(slotId_, &info));
}

// Calls while the service is down lose the context; it is established
// again once the service is back.
TEST_F(ReaderServiceTest, RestartAfterPollingWhileStopped) {
  sim::pcsc::StopService();
  for (int i = 0; i < 3; ++i) {
    CK_ULONG count = 0;
    C_GetSlotList(CK_TRUE, nullptr, &count);
    EXPECT_EQ(0u, count);
  }
  sim::pcsc::StartService();
  EXPECT_EQ(std::vector<CK_SLOT_ID>{slotId_}, SlotList(CK_TRUE));
}

}  // namespace
}  // namespace zorad::test
