// Keeping the token's object lists in step with the card.
#pragma once

#include "platform/cryptoki.h"
#include "slot/slot.h"

namespace zorad::store {

// True when the token has been read and its object lists too. No card
// access.
bool IsTokenObjectListRead(const slot::Slot& slot);

// Reads the object lists again: the public area always, the private area
// while the user is logged in, with their free memory. `changed`, when
// given, tells whether another process changed an area's table since it
// was last read. objectsStale stays set on every failure; the results of
// the store pass through, reader and transaction failures are
// CKR_FUNCTION_FAILED.
CK_RV RefreshToken(slot::Slot& slot, bool* changed = nullptr);

// The same for a caller that already holds the token transaction and has
// selected the application itself: no second SELECT is sent.
CK_RV RefreshTokenSelected(slot::Slot& slot, bool* changed = nullptr);

// Makes the slot's token ready for a new session: the card is attached as
// the slot's token (slot::AttachTokenForSession), its object lists are read
// unless that was done and the card is still reachable, and the slot then
// reports its token present. CKR_TOKEN_NOT_PRESENT without a card.
CK_RV PrepareTokenForSession(slot::Slot& slot);

}  // namespace zorad::store
