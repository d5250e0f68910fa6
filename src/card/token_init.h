// Initialising the token on a card: the security officer's PIN proves the
// right, the user PIN is replaced by a random value nobody learns (the user
// PIN file is left deactivated until C_InitPIN sets a new one), both object
// areas are erased and get empty allocation tables, and the label is
// written. The token information file (PIN limits, area descriptors, key
// reference ranges) stays as personalised.
#pragma once

#include <cstddef>
#include <cstdint>

#include "card/card_slot.h"
#include "platform/cryptoki.h"

namespace zorad::card {

inline constexpr size_t kRandomUserPinLength = 8;

// What initialising leaves to the slot layer besides its result: whether
// the slot keeps the Token record attached for the card (only after the card
// refused the SO PIN: the card is as it was) or drops it, so that the token
// is read afresh from the card.
struct InitOutcome {
  CK_RV rv = CKR_OK;
  bool keepToken = false;
};

// Initialises the token in the slot's reader with the SO PIN (`pinLength`
// bytes, within the token's minimum and maximum PIN length) and the 32-byte
// blank-padded `label`. The slot layer has attached a new Token record for
// the card and connected to it. Results:
// - CKR_ARGUMENTS_BAD for a missing label or PIN, before anything happens;
// - CKR_PIN_LEN_RANGE for a PIN length outside the token's limits (nothing
//   sent); CKR_PIN_INCORRECT for a wrong SO PIN, CKR_PIN_LOCKED for a
//   blocked one;
// - CKR_DEVICE_ERROR, with the card unchanged, when an area's erase range
//   or allocation table lies outside what the card commands can address;
// - CKR_DEVICE_ERROR when erasing an area or writing the label fails, the
//   area selection's and table write's own codes, CKR_FUNCTION_FAILED for
//   other card and reader failures; what was written by then stays.
// A failure to end the transaction after every write succeeded does not
// fail the initialisation.
InitOutcome InitializeToken(CardSlot& slot, const uint8_t* pin, size_t pinLength,
                            const uint8_t* label);

}  // namespace zorad::card
