// Several application threads at once: the module's built-in critical
// section and the application's own mutex callbacks must serialise every
// entry point's body, and every card operation must still end its reader
// transaction.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "windows_fixture.h"

namespace zorad::wintest {
namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 6;

// One thread's work on the card: a session, random bytes, the token and
// session information, a search, closing the session.
void Work(CK_SLOT_ID slot, std::atomic<int>& failures) {
  for (int round = 0; round < kRounds; ++round) {
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (F().C_OpenSession(slot, kReadOnly, nullptr, nullptr, &session) != CKR_OK) {
      ++failures;
      continue;
    }
    uint8_t random[40];
    CK_TOKEN_INFO token;
    CK_SESSION_INFO info;
    CK_OBJECT_HANDLE found[4];
    CK_ULONG count = 0;
    if (F().C_GenerateRandom(session, random, sizeof random) != CKR_OK) ++failures;
    if (F().C_GetTokenInfo(slot, &token) != CKR_OK) ++failures;
    if (F().C_GetSessionInfo(session, &info) != CKR_OK || info.slotID != slot) ++failures;
    if (F().C_FindObjectsInit(session, nullptr, 0) != CKR_OK) ++failures;
    if (F().C_FindObjects(session, found, 4, &count) != CKR_OK) ++failures;
    if (F().C_FindObjectsFinal(session) != CKR_OK) ++failures;
    if (F().C_CloseSession(session) != CKR_OK) ++failures;
  }
}

void RunThreads(CK_SLOT_ID slot, std::atomic<int>& failures) {
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(Work, slot, std::ref(failures));
  for (auto& thread : threads) thread.join();
}

// A mutex for the callbacks that counts its use and notices two holders.
struct CountingMutex {
  CRITICAL_SECTION section;
  std::atomic<int> holders{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> locks{0};
  std::atomic<int> unlocks{0};
};
std::atomic<int> g_created{0};
std::atomic<int> g_destroyed{0};
CountingMutex* g_lastMutex = nullptr;

CK_RV CreateCounting(void** mutex) {
  auto* m = new CountingMutex;
  InitializeCriticalSection(&m->section);
  g_lastMutex = m;
  ++g_created;
  *mutex = m;
  return CKR_OK;
}
CK_RV DestroyCounting(void* mutex) {
  auto* m = static_cast<CountingMutex*>(mutex);
  DeleteCriticalSection(&m->section);
  ++g_destroyed;
  return CKR_OK;  // kept allocated: the test reads its counters afterwards
}
std::atomic<bool> g_refuseLocks{false};

CK_RV LockCounting(void* mutex) {
  if (g_refuseLocks) return CKR_CANT_LOCK;
  auto* m = static_cast<CountingMutex*>(mutex);
  EnterCriticalSection(&m->section);
  if (++m->holders > 1) ++m->overlaps;
  ++m->locks;
  return CKR_OK;
}
CK_RV UnlockCounting(void* mutex) {
  auto* m = static_cast<CountingMutex*>(mutex);
  --m->holders;
  ++m->unlocks;
  LeaveCriticalSection(&m->section);
  return CKR_OK;
}

class ThreadsTest : public ModuleTest {
 protected:
  // A card in a reader, its slot listed.
  CK_SLOT_ID PrepareSlot() {
    EXPECT_TRUE(Sim().AddReader(kReader, nullptr));
    EXPECT_TRUE(Sim().InsertCard(kReader, nullptr));
    CK_ULONG count = 1;
    CK_SLOT_ID slot = 0;
    EXPECT_CKR(CKR_OK, F().C_GetSlotList(CK_TRUE, nullptr, &count));
    EXPECT_CKR(CKR_OK, F().C_GetSlotList(CK_TRUE, &slot, &count));
    return slot;
  }
};

TEST_F(ThreadsTest, BuiltInCriticalSection) {
  CK_C_INITIALIZE_ARGS args{};
  ASSERT_CKR(CKR_OK, F().C_Initialize(&args));
  const CK_SLOT_ID slot = PrepareSlot();
  std::atomic<int> failures{0};
  RunThreads(slot, failures);
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(0u, Sim().OpenTransactions());
}

TEST_F(ThreadsTest, ApplicationMutexCallbacks) {
  CK_C_INITIALIZE_ARGS args{};
  args.CreateMutex = CreateCounting;
  args.DestroyMutex = DestroyCounting;
  args.LockMutex = LockCounting;
  args.UnlockMutex = UnlockCounting;
  const int created = g_created.load();
  const int destroyed = g_destroyed.load();
  ASSERT_CKR(CKR_OK, F().C_Initialize(&args));
  ASSERT_EQ(created + 1, g_created.load());
  CountingMutex* mutex = g_lastMutex;
  const CK_SLOT_ID slot = PrepareSlot();
  std::atomic<int> failures{0};
  RunThreads(slot, failures);
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(0, mutex->overlaps.load());
  // Every entry point's body took the lock once and gave it back.
  EXPECT_GE(mutex->locks.load(), kThreads * kRounds * 8);
  EXPECT_EQ(mutex->locks.load(), mutex->unlocks.load());
  ASSERT_CKR(CKR_OK, F().C_Finalize(nullptr));
  EXPECT_EQ(destroyed + 1, g_destroyed.load());
  delete mutex;
}

// While the application's LockMutex refuses, every locking entry point
// answers with its code and never calls UnlockMutex.
TEST_F(ThreadsTest, RefusedLockIsTheAnswerAndNothingIsUnlocked) {
  CK_C_INITIALIZE_ARGS args{};
  args.CreateMutex = CreateCounting;
  args.DestroyMutex = DestroyCounting;
  args.LockMutex = LockCounting;
  args.UnlockMutex = UnlockCounting;
  ASSERT_CKR(CKR_OK, F().C_Initialize(&args));
  CountingMutex* mutex = g_lastMutex;
  g_refuseLocks = true;
  CK_INFO info;
  CK_ULONG count = 0;
  EXPECT_CKR(CKR_CANT_LOCK, F().C_GetInfo(&info));
  EXPECT_CKR(CKR_CANT_LOCK, F().C_GetSlotList(CK_FALSE, nullptr, &count));
  g_refuseLocks = false;
  EXPECT_EQ(mutex->locks.load(), mutex->unlocks.load());
  EXPECT_CKR(CKR_OK, F().C_GetInfo(&info));
  ASSERT_CKR(CKR_OK, F().C_Finalize(nullptr));
  delete mutex;
}

}  // namespace
}  // namespace zorad::wintest
