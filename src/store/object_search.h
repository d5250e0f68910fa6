// Finding one token object by its id, and enumerating the token's objects
// one at a time, private ones first, each read fresh from the card.
//
// The enumeration keeps no cursor: the caller passes the id it got last
// (0 to start). Everything runs under the library lock.
#pragma once

#include <cstdint>

#include "platform/cryptoki.h"
#include "slot/slot.h"
#include "store/token_object.h"

namespace zorad::store {

// The object with this id in the token's maps, or null. While the user is
// logged in the private map is searched first, so an id present in both
// resolves to the private object; otherwise only the public map is searched.
// `isPrivate`, when given, tells which map the object came from. No card
// access.
TokenObject* FindTokenObject(slot::Slot& slot, uint32_t id, bool* isPrivate = nullptr);

// Rebuilds the object maps from the card (public area, and the private area
// while the user is logged in) so that a search sees the card's current
// objects; clears objectsStale on success. CKR_FUNCTION_FAILED for reader,
// transaction and application failures; a card with another serial number
// gives the identity check's code and leaves the maps alone.
CK_RV SeekTokenObjectInit(slot::Slot& slot);

// The object after `previousId` (0: the first), private objects before
// public ones, each map in ascending id. On CKR_OK `*id` is the object's id
// and `*attributes` points at its attributes, read from the card in this
// call after its header was confirmed unchanged; the end of the enumeration
// is CKR_OK with `*id` 0 and `*attributes` null. The attributes live in the
// object map: valid until the maps are next rebuilt or changed (copy what
// you keep). CKR_FUNCTION_FAILED for a `previousId` no longer in the maps,
// a header another process changed, missing outputs, or reader failures.
// An object whose record the card hands out in full but that fails its
// checksum (a rewrite in place cut short) is passed over, the cache left as
// it was; reading it by its id still fails. A record with id 0 is never in
// the maps. A call ends after at most one object read per object in the
// maps.
CK_RV SeekTokenObject(slot::Slot& slot, uint32_t previousId, const AttributeList** attributes,
                      uint32_t* id);

}  // namespace zorad::store
