#include "card/token_pin_state.h"

#include "card/apdu.h"

namespace zorad::card {
namespace {

struct PinStateFlags {
  uint8_t reference;
  CK_FLAGS countLow;
  CK_FLAGS finalTry;
  CK_FLAGS locked;
  // 0: the card has no "must change" state for this PIN, so 6982 is an
  // unknown answer.
  CK_FLAGS toBeChanged;
  // Reported while the PIN is set: verified (9000), with tries left (63Cx)
  // or blocked (6983). A PIN file that token initialisation deactivated
  // answers 6982 until the security officer sets the PIN.
  CK_FLAGS set;
};

constexpr PinStateFlags kPins[] = {
    {kUserPinReference, CKF_USER_PIN_COUNT_LOW, CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_LOCKED,
     CKF_USER_PIN_TO_BE_CHANGED, CKF_USER_PIN_INITIALIZED},
    {kSoPinReference, CKF_SO_PIN_COUNT_LOW, CKF_SO_PIN_FINAL_TRY, CKF_SO_PIN_LOCKED, 0, 0},
};

// The flags one status word stands for; false for a word that means
// nothing known.
bool FlagsForStatus(const PinStateFlags& pin, uint16_t sw, uint8_t threshold, CK_FLAGS& flags) {
  if ((sw & kSwTriesLeftMask) == kSwTriesLeft) {
    const unsigned tries = sw & 0x0F;
    if (tries < threshold) flags |= pin.countLow;
    if (tries == 1) flags |= pin.finalTry;
    flags |= pin.set;
    return true;
  }
  if (sw == kSwPinBlocked) {
    flags |= pin.locked | pin.set;
    return true;
  }
  if (sw == kSwPinMustChange && pin.toBeChanged != 0) {
    flags |= pin.toBeChanged;
    return true;
  }
  return false;
}

}  // namespace

CK_RV QueryPinStates(reader::Reader* reader, uint8_t pinTryThreshold, CK_FLAGS& flags,
                     reader::ReaderResult& last) {
  for (const PinStateFlags& pin : kPins) {
    last = APDU_Verify(reader, pin.reference, nullptr, 0);
    if (last == reader::RDR_OK) {
      flags |= pin.set;
      continue;
    }
    if (last != reader::RDR_BAD_STATUS) return CKR_FUNCTION_FAILED;
    if (!FlagsForStatus(pin, reader->lastStatusWord, pinTryThreshold, flags)) {
      return CKR_TOKEN_NOT_RECOGNIZED;
    }
  }
  return CKR_OK;
}

}  // namespace zorad::card
