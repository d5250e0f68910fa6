#include "session/login.h"

#include "card/token_login.h"
#include "card/token_transaction.h"
#include "session/object_table.h"
#include "session/session_table.h"
#include "slot/slot_table.h"
#include "store/token_logout.h"

namespace zorad::session {
namespace {

// The login state a user type aims at.
uint32_t TargetState(CK_USER_TYPE userType) {
  return userType == CKU_SO ? card::kSecurityOfficer : card::kUser;
}

CK_RV ReVerify(slot::Slot& slot, const uint8_t* pin, size_t pinLength) {
  if (slot.loginState == card::kNobody) return CKR_OPERATION_NOT_INITIALIZED;
  const bool user = slot.loginState == card::kUser;
  bool verificationLost = false;
  const CK_RV rv =
      card::LoginToken(slot, user ? CKU_USER : CKU_SO, pin, pinLength, nullptr, &verificationLost);
  if (verificationLost) LogoutSlot(slot);
  return rv;
}

// Another application's logout (a card reset) since the last call ended
// the login on the card: it is noticed, and what the old login opened goes,
// before the state is judged.
void NoticeCardReset(slot::Slot& slot) {
  card::NoticeCardEvents(slot);
  if (slot.loginState == card::kNobody) FollowSlotChanges();
}

CK_RV LogIn(slot::Slot& slot, CK_USER_TYPE userType, const uint8_t* pin, size_t pinLength) {
  const uint32_t target = TargetState(userType);
  if (slot.loginState != card::kNobody) NoticeCardReset(slot);
  if (slot.loginState == target) return CKR_USER_ALREADY_LOGGED_IN;
  if (slot.loginState != card::kNobody) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
  if (userType == CKU_SO && ReadOnlySessionExists(slot.slotId)) {
    return CKR_SESSION_READ_ONLY_EXISTS;
  }
  const CK_RV rv = card::LoginToken(slot, userType, pin, pinLength);
  if (rv != CKR_OK) return rv;
  // The private area is read when it is first needed: by the next search,
  // or by the token information for its free memory.
  slot.loginState = target;
  return CKR_OK;
}

}  // namespace

CK_RV Login(CK_SESSION_HANDLE handle, CK_USER_TYPE userType, const uint8_t* pin, size_t pinLength) {
  const SessionSlot s = FindSessionSlot(handle);
  if (s.rv != CKR_OK) return s.rv;
  if (userType == CKU_CONTEXT_SPECIFIC) {
    // The PIN given again is for the operation under way.
    if (!s.session->sign.active() && !s.session->verify.active()) {
      return CKR_OPERATION_NOT_INITIALIZED;
    }
    return ReVerify(*s.slot, pin, pinLength);
  }
  if (userType != CKU_SO && userType != CKU_USER) return CKR_USER_TYPE_INVALID;
  return LogIn(*s.slot, userType, pin, pinLength);
}

CK_RV Logout(CK_SESSION_HANDLE handle) {
  const SessionSlot s = FindSessionSlot(handle);
  if (s.rv != CKR_OK) return s.rv;
  if (s.slot->loginState == card::kNobody) return CKR_USER_NOT_LOGGED_IN;
  return LogoutSlot(*s.slot);
}

CK_RV LogoutSlot(slot::Slot& slot) {
  DestroyPrivateObjects(slot.slotId);
  return store::LogoutToken(slot);
}

}  // namespace zorad::session
