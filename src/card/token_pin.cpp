#include "card/token_pin.h"

#include "card/apdu.h"
#include "card/pin_block.h"
#include "card/token_login.h"
#include "card/token_transaction.h"
#include "trace/trace.h"

namespace zorad::card {
namespace {

CK_RV InitPinFinished(CK_RV rv) {
  ZORAD_TRACE(trace::kOperations, "InitTokenPIN: %x\n", static_cast<unsigned>(rv));
  return rv;
}

}  // namespace

CK_RV InitTokenPIN(CardSlot& slot, const uint8_t* pin, size_t pinLength) {
  ZORAD_TRACE(trace::kOperations, "InitTokenPIN\n");
  if (pin == nullptr || pinLength == 0) return InitPinFinished(CKR_ARGUMENTS_BAD);
  if (!slot.reader || !slot.token) return InitPinFinished(CKR_GENERAL_ERROR);
  PinBlock block;
  if (!WithinPinLimits(slot.token->info, pinLength) || !block.Assign(pin, pinLength)) {
    return InitPinFinished(CKR_PIN_LEN_RANGE);
  }
  slot.token->pinStatesCurrent = false;
  TokenTransaction transaction(slot);
  CK_RV rv = transaction.BeginAndSelect(CKR_FUNCTION_FAILED);
  if (rv != CKR_OK) return InitPinFinished(rv);
  reader::Reader* r = slot.reader.get();
  if (!ActivationDone(APDU_ActivateFile(r, kUserPinFile), *r)) {
    return InitPinFinished(CKR_FUNCTION_FAILED);
  }
  if (APDU_ChangeRefData(r, kUserPinReference, block.data(), block.size()) != reader::RDR_OK) {
    return InitPinFinished(CKR_FUNCTION_FAILED);
  }
  return InitPinFinished(transaction.End());
}

CK_RV SetTokenPIN(CardSlot& slot, const uint8_t* oldPin, size_t oldLength, const uint8_t* newPin,
                  size_t newLength, CK_USER_TYPE userType, bool* verificationLost) {
  ZORAD_TRACE(trace::kOperations, "SetTokenPIN\n");
  if (oldPin == nullptr || newPin == nullptr) return CKR_ARGUMENTS_BAD;
  if (!slot.token) return CKR_GENERAL_ERROR;
  PinBlock newBlock;
  if (!WithinPinLimits(slot.token->info, newLength) || !newBlock.Assign(newPin, newLength)) {
    return CKR_PIN_LEN_RANGE;
  }
  return LoginToken(slot, userType, oldPin, oldLength, &newBlock, verificationLost);
}

}  // namespace zorad::card
