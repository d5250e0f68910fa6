// Removing a token object from the card.
#pragma once

#include <cstdint>

#include "platform/cryptoki.h"
#include "slot/slot.h"
#include "store/token_object.h"

namespace zorad::store {

// Deletes the object with this key. A private key's card key slot is
// regenerated, so its key is gone, and a public key paired with it (same
// key reference, same area) is unlinked (its keyRef set to 0); that
// partner's id goes to `*partnerId` when asked for, else it is left alone.
// Card order: partner header (read again first, and the area's map with it
// when another process changed the partner), key slot, the table without
// the object, then its blocks erased, so that a deletion cut short never
// leaves a listed block erased.
//
// CKR_OBJECT_HANDLE_INVALID for a key not in the maps (FindTokenObject) or
// an object no longer on the card, CKR_USER_NOT_LOGGED_IN for a private
// object after the login ended (nothing written either way);
// CKR_DEVICE_ERROR while objectsStale is set (card untouched);
// CKR_FUNCTION_FAILED when the transaction or the application selection
// fails; any later failure is CKR_DEVICE_ERROR with objectsStale set.
CK_RV DeleteTokenObject(slot::Slot& slot, const ObjectKey& key, uint32_t* partnerId = nullptr);

}  // namespace zorad::store
