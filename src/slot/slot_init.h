// Initialising the token of a slot, behind C_InitToken.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/cryptoki.h"
#include "slot/slot.h"

namespace zorad::slot {

// Initialises the card in the slot's reader (card::InitializeToken) with
// the SO PIN and the 32-byte label. A token of the family already in the
// slot is detached first and the slot's sessions end (kSessionsEnded).
// Whatever the result, the slot follows its card again: after success or a
// refused SO PIN the token is read afresh at once, after any other failure
// the slot is cleared and the card read again at the next synchronisation.
// CKR_SLOT_ID_INVALID for an unknown slot, the presence check's failure,
// else the initialisation's result.
CK_RV InitTokenInSlot(CK_SLOT_ID slotId, const uint8_t* pin, size_t pinLength,
                      const uint8_t* label);

// The initialisation itself: attaches a new Token record for the card,
// lets the card layer initialise it and keeps or drops the record as the
// card layer decides. After success the slot holds no token and the reader
// no connection, and the reader's previousState is cleared so that the next
// synchronisation reads the card afresh. CKR_FUNCTION_FAILED when the card
// cannot be connected, else the initialisation's result.
CK_RV InitializeCardInSlot(Slot& slot, const uint8_t* pin, size_t pinLength, const uint8_t* label);

}  // namespace zorad::slot
