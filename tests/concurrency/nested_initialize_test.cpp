// Independent users of the module in one process, each pairing its own
// C_Initialize with a C_Finalize on its own thread, while others use it.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "api/module_state.h"
#include "support/module_fixture.h"

namespace zorad::test {
namespace {

using namespace std::chrono_literals;

CK_C_INITIALIZE_ARGS OsLocking() {
  return CK_C_INITIALIZE_ARGS{nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK, nullptr};
}

class NestedInitializeTest : public ModuleTest {};

// Every pair leaves the count where it was. With a first user holding the
// module its C_Finalize is still the last one; without, the users' own
// calls are the first C_Initialize and the last C_Finalize in turn, and a
// C_Initialize must not reuse what a concurrent last C_Finalize releases.
TEST_F(NestedInitializeTest, PairsOnManyThreadsKeepTheCount) {
  for (const bool held : {true, false}) {
    SCOPED_TRACE(held ? "a first user holds the module" : "first and last users in turn");
    CK_C_INITIALIZE_ARGS args = OsLocking();
    if (held) {
      ASSERT_CKR(CKR_OK, C_Initialize(&args));
    }
    std::vector<std::thread> users;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
      users.emplace_back([&] {
        for (int i = 0; i < 1000; ++i) {
          CK_C_INITIALIZE_ARGS mine = OsLocking();
          CK_INFO info;
          if (C_Initialize(&mine) != CKR_OK || C_GetInfo(&info) != CKR_OK ||
              C_Finalize(nullptr) != CKR_OK) {
            ++failures;
          }
        }
      });
    }
    for (std::thread& user : users) user.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(held ? 1u : 0u, api::State().initCounter.load());
    if (held) {
      EXPECT_CKR(CKR_OK, C_Finalize(nullptr));
    }
    EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, C_Finalize(nullptr));
  }
}

// A thread blocked in C_WaitForSlotEvent stays counted across another
// user's C_Initialize, so that the last C_Finalize waits for it before it
// releases the slots and the lock.
TEST_F(NestedInitializeTest, WaiterStaysCountedAcrossAnotherUsersInitialize) {
  ASSERT_TRUE(sim::pcsc::AddReader("Nested Reader"));
  CK_C_INITIALIZE_ARGS args = OsLocking();
  ASSERT_CKR(CKR_OK, C_Initialize(&args));
  for (CK_SLOT_ID slot = 0; C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr) == CKR_OK;) {
  }
  auto waiting = std::async(std::launch::async, [] {
    CK_SLOT_ID slot = 0;
    return C_WaitForSlotEvent(0, &slot, nullptr);
  });
  ASSERT_TRUE(sim::pcsc::WaitForWaiters(1, 2000ms));
  std::thread([] {
    CK_C_INITIALIZE_ARGS mine = OsLocking();
    EXPECT_CKR(CKR_OK, C_Initialize(&mine));
    EXPECT_CKR(CKR_OK, C_Finalize(nullptr));
  }).join();
  EXPECT_EQ(1, api::State().waitCounter.load());

  EXPECT_CKR(CKR_OK, C_Finalize(nullptr));
  ASSERT_EQ(std::future_status::ready, waiting.wait_for(1000ms));
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, waiting.get());
  EXPECT_EQ(0, api::State().waitCounter.load());
}

}  // namespace
}  // namespace zorad::test
