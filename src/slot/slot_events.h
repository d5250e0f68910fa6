// Slot events: a slot whose reader or token bit differs from what the
// application was last told. WaitForSlotEvent reports them one slot at a
// time, in round-robin order from the slot reported last.
#pragma once

#include "platform/cryptoki.h"
#include "slot/slot.h"

namespace zorad::slot {

// The engine of C_WaitForSlotEvent (flags 0 or CKF_DONT_BLOCK). Takes the
// library lock itself for each polling cycle and pauses without it, so the
// other entry points run in between. CKR_OK with the slot ID, CKR_NO_EVENT
// (only with CKF_DONT_BLOCK), CKR_CRYPTOKI_NOT_INITIALIZED once C_Finalize
// has begun, or an error of the lock or of the synchronisation.
CK_RV WaitForSlotEvent(CK_SLOT_ID* slotId, CK_FLAGS flags);

// Tells the slot's change as reported: a reader that went takes the token
// bit along.
void Clear1Event(Slot& slot);

}  // namespace zorad::slot
