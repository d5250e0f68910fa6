// Slot events: reported one slot at a time in round-robin order, consumed by
// the other slot queries, seen by a non-blocking poll on its own, and a
// blocking wait that a card insertion or C_Finalize ends.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "slots/slots_fixture.h"

namespace zorad::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class SlotEventsTest : public SlotsTest {
 protected:
  // A blocking wait in another thread.
  static std::future<std::pair<CK_RV, CK_SLOT_ID>> WaitInThread() {
    return std::async(std::launch::async, [] {
      CK_SLOT_ID slotId = 0;
      const CK_RV rv = C_WaitForSlotEvent(0, &slotId, nullptr);
      return std::make_pair(rv, slotId);
    });
  }
};

TEST_F(SlotEventsTest, NewReadersAreReportedOneByOne) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  ASSERT_TRUE(sim::pcsc::AddReader("Beta"));
  const CK_SLOT_ID first = PollEvent();
  ASSERT_NE(0u, first);
  EXPECT_EQ(first + 1, PollEvent());
  EXPECT_EQ(0u, PollEvent());
  EXPECT_EQ((std::vector<CK_SLOT_ID>{first, first + 1}), SlotList());
}

TEST_F(SlotEventsTest, ScanContinuesAfterTheSlotReportedLast) {
  for (const char* name : {"Alpha", "Beta", "Gamma"}) ASSERT_TRUE(sim::pcsc::AddReader(name));
  const std::vector<CK_SLOT_ID> ids = SlotList();
  ASSERT_EQ(3u, ids.size());
  DrainEvents();
  InsertCard("Alpha");
  ASSERT_EQ(ids[0], PollEvent());

  // Events on the first and the third slot; the first was reported last.
  InsertCard("Gamma");
  ASSERT_TRUE(sim::pcsc::RemoveCard("Alpha"));
  EXPECT_EQ(ids[2], PollEvent());
  EXPECT_EQ(ids[0], PollEvent());
  EXPECT_EQ(0u, PollEvent());
}

TEST_F(SlotEventsTest, SlotQueriesConsumeEvents) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  const CK_SLOT_ID slotId = SlotList().at(0);
  EXPECT_EQ(0u, PollEvent());

  InsertCard("Alpha");
  SlotList();
  EXPECT_EQ(0u, PollEvent());

  ASSERT_TRUE(sim::pcsc::RemoveCard("Alpha"));
  TokenPresent(slotId);
  EXPECT_EQ(0u, PollEvent());
}

// Nothing but non-blocking polls in between: the poll itself must look at
// the readers.
TEST_F(SlotEventsTest, NonBlockingPollSeesCardsComeAndGo) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  const CK_SLOT_ID slotId = PollEvent();
  ASSERT_NE(0u, slotId);
  EXPECT_EQ(0u, PollEvent());

  InsertCard("Alpha");
  EXPECT_EQ(slotId, PollEvent());
  EXPECT_EQ(0u, PollEvent());
  ASSERT_TRUE(sim::pcsc::RemoveCard("Alpha"));
  EXPECT_EQ(slotId, PollEvent());
  EXPECT_EQ(0u, PollEvent());
  EXPECT_FALSE(TokenPresent(slotId));
}

TEST_F(SlotEventsTest, UnpluggedReaderWithTokenIsOneEvent) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  InsertCard("Alpha");
  const CK_SLOT_ID slotId = SlotList(CK_TRUE).at(0);
  ASSERT_TRUE(sim::pcsc::RemoveReader("Alpha"));
  EXPECT_EQ(slotId, PollEvent());
  EXPECT_EQ(0u, PollEvent());

  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  InsertCard("Alpha");
  EXPECT_EQ(slotId, PollEvent());
  EXPECT_TRUE(TokenPresent(slotId));
}

TEST_F(SlotEventsTest, BlockingWaitEndsWhenACardIsInserted) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  const CK_SLOT_ID slotId = SlotList().at(0);
  DrainEvents();
  auto waiting = WaitInThread();
  ASSERT_TRUE(sim::pcsc::WaitForWaiters(1, 2000ms));
  // Other entry points run while the wait pauses between its cycles.
  EXPECT_EQ(std::vector<CK_SLOT_ID>{slotId}, SlotList());
  InsertCard("Alpha");
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(2000ms));
  const auto [rv, reported] = waiting.get();
  EXPECT_CKR(CKR_OK, rv);
  EXPECT_EQ(slotId, reported);
}

TEST_F(SlotEventsTest, FinalizeEndsABlockingWaitPromptly) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  SlotList();
  DrainEvents();
  auto waiting = WaitInThread();
  ASSERT_TRUE(sim::pcsc::WaitForWaiters(1, 2000ms));
  const auto start = Clock::now();
  EXPECT_CKR(CKR_OK, C_Finalize(nullptr));
  EXPECT_LT(Clock::now() - start, 1000ms);
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(1000ms));
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, waiting.get().first);

  // A new initialisation waits normally again.
  ASSERT_CKR(CKR_OK, C_Initialize(nullptr));
  EXPECT_NE(0u, PollEvent());
}

TEST_F(SlotEventsTest, ArgumentChecks) {
  CK_SLOT_ID slotId = 0;
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_WaitForSlotEvent(2, &slotId, nullptr));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_WaitForSlotEvent(CKF_DONT_BLOCK, nullptr, nullptr));
}

}  // namespace
}  // namespace zorad::test
