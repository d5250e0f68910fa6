// The slot table: one slot per PC/SC reader the module has seen since
// C_Initialize, in ascending slot ID. IDs come from a counter that is never
// reset, so a reader that is unplugged and plugged in again keeps its slot
// and ID, while a new C_Initialize gives every reader a new, higher ID.
//
// Everything here runs under the library lock, except ReleaseAllSlots,
// which the last C_Finalize calls after the slot-event waiters have left.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "platform/cryptoki.h"
#include "slot/slot.h"

namespace zorad::slot {

using SlotMap = std::map<uint32_t, std::unique_ptr<Slot>>;

// The table itself, walked in ascending slot ID.
SlotMap& Slots();

// The slot with this ID, or null.
Slot* FindSlot(CK_SLOT_ID slotId);

// Brings the table in step with the service's reader list: listed readers
// are marked present, unlisted ones absent (their card then reads as
// removed), new readers get slots, numbered in byte order of their names.
// A service without readers or stopped is no error: every slot is then
// marked absent. CKR_FUNCTION_FAILED for other failures of the reader list.
CK_RV SyncSlots();

// Closes every slot's reader connection, frees its token and removes the
// slot. The first failure is returned; every slot is released all the
// same. Called by the last C_Finalize, after the session layer has closed
// the slots' sessions and forgotten their object handles.
CK_RV ReleaseAllSlots();

// In a child of fork(): forgets every slot without any PC/SC call. The
// connections are the parent's, which goes on using them.
void AbandonAllSlots();

}  // namespace zorad::slot
