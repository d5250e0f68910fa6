// C_Initialize / C_Finalize: the initialisation counter, argument rules and
// the PC/SC context.
#include <gtest/gtest.h>

#include "support/module_fixture.h"

namespace zorad::test {
namespace {

using sim::pcsc::Call;
using sim::pcsc::CallCount;

class LifecycleTest : public ModuleTest {};

TEST_F(LifecycleTest, LockingCallsBeforeFirstInitializeAreRefused) {
  CK_INFO info;
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, C_GetInfo(&info));
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, C_Finalize(nullptr));
}

TEST_F(LifecycleTest, NestedInitializationIsCountedAndOnlyTheLastFinalizeReleases) {
  ASSERT_CKR(CKR_OK, C_Initialize(nullptr));
  ASSERT_CKR(CKR_OK, C_Initialize(nullptr));
  EXPECT_EQ(1u, CallCount(Call::kEstablishContext));

  EXPECT_CKR(CKR_OK, C_Finalize(nullptr));
  EXPECT_EQ(0u, CallCount(Call::kReleaseContext));
  EXPECT_CKR(CKR_OK, C_Finalize(nullptr));
  EXPECT_EQ(1u, CallCount(Call::kReleaseContext));
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, C_Finalize(nullptr));
}

TEST_F(LifecycleTest, ArgumentRules) {
  struct Case {
    const char* what;
    bool create, destroy, lock, unlock;
    bool reserved;
    CK_RV expected;
    bool createWritesNothing = false;  // the application's mutex is null
  };
  const Case cases[] = {
      {"all four callbacks", true, true, true, true, false, CKR_OK},
      {"none, built-in lock", false, false, false, false, false, CKR_OK},
      {"create without lock", true, true, false, true, false, CKR_ARGUMENTS_BAD},
      {"lock without create", false, false, true, false, false, CKR_ARGUMENTS_BAD},
      {"only destroy", false, true, false, false, false, CKR_ARGUMENTS_BAD},
      {"reserved pointer set", false, false, false, false, true, CKR_ARGUMENTS_BAD},
      {"create answers a null mutex", true, true, true, true, false, CKR_OK, true},
  };
  auto create = [](CK_VOID_PTR_PTR m) -> CK_RV {
    static int token;
    *m = &token;
    return CKR_OK;
  };
  auto createNull = [](CK_VOID_PTR_PTR) -> CK_RV { return CKR_OK; };
  auto other = [](CK_VOID_PTR) -> CK_RV { return CKR_OK; };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CK_C_INITIALIZE_ARGS args{};
    if (c.create) args.CreateMutex = c.createWritesNothing ? +createNull : +create;
    if (c.destroy) args.DestroyMutex = other;
    if (c.lock) args.LockMutex = other;
    if (c.unlock) args.UnlockMutex = other;
    int reserved = 0;
    if (c.reserved) args.pReserved = &reserved;
    EXPECT_CKR(c.expected, C_Initialize(&args));
    // A refused call leaves the module uninitialised.
    EXPECT_CKR(c.expected == CKR_OK ? CKR_OK : CKR_CRYPTOKI_NOT_INITIALIZED,
               C_Finalize(nullptr));
  }
}

TEST_F(LifecycleTest, OsLockingFlagDoesNotChangeTheChoice) {
  for (CK_FLAGS flags : {CK_FLAGS{0}, CK_FLAGS{CKF_OS_LOCKING_OK}}) {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = flags;
    ASSERT_CKR(CKR_OK, C_Initialize(&args));
    CK_INFO info;
    EXPECT_CKR(CKR_OK, C_GetInfo(&info));
    ASSERT_CKR(CKR_OK, C_Finalize(nullptr));
    EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, C_GetInfo(&info));
  }
}

TEST_F(LifecycleTest, FinalizeWithReservedPointerChangesNothing) {
  ASSERT_CKR(CKR_OK, C_Initialize(nullptr));
  int reserved = 0;
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_Finalize(&reserved));
  EXPECT_EQ(0u, CallCount(Call::kReleaseContext));
  EXPECT_CKR(CKR_OK, C_Finalize(nullptr));
}

// No context is kept or made in between (one refused establishment).
TEST_F(LifecycleTest, ContextFailureLeavesModuleUninitialisedAndRetryWorks) {
  sim::pcsc::FailNext(Call::kEstablishContext, 0x8010001D /* SCARD_E_NO_SERVICE */);
  CK_C_INITIALIZE_ARGS args{};
  EXPECT_CKR(CKR_FUNCTION_FAILED, C_Initialize(&args));
  CK_ULONG count = 0;
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, C_GetSlotList(CK_FALSE, nullptr, &count));
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, C_Finalize(nullptr));
  EXPECT_CKR(CKR_OK, C_Initialize(&args));
  EXPECT_CKR(CKR_OK, C_Finalize(nullptr));
  EXPECT_EQ(2u, CallCount(Call::kEstablishContext));
  EXPECT_EQ(1u, CallCount(Call::kReleaseContext));
}

TEST_F(LifecycleTest, InitializeAfterFinalizeStartsAgain) {
  for (int round = 0; round < 3; ++round) {
    ASSERT_CKR(CKR_OK, C_Initialize(nullptr));
    CK_INFO info;
    EXPECT_CKR(CKR_OK, C_GetInfo(&info));
    ASSERT_CKR(CKR_OK, C_Finalize(nullptr));
  }
  EXPECT_EQ(3u, CallCount(Call::kEstablishContext));
  EXPECT_EQ(3u, CallCount(Call::kReleaseContext));
}

TEST_F(LifecycleTest, WithoutLockingTheFinalisedModuleIsNotInitialised) {
  ASSERT_CKR(CKR_OK, C_Initialize(nullptr));
  ASSERT_CKR(CKR_OK, C_Finalize(nullptr));
  CK_INFO info;
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, C_GetInfo(&info));
}

}  // namespace
}  // namespace zorad::test
