// Storing new token objects on the card: data objects, certificates,
// imported GOST R 34.10-2001 public and private keys, and key pairs the card
// generates.
//
// Key material never goes into an object record: it is written to (or
// generated in) a card key slot, a key reference, that the object's header
// names. Card order: key slot, object records, and the table last; until
// the table is written no new object exists on the card.
#pragma once

#include <cstdint>

#include "platform/cryptoki.h"
#include "slot/slot.h"
#include "store/token_object.h"

namespace zorad::store {

// Creates the object described by `first` and writes its new key (area
// and id) to `*firstKey`. A key pair is asked for with both `secondKey` and
// `second`: the first template is then the private key's, the second the
// public key's; the card generates the pair and both objects go to the area
// the first template's CKA_PRIVATE names, `*secondKey` receiving the public
// key's. `second` without `secondKey` is ignored; `secondKey` without
// `second` is CKR_GENERAL_ERROR.
//
// The templates are checked before the card is touched (per-class rules,
// key type, values, parameter set), see object_create.cpp. Integer values
// are in the card's 4-byte little-endian form. objectsStale set:
// CKR_DEVICE_ERROR. A key (imported or generated) while the user is not
// logged in and the private area has blocks: CKR_USER_NOT_LOGGED_IN before
// anything is sent, since key references are card-wide and the private
// area's are unknown then. Exhausted space, numbers or key references:
// CKR_DEVICE_MEMORY. On success the objects are in the area's object map
// with the templates as their attributes.
CK_RV CreateTokenObject(slot::Slot& slot, ObjectKey* firstKey, const AttributeList& first,
                        ObjectKey* secondKey = nullptr, const AttributeList* second = nullptr);

}  // namespace zorad::store
