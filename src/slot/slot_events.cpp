#include "slot/slot_events.h"

#include "reader/reader_context.h"
#include "slot/slot_sync.h"
#include "slot/slot_table.h"
#include "trace/trace.h"

namespace zorad::slot {
namespace {

constexpr uint8_t kEventBits = kReaderPresent | kTokenPresent;

// The slot reported by the last successful wait; the next scan starts
// after it. Never reset.
uint32_t g_lastEventSlot = 0;

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

// The reader list and every slot's token. A non-blocking poll refreshes the
// reader states first, without waiting, or it would never learn of a card
// that came or went; a failure of that refresh is kept in `refresh` and
// reported only when no event is pending, as a blocking cycle reports it
// after its scan.
CK_RV SyncForEvents(bool dontBlock, CK_RV& refresh) {
  CK_RV rv = SyncSlots();
  if (rv != CKR_OK) return rv;
  refresh = dontBlock ? SyncSlotsState(0) : CKR_OK;
  for (auto& entry : Slots()) {
    if (reader::WaitsCancelled()) return CKR_FUNCTION_CANCELED;
    rv = SyncSlotFlags(*entry.second, nullptr);
    if (rv != CKR_OK && rv != CKR_SLOT_ID_INVALID && rv != CKR_TOKEN_NOT_RECOGNIZED) return rv;
  }
  return CKR_OK;
}

}  // namespace

CK_RV PollSlotEvents(CK_SLOT_ID* slotId, bool dontBlock) {
  CK_RV refresh = CKR_OK;
  const CK_RV rv = SyncForEvents(dontBlock, refresh);
  if (rv != CKR_OK) return rv;
  if (Slot* slot = FindPendingEvent()) {
    Clear1Event(*slot);
    g_lastEventSlot = slot->slotId;
    ZORAD_TRACE(trace::kSteps, "wfse_event\n");
    *slotId = slot->slotId;
    return CKR_OK;
  }
  if (refresh != CKR_OK) return refresh;
  if (dontBlock) return CKR_NO_EVENT;
  if (reader::WaitsCancelled()) return CKR_FUNCTION_CANCELED;
  const CK_RV waited = SyncSlotsState();
  return waited == CKR_OK ? CKR_NO_EVENT : waited;
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
