// GOST R 34.11-94 digests computed by the token's card with its own hash
// parameters. Nothing of the token's objects or PINs is involved, so no
// login is needed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "card/card_slot.h"
#include "platform/cryptoki.h"

namespace zorad::card {

// Hashes `length` bytes on the card in one token transaction: the
// application selected, the hash algorithm set in the security environment,
// then chained PSO HASH commands of 240 bytes. `digest` receives the 32
// bytes as the card answers them. CKR_ARGUMENTS_BAD for missing data or
// buffer, CKR_FUNCTION_FAILED without a token or when the card refuses a
// command or answers anything but 32 bytes.
CK_RV TokenDigest(CardSlot& slot, const uint8_t* data, size_t length, uint8_t* digest);

}  // namespace zorad::card
