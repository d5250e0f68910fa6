// The library lock: application callbacks, the built-in critical section
// and their failures.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "support/module_fixture.h"

namespace zorad::test {
namespace {

// Application mutex callbacks that count their calls and can be told to fail.
struct AppMutex {
  static inline std::atomic<int> creates{0}, destroys{0}, locks{0}, unlocks{0};
  static inline CK_RV createResult = CKR_OK;
  static inline CK_RV lockResult = CKR_OK;
  static inline std::mutex mutex;

  static void Reset() {
    creates = destroys = locks = unlocks = 0;
    createResult = CKR_OK;
    lockResult = CKR_OK;
  }
  static CK_RV Create(CK_VOID_PTR_PTR m) {
    ++creates;
    if (createResult != CKR_OK) return createResult;
    *m = &mutex;
    return CKR_OK;
  }
  static CK_RV Destroy(CK_VOID_PTR) {
    ++destroys;
    return CKR_OK;
  }
  static CK_RV Lock(CK_VOID_PTR m) {
    if (lockResult != CKR_OK) return lockResult;
    static_cast<std::mutex*>(m)->lock();
    ++locks;
    return CKR_OK;
  }
  static CK_RV Unlock(CK_VOID_PTR m) {
    ++unlocks;
    static_cast<std::mutex*>(m)->unlock();
    return CKR_OK;
  }
  static CK_C_INITIALIZE_ARGS Args() {
    CK_C_INITIALIZE_ARGS args{};
    args.CreateMutex = Create;
    args.DestroyMutex = Destroy;
    args.LockMutex = Lock;
    args.UnlockMutex = Unlock;
    return args;
  }
};

class LockingTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    AppMutex::Reset();
  }
};

TEST_F(LockingTest, EachLockingCallTakesTheApplicationMutexOnce) {
  CK_C_INITIALIZE_ARGS args = AppMutex::Args();
  ASSERT_CKR(CKR_OK, C_Initialize(&args));
  EXPECT_EQ(1, AppMutex::creates);
  const int locksAfterInit = AppMutex::locks;
  EXPECT_EQ(AppMutex::locks, AppMutex::unlocks);

  CK_INFO info;
  EXPECT_CKR(CKR_OK, C_GetInfo(&info));
  EXPECT_EQ(locksAfterInit + 1, AppMutex::locks);
  EXPECT_EQ(AppMutex::locks, AppMutex::unlocks);

  // Argument errors, stubs and the function list take no lock.
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_GetInfo(nullptr));
  EXPECT_CKR(CKR_FUNCTION_NOT_SUPPORTED, C_EncryptInit(1, nullptr, 1));
  CK_FUNCTION_LIST_PTR list = nullptr;
  EXPECT_CKR(CKR_OK, C_GetFunctionList(&list));
  EXPECT_EQ(locksAfterInit + 1, AppMutex::locks);

  ASSERT_CKR(CKR_OK, C_Finalize(nullptr));
  EXPECT_EQ(1, AppMutex::destroys);
}

TEST_F(LockingTest, AfterFinalizeWithCallbacksEveryCallIsNotInitialised) {
  CK_C_INITIALIZE_ARGS args = AppMutex::Args();
  ASSERT_CKR(CKR_OK, C_Initialize(&args));
  ASSERT_CKR(CKR_OK, C_Finalize(nullptr));
  CK_INFO info;
  CK_ULONG count = 0;
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, C_GetInfo(&info));
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, C_GetSlotList(CK_FALSE, nullptr, &count));
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, C_GetFunctionStatus(1));
}

TEST_F(LockingTest, FailingCreateMutexLeavesSetWithoutMutexUntilNextSuccess) {
  AppMutex::createResult = CKR_HOST_MEMORY;
  CK_C_INITIALIZE_ARGS args = AppMutex::Args();
  EXPECT_CKR(CKR_HOST_MEMORY, C_Initialize(&args));
  CK_INFO info;
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, C_GetInfo(&info));
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, C_Finalize(nullptr));

  AppMutex::createResult = CKR_OK;
  EXPECT_CKR(CKR_OK, C_Initialize(&args));
  EXPECT_CKR(CKR_OK, C_GetInfo(&info));
}

TEST_F(LockingTest, FailingLockCallbackIsTheResult) {
  CK_C_INITIALIZE_ARGS args = AppMutex::Args();
  ASSERT_CKR(CKR_OK, C_Initialize(&args));
  AppMutex::lockResult = CKR_CANT_LOCK;
  CK_INFO info;
  EXPECT_CKR(CKR_CANT_LOCK, C_GetInfo(&info));
  AppMutex::lockResult = CKR_OK;
  EXPECT_CKR(CKR_OK, C_GetInfo(&info));
}

TEST_F(LockingTest, FinalizeReportsTheMissingMutex) {
  // A set with a failed mutex, then a successful context would be needed to
  // reach the final release; use a destroy callback that fails instead.
  CK_C_INITIALIZE_ARGS args = AppMutex::Args();
  args.DestroyMutex = [](CK_VOID_PTR) -> CK_RV { return CKR_GENERAL_ERROR; };
  ASSERT_CKR(CKR_OK, C_Initialize(&args));
  EXPECT_CKR(CKR_GENERAL_ERROR, C_Finalize(nullptr));
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, C_Finalize(nullptr));
}

TEST_F(LockingTest, CallsFromManyThreadsAreSerialised) {
  for (bool builtin : {false, true}) {
    SCOPED_TRACE(builtin ? "built-in lock" : "application callbacks");
    CK_C_INITIALIZE_ARGS args = builtin ? CK_C_INITIALIZE_ARGS{} : AppMutex::Args();
    ASSERT_CKR(CKR_OK, C_Initialize(&args));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
          CK_INFO info;
          if (C_GetInfo(&info) != CKR_OK) ++failures;
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    ASSERT_CKR(CKR_OK, C_Finalize(nullptr));
  }
}

}  // namespace
}  // namespace zorad::test
