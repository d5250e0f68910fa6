// Every function of the list before the first C_Initialize and after
// C_Finalize, bad C_Initialize and C_Finalize arguments, and handles kept
// from before a C_Finalize.
#include <gtest/gtest.h>

#include "api/module_state.h"
#include "bad_input/sweep.h"
#include "support/token_fixture.h"

namespace zorad::test {
namespace {

CK_RV FailingCallback(CK_VOID_PTR) { return CKR_GENERAL_ERROR; }
CK_RV FailingCreate(CK_VOID_PTR_PTR) { return CKR_GENERAL_ERROR; }

// Declared first: only a process that has not initialised the module yet
// can see this state, as ctest runs each test (gtest_discover_tests).
TEST(BeforeInitializeSweep, EveryFunctionAnswersWithoutAModule) {
  if (api::Initialized()) GTEST_SKIP() << "the module is initialised in this process";
  std::vector<BadInput> rows =
      WholeListRows(Handles{}, {CKR_CRYPTOKI_NOT_INITIALIZED, CKR_CRYPTOKI_NOT_INITIALIZED});
  // Argument checks come before the state.
  rows.push_back({"C_GetInfo(NULL)", [] { return F().C_GetInfo(nullptr); }, CKR_ARGUMENTS_BAD});
  rows.push_back({"C_GetFunctionList(NULL)", [] { return F().C_GetFunctionList(nullptr); },
                  CKR_ARGUMENTS_BAD});
  rows.push_back({"C_Finalize(reserved)", [] { return F().C_Finalize(&F()); }, CKR_ARGUMENTS_BAD});
  RunSweep("before C_Initialize", rows);
  EXPECT_EQ(0u, sim::pcsc::CallCount(sim::pcsc::Call::kEstablishContext));
}

class InitializeArgumentsSweep : public ModuleTest {};

TEST_F(InitializeArgumentsSweep, IncompleteCallbackSetsAndReservedPointersAreRefused) {
  std::vector<BadInput> rows;
  // Every mix of present and missing callbacks but all or none.
  for (unsigned present = 1; present < 15; ++present) {
    rows.push_back({"callbacks present: mask " + std::to_string(present),
                    [present] {
                      CK_C_INITIALIZE_ARGS args{};
                      if (present & 1) args.CreateMutex = FailingCreate;
                      if (present & 2) args.DestroyMutex = FailingCallback;
                      if (present & 4) args.LockMutex = FailingCallback;
                      if (present & 8) args.UnlockMutex = FailingCallback;
                      return F().C_Initialize(&args);
                    },
                    CKR_ARGUMENTS_BAD, [] { EXPECT_EQ(0u, api::State().initCounter.load()); }});
  }
  static int reserved = 0;
  rows.push_back({"pReserved set",
                  [] {
                    CK_C_INITIALIZE_ARGS args{};
                    args.pReserved = &reserved;
                    return F().C_Initialize(&args);
                  },
                  CKR_ARGUMENTS_BAD});
  rows.push_back({"C_Finalize(NULL) uninitialised", [] { return F().C_Finalize(nullptr); },
                  CKR_CRYPTOKI_NOT_INITIALIZED});
  rows.push_back(
      {"C_Finalize(reserved)", [] { return F().C_Finalize(&reserved); }, CKR_ARGUMENTS_BAD});
  RunSweep("C_Initialize and C_Finalize arguments", rows);
  ASSERT_CKR(CKR_OK, C_Initialize(nullptr));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_Finalize(&reserved));
  CK_INFO info;
  EXPECT_CKR(CKR_OK, C_GetInfo(&info));  // still initialised
}

// The module was used, then finalised: slot, session and object handles of
// that time are still in the application's hands.
struct FinalizedKind {
  const char* name;
  int lock;  // 0 application callbacks, 1 built-in, 2 none (C_Initialize(NULL))
};

class AfterFinalizeSweep : public SessionTest, public ::testing::WithParamInterface<FinalizedKind> {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_TRUE(sim::pcsc::AddReader(kReaderName));
    ASSERT_TRUE(sim::pcsc::InsertCard(kReaderName, std::make_shared<sim::SimulatedCard>()));
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    if (GetParam().lock == 0) {
      args.CreateMutex = [](CK_VOID_PTR_PTR m) -> CK_RV {
        *m = &applicationMutex;
        return CKR_OK;
      };
      args.DestroyMutex = args.LockMutex =
          args.UnlockMutex = [](CK_VOID_PTR) -> CK_RV { return CKR_OK; };
    }
    ASSERT_CKR(CKR_OK, C_Initialize(GetParam().lock == 2 ? nullptr : &args));
    CK_ULONG count = 1;
    ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, nullptr, &count));
    ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, &slotId_, &count));
    session_ = Open();
  }
  static inline int applicationMutex = 0;  // one thread only: a token suffices
};

TEST_P(AfterFinalizeSweep, EveryFunctionAnswersAfterwards) {
  Handles old{slotId_, session_, CreateData("old", true), CreateData("old session", false)};
  ASSERT_CKR(CKR_OK, C_Finalize(nullptr));
  // Whatever lock was chosen, as before the first C_Initialize.
  const std::vector<BadInput> rows =
      WholeListRows(old, {CKR_CRYPTOKI_NOT_INITIALIZED, CKR_CRYPTOKI_NOT_INITIALIZED});
  const size_t contexts = sim::pcsc::CallCount(sim::pcsc::Call::kEstablishContext);
  RunSweep(std::string("after C_Finalize, ") + GetParam().name, rows);
  // Nothing after C_Finalize may set up what no C_Finalize would release.
  EXPECT_EQ(contexts, sim::pcsc::CallCount(sim::pcsc::Call::kEstablishContext));
  EXPECT_EQ(0u, sim::pcsc::OpenConnections());
}

std::string TestNameOf(const ::testing::TestParamInfo<FinalizedKind>& info) {
  static const char* const kNames[] = {"ApplicationCallbacks", "BuiltInLock", "NoLock"};
  return kNames[info.param.lock];
}

INSTANTIATE_TEST_SUITE_P(LockKinds, AfterFinalizeSweep,
                         ::testing::Values(FinalizedKind{"application callbacks", 0},
                                           FinalizedKind{"built-in lock", 1},
                                           FinalizedKind{"no lock", 2}),
                         TestNameOf);

class StaleHandleSweep : public SessionTest {};

// Handles of the last initialisation name nothing in the next one: slot IDs
// and session handles go on counting, and token object handles are bound to
// their slot.
TEST_F(StaleHandleSweep, HandlesFromBeforeFinalizeNameNothing) {
  const Handles old{slotId_, session_, CreateData("old token", true),
                    CreateData("old session", false)};
  ASSERT_CKR(CKR_OK, C_Finalize(nullptr));
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  ASSERT_CKR(CKR_OK, C_Initialize(&args));
  CK_ULONG count = 1;
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, nullptr, &count));
  ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, &slotId_, &count));
  ASSERT_NE(old.slot, slotId_);
  const CK_SESSION_HANDLE fresh = Open();
  ASSERT_NE(old.session, fresh);

  std::vector<BadInput> rows;
  for (BadInput& row : WholeListRows(old, {kAnyCode, CKR_OK})) {
    if (row.expected != kAnyCode) continue;
    row.expected = AnswerToUnknownHandles(row.what);
    if (row.expected != kAnyCode) rows.push_back(std::move(row));
  }
  // The old objects through a session of the new initialisation.
  Handles mixed = old;
  mixed.session = fresh;
  for (BadInput& row : WholeListRows(mixed, {kAnyCode, 0})) {
    if (row.what == "C_DestroyObject" || row.what == "C_GetAttributeValue" ||
        row.what == "C_SetAttributeValue") {
      rows.push_back({row.what + " old object", row.call, CKR_OBJECT_HANDLE_INVALID});
    } else if (row.what == "C_SignInit" || row.what == "C_VerifyInit") {
      rows.push_back({row.what + " old key", row.call, CKR_KEY_HANDLE_INVALID});
    }
  }
  RunSweep("handles from before C_Finalize", rows);
  const auto found = FindAll(fresh);  // the token object lives on under a new handle
  ASSERT_EQ(1u, found.size());
  EXPECT_NE(old.object, found[0]);
  EXPECT_EQ("old token", ReadText(fresh, found[0]));
}

}  // namespace
}  // namespace zorad::test
