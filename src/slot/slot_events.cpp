#include "slot/slot_events.h"

#include "api/library_lock.h"
#include "api/module_state.h"
#include "platform/platform.h"
#include "slot/slot_sync.h"
#include "slot/slot_table.h"
#include "trace/trace.h"

namespace zorad::slot {
namespace {

constexpr uint8_t kEventBits = kReaderPresent | kTokenPresent;
constexpr uint32_t kPauseMs = 100;

// The slot reported by the last successful wait; the next scan starts
// after it. Never reset.
uint32_t g_lastEventSlot = 0;

bool Finalizing() { return api::State().finalizing.load() != 0; }

bool HasPendingEvent(const Slot& slot) {
  return ((slot.flags ^ slot.reportedFlags) & kEventBits) != 0;
}

// The first slot with a pending event after the last one reported, then
// from the lowest ID up to it.
Slot* FindPendingEvent() {
  SlotMap& slots = Slots();
  for (auto it = slots.upper_bound(g_lastEventSlot); it != slots.end(); ++it) {
    if (HasPendingEvent(*it->second)) return it->second.get();
  }
  for (auto it = slots.begin(); it != slots.end() && it->first <= g_lastEventSlot; ++it) {
    if (HasPendingEvent(*it->second)) return it->second.get();
  }
  return nullptr;
}

// The reader list and every slot's token, under the lock. A non-blocking
// poll refreshes the reader states first, without waiting, or it would
// never learn of a card that came or went; a failure of that refresh is
// kept in `refresh` and reported only when no event is pending, as a
// blocking cycle reports it after its scan.
CK_RV SyncForEvents(bool dontBlock, CK_RV& refresh) {
  CK_RV rv = SyncSlots();
  if (rv != CKR_OK) return rv;
  refresh = dontBlock ? SyncSlotsState(0) : CKR_OK;
  for (auto& entry : Slots()) {
    if (Finalizing()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    rv = SyncSlotFlags(*entry.second, nullptr);
    if (rv != CKR_OK && rv != CKR_SLOT_ID_INVALID && rv != CKR_TOKEN_NOT_RECOGNIZED) return rv;
  }
  return CKR_OK;
}

enum class CycleEnd { kEvent, kNothing, kLeave };

// One polling cycle under the library lock: synchronise, look for an event,
// and, when blocking, wait up to 100 ms for a reader to change.
CycleEnd RunCycle(CK_SLOT_ID* slotId, bool dontBlock, CK_RV& rv) {
  const api::LibraryLock lock;
  if (!lock.ok()) {
    rv = lock.result();
    return CycleEnd::kLeave;
  }
  if (Finalizing()) return CycleEnd::kLeave;
  CK_RV refresh = CKR_OK;
  rv = SyncForEvents(dontBlock, refresh);
  if (rv != CKR_OK) return CycleEnd::kLeave;
  if (Slot* slot = FindPendingEvent()) {
    Clear1Event(*slot);
    g_lastEventSlot = slot->slotId;
    ZORAD_TRACE(trace::kSteps, "wfse_event\n");
    *slotId = slot->slotId;
    return CycleEnd::kEvent;
  }
  rv = refresh == CKR_OK ? CKR_NO_EVENT : refresh;
  if (dontBlock || Finalizing()) return CycleEnd::kLeave;
  rv = SyncSlotsState();
  return rv == CKR_OK ? CycleEnd::kNothing : CycleEnd::kLeave;
}

CK_RV PollUntilEvent(CK_SLOT_ID* slotId, bool dontBlock) {
  ZORAD_TRACE(trace::kSteps, "Entering while()\n");
  CK_RV rv = CKR_OK;
  for (unsigned cycle = 1; !Finalizing(); ++cycle) {
    const CycleEnd end = RunCycle(slotId, dontBlock, rv);
    if (end == CycleEnd::kEvent) return CKR_OK;
    if (end == CycleEnd::kLeave || Finalizing()) return rv;
    platform::SleepMs(kPauseMs);
    ZORAD_TRACE(trace::kSteps, "WaitForSlotEvent: Resync slots (%d)...\n", static_cast<int>(cycle));
  }
  return rv;
}

// Counts the thread among the waiters that C_Finalize waits for. The count
// is lowered as the very last step, so C_Finalize never releases what the
// waiter still uses.
class Waiter {
 public:
  Waiter() {
    const api::LibraryLock lock;
    rv_ = lock.result();
    if (lock.ok()) api::State().waitCounter.fetch_add(1);
  }
  ~Waiter() {
    if (rv_ == CKR_OK) api::State().waitCounter.fetch_sub(1);
  }
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  CK_RV result() const { return rv_; }

 private:
  CK_RV rv_;
};

CK_RV Wait(CK_SLOT_ID* slotId, CK_FLAGS flags) {
  const Waiter waiter;
  if (waiter.result() != CKR_OK) return waiter.result();
  CK_RV rv = PollUntilEvent(slotId, (flags & CKF_DONT_BLOCK) != 0);
  ZORAD_TRACE(trace::kSteps, "wfse_error\n");
  if (Finalizing()) rv = CKR_CRYPTOKI_NOT_INITIALIZED;
  ZORAD_TRACE(trace::kSteps, "wait_counter\n");
  ZORAD_TRACE(trace::kOperations, "WaitForSlotEvent: %x\n", static_cast<unsigned>(rv));
  return rv;
}

}  // namespace

CK_RV WaitForSlotEvent(CK_SLOT_ID* slotId, CK_FLAGS flags) {
  ZORAD_TRACE(trace::kOperations, "WaitForSlotEvent\n");
  if (slotId == nullptr) return CKR_ARGUMENTS_BAD;
  return Wait(slotId, flags);
}

void Clear1Event(Slot& slot) {
  ZORAD_TRACE(trace::kOperations, "Clear1Event... slot:%d token:%d\n", slot.flags & kReaderPresent,
              (slot.reportedFlags & kTokenPresent) >> 1);
  const uint8_t changed = slot.flags ^ slot.reportedFlags;
  if ((changed & kReaderPresent) != 0) {
    slot.reportedFlags = (slot.reportedFlags & ~kReaderPresent) | (slot.flags & kReaderPresent);
    if ((slot.flags & kReaderPresent) == 0) slot.reportedFlags &= ~kTokenPresent;
  }
  if ((slot.flags ^ slot.reportedFlags) & kTokenPresent) {
    slot.reportedFlags = (slot.reportedFlags & ~kTokenPresent) | (slot.flags & kTokenPresent);
  }
  ZORAD_TRACE(trace::kOperations, "...Clear1Event slot:%d token:%d\n", slot.flags & kReaderPresent,
              (slot.reportedFlags & kTokenPresent) >> 1);
}

}  // namespace zorad::slot
