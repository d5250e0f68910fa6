// Signing and verifying with the token's key objects: the key is found in
// the object maps and confirmed on the card (its area's table and its
// record header read again), then the card signs or verifies with the key
// reference of its header (card::SignWithKey, card::VerifyWithKey).
// Everything runs under the library lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/cryptoki.h"
#include "slot/slot.h"

namespace zorad::store {

// Check a signature or verification request without touching the card:
// CKR_ARGUMENTS_BAD for key id 0, CKR_FUNCTION_FAILED without a token,
// CKR_DEVICE_ERROR while the object cache is stale, CKR_MECHANISM_INVALID
// for another mechanism, CKR_OBJECT_HANDLE_INVALID when the token has no
// object with the id (private objects count only while the user is logged
// in). The key's class and attributes are not looked at here.
CK_RV TokenSignInit(slot::Slot& slot, CK_MECHANISM_TYPE mechanism, uint32_t keyId);
CK_RV TokenVerifyInit(slot::Slot& slot, CK_MECHANISM_TYPE mechanism, uint32_t keyId);

// Signs `data` (the hash, or the message to hash on the card) with the key
// object `keyId`. `*signatureLength` is the capacity of `signature` on
// entry and the bytes the card returned on success.
//
// Refused before the card is touched: missing data or buffers
// (CKR_ARGUMENTS_BAD), no token (CKR_FUNCTION_FAILED), a stale object cache
// (CKR_DEVICE_ERROR), key id 0 or a mechanism that is not a signature
// mechanism (CKR_OPERATION_NOT_INITIALIZED), a CKM_GOSTR3410 hash that is
// not 32 bytes (CKR_ARGUMENTS_BAD). On the card: CKR_OBJECT_HANDLE_INVALID
// for an unknown key, the identity check's code for another card, the area
// selection's code, and CKR_FUNCTION_FAILED when the key's header changed
// on the card since it was read (the cached header is renewed, so a second
// attempt works) or the card refuses a command.
CK_RV TokenSign(slot::Slot& slot, uint32_t keyId, CK_MECHANISM_TYPE mechanism, const uint8_t* data,
                size_t dataLength, uint8_t* signature, size_t* signatureLength);

// Checks `signature` over `data` with the key object `keyId`; the same
// refusals as TokenSign (the identity check comes before the key lookup
// here). A signature the card rejects is CKR_FUNCTION_FAILED, like any
// other card refusal.
CK_RV TokenVerify(slot::Slot& slot, uint32_t keyId, CK_MECHANISM_TYPE mechanism,
                  const uint8_t* data, size_t dataLength, const uint8_t* signature,
                  size_t signatureLength);

}  // namespace zorad::store
