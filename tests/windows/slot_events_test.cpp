// C_WaitForSlotEvent under Wine: polling with CKF_DONT_BLOCK, a blocking
// wait that a card insertion ends, and C_Finalize ending a wait in another
// thread through SCardCancel.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "windows_fixture.h"

namespace zorad::wintest {
namespace {

class SlotEventsTest : public InitializedTest {
 protected:
  void SetUp() override {
    InitializedTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(Sim().AddReader(kReader, nullptr));
    CK_ULONG count = 1;
    ASSERT_CKR(CKR_OK, F().C_GetSlotList(CK_FALSE, nullptr, &count));
    ASSERT_EQ(1u, count);
    ASSERT_CKR(CKR_OK, F().C_GetSlotList(CK_FALSE, &slot_, &count));
  }
  CK_RV Poll(CK_SLOT_ID* slot) { return F().C_WaitForSlotEvent(CKF_DONT_BLOCK, slot, nullptr); }
  // A thread blocked in C_WaitForSlotEvent; its answer and slot.
  std::future<std::pair<CK_RV, CK_SLOT_ID>> StartWaiter() {
    auto waiter = std::async(std::launch::async, [] {
      CK_SLOT_ID slot = 0;
      const CK_RV rv = F().C_WaitForSlotEvent(0, &slot, nullptr);
      return std::make_pair(rv, slot);
    });
    EXPECT_TRUE(Sim().WaitForWaiters(1, 5000));
    return waiter;
  }

  CK_SLOT_ID slot_ = 0;
};

TEST_F(SlotEventsTest, PollingSeesInsertionAndRemovalOnce) {
  CK_SLOT_ID slot = 0;
  EXPECT_CKR(CKR_NO_EVENT, Poll(&slot));
  ASSERT_TRUE(Sim().InsertCard(kReader, nullptr));
  EXPECT_CKR(CKR_OK, Poll(&slot));
  EXPECT_EQ(slot_, slot);
  EXPECT_CKR(CKR_NO_EVENT, Poll(&slot));
  ASSERT_TRUE(Sim().RemoveCard(kReader));
  slot = 0;
  EXPECT_CKR(CKR_OK, Poll(&slot));
  EXPECT_EQ(slot_, slot);
  EXPECT_CKR(CKR_NO_EVENT, Poll(&slot));
}

TEST_F(SlotEventsTest, BadArguments) {
  CK_SLOT_ID slot = 0;
  EXPECT_CKR(CKR_ARGUMENTS_BAD, F().C_WaitForSlotEvent(2, &slot, nullptr));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, F().C_WaitForSlotEvent(CKF_DONT_BLOCK, nullptr, nullptr));
}

TEST_F(SlotEventsTest, BlockingWaitEndsWithTheInsertion) {
  auto waiter = StartWaiter();
  // The waiter holds the library lock only in short steps: other calls run.
  CK_ULONG count = 0;
  EXPECT_CKR(CKR_OK, F().C_GetSlotList(CK_FALSE, nullptr, &count));
  CK_SLOT_INFO info;
  EXPECT_CKR(CKR_OK, F().C_GetSlotInfo(slot_, &info));
  ASSERT_TRUE(Sim().InsertCard(kReader, nullptr));
  ASSERT_EQ(std::future_status::ready, waiter.wait_for(std::chrono::seconds(5)));
  const auto [rv, slot] = waiter.get();
  EXPECT_CKR(CKR_OK, rv);
  EXPECT_EQ(slot_, slot);
}

TEST_F(SlotEventsTest, FinalizeEndsAWaitInAnotherThread) {
  auto waiter = StartWaiter();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_CKR(CKR_OK, F().C_Finalize(nullptr));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::milliseconds(3500));
  ASSERT_EQ(std::future_status::ready, waiter.wait_for(std::chrono::seconds(5)));
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, waiter.get().first);
  EXPECT_GE(Sim().CallCount(ZORAD_SIM_CANCEL), 1u);

  // Initialised again, the module waits normally.
  ASSERT_CKR(CKR_OK, F().C_Initialize(nullptr));
  CK_ULONG count = 0;
  ASSERT_CKR(CKR_OK, F().C_GetSlotList(CK_FALSE, nullptr, &count));
  auto again = StartWaiter();
  ASSERT_TRUE(Sim().InsertCard(kReader, nullptr));
  ASSERT_EQ(std::future_status::ready, again.wait_for(std::chrono::seconds(5)));
  EXPECT_CKR(CKR_OK, again.get().first);
}

}  // namespace
}  // namespace zorad::wintest
