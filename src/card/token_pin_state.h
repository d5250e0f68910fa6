// The PIN state flags of the token information, from the answers of the
// card to the VERIFY status query.
#pragma once

#include <cstdint>

#include "platform/cryptoki.h"
#include "reader/reader.h"

namespace zorad::card {

// Every flag QueryPinStates may add.
inline constexpr CK_FLAGS kPinStateFlags = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY |
                                           CKF_USER_PIN_LOCKED | CKF_USER_PIN_TO_BE_CHANGED |
                                           CKF_USER_PIN_INITIALIZED | CKF_SO_PIN_COUNT_LOW |
                                           CKF_SO_PIN_FINAL_TRY | CKF_SO_PIN_LOCKED;

// Queries both PINs (user first) and adds their state flags to `flags`.
// CKR_TOKEN_NOT_RECOGNIZED for a status word that tells no known state,
// CKR_FUNCTION_FAILED when the command fails otherwise; `last` receives the
// last reader result.
CK_RV QueryPinStates(reader::Reader* reader, uint8_t pinTryThreshold, CK_FLAGS& flags,
                     reader::ReaderResult& last);

}  // namespace zorad::card
