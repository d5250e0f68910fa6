// Token administration: initialisation and PINs.
#include <cstdint>

#include "api/entry_frame.h"
#include "card/token_pin.h"
#include "session/login.h"
#include "session/session_table.h"
#include "slot/slot_init.h"
#include "slot/slot_table.h"
#include "store/token_logout.h"

using namespace zorad::api;
using namespace zorad;

namespace {

CK_RV InitToken(CK_SLOT_ID slotID, const CK_UTF8CHAR* pPin, CK_ULONG ulPinLen,
                const CK_UTF8CHAR* pLabel) {
  if (slotID <= UINT32_MAX && session::SessionExistsOnSlot(static_cast<uint32_t>(slotID))) {
    return CKR_SESSION_EXISTS;
  }
  return slot::InitTokenInSlot(slotID, pPin, ulPinLen, pLabel);
}

// The slot of a read/write session.
CK_RV FindWritableSlot(CK_SESSION_HANDLE hSession, slot::Slot*& slot) {
  const session::SessionSlot s = session::FindSessionSlot(hSession);
  if (s.rv != CKR_OK) return s.rv;
  slot = s.slot;
  return s.session->readWrite == 0 ? CKR_SESSION_READ_ONLY : CKR_OK;
}

CK_RV InitPIN(CK_SESSION_HANDLE hSession, const CK_UTF8CHAR* pPin, CK_ULONG ulPinLen) {
  slot::Slot* slot = nullptr;
  const CK_RV rv = FindWritableSlot(hSession, slot);
  if (rv != CKR_OK) return rv;
  if (slot->loginState != card::kSecurityOfficer) return CKR_USER_NOT_LOGGED_IN;
  return card::InitTokenPIN(*slot, pPin, ulPinLen);
}

// The security officer changes his own PIN; otherwise the user PIN is
// changed, and with nobody logged in the card is logged out again
// afterwards, since the change left the user PIN verified on it. When the
// card refuses the old PIN of the role logged in and no longer counts it
// as verified, the slot is logged out with it.
CK_RV SetPIN(CK_SESSION_HANDLE hSession, const CK_UTF8CHAR* pOldPin, CK_ULONG ulOldLen,
             const CK_UTF8CHAR* pNewPin, CK_ULONG ulNewLen) {
  slot::Slot* slot = nullptr;
  const CK_RV found = FindWritableSlot(hSession, slot);
  if (found != CKR_OK) return found;
  const uint32_t loginState = slot->loginState;
  const CK_USER_TYPE userType = loginState == card::kSecurityOfficer ? CKU_SO : CKU_USER;
  bool verificationLost = false;
  const CK_RV rv = card::SetTokenPIN(*slot, pOldPin, ulOldLen, pNewPin, ulNewLen, userType,
                                     loginState == card::kNobody ? nullptr : &verificationLost);
  if (loginState == card::kNobody) store::LogoutToken(*slot);
  if (verificationLost) session::LogoutSlot(*slot);
  return rv;
}

}  // namespace

extern "C" {

CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen,
                  CK_UTF8CHAR_PTR pLabel) {
  EntryFrame frame(EntryPoint::kInitToken);
  if ((pPin == nullptr && ulPinLen != 0) || pLabel == nullptr) {
    return frame.Return(CKR_ARGUMENTS_BAD);
  }
  return frame.Locked([&] { return InitToken(slotID, pPin, ulPinLen, pLabel); });
}

CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  EntryFrame frame(EntryPoint::kInitPIN, TraceValue(hSession));
  if (pPin == nullptr || ulPinLen == 0) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return InitPIN(hSession, pPin, ulPinLen); });
}

CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
               CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
  EntryFrame frame(EntryPoint::kSetPIN, TraceValue(hSession));
  if ((pOldPin == nullptr && ulOldLen != 0) || (pNewPin == nullptr && ulNewLen != 0)) {
    return frame.Return(CKR_ARGUMENTS_BAD);
  }
  return frame.Locked([&] { return SetPIN(hSession, pOldPin, ulOldLen, pNewPin, ulNewLen); });
}

}  // extern "C"
