// Key material in the card's key slots. The card keeps each number most
// significant byte first; PKCS#11 values hold them least significant byte
// first, so imported values are reversed on the way in. Values never reach
// a trace.
#pragma once

#include <cstdint>
#include <span>

#include "platform/cryptoki.h"
#include "slot/slot.h"

namespace zorad::store {

// Stores an imported private key: the whole value reversed.
CK_RV StorePrivateKeyValue(slot::Slot& slot, uint8_t keyRef, std::span<const uint8_t> value);

// Stores an imported public key: each half of the value (the X and Y
// coordinates) reversed separately, sent as one value.
CK_RV StorePublicKeyValue(slot::Slot& slot, uint8_t keyRef, std::span<const uint8_t> value);

// Has the card generate a new key pair in the slot, replacing what it held.
CK_RV GenerateKeyPairInSlot(slot::Slot& slot, uint8_t keyRef);

}  // namespace zorad::store
