// C_Initialize and C_Finalize through the Windows ABI: the initialisation
// arguments read at their packed offsets, nested initialisation, the
// application's mutex callbacks, and a PC/SC service that cannot be reached.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "windows_fixture.h"

namespace zorad::wintest {
namespace {

// CK_C_INITIALIZE_ARGS as raw bytes: four callback pointers at 0, 8, 16 and
// 24, flags at 32, pReserved at 36.
struct RawInitArgs {
  std::array<uint8_t, 44> bytes{};
  RawInitArgs& Pointer(size_t offset, const void* value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
    return *this;
  }
  RawInitArgs& Flags(uint32_t flags) {
    std::memcpy(bytes.data() + 32, &flags, sizeof flags);
    return *this;
  }
  void* data() { return bytes.data(); }
};

CK_RV NoOpMutex(void*) { return CKR_OK; }
CK_RV CreateNoOp(void** mutex) {
  static int token;
  *mutex = &token;
  return CKR_OK;
}
CK_RV CreateFailing(void**) { return CKR_HOST_MEMORY; }

CK_C_INITIALIZE_ARGS Callbacks(CK_CREATEMUTEX create) {
  CK_C_INITIALIZE_ARGS args{};
  args.CreateMutex = create;
  args.DestroyMutex = NoOpMutex;
  args.LockMutex = NoOpMutex;
  args.UnlockMutex = NoOpMutex;
  return args;
}

// Locking entry points in a process that never initialised the module.
TEST(BeforeInitializeTest, LockingEntryPointsAnswerNotInitialized) {
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, Loaded().getSlotListBeforeInitialize);
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, Loaded().getInfoBeforeInitialize);
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, Loaded().openSessionBeforeInitialize);
}

class LifecycleTest : public ModuleTest {};

TEST_F(LifecycleTest, ArgumentsReadAtTheirPackedOffsets) {
  const void* fn = reinterpret_cast<const void*>(&NoOpMutex);
  const void* create = reinterpret_cast<const void*>(&CreateNoOp);
  struct Case {
    const char* what;
    RawInitArgs args;
    CK_RV expected;
  };
  const Case cases[] = {
      {"pReserved at offset 36", RawInitArgs().Pointer(36, fn), CKR_ARGUMENTS_BAD},
      {"CreateMutex alone", RawInitArgs().Pointer(0, create), CKR_ARGUMENTS_BAD},
      {"LockMutex alone", RawInitArgs().Pointer(16, fn), CKR_ARGUMENTS_BAD},
      {"UnlockMutex missing", RawInitArgs().Pointer(0, create).Pointer(8, fn).Pointer(16, fn),
       CKR_ARGUMENTS_BAD},
      {"flags only, at offset 32", RawInitArgs().Flags(CKF_OS_LOCKING_OK), CKR_OK},
      {"all four callbacks",
       RawInitArgs().Pointer(0, create).Pointer(8, fn).Pointer(16, fn).Pointer(24, fn), CKR_OK},
  };
  for (Case c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_CKR(c.expected, F().C_Initialize(c.args.data()));
    EXPECT_CKR(c.expected == CKR_OK ? CKR_OK : CKR_CRYPTOKI_NOT_INITIALIZED,
               F().C_Finalize(nullptr));
  }
}

TEST_F(LifecycleTest, NestedInitialisationKeepsOneReaderContext) {
  ASSERT_CKR(CKR_OK, F().C_Initialize(nullptr));
  ASSERT_CKR(CKR_OK, F().C_Initialize(nullptr));
  EXPECT_EQ(1u, Sim().CallCount(ZORAD_SIM_ESTABLISH_CONTEXT));
  EXPECT_CKR(CKR_OK, F().C_Finalize(nullptr));
  EXPECT_EQ(0u, Sim().CallCount(ZORAD_SIM_RELEASE_CONTEXT));
  CK_INFO info;
  EXPECT_CKR(CKR_OK, F().C_GetInfo(&info));
  EXPECT_CKR(CKR_OK, F().C_Finalize(nullptr));
  EXPECT_EQ(1u, Sim().CallCount(ZORAD_SIM_RELEASE_CONTEXT));
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, F().C_Finalize(nullptr));
}

TEST_F(LifecycleTest, FinalizeWithReservedPointerChangesNothing) {
  ASSERT_CKR(CKR_OK, F().C_Initialize(nullptr));
  int reserved = 0;
  EXPECT_CKR(CKR_ARGUMENTS_BAD, F().C_Finalize(&reserved));
  CK_INFO info;
  EXPECT_CKR(CKR_OK, F().C_GetInfo(&info));
  EXPECT_CKR(CKR_OK, F().C_Finalize(nullptr));
}

TEST_F(LifecycleTest, ApplicationCallbacksStayChosenAfterFinalize) {
  CK_C_INITIALIZE_ARGS args = Callbacks(CreateNoOp);
  ASSERT_CKR(CKR_OK, F().C_Initialize(&args));
  ASSERT_CKR(CKR_OK, F().C_Finalize(nullptr));
  CK_ULONG count = 0;
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, F().C_GetSlotList(CK_FALSE, nullptr, &count));
  // A new initialisation chooses again.
  ASSERT_CKR(CKR_OK, F().C_Initialize(nullptr));
  EXPECT_CKR(CKR_OK, F().C_GetSlotList(CK_FALSE, nullptr, &count));
}

TEST_F(LifecycleTest, FailingCreateMutexLeavesLockingCallsRefused) {
  CK_C_INITIALIZE_ARGS failing = Callbacks(CreateFailing);
  EXPECT_CKR(CKR_HOST_MEMORY, F().C_Initialize(&failing));
  CK_INFO info;
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, F().C_GetInfo(&info));
  CK_C_INITIALIZE_ARGS working = Callbacks(CreateNoOp);
  ASSERT_CKR(CKR_OK, F().C_Initialize(&working));
  EXPECT_CKR(CKR_OK, F().C_GetInfo(&info));
}

TEST_F(LifecycleTest, UnreachableServiceFailsInitialisationUntilItReturns) {
  Sim().FailNext(ZORAD_SIM_ESTABLISH_CONTEXT, SCARD_E_NO_SERVICE, 1, 0);
  EXPECT_CKR(CKR_FUNCTION_FAILED, F().C_Initialize(nullptr));
  EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, F().C_Finalize(nullptr));
  ASSERT_CKR(CKR_OK, F().C_Initialize(nullptr));
  EXPECT_CKR(CKR_OK, F().C_Finalize(nullptr));
}

// The service stops and comes back while the module is initialised: the
// module gets a new context and sees the readers again.
TEST_F(LifecycleTest, ServiceRestartWhileInitialised) {
  ASSERT_TRUE(Sim().AddReader(kReader, nullptr));
  ASSERT_TRUE(Sim().InsertCard(kReader, nullptr));
  ASSERT_CKR(CKR_OK, F().C_Initialize(nullptr));
  CK_ULONG count = 0;
  ASSERT_CKR(CKR_OK, F().C_GetSlotList(CK_TRUE, nullptr, &count));
  ASSERT_EQ(1u, count);
  Sim().StopService();
  F().C_GetSlotList(CK_TRUE, nullptr, &count);  // fails in whatever way
  Sim().StartService();
  CK_RV rv = CKR_GENERAL_ERROR;
  for (int attempt = 0; attempt < 3 && rv != CKR_OK; ++attempt) {
    rv = F().C_GetSlotList(CK_TRUE, nullptr, &count);
  }
  ASSERT_CKR(CKR_OK, rv);
  EXPECT_EQ(1u, count);
  EXPECT_GE(Sim().CallCount(ZORAD_SIM_ESTABLISH_CONTEXT), 2u);
}

}  // namespace
}  // namespace zorad::wintest
