#include "card/token_login.h"

#include "card/apdu.h"
#include "card/token.h"
#include "card/token_transaction.h"
#include "reader/reader.h"
#include "trace/trace.h"

namespace zorad::card {
namespace {

// The card's PIN reference for a PKCS#11 user type; 0 for none.
uint8_t PinReference(CK_USER_TYPE userType) {
  switch (userType) {
    case CKU_SO:
      return kSoPinReference;
    case CKU_USER:
      return kUserPinReference;
    default:
      return 0;
  }
}

// The reader's last PC/SC result says that the card is out of the reader.
bool CardLeftReader(const reader::Reader& r) {
  return r.lastError == reader::ScardCode(SCARD_E_NO_SMARTCARD) ||
         r.lastError == reader::ScardCode(SCARD_W_REMOVED_CARD);
}

}  // namespace

CK_RV VerifyRefusal(const reader::Reader& r, reader::ReaderResult result) {
  if (result != reader::RDR_BAD_STATUS) return CKR_FUNCTION_FAILED;
  if (r.lastStatusWord == kSwPinBlocked) return CKR_PIN_LOCKED;
  if ((r.lastStatusWord & kSwTriesLeftMask) == kSwTriesLeft) return CKR_PIN_INCORRECT;
  return CKR_FUNCTION_FAILED;
}

CK_RV LoginToken(CardSlot& slot, CK_USER_TYPE userType, const uint8_t* pin, size_t pinLength,
                 const PinBlock* newPin, bool* verificationLost) {
  ZORAD_TRACE(trace::kOperations, "LoginToken\n");
  if (verificationLost != nullptr) *verificationLost = false;
  if (!slot.reader || !slot.token) return CKR_GENERAL_ERROR;
  const uint8_t reference = PinReference(userType);
  if (reference == 0 || (pin == nullptr && pinLength != 0)) return CKR_ARGUMENTS_BAD;
  // No PIN the card holds is this long: it cannot be the PIN.
  if (pinLength > LongestPin(slot.token->info)) return CKR_PIN_INCORRECT;
  PinBlock block;
  if (!block.Assign(pin, pinLength)) return CKR_ARGUMENTS_BAD;

  // Whatever the card answers, its try counters may have moved.
  slot.token->pinStatesCurrent = false;
  TokenTransaction transaction(slot);
  CK_RV rv = transaction.BeginAndSelect(CKR_FUNCTION_FAILED);
  if (rv != CKR_OK) return rv;
  reader::Reader& r = *slot.reader;
  const reader::ReaderResult verified = APDU_Verify(&r, reference, block.data(), block.size());
  if (verified != reader::RDR_OK) {
    rv = VerifyRefusal(r, verified);
    // Cards differ in what a refused PIN does to an earlier verification of
    // the reference: the status query (VERIFY without data) tells.
    if (verificationLost != nullptr && verified == reader::RDR_BAD_STATUS) {
      *verificationLost = APDU_Verify(&r, reference, nullptr, 0) != reader::RDR_OK;
    }
    return rv;
  }
  if (newPin != nullptr &&
      APDU_ChangeRefData(&r, reference, newPin->data(), newPin->size()) != reader::RDR_OK) {
    return CKR_FUNCTION_FAILED;
  }
  rv = transaction.End();
  ZORAD_TRACE(trace::kOperations, "LoginToken: %x\n", static_cast<unsigned>(rv));
  return rv;
}

CK_RV PowerDownCard(CardSlot& slot) {
  if (!slot.token || !slot.reader) {
    // Without a card there is no verification left to end.
    EndLogin(slot);
    return CKR_GENERAL_ERROR;
  }
  if (reader::ResetReader(slot.reader.get(), static_cast<uint32_t>(reader::ResetMode::kUnpower)) !=
      reader::RDR_OK) {
    // A card that left the reader lost its verifications with its power:
    // the slot must not go on claiming a login the card no longer has.
    if (CardLeftReader(*slot.reader)) EndLogin(slot);
    return CKR_FUNCTION_FAILED;
  }
  EndLogin(slot);
  return CKR_OK;
}

}  // namespace zorad::card
