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

// What happened to the card in a reader since the module last acted on the
// reader's state: the card-present bit changed, or the reader's event count
// moved while a card was in it both times (pulled and put back, or
// swapped, before the module looked).
enum class CardChange : uint8_t { kNone, kInserted, kRemoved, kReplaced };
CardChange PendingCardChange(const reader::Reader& r);

// Lets the slot's token follow its card: a card that appeared is attached
// as a token when it is of the family, a card that went takes its token
// along, and a card replaced (an event count that moved, or a connection
// that answered that its card was removed) is both. `present`, when given,
// receives whether the slot holds a token afterwards.
// CKR_TOKEN_NOT_RECOGNIZED when an inserted card cannot be attached; the
// change is consumed all the same. A token that goes ends the slot's
// sessions and login (RemoveToken).
CK_RV SyncSlotFlags(Slot& slot, bool* present);

// Queries the state of the slot's reader without waiting, unless a change
// is still pending (the answer would hide it). A service that went away is
// recovered from as SyncSlotsState does. The query's result.
reader::ReaderResult RefreshReaderState(Slot& slot);

// After a call on the card's connection answered that the card was removed
// (reader::kCardWasRemoved): the token goes, with the slot's sessions, and
// the reader's state is read again, so that a card already back in the
// reader is taken up as newly inserted by the next SyncSlotFlags. Nothing
// happens when no removal was recorded.
void FollowCardRemoval(Slot& slot);

// After the service reported no readers or stopped: every slot loses its
// token and its reader and token bits, and its sessions end
// (kSessionsEnded); a stopped service's context is established again.
// Other results change nothing.
void RecoverFromReaderError(reader::ReaderResult result);

}  // namespace zorad::slot
