// Reading and changing the attributes of one token object on the card.
//
// Both operations find the object by id (FindTokenObject), and in one
// reader transaction check the card's identity, select the object's area
// (refusing when another process changed its table since this process read
// it), re-read the object's header (refusing when it changed) and read its
// attributes fresh from the card. Nothing is served from memory.
#pragma once

#include <cstdint>

#include "platform/cryptoki.h"
#include "slot/slot.h"
#include "store/token_object.h"

namespace zorad::store {

// Replaces `out` with a copy of all the object's attributes as the card
// holds them (a GOST public key's CKA_VALUE from its key slot; a private key
// never has one). CKR_FUNCTION_FAILED for an unknown id, reader failures, or
// a table or header another process changed (the latter also sets
// objectsStale); an unreadable record gives the read's code.
CK_RV GetTokenAttributeValues(slot::Slot& slot, uint32_t id, AttributeList& out);

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
CK_RV SetTokenAttributeValues(slot::Slot& slot, uint32_t id, const AttributeList& values);

}  // namespace zorad::store
