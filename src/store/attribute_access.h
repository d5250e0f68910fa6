// Reading and changing the attributes of one token object on the card.
//
// Both operations find the object by its key (FindTokenObject). A read is
// answered from the token's cache while it stands proven (what the last
// search read, as this module changed it since); otherwise, and for every
// change, one reader transaction confirms the object on the card
// (ConfirmTokenObject: the card's identity, the area's table, the object's
// header where it was, or found again after another process moved it) and
// reads its body when the record changed since it was read.
#pragma once

#include <cstdint>

#include "platform/cryptoki.h"
#include "slot/slot.h"
#include "store/token_object.h"

namespace zorad::store {

// Replaces `out` with a copy of all the object's attributes as the card
// holds them, as the last search found them while the cache stands (a GOST
// public key's CKA_VALUE from its key slot; a private key never has one).
// CKR_OBJECT_HANDLE_INVALID for an object that is not, or no longer, on the
// card, CKR_USER_NOT_LOGGED_IN for a private one without the login,
// CKR_FUNCTION_FAILED for reader failures; an unreadable record gives the
// read's code.
CK_RV GetTokenAttributeValues(slot::Slot& slot, const ObjectKey& key, AttributeList& out);

// The same without the copy: `view` points at the attributes in the token's
// cache, valid until the next store call on the slot.
CK_RV ViewTokenAttributeValues(slot::Slot& slot, const ObjectKey& key, const AttributeList*& view);

// Merges `values` into the object's attributes (replacing or adding; nothing
// is removed) and rewrites its record: in place when the size is unchanged,
// otherwise after refitting its blocks (shrink, grow after its last block,
// or move to blocks that were free); the table is written after the record
// when it changed, and blocks the object gave up are erased last. CKA_VALUE
// of a key object is refused with CKR_ATTRIBUTE_READ_ONLY and nothing changes. Lists
// the record cannot hold are refused before any card access. While
// objectsStale is set: CKR_DEVICE_ERROR without card access. On a failure
// after the record was read the cached attributes are restored and
// objectsStale is set; CKR_DEVICE_MEMORY when no arrangement of free blocks
// holds the new record.
CK_RV SetTokenAttributeValues(slot::Slot& slot, const ObjectKey& key, const AttributeList& values);

}  // namespace zorad::store
