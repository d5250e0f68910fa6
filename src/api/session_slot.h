// The session a handle names and the slot it was opened on, as the
// cryptographic entry points look them up under the library lock.
#pragma once

#include "platform/cryptoki.h"
#include "session/session_table.h"
#include "slot/slot_table.h"

namespace zorad::api {

struct SessionSlot {
  session::Session* session = nullptr;
  slot::Slot* slot = nullptr;
  CK_RV rv = CKR_OK;  // CKR_SESSION_HANDLE_INVALID, or CKR_GENERAL_ERROR when the slot is gone
};

inline SessionSlot FindSessionSlot(CK_SESSION_HANDLE hSession) {
  SessionSlot found;
  found.session = session::FindSession(hSession);
  if (found.session == nullptr) {
    found.rv = CKR_SESSION_HANDLE_INVALID;
  } else {
    found.slot = slot::FindSlot(found.session->slotId);
    if (found.slot == nullptr) found.rv = CKR_GENERAL_ERROR;
  }
  return found;
}

}  // namespace zorad::api
