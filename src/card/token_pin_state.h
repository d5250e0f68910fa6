// The PIN state flags of the token information, from the answers of the
// card to the VERIFY status query.
#pragma once

#include <cstdint>

#include "platform/cryptoki.h"
#include "reader/reader.h"

namespace zorad::card {

// Queries both PINs (user first) and adds their state flags to `flags`.
// CKR_TOKEN_NOT_RECOGNIZED for a status word that tells no known state,
// CKR_FUNCTION_FAILED when the command fails otherwise; `last` receives the
// last reader result.
CK_RV QueryPinStates(reader::Reader* reader, uint8_t pinTryThreshold, CK_FLAGS& flags,
                     reader::ReaderResult& last);

}  // namespace zorad::card
