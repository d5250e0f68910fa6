// Sessions and login.
#include "api/entry_frame.h"
#include "session/login.h"
#include "session/session_table.h"
#include "slot/slot_table.h"
#include "store/token_refresh.h"

using namespace zorad::api;
using namespace zorad;

namespace {

CK_RV OpenSessionOnSlot(CK_SLOT_ID slotID, CK_FLAGS flags, CK_SESSION_HANDLE& handle) {
  slot::Slot* slot = slot::FindSlot(slotID);
  if (slot == nullptr) return CKR_SLOT_ID_INVALID;
  const bool readWrite = (flags & CKF_RW_SESSION) != 0;
  if (!readWrite && slot->loginState == card::kSecurityOfficer) {
    return CKR_SESSION_READ_WRITE_SO_EXISTS;
  }
  const CK_RV rv = store::PrepareTokenForSession(*slot);
  // A card swapped since the last look ended the old sessions: they close
  // before the new one opens.
  session::FollowSlotChanges();
  if (rv != CKR_OK) return rv;
  handle = session::OpenSession(readWrite, slot->slotId, flags);
  return CKR_OK;
}

// As closing the slot's sessions one by one: their session objects go, the
// slot's login state stays.
CK_RV CloseSlotSessions(CK_SLOT_ID slotID) {
  const slot::Slot* slot = slot::FindSlot(slotID);
  if (slot == nullptr) return CKR_SLOT_ID_INVALID;
  session::CloseAllSessions(slot->slotId);
  return CKR_OK;
}

}  // namespace

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
  return frame.Locked([&] { return OpenSessionOnSlot(slotID, flags, *phSession); });
}

CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
  EntryFrame frame(EntryPoint::kCloseSession, TraceValue(hSession));
  return frame.Locked([&] { return session::CloseSession(hSession); });
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
  EntryFrame frame(EntryPoint::kCloseAllSessions, TraceValue(slotID));
  return frame.Locked([&] { return CloseSlotSessions(slotID); });
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
  EntryFrame frame(EntryPoint::kGetSessionInfo, TraceValue(hSession));
  return frame.Locked([&] { return session::GetSessionInfo(hSession, pInfo); });
}

CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin,
              CK_ULONG ulPinLen) {
  EntryFrame frame(EntryPoint::kLogin, TraceValue(hSession));
  if (pPin == nullptr && ulPinLen != 0) return frame.Return(CKR_ARGUMENTS_BAD);
  if (userType != CKU_SO && userType != CKU_USER && userType != CKU_CONTEXT_SPECIFIC) {
    return frame.Return(CKR_USER_TYPE_INVALID);
  }
  return frame.Locked([&] { return session::Login(hSession, userType, pPin, ulPinLen); });
}

CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
  EntryFrame frame(EntryPoint::kLogout, TraceValue(hSession));
  return frame.Locked([&] { return session::Logout(hSession); });
}

}  // extern "C"
