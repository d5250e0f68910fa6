// Token administration: initialisation and PINs.
#include "api/entry_frame.h"
#include "api/pending.h"

using namespace zorad::api;

extern "C" {

CK_RV C_InitToken(CK_SLOT_ID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen,
                  CK_UTF8CHAR_PTR pLabel) {
  EntryFrame frame(EntryPoint::kInitToken);
  if ((pPin == nullptr && ulPinLen != 0) || pLabel == nullptr) {
    return frame.Return(CKR_ARGUMENTS_BAD);
  }
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  EntryFrame frame(EntryPoint::kInitPIN, TraceValue(hSession));
  if (pPin == nullptr || ulPinLen == 0) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
               CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
  EntryFrame frame(EntryPoint::kSetPIN, TraceValue(hSession));
  if ((pOldPin == nullptr && ulOldLen != 0) || (pNewPin == nullptr && ulNewLen != 0)) {
    return frame.Return(CKR_ARGUMENTS_BAD);
  }
  return frame.Locked([&] { return NotAvailableYet(); });
}

}  // extern "C"
