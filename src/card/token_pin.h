// Setting and changing the token's PINs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "card/card_slot.h"
#include "platform/cryptoki.h"

namespace zorad::card {

// Sets the user PIN (the security officer must be logged in; not checked
// here): activates the user PIN file (6989 "already active" counts as
// success) and stores the PIN block. CKR_ARGUMENTS_BAD for a missing or
// empty PIN, CKR_PIN_LEN_RANGE for a length outside the token's minimum and
// maximum PIN length (nothing sent either way), CKR_FUNCTION_FAILED for
// card failures.
CK_RV InitTokenPIN(CardSlot& slot, const uint8_t* pin, size_t pinLength);

// Changes the PIN of `userType` (CKU_SO or CKU_USER): verifies the old PIN
// and stores the new one in one transaction. CKR_ARGUMENTS_BAD for a
// missing PIN, CKR_PIN_LEN_RANGE for a new PIN outside the token's limits
// (nothing sent either way); else as LoginToken.
// `verificationLost` as for LoginToken.
CK_RV SetTokenPIN(CardSlot& slot, const uint8_t* oldPin, size_t oldLength, const uint8_t* newPin,
                  size_t newLength, CK_USER_TYPE userType, bool* verificationLost = nullptr);

}  // namespace zorad::card
