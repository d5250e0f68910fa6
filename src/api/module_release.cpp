#include "api/module_release.h"

#include <atomic>

#include "api/module_state.h"
#include "platform/platform.h"
#include "reader/reader_context.h"
#include "trace/trace.h"

namespace zorad::api {
namespace {

constexpr uint32_t kWaitStepMs = 50;
constexpr uint32_t kWaitSteps = 60;  // 3000 ms in all

enum Stage : int { kNone, kLeftToWaiter, kRunning };
std::atomic<int> g_stage{kNone};
std::atomic<ReleaseBody> g_leftRelease{nullptr};

template <typename Done>
bool WaitUntil(Done done) {
  for (uint32_t step = 0; step < kWaitSteps && !done(); ++step) platform::SleepMs(kWaitStepMs);
  return done();
}

// Carries out a release left to the waiters once none is inside; exactly
// one caller gets to run it.
void RunReleaseIfLeft() {
  if (State().waitCounter.load() != 0) return;
  int expected = kLeftToWaiter;
  if (!g_stage.compare_exchange_strong(expected, kRunning)) return;
  if (const ReleaseBody release = g_leftRelease.exchange(nullptr)) {
    try {
      release();  // nobody is left to tell its result
    } catch (...) {
    }
  }
  g_stage.store(kNone);
}

}  // namespace

CK_RV ReleaseAfterWaiters(ReleaseBody release) {
  ModuleState& state = State();
  state.finalizing.store(1);
  reader::CancelReaderContext();
  if (WaitUntil([&] { return state.waitCounter.load() == 0; })) return release();
  ZORAD_TRACE(trace::kSteps, "Finalize: release left to the slot-event waiter\n");
  g_leftRelease.store(release);
  g_stage.store(kLeftToWaiter);
  RunReleaseIfLeft();  // the waiter may have left in the meantime
  return CKR_OK;
}

bool ReleasePending() { return g_stage.load() != kNone; }

bool AwaitPendingRelease() {
  return WaitUntil([] { return !ReleasePending(); });
}

WaiterScope::WaiterScope() {
  State().waitCounter.fetch_add(1);
  admitted_ = State().finalizing.load() == 0;
}

WaiterScope::~WaiterScope() {
  State().waitCounter.fetch_sub(1);
  RunReleaseIfLeft();
}

void ForgetWaiters() {
  State().waitCounter.store(0);
  g_leftRelease.store(nullptr);
  g_stage.store(kNone);
}

}  // namespace zorad::api
