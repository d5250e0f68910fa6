// What the application learns about slots and tokens: the slot list, the
// slot information and the token information. Each marks the state it
// reports as seen, so the slot-event wait does not report it again.
#pragma once

#include "platform/cryptoki.h"

namespace zorad::slot {

// The slot list by the two-call protocol. Without a list (the count query)
// the table is brought in step with the readers and their cards, and the
// IDs of the slots (only those holding a token when `tokenPresent` is set)
// are kept and counted. With a list the IDs kept by the last count query
// are copied out; CKR_BUFFER_TOO_SMALL with the required count when they do
// not fit.
CK_RV ListSlots(CK_BBOOL tokenPresent, CK_SLOT_ID* list, CK_ULONG* count);

// Drops the IDs kept by the last count query (the slots are gone).
void ForgetSlotList();

// The slot's information, with CKF_TOKEN_PRESENT brought up to date by
// polling its reader. CKR_SLOT_ID_INVALID for an unknown slot.
CK_RV GetSlotInfo(CK_SLOT_ID slotId, CK_SLOT_INFO* info);

// The token information of the slot's card, read afresh. A slot without a
// token is cleared and its sessions end (kSessionsEnded):
// CKR_TOKEN_NOT_PRESENT; so is one whose card is not recognised any more
// (CKR_TOKEN_NOT_RECOGNIZED).
CK_RV GetTokenInfo(CK_SLOT_ID slotId, CK_TOKEN_INFO* info);

}  // namespace zorad::slot
