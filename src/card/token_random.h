// Random bytes from the token's card.
#pragma once

#include <cstddef>
#include <cstdint>

#include "card/card_slot.h"
#include "platform/cryptoki.h"

namespace zorad::card {

// Fills `destination` with `length` bytes from the card's generator, 32 per
// GET CHALLENGE, in one token transaction. CKR_FUNCTION_FAILED for any
// failure, a missing destination or a zero length included.
CK_RV GenerateTokenRandom(CardSlot& slot, uint8_t* destination, size_t length);

}  // namespace zorad::card
