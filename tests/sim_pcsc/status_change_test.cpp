// Reader states, event counts, waiting, time-outs and cancelling a waiter.
#include <chrono>
#include <future>
#include <thread>

#include "tests/sim_pcsc/pcsc_test_support.h"

namespace zorad::sim::pcsc::testing {
namespace {

using namespace std::chrono_literals;

class PcscStatusChangeTest : public PcscTest {
 protected:
  // One query of one reader: the result, with the event state in `state_`.
  LONG Query(const char* reader, DWORD current, DWORD timeout) {
    state_ = SCARD_READERSTATE{};
    state_.szReader = reader;
    state_.dwCurrentState = current;
    return SCardGetStatusChange(context_, timeout, &state_, 1);
  }

  // Starts a blocking query in another thread and waits until it sleeps.
  std::future<LONG> WaitInBackground(const char* reader, DWORD current) {
    auto result = std::async(std::launch::async, [this, reader, current] {
      SCARD_READERSTATE state{};
      state.szReader = reader;
      state.dwCurrentState = current;
      return SCardGetStatusChange(context_, INFINITE, &state, 1);
    });
    EXPECT_TRUE(WaitForWaiters(1, 5s));
    return result;
  }

  // The waiter's result; a waiter still asleep after 5 s is freed by
  // stopping the service, so a failing test cannot hang.
  static LONG Collect(std::future<LONG>& result) {
    if (result.wait_for(5s) != std::future_status::ready) {
      ADD_FAILURE() << "waiter not woken";
      StopService();
    }
    return result.get();
  }

  SCARD_READERSTATE state_{};
};

TEST_F(PcscStatusChangeTest, EventCountFollowsInsertionAndRemoval) {
  ASSERT_TRUE(AddReader("Alpha"));
  ASSERT_SCARD(SCARD_S_SUCCESS, Query("Alpha", SCARD_STATE_UNAWARE, 0));
  EXPECT_EQ(DWORD{SCARD_STATE_EMPTY | SCARD_STATE_CHANGED}, state_.dwEventState);

  auto card = std::make_shared<ScriptedCard>(std::vector<uint8_t>{0x3B, 0x01, 0x7F});
  ASSERT_TRUE(InsertCard("Alpha", card));
  ASSERT_SCARD(SCARD_S_SUCCESS, Query("Alpha", SCARD_STATE_EMPTY, 0));
  EXPECT_EQ(DWORD{(1u << 16) | SCARD_STATE_PRESENT | SCARD_STATE_CHANGED},
            state_.dwEventState);
  EXPECT_EQ(3u, state_.cbAtr);
  EXPECT_EQ(0x7F, state_.rgbAtr[2]);

  // Handing the state back (with its changed bit) reports no change.
  const DWORD known = state_.dwEventState;
  EXPECT_SCARD(SCARD_E_TIMEOUT, Query("Alpha", known, 0));

  // A connection marks the reader in use.
  const SCARDHANDLE handle = Connect("Alpha");
  ASSERT_SCARD(SCARD_S_SUCCESS, Query("Alpha", known, 0));
  EXPECT_EQ(DWORD{(1u << 16) | SCARD_STATE_PRESENT | SCARD_STATE_INUSE | SCARD_STATE_CHANGED},
            state_.dwEventState);
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardDisconnect(handle, SCARD_LEAVE_CARD));

  ASSERT_TRUE(RemoveCard("Alpha"));
  ASSERT_TRUE(InsertCard("Alpha", card));
  ASSERT_SCARD(SCARD_S_SUCCESS, Query("Alpha", known, 0));
  EXPECT_EQ(DWORD{(3u << 16) | SCARD_STATE_PRESENT | SCARD_STATE_CHANGED},
            state_.dwEventState);
}

TEST_F(PcscStatusChangeTest, EventCountOnlyComparedWhenTheCallerStatesOne) {
  ReaderWithCard("Alpha");
  ASSERT_TRUE(RemoveCard("Alpha"));
  ASSERT_TRUE(InsertCard("Alpha", std::make_shared<ScriptedCard>()));
  EXPECT_SCARD(SCARD_E_TIMEOUT, Query("Alpha", SCARD_STATE_PRESENT, 0));
  EXPECT_SCARD(SCARD_S_SUCCESS, Query("Alpha", (1u << 16) | SCARD_STATE_PRESENT, 0));
  EXPECT_EQ(3u, state_.dwEventState >> 16);
}

TEST_F(PcscStatusChangeTest, UnknownAndIgnoredReaders) {
  ASSERT_SCARD(SCARD_S_SUCCESS, Query("Nowhere", SCARD_STATE_UNAWARE, 0));
  EXPECT_EQ(DWORD{SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE | SCARD_STATE_CHANGED},
            state_.dwEventState);
  EXPECT_SCARD(SCARD_E_TIMEOUT, Query("Nowhere", SCARD_STATE_UNKNOWN, 0));
  EXPECT_SCARD(SCARD_E_TIMEOUT, Query("Nowhere", SCARD_STATE_IGNORE, 0));
  EXPECT_SCARD(SCARD_E_INVALID_VALUE, Query(nullptr, SCARD_STATE_UNAWARE, 0));
  EXPECT_SCARD(SCARD_E_INVALID_PARAMETER, SCardGetStatusChange(context_, 0, nullptr, 1));
}

TEST_F(PcscStatusChangeTest, TimeOutWaitsAndLeavesNothingChanged) {
  ASSERT_TRUE(AddReader("Alpha"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_SCARD(SCARD_E_TIMEOUT, Query("Alpha", SCARD_STATE_EMPTY, 100));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 95ms);
  EXPECT_EQ(0u, Waiters());
}

TEST_F(PcscStatusChangeTest, InsertionWakesAWaiter) {
  ASSERT_TRUE(AddReader("Alpha"));
  auto result = WaitInBackground("Alpha", SCARD_STATE_EMPTY);
  ASSERT_TRUE(InsertCard("Alpha", std::make_shared<ScriptedCard>()));
  EXPECT_SCARD(SCARD_S_SUCCESS, Collect(result));
}

TEST_F(PcscStatusChangeTest, CancelWakesAWaiterOnce) {
  ASSERT_TRUE(AddReader("Alpha"));
  auto result = WaitInBackground("Alpha", SCARD_STATE_EMPTY);
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardCancel(context_));
  EXPECT_SCARD(SCARD_E_CANCELLED, Collect(result));
  // A cancel is not remembered for later waits.
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardCancel(context_));
  EXPECT_SCARD(SCARD_E_TIMEOUT, Query("Alpha", SCARD_STATE_EMPTY, 10));
  EXPECT_SCARD(SCARD_E_INVALID_HANDLE, SCardCancel(context_ + 1000));
}

TEST_F(PcscStatusChangeTest, ServiceStopAndContextReleaseEndAWait) {
  ASSERT_TRUE(AddReader("Alpha"));
  auto stopped = WaitInBackground("Alpha", SCARD_STATE_EMPTY);
  StopService();
  EXPECT_SCARD(SCARD_E_NO_SERVICE, Collect(stopped));

  StartService();
  ASSERT_SCARD(SCARD_S_SUCCESS,
               SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_));
  auto released = WaitInBackground("Alpha", SCARD_STATE_EMPTY);
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardReleaseContext(context_));
  EXPECT_SCARD(SCARD_E_INVALID_HANDLE, Collect(released));
}

TEST_F(PcscStatusChangeTest, PnpNotificationReportsTheReaderCount) {
  const char* pnp = "\\\\?PnP?\\Notification";
  ASSERT_TRUE(AddReader("Alpha"));
  ASSERT_SCARD(SCARD_S_SUCCESS, Query(pnp, 0, 0));
  EXPECT_EQ(1u, state_.dwEventState >> 16);
  EXPECT_SCARD(SCARD_E_TIMEOUT, Query(pnp, state_.dwEventState, 0));

  auto result = WaitInBackground(pnp, 1u << 16);
  ASSERT_TRUE(AddReader("Beta"));
  EXPECT_SCARD(SCARD_S_SUCCESS, Collect(result));
}

}  // namespace
}  // namespace zorad::sim::pcsc::testing
