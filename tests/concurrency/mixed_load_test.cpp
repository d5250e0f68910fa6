// Many threads on one initialised module, with the application's mutex
// callbacks and with the built-in lock: workers open and close sessions,
// search, read attributes, sign with a card key, draw random bytes and ask
// for slot and token information; two threads wait for slot events; a
// controller pulls one card and puts it back again and again. At the end
// C_Finalize runs while the waiters block. Every result must be one the
// call may give, every signature must verify, and the cards must be intact.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "api/module_state.h"
#include "concurrency/load_world.h"
#include "sim/card/gost_crypto.h"

namespace zorad::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kWorkers = 6;
constexpr int kRounds = 12;
constexpr int kWaiters = 2;
constexpr size_t kMinPulls = 4;
constexpr auto kFinalizeLimit = 3000ms;

// One worker: rounds on both cards in turn, every result tallied.
class Worker {
 public:
  Worker(const std::vector<LoadCard>& cards, int index) : cards_(cards), index_(index) {}

  void Run() {
    for (int round = 0; round < kRounds; ++round) {
      card_ = &cards_[static_cast<size_t>(index_ + round) % cards_.size()];
      Round(round);
    }
  }

  CallTally tally;
  std::vector<std::string> faults;  // wrong data handed out

 private:
  CK_RV Record(const char* call, CK_RV rv) {
    tally.Add(call, card_->pulled ? Scope::kPulledCard : Scope::kSteadyCard, rv);
    return rv;
  }
  void Fault(const std::string& what) { faults.push_back(card_->reader + ": " + what); }

  void Round(int round) {
    if (round % 3 == 0) ListSlots(round % 2 == 0);
    CK_TOKEN_INFO info{};
    Record("C_GetTokenInfo", C_GetTokenInfo(card_->slotId, &info));
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    const CK_FLAGS flags = round % 2 == 0 ? kReadOnly : kReadWrite;
    if (Record("C_OpenSession", C_OpenSession(card_->slotId, flags, nullptr, nullptr, &session)) !=
        CKR_OK) {
      return;
    }
    CK_SESSION_INFO sessionInfo{};
    Record("C_GetSessionInfo", C_GetSessionInfo(session, &sessionInfo));
    if (card_->pulled) Record("C_Login", Login(session, CKU_USER, kUserPin));
    uint8_t random[40];
    Record("C_GenerateRandom", C_GenerateRandom(session, random, sizeof random));
    const CK_OBJECT_HANDLE key = FindKey(session);
    // A re-inserted card has forgotten the PIN: log out so a later round
    // logs in again.
    if (key != CK_INVALID_HANDLE && !Sign(session, key, round) && card_->pulled) {
      Record("C_Logout", C_Logout(session));
    }
    Record("C_CloseSession", C_CloseSession(session));
  }

  void ListSlots(bool tokenPresent) {
    CK_ULONG count = 0;
    tally.Add("C_GetSlotList count", Scope::kAllSlots,
              C_GetSlotList(tokenPresent, nullptr, &count));
    CK_SLOT_ID ids[4] = {};
    count = 4;
    const CK_RV rv = C_GetSlotList(tokenPresent, ids, &count);
    tally.Add("C_GetSlotList list", Scope::kAllSlots, rv);
    if (rv == CKR_OK && count > 2) {
      Fault("slot list of " + std::to_string(count));
    }
  }

  CK_OBJECT_HANDLE FindKey(CK_SESSION_HANDLE session) {
    Template search;
    search.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Text(CKA_LABEL, card_->keyLabel);
    if (Record("C_FindObjectsInit", C_FindObjectsInit(session, search.data(), search.size())) !=
        CKR_OK) {
      return CK_INVALID_HANDLE;
    }
    CK_OBJECT_HANDLE found[4] = {};
    CK_ULONG count = 0;
    const CK_RV rv = Record("C_FindObjects", C_FindObjects(session, found, 4, &count));
    Record("C_FindObjectsFinal", C_FindObjectsFinal(session));
    if (rv != CKR_OK || count == 0) {
      if (rv == CKR_OK && !card_->pulled) Fault("key not found");
      return CK_INVALID_HANDLE;
    }
    if (count != 1) Fault("search found " + std::to_string(count) + " keys");
    CheckKeyAttributes(session, found[0]);
    return found[0];
  }

  void CheckKeyAttributes(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
    char label[64] = {};
    CK_ULONG objectClass = 0;
    CK_ATTRIBUTE read[] = {{CKA_LABEL, label, sizeof label},
                           {CKA_CLASS, &objectClass, sizeof objectClass}};
    if (Record("C_GetAttributeValue", C_GetAttributeValue(session, key, read, 2)) != CKR_OK) return;
    if (std::string(label, read[0].ulValueLen) != card_->keyLabel ||
        objectClass != CKO_PRIVATE_KEY) {
      Fault("key attributes read wrong");
    }
  }

  bool Sign(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, int round) {
    CK_MECHANISM mechanism{CKM_GOSTR3410, nullptr, 0};
    if (Record("C_SignInit", C_SignInit(session, &mechanism, key)) != CKR_OK) return false;
    std::vector<uint8_t> hash(32, static_cast<uint8_t>(index_ * 16 + round));
    hash[0] = 0x42;
    std::vector<uint8_t> signature(64);
    CK_ULONG length = signature.size();
    if (Record("C_Sign", C_Sign(session, hash.data(), hash.size(), signature.data(), &length)) !=
        CKR_OK) {
      return false;
    }
    if (length != 64 || !sim::VerifyPkcs11GostSignature(2, card_->publicKey, hash, signature)) {
      Fault("signature does not verify");
    }
    return true;
  }

  const std::vector<LoadCard>& cards_;
  const int index_;
  const LoadCard* card_ = nullptr;
};

// A thread in blocking C_WaitForSlotEvent until the module is finalised.
struct Waiter {
  void Run(const std::vector<LoadCard>& cards, std::atomic<size_t>& returns) {
    for (;;) {
      CK_SLOT_ID slotId = 0;
      last = C_WaitForSlotEvent(0, &slotId, nullptr);
      returned = Clock::now();
      ++returns;
      tally.Add("C_WaitForSlotEvent", Scope::kAllSlots, last);
      if (last == CKR_CRYPTOKI_NOT_INITIALIZED || last == CKR_MUTEX_BAD) return;
      if (last != CKR_OK) continue;
      ++events;
      if (slotId != cards[0].slotId && slotId != cards[1].slotId) ++wrongSlots;
    }
  }

  CallTally tally;
  CK_RV last = CKR_OK;
  Clock::time_point returned;
  size_t events = 0;
  size_t wrongSlots = 0;
};

// Another user of the module in the same process, initialising and
// finalising it for itself: the counter goes up and down but never to 0.
size_t NestInitialisations(const std::atomic<bool>& workersDone, CallTally& tally) {
  size_t pairs = 0;
  while (!workersDone) {
    CK_C_INITIALIZE_ARGS args{nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK, nullptr};
    tally.Add("C_Initialize nested", Scope::kAllSlots, C_Initialize(&args));
    std::this_thread::sleep_for(15ms);
    tally.Add("C_Finalize nested", Scope::kAllSlots, C_Finalize(nullptr));
    std::this_thread::sleep_for(15ms);
    ++pairs;
  }
  return pairs;
}

size_t PullAndReinsert(const LoadCard& card, const std::atomic<bool>& workersDone) {
  size_t pulls = 0;
  while (!workersDone || pulls < kMinPulls) {
    std::this_thread::sleep_for(40ms);
    EXPECT_TRUE(sim::pcsc::RemoveCard(card.reader));
    std::this_thread::sleep_for(40ms);
    EXPECT_TRUE(sim::pcsc::InsertCard(card.reader, card.card));
    ++pulls;
  }
  return pulls;
}

// Until the waiters have been blocked, all of them counted by the module and
// none returning, for a while: only then does C_Finalize meet them waiting.
bool WaitersSettled(const std::atomic<size_t>& returns) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    const size_t before = returns.load();
    std::this_thread::sleep_for(400ms);
    if (returns.load() == before && api::State().waitCounter.load() == kWaiters) return true;
  }
  return false;
}

// All threads of one run, and what they saw.
class LoadRun {
 public:
  explicit LoadRun(const std::vector<LoadCard>& cards) : cards_(cards) {
    workers_.reserve(kWorkers);
    for (int i = 0; i < kWorkers; ++i) workers_.emplace_back(cards_, i);
  }

  // Waiters, card controller and two other users of the module (each
  // initialising it for itself) start; the workers run to their end.
  void Load() {
    for (Waiter& waiter : waiters_) {
      waiterThreads_.emplace_back([&] { waiter.Run(cards_, waiterReturns_); });
    }
    std::thread controller([&] { pulls_ = PullAndReinsert(cards_[0], workersDone_); });
    std::thread nesting[2];
    for (int i = 0; i < 2; ++i) {
      nesting[i] =
          std::thread([&, i] { nestings_[i] = NestInitialisations(workersDone_, nested_[i]); });
    }
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (Worker& worker : workers_) threads.emplace_back([&] { worker.Run(); });
    for (std::thread& thread : threads) thread.join();
    loadTime_ = Clock::now() - start;
    workersDone_ = true;
    controller.join();
    for (std::thread& thread : nesting) thread.join();
  }

  // The last C_Finalize, while the waiters block.
  void FinalizeWhileWaiting() {
    EXPECT_TRUE(WaitersSettled(waiterReturns_)) << "slot-event waiters never settled";
    finalizeStart_ = Clock::now();
    EXPECT_CKR(CKR_OK, C_Finalize(nullptr));
    finalizeTime_ = Clock::now() - finalizeStart_;
    for (std::thread& thread : waiterThreads_) thread.join();
  }

  void ExpectSound() {
    tally_.Merge(nested_[0]);
    tally_.Merge(nested_[1]);
    for (const Worker& worker : workers_) {
      tally_.Merge(worker.tally);
      workerCalls_ += worker.tally.Total();
      EXPECT_TRUE(worker.faults.empty()) << worker.faults.front();
    }
    for (const Waiter& waiter : waiters_) {
      tally_.Merge(waiter.tally);
      events_ += waiter.events;
      EXPECT_CKR(CKR_CRYPTOKI_NOT_INITIALIZED, waiter.last);
      EXPECT_LT(waiter.returned - finalizeStart_, kFinalizeLimit);
      EXPECT_EQ(0u, waiter.wrongSlots);
    }
    EXPECT_LT(finalizeTime_, kFinalizeLimit);
    for (const std::string& line : tally_.Unexpected()) ADD_FAILURE() << line;
  }

  void PrintSummary(const char* lockKind) const {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    std::cout << "[ summary  ] " << lockKind << ": " << kWorkers << " workers x " << kRounds
              << " rounds = " << workerCalls_ << " calls in "
              << duration_cast<milliseconds>(loadTime_).count() << " ms; " << kWaiters
              << " waiters saw " << events_ << " events; card pulled and re-inserted " << pulls_
              << " times; " << nestings_[0] + nestings_[1]
              << " nested C_Initialize/C_Finalize pairs; C_Finalize took "
              << duration_cast<milliseconds>(finalizeTime_).count()
              << " ms; application lock taken " << CountingMutex::locks.load() << " times\n"
              << tally_.Summary();
  }

 private:
  const std::vector<LoadCard>& cards_;
  std::vector<Worker> workers_;
  std::vector<Waiter> waiters_{kWaiters};
  std::vector<std::thread> waiterThreads_;
  std::atomic<size_t> waiterReturns_{0};
  std::atomic<bool> workersDone_{false};
  CallTally nested_[2];
  size_t nestings_[2] = {};
  size_t pulls_ = 0;
  Clock::duration loadTime_{};
  Clock::time_point finalizeStart_;
  Clock::duration finalizeTime_{};
  CallTally tally_;
  size_t workerCalls_ = 0;
  size_t events_ = 0;
};

struct LockKind {
  const char* name;
  bool applicationCallbacks;
  bool trace;  // every trace category on, into a file of the test's own
};

void PrintTo(const LockKind& kind, std::ostream* out) { *out << kind.name; }

class MixedLoadTest : public LoadWorldTest, public ::testing::WithParamInterface<LockKind> {};

TEST_P(MixedLoadTest, ThreadsShareTheModuleWhileACardComesAndGoes) {
  TraceIntoTemporaryFile trace(GetParam().trace);
  StartModule(GetParam().applicationCallbacks);
  if (HasFatalFailure()) return;
  LoadRun run(cards_);
  run.Load();
  run.FinalizeWhileWaiting();
  run.ExpectSound();
  if (GetParam().applicationCallbacks) {
    EXPECT_EQ(1, CountingMutex::creates.load());
    EXPECT_EQ(1, CountingMutex::destroys.load());
    EXPECT_EQ(CountingMutex::locks.load(), CountingMutex::unlocks.load());
  }
  run.PrintSummary(GetParam().name);

  ExpectCardsConsistent();
  if (GetParam().trace) {
    const std::string written = trace.Contents();
    EXPECT_FALSE(written.empty());
    EXPECT_EQ(std::string::npos, written.find(kUserPin)) << "the user PIN reached the trace";
    EXPECT_EQ(std::string::npos, written.find("31 32 33 34 35 36 37 38"));
  }
}

INSTANTIATE_TEST_SUITE_P(LockKinds, MixedLoadTest,
                         ::testing::Values(LockKind{"application mutex callbacks", true, false},
                                           LockKind{"built-in lock (CKF_OS_LOCKING_OK), traced",
                                                    false, true}),
                         [](const auto& info) {
                           return info.param.applicationCallbacks ? "ApplicationCallbacks"
                                                                  : "BuiltInLock";
                         });

}  // namespace
}  // namespace zorad::test
