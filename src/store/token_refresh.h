// Keeping the token's object lists in step with the card.
#pragma once

#include "platform/cryptoki.h"
#include "slot/slot.h"

namespace zorad::store {

// Whether a refresh also reads what the cache lacks of the records.
enum class Bodies : uint8_t { kLeave, kRead };

// Brings the object lists in line with the card: the public area always,
// the private area while the user is logged in, with their free memory;
// each area's table and each object's header are read, and with
// Bodies::kRead every record new or changed since it was last read, after
// which the cache is proven (card::ObjectCache::proven) until something
// clears it. `changed`, when given, tells whether another process changed
// an area's table since it was last read. objectsStale stays set on every
// failure; the results of the store pass through, reader and transaction
// failures are CKR_FUNCTION_FAILED.
CK_RV RefreshToken(slot::Slot& slot, bool* changed = nullptr, Bodies bodies = Bodies::kLeave);

// Makes the slot's token ready for a new session: the card is attached as
// the slot's token (slot::AttachTokenForSession) and must answer; the slot
// then reports its token present. The object lists wait for the first
// search. CKR_TOKEN_NOT_PRESENT without a card.
CK_RV PrepareTokenForSession(slot::Slot& slot);

}  // namespace zorad::store
