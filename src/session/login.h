// Logging a slot in and out through one of its sessions. The login state
// is the slot's, shared by all its sessions and kept when they close.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/cryptoki.h"
#include "slot/slot.h"

namespace zorad::session {

// C_Login's body. CKU_SO and CKU_USER verify the PIN on the card and set
// the slot's loginState (a user login then reads the private objects; when
// that fails the card is logged out again: CKR_GENERAL_ERROR).
// CKU_CONTEXT_SPECIFIC verifies the PIN of whoever is logged in again for
// the session's sign or verify operation and changes nothing
// (CKR_OPERATION_NOT_INITIALIZED without such an operation or when nobody
// is logged in); when the
// card refuses that PIN and no longer counts the role as verified, the
// slot is logged out.
CK_RV Login(CK_SESSION_HANDLE handle, CK_USER_TYPE userType, const uint8_t* pin, size_t pinLength);

// C_Logout's body: the slot's private objects lose their handles and the
// card is logged out. CKR_USER_NOT_LOGGED_IN when nobody is logged in.
CK_RV Logout(CK_SESSION_HANDLE handle);

// Forgets the slot's private object handles and logs its card out; the
// result is LogoutToken's. Also for a login the card itself ended.
CK_RV LogoutSlot(slot::Slot& slot);

}  // namespace zorad::session
