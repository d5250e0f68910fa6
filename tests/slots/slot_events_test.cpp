// Slot events: reported one slot at a time in round-robin order, consumed by
// the other slot queries, seen by a non-blocking poll on its own, and a
// blocking wait that a card insertion or C_Finalize ends.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "slots/slots_fixture.h"

namespace zorad::test {
namespace {

using namespace std::chrono_literals;

std::future<std::pair<CK_RV, CK_SLOT_ID>> BlockingWaitInThread() {
  return std::async(std::launch::async, [] {
    CK_SLOT_ID slotId = 0;
    const CK_RV rv = C_WaitForSlotEvent(0, &slotId, nullptr);
    return std::make_pair(rv, slotId);
  });
}

class SlotEventsTest : public SlotsTest {};

TEST_F(SlotEventsTest, NewReadersAreReportedOneByOne) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  ASSERT_TRUE(sim::pcsc::AddReader("Beta"));
  const CK_SLOT_ID first = PollEvent();
  ASSERT_NE(0u, first);
  EXPECT_EQ(first + 1, PollEvent());
  EXPECT_EQ(0u, PollEvent());

  CK_SLOT_ID slotId = 0;
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_WaitForSlotEvent(2, &slotId, nullptr));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_WaitForSlotEvent(CKF_DONT_BLOCK, nullptr, nullptr));
}

TEST_F(SlotEventsTest, ScanContinuesAfterTheSlotReportedLast) {
  for (const char* name : {"Alpha", "Beta", "Gamma"}) ASSERT_TRUE(sim::pcsc::AddReader(name));
  const std::vector<CK_SLOT_ID> ids = SlotList();
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

// Nothing but non-blocking polls: the poll itself must look at the readers.
TEST_F(SlotEventsTest, NonBlockingPollSeesCardsAndReadersComeAndGo) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  const CK_SLOT_ID slotId = PollEvent();
  ASSERT_NE(0u, slotId);
  InsertCard("Alpha");
  EXPECT_EQ(slotId, PollEvent());
  EXPECT_EQ(0u, PollEvent());
  ASSERT_TRUE(sim::pcsc::RemoveCard("Alpha"));
  EXPECT_EQ(slotId, PollEvent());
  EXPECT_EQ(0u, PollEvent());

  // A reader unplugged with its token is one event.
  InsertCard("Alpha");
  EXPECT_EQ(slotId, PollEvent());
  ASSERT_TRUE(sim::pcsc::RemoveReader("Alpha"));
  EXPECT_EQ(slotId, PollEvent());
  EXPECT_EQ(0u, PollEvent());
}

// C_GetTokenInfo that finds the token gone clears the slot's token, not its
// reader: the next wait reports the card coming back, not a change that
// never happened.
TEST_F(SlotEventsTest, TokenFoundGoneByTokenInfoLeavesNoEvent) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  InsertCard("Alpha");
  const CK_SLOT_ID slotId = SlotList().at(0);
  DrainEvents();
  ASSERT_TRUE(sim::pcsc::RemoveCard("Alpha"));
  EXPECT_EQ(slotId, PollEvent());
  CK_TOKEN_INFO info{};
  EXPECT_CKR(CKR_TOKEN_NOT_PRESENT, C_GetTokenInfo(slotId, &info));
  EXPECT_EQ(0u, PollEvent());
  InsertCard("Alpha");
  EXPECT_EQ(slotId, PollEvent());
  EXPECT_TRUE(TokenPresent(slotId));
}

TEST_F(SlotEventsTest, BlockingWaitEndsWhenACardIsInserted) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  const CK_SLOT_ID slotId = SlotList().at(0);
  DrainEvents();
  auto waiting = BlockingWaitInThread();
  ASSERT_TRUE(sim::pcsc::WaitForWaiters(1, 2000ms));
  EXPECT_EQ(std::vector<CK_SLOT_ID>{slotId}, SlotList());  // other calls run meanwhile
  InsertCard("Alpha");
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(2000ms));
  EXPECT_EQ(std::make_pair(CK_RV{CKR_OK}, slotId), waiting.get());
}

TEST_F(SlotEventsTest, FinalizeEndsABlockingWaitPromptly) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  DrainEvents();
  auto waiting = BlockingWaitInThread();
  ASSERT_TRUE(sim::pcsc::WaitForWaiters(1, 2000ms));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_CKR(CKR_OK, C_Finalize(nullptr));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(1000ms));
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, waiting.get().first);

  ASSERT_CKR(CKR_OK, C_Initialize(nullptr));
  EXPECT_NE(0u, PollEvent());  // waits work again
}

}  // namespace
}  // namespace zorad::test
