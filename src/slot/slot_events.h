// Slot events: a slot whose reader or token bit differs from what the
// application was last told. They are reported one slot at a time, in
// round-robin order from the slot reported last.
#pragma once

#include "platform/cryptoki.h"
#include "slot/slot.h"

namespace zorad::slot {

// One polling cycle of C_WaitForSlotEvent, run under the library lock that
// the caller holds: the reader list and every slot's token are brought up
// to date and the next pending event is taken. CKR_OK with its slot ID;
// otherwise CKR_NO_EVENT, after waiting up to 100 ms for a reader to change
// unless `dontBlock` (a non-blocking poll refreshes the reader states
// without waiting instead, before it looks). CKR_FUNCTION_CANCELED when the
// reader waits were cancelled (C_Finalize), or an error of the
// synchronisation.
CK_RV PollSlotEvents(CK_SLOT_ID* slotId, bool dontBlock);

// Tells the slot's change as reported: a reader that went takes the token
// bit along.
void Clear1Event(Slot& slot);

}  // namespace zorad::slot
