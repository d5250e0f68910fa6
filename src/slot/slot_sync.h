// Following the readers and their cards: the reader states of all slots,
// the token of one slot, and the recovery from a failing reader service.
#pragma once

#include <cstdint>

#include "platform/cryptoki.h"
#include "reader/reader_result.h"
#include "slot/slot.h"

namespace zorad::slot {

// How long one refresh of the reader states waits for a change.
inline constexpr uint32_t kStateWaitMs = 100;

// Refreshes the reader state of every slot, waiting up to `timeoutMs` for a
// change; an empty table just waits, and so does a service that is down. A
// time-out, unknown readers, no readers or a stopped (or unreachable)
// service are no error (the last two mark every slot absent); other
// failures are CKR_FUNCTION_FAILED.
CK_RV SyncSlotsState(uint32_t timeoutMs = kStateWaitMs);

// Lets the slot's token follow its card, on the edges of the reader's
// card-present state: a card that appeared is attached as a token when it is
// of the family, a card that went takes its token along. `present`, when
// given, receives whether the slot holds a token afterwards.
// CKR_TOKEN_NOT_RECOGNIZED when an inserted card cannot be attached; the
// edge is consumed all the same. Sessions and login state are not touched.
CK_RV SyncSlotFlags(Slot& slot, bool* present);

// After the service reported no readers or stopped: every slot loses its
// token and its reader and token bits, and its sessions end
// (kSessionsEnded); a stopped service's context is established again.
// Other results change nothing.
void RecoverFromReaderError(reader::ReaderResult result);

}  // namespace zorad::slot
