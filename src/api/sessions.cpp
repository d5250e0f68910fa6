// Sessions and login.
#include "api/entry_frame.h"
#include "api/pending.h"

using namespace zorad::api;

extern "C" {

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                    CK_SESSION_HANDLE_PTR phSession) {
  EntryFrame frame(EntryPoint::kOpenSession, TraceValue(slotID));
  if ((flags & CKF_SERIAL_SESSION) == 0) {
    return frame.Return(CKR_SESSION_PARALLEL_NOT_SUPPORTED);
  }
  if ((flags & ~static_cast<CK_FLAGS>(CKF_SERIAL_SESSION | CKF_RW_SESSION)) != 0 ||
      phSession == nullptr) {
    return frame.Return(CKR_ARGUMENTS_BAD);
  }
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
  EntryFrame frame(EntryPoint::kCloseSession, TraceValue(hSession));
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR) {
  EntryFrame frame(EntryPoint::kGetSessionInfo, TraceValue(hSession));
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin,
              CK_ULONG ulPinLen) {
  EntryFrame frame(EntryPoint::kLogin, TraceValue(hSession));
  if (pPin == nullptr && ulPinLen != 0) return frame.Return(CKR_ARGUMENTS_BAD);
  if (userType != CKU_SO && userType != CKU_USER && userType != CKU_CONTEXT_SPECIFIC) {
    return frame.Return(CKR_USER_TYPE_INVALID);
  }
  return frame.Locked([&] { return NotAvailableYet(); });
}

CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
  EntryFrame frame(EntryPoint::kLogout, TraceValue(hSession));
  return frame.Locked([&] { return NotAvailableYet(); });
}

}  // extern "C"
