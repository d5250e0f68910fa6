// C_Initialize and C_Finalize: the initialisation counter, the choice of
// the library lock, the trace file and the PC/SC context.
//
// Both run whole under the lifecycle lock, so that the first C_Initialize
// and the last C_Finalize of concurrent users never overlap: a C_Initialize
// begins only after a release in progress has ended, and the library mutex,
// the slot table and the context it makes are not the ones that release
// frees. The slot-event waiters never take the lifecycle lock, so the last
// C_Finalize may wait for them, and C_Initialize for a release left to
// them, while holding it.
#include "api/entry_frame.h"
#include "api/library_lock.h"
#include "api/module_release.h"
#include "api/module_state.h"
#include "platform/platform.h"
#include "reader/reader_context.h"
#include "session/session_table.h"
#include "slot/slot_table.h"
#include "trace/trace.h"

namespace zorad::api {
namespace {

// Holds the lifecycle lock for the whole of a C_Initialize or C_Finalize.
class LifecycleScope {
 public:
  LifecycleScope() { platform::LockLifecycle(); }
  ~LifecycleScope() { platform::UnlockLifecycle(); }
  LifecycleScope(const LifecycleScope&) = delete;
  LifecycleScope& operator=(const LifecycleScope&) = delete;
};

// Steps 6 to 8 of C_Initialize: under the library lock, count the call or,
// for the first one, establish the reader context. The waiters' count is
// left alone: a thread may be waiting for a slot event while another user
// of the module initialises it, and the last C_Finalize must still wait
// for that thread.
CK_RV CountInitialization(ModuleState& state) {
  const CK_RV locked = LockMutex();
  if (locked != CKR_OK) return locked;
  CK_RV rv = CKR_OK;
  if (state.initCounter.load() != 0) {
    state.initCounter.fetch_add(1);
  } else if (reader::OpenReaderContext() != SCARD_S_SUCCESS) {
    rv = CKR_FUNCTION_FAILED;
  } else {
    state.finalizing.store(0);
    state.ownerForkCount.store(platform::ForkCount());
    state.initCounter.store(1);
  }
  UnlockMutex();
  return rv;
}

// A child of fork() holds a copy of its parent's module: the handles of the
// parent's PC/SC context and card connections, its slots, sessions and
// login, its lock and trace file. The child neither uses nor releases any
// of them (releasing would end the parent's), it only forgets them and
// starts as if just loaded. Runs before anything else, tracing included:
// a thread of the parent may have held the trace lock.
void StartAfreshAfterFork(ModuleState& state) {
  trace::LeaveParentsFile();
  reader::AbandonReaderContext();
  session::EndAllSlotSessions();
  slot::AbandonAllSlots();
  AbandonLibraryMutex();
  ForgetWaiters();
  state.initCounter.store(0);
  state.finalizing.store(0);
  state.ownerForkCount.store(platform::ForkCount());
}

CK_RV Initialize(CK_VOID_PTR initArgs) {
  platform::WatchForks();
  const LifecycleScope lifecycle;
  ModuleState& state = State();
  const bool forked = InheritedFromParent();
  if (forked) StartAfreshAfterFork(state);
  trace::Configure();
  EntryFrame frame(EntryPoint::kInitialize);
  CK_RV rv = CKR_OK;
  if (state.initCounter.load() == 0) {
    // What a slot-event waiter of the last life still has to release must
    // be gone before anything is made anew.
    if (!AwaitPendingRelease()) return frame.Return(CKR_FUNCTION_FAILED);
    rv = ChooseLockAndCreateMutex(static_cast<const CK_C_INITIALIZE_ARGS*>(initArgs));
    if (trace::AnyEnabled()) trace::OpenFile();
    if (forked) ZORAD_TRACE(trace::kSteps, "Initialize: new process, the parent's state left\n");
  }
  ZORAD_TRACE(trace::kSteps, "Initialize, init_counter=%d\n",
              static_cast<int>(state.initCounter.load()));
  if (rv == CKR_OK) rv = CountInitialization(state);
  ZORAD_TRACE(trace::kSteps, "Initialize: %x\n", static_cast<unsigned>(rv));
  return frame.Return(rv);
}

CK_RV ReleaseModule() {
  CK_RV rv = Guarded([] {
    session::EndAllSlotSessions();
    return slot::ReleaseAllSlots();
  });
  reader::CloseReaderContext();
  const CK_RV destroyed = DestroyLibraryMutex();
  if (rv == CKR_OK) rv = destroyed;
  return rv;
}

CK_RV Finalize(CK_VOID_PTR reserved) {
  const LifecycleScope lifecycle;
  ModuleState& state = State();
  // Nothing of a parent's module is the child's to finalise.
  if (InheritedFromParent()) StartAfreshAfterFork(state);
  EntryFrame frame(EntryPoint::kFinalize);
  if (trace::Enabled(trace::kEntryExit)) trace::FlushFile();
  if (reserved != nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  const uint32_t count = state.initCounter.load();
  ZORAD_TRACE(trace::kSteps, "Finalize, init_counter=%d\n", static_cast<int>(count));
  if (count == 0) return frame.Return(CKR_CRYPTOKI_NOT_INITIALIZED);
  // From here the locking entry points refuse; only the call that takes
  // the counter to 0 releases.
  state.initCounter.store(count - 1);
  CK_RV rv = CKR_OK;
  if (count == 1) rv = ReleaseAfterWaiters(ReleaseModule);
  ZORAD_TRACE(trace::kSteps, "Finalize: %x\n", static_cast<unsigned>(rv));
  trace::CloseFile();  // the exit line is lost with the file
  return frame.Return(rv);
}

}  // namespace
}  // namespace zorad::api

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
  return zorad::api::Guarded([&] { return zorad::api::Initialize(pInitArgs); });
}

CK_RV C_Finalize(CK_VOID_PTR pReserved) {
  return zorad::api::Guarded([&] { return zorad::api::Finalize(pReserved); });
}

}  // extern "C"
