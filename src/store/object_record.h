// Reading and writing token object records on the card.
//
// A record is the 17-byte header followed by the body, laid over the
// object's blocks in ascending order; the header starts the object's first
// block at `offs` and the rest of the last block is zero. All operations
// need the object's area selected (SelectArea) inside the caller's reader
// transaction; reading the attributes and writing the whole record also
// use the area's table to find the object's blocks.
#pragma once

#include <cstdint>

#include "platform/cryptoki.h"
#include "slot/slot.h"
#include "store/token_object.h"

namespace zorad::store {

// Reads the header at `offs`. CKR_FUNCTION_FAILED when the read fails,
// CKR_TOKEN_NOT_RECOGNIZED when its checksum is wrong.
CK_RV ReadTokenObjectHeader(slot::Slot& slot, uint32_t offs, TokenObjectHeader& header);

// Reads the start of a record first seen at `object.offs`: the header and
// as much of the body as one read over the first run of its blocks brings
// (kept in object.bodyStart for ReadTokenObjectAttributes), in one command.
// Failures as ReadTokenObjectHeader.
CK_RV ReadTokenObjectStart(slot::Slot& slot, TokenObject& object);

// Reads the object's header again and tells whether it differs from the
// cached one (then the cached one takes the new values). Every whole-record
// write raises updateCount, so a rewrite by another process shows. On a
// failed read the cached header is cleared and the failure returned.
CK_RV RereadTokenObjectHeader(slot::Slot& slot, TokenObject& object, bool& changed);

// Reads and checks the body and replaces the object's attributes with it,
// each run of adjacent blocks in reads of up to 256 bytes.
// A GOST public key with a key reference gets CKA_VALUE from the card's key
// slot; a key object never keeps a CKA_VALUE from its body. Failures
// (CKR_DEVICE_ERROR for unreadable or inconsistent records) set
// objectsStale. `damaged`, when given, tells a failure of the record
// itself: the card answered every read in full and the bytes fail their
// checks (too few blocks for the size, checksum, attribute records past
// the end). A read the card refused or never got is no damage.
CK_RV ReadTokenObjectAttributes(slot::Slot& slot, TokenObject& object, bool* damaged = nullptr);

// Writes the whole record from the object's attributes (CKA_VALUE left out
// for keys), raising updateCount, one whole-block write per block. Lists
// the record cannot hold are refused before anything is sent
// (CKR_ATTRIBUTE_TYPE_INVALID, CKR_ATTRIBUTE_VALUE_INVALID); a failed write
// is CKR_DEVICE_ERROR with the blocks written so far left written.
CK_RV UpdateTokenObject(slot::Slot& slot, TokenObject& object);

// Rewrites the header only (updateCount unchanged), e.g. after keyRef
// changed. CKR_DEVICE_ERROR when the write fails.
CK_RV UpdateTokenObjectHeader(slot::Slot& slot, TokenObject& object);

}  // namespace zorad::store
