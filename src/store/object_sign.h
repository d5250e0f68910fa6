// Signing and verifying with the token's key objects: the key is found in
// the object maps and confirmed on the card (ConfirmTokenObject: its area's
// table still lists its record, whose header is read again), then the card
// signs or verifies with the key reference of its header
// (card::SignWithKey, card::VerifyWithKey).
// Everything runs under the library lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/cryptoki.h"
#include "slot/slot.h"
#include "store/token_object.h"

namespace zorad::store {

// Check a signature or verification request without touching the card:
// CKR_ARGUMENTS_BAD for key id 0, CKR_FUNCTION_FAILED without a token,
// CKR_DEVICE_ERROR while the object cache is stale, CKR_MECHANISM_INVALID
// for another mechanism, CKR_OBJECT_HANDLE_INVALID when the token has no
// object with the key (private objects count only while the user is logged
// in). The key's class and attributes are not looked at here.
CK_RV TokenSignInit(slot::Slot& slot, CK_MECHANISM_TYPE mechanism, const ObjectKey& key);
CK_RV TokenVerifyInit(slot::Slot& slot, CK_MECHANISM_TYPE mechanism, const ObjectKey& key);

// Signs `data` (the hash, or the message to hash on the card) with the key
// object `key`. `*signatureLength` is the capacity of `signature` on
// entry and the bytes the card returned on success.
//
// Refused before the card is touched: missing data or buffers
// (CKR_ARGUMENTS_BAD), no token (CKR_FUNCTION_FAILED), a stale object cache
// (CKR_DEVICE_ERROR), key id 0 or a mechanism that is not a signature
// mechanism (CKR_OPERATION_NOT_INITIALIZED), a CKM_GOSTR3410 hash that is
// not 32 bytes (CKR_DATA_LEN_RANGE). On the card: CKR_KEY_HANDLE_INVALID for
// a key the card no longer holds (not in the maps, or its record gone from
// the area's table), CKR_USER_NOT_LOGGED_IN for a private key after the
// login ended, the identity check's code for another card, the area
// selection's code, and CKR_FUNCTION_FAILED when the card refuses a
// command. A key another process relabelled or moved still signs.
CK_RV TokenSign(slot::Slot& slot, const ObjectKey& key, CK_MECHANISM_TYPE mechanism,
                const uint8_t* data, size_t dataLength, uint8_t* signature,
                size_t* signatureLength);

// Checks `signature` over `data` with the key object `key`; the same
// refusals as TokenSign. A signature the card finds wrong is
// CKR_SIGNATURE_INVALID, any other card refusal CKR_FUNCTION_FAILED.
CK_RV TokenVerify(slot::Slot& slot, const ObjectKey& key, CK_MECHANISM_TYPE mechanism,
                  const uint8_t* data, size_t dataLength, const uint8_t* signature,
                  size_t signatureLength);

}  // namespace zorad::store
