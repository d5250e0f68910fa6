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
using sim::pcsc::Call;
using sim::pcsc::CallCount;

// Waits up to 2 s for the simulated service to have served `count` calls.
bool Served(Call call, size_t count) {
  for (int i = 0; i < 200 && CallCount(call) < count; ++i) std::this_thread::sleep_for(10ms);
  return CallCount(call) >= count;
}

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

// C_Finalize while the waiter takes up a card that another application
// reset and reconnecting keeps failing: the recovery gives up at once.
TEST_F(SlotEventsTest, FinalizeCutsShortAWaitersCardRecovery) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  DrainEvents();
  auto waiting = BlockingWaitInThread();
  ASSERT_TRUE(sim::pcsc::WaitForWaiters(1, 2000ms));
  sim::pcsc::FailNext(Call::kBeginTransaction, SCARD_W_RESET_CARD);
  sim::pcsc::FailNext(Call::kReconnect, SCARD_E_SHARING_VIOLATION, 1000);
  InsertCard("Alpha");
  ASSERT_TRUE(Served(Call::kReconnect, 1));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_CKR(CKR_OK, C_Finalize(nullptr));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(1000ms));
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, waiting.get().first);
}

// The waiter waits for a transaction that another process holds, longer
// than C_Finalize waits: nothing is released under it, it releases all when
// it leaves.
TEST_F(SlotEventsTest, WaiterHeldByAnotherProcessReleasesTheModuleWhenItLeaves) {
  ASSERT_TRUE(sim::pcsc::AddReader("Alpha"));
  DrainEvents();
  InsertCard("Alpha");
  sim::pcsc::WaitForOtherTransactions(true);
  SCARDCONTEXT other = 0;  // another process's context and card connection
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &other);
  SCardConnect(other, "Alpha", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &protocol);
  ASSERT_EQ(SCARD_S_SUCCESS, SCardBeginTransaction(card));
  auto waiting = BlockingWaitInThread();
  ASSERT_TRUE(Served(Call::kBeginTransaction, 2));
  EXPECT_CKR(CKR_OK, C_Finalize(nullptr));
  EXPECT_EQ(0u, CallCount(Call::kReleaseContext));
  CK_INFO info;
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, C_GetInfo(&info));
  SCardEndTransaction(card, SCARD_LEAVE_CARD);
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(2000ms));
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, waiting.get().first);
  EXPECT_EQ(1u, CallCount(Call::kReleaseContext));
  EXPECT_CKR(CKR_OK, C_Initialize(nullptr));
}

}  // namespace
}  // namespace zorad::test
