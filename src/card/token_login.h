// Proving a PIN to the token's card, and logging the card out again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "card/card_slot.h"
#include "card/pin_block.h"
#include "platform/cryptoki.h"
#include "reader/reader.h"

namespace zorad::card {

// VERIFY of the security officer's (CKU_SO) or the user's (CKU_USER) PIN
// in its PIN block, in one token transaction; with `newPin` the PIN of the
// same reference is then changed to it in the same transaction. The slot's
// loginState is left to the caller. With `verificationLost` (for a caller
// whose role is logged in), a VERIFY the card refuses is followed by the
// status query of the same reference, and the flag tells whether the card
// no longer counts the reference as verified.
//   CKR_GENERAL_ERROR   no reader or token
//   CKR_ARGUMENTS_BAD   a null PIN with a length, another user type
//                       (nothing sent)
//   CKR_PIN_INCORRECT   a PIN longer than the card can hold (nothing sent),
//                       or the card answers 63Cx
//   CKR_PIN_LOCKED      the card answers 6983
//   CKR_FUNCTION_FAILED any other card or reader failure
CK_RV LoginToken(CardSlot& slot, CK_USER_TYPE userType, const uint8_t* pin, size_t pinLength,
                 const PinBlock* newPin = nullptr, bool* verificationLost = nullptr);

// What a refused VERIFY (any result but RDR_OK) means: CKR_PIN_LOCKED for
// 6983, CKR_PIN_INCORRECT for 63Cx, else CKR_FUNCTION_FAILED.
CK_RV VerifyRefusal(const reader::Reader& r, reader::ReaderResult result);

// Ends every PIN verification on the card by powering it down and sets the
// slot's loginState to 0. CKR_GENERAL_ERROR without a token or a reader
// (nobody is logged in then either), CKR_FUNCTION_FAILED when the reset
// fails: loginState stays as it was then, unless the card is out of the
// reader (its verifications went with its power).
CK_RV PowerDownCard(CardSlot& slot);

}  // namespace zorad::card
