// C_WaitForSlotEvent: polling cycles under the library lock and pauses
// without it, until a slot event, a non-blocking poll that finds none, an
// error, or C_Finalize. The slot layer does one cycle at a time; the lock,
// the pauses and the finalising flag are this layer's.
#include "api/entry_frame.h"
#include "api/module_release.h"
#include "api/module_state.h"
#include "platform/platform.h"
#include "session/session_table.h"
#include "slot/slot_events.h"
#include "trace/trace.h"

namespace zorad::api {
namespace {

constexpr uint32_t kPauseMs = 100;

bool Finalizing() { return State().finalizing.load() != 0; }

CK_RV LockedCycle(CK_SLOT_ID* slotId, bool dontBlock) {
  const LibraryLock lock;
  if (!lock.ok()) return lock.result();
  if (Finalizing()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  const CK_RV rv = slot::PollSlotEvents(slotId, dontBlock);
  session::FollowSlotChanges();
  return rv;
}

CK_RV PollUntilEvent(CK_SLOT_ID* slotId, bool dontBlock) {
  ZORAD_TRACE(trace::kSteps, "Entering while()\n");
  for (unsigned cycle = 1; !Finalizing(); ++cycle) {
    const CK_RV rv = LockedCycle(slotId, dontBlock);
    if (rv != CKR_NO_EVENT || dontBlock) return rv;
    if (Finalizing()) break;
    platform::SleepMs(kPauseMs);
    ZORAD_TRACE(trace::kSteps, "WaitForSlotEvent: Resync slots (%d)...\n", static_cast<int>(cycle));
  }
  return CKR_CRYPTOKI_NOT_INITIALIZED;
}

CK_RV WaitForSlotEvent(CK_SLOT_ID* slotId, CK_FLAGS flags) {
  ZORAD_TRACE(trace::kOperations, "WaitForSlotEvent\n");
  // Counted for the whole stay, so that C_Finalize releases nothing this
  // thread may still touch.
  const WaiterScope waiter;
  CK_RV rv = CKR_CRYPTOKI_NOT_INITIALIZED;
  if (waiter.admitted()) rv = PollUntilEvent(slotId, (flags & CKF_DONT_BLOCK) != 0);
  ZORAD_TRACE(trace::kSteps, "wfse_error\n");
  if (Finalizing()) rv = CKR_CRYPTOKI_NOT_INITIALIZED;
  ZORAD_TRACE(trace::kSteps, "wait_counter\n");
  ZORAD_TRACE(trace::kOperations, "WaitForSlotEvent: %x\n", static_cast<unsigned>(rv));
  return rv;
}

}  // namespace
}  // namespace zorad::api

using namespace zorad::api;

extern "C" {

CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved) {
  EntryFrame frame(EntryPoint::kWaitForSlotEvent, TraceValue(flags), TraceValue(pSlot),
                   TraceValue(pReserved));
  if (flags != 0 && flags != CKF_DONT_BLOCK) return frame.Return(CKR_ARGUMENTS_BAD);
  if (pSlot == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  // The wait takes the library lock itself for each polling cycle.
  return frame.Unlocked([&] { return WaitForSlotEvent(pSlot, flags); });
}

}  // extern "C"
