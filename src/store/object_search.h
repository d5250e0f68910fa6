// Finding one token object by its key, and enumerating the token's objects
// one at a time, private ones first, each confirmed on the card.
//
// The enumeration keeps no cursor: the caller passes the key it got last
// (id 0 to start). Everything runs under the library lock.
#pragma once

#include <cstdint>

#include "platform/cryptoki.h"
#include "slot/slot.h"
#include "store/token_object.h"

namespace zorad::store {

// The object with this key in the token's maps, or null; a private object
// only while the user is logged in. No card access.
TokenObject* FindTokenObject(slot::Slot& slot, const ObjectKey& key);

// Brings the object maps in line with the card (public area, and the
// private area while the user is logged in) so that a search sees the
// card's current objects: each table and each header is read, and the
// records new or changed since they were read last; clears objectsStale
// and proves the cache on success. CKR_FUNCTION_FAILED for reader,
// transaction and application failures; a card with another serial number
// gives the identity check's code and leaves the maps alone.
CK_RV SeekTokenObjectInit(slot::Slot& slot);

// The object after `previous` (id 0: the first), private objects before
// public ones, each area in ascending id; the walk goes by key, so an
// object destroyed since it was handed out, or an id standing in both
// areas, never sends it back. On CKR_OK `*found` is the object's key and
// `*attributes` points at its attributes: those the search's beginning read
// while the cache stands proven (no card command), else read from the card
// in this call after the object was confirmed there (ConfirmTokenObject);
// the end of the
// enumeration is CKR_OK with `found->id` 0 and `*attributes` null. The
// attributes live in the object map: valid until the maps are next rebuilt
// or changed (copy what you keep). An object that left the card meanwhile,
// and one whose record the card hands out in full but that fails its
// checksum (a rewrite in place cut short), are passed over, the cache left
// as it was; reading the damaged one by its key still fails.
// CKR_FUNCTION_FAILED for missing outputs or reader failures. A call ends
// after a bounded number of objects, whatever the card holds.
CK_RV SeekTokenObject(slot::Slot& slot, const ObjectKey& previous,
                      const AttributeList** attributes, ObjectKey* found);

}  // namespace zorad::store
