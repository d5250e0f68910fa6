// Confirming a token object against the card before it is used.
//
// Reading, changing, deleting, signing with an object and each step of a
// search run this one check first, inside their own token transaction with
// the application selected: the card is still the token (its serial
// number), the object's area table is read afresh, the table still lists a
// record starting where the object's record starts, and the header there
// still carries the object's id. A record another process rewrote in place
// (a new label) is the same object: its header is taken over. A record that
// moved, or whose place now holds nothing or another object, makes the
// area's objects be read again and the object looked for by its id; an
// object that is gone is refused with the use's own answer. A key handle
// kept across another process's deletion therefore never reaches the key
// that process made next in the same card key slot.
#pragma once

#include "platform/cryptoki.h"
#include "slot/slot.h"
#include "store/token_object.h"

namespace zorad::store {

// What a use of an object needs from the check.
struct ConfirmPolicy {
  bool readAttributes;  // the record's body is read unless it was since its last change
  CK_RV whenGone;       // the answer for an object the card no longer holds
};

inline constexpr ConfirmPolicy kToRead{true, CKR_OBJECT_HANDLE_INVALID};
inline constexpr ConfirmPolicy kToDelete{false, CKR_OBJECT_HANDLE_INVALID};
inline constexpr ConfirmPolicy kToSign{false, CKR_KEY_HANDLE_INVALID};

struct Confirmed {
  CK_RV rv = CKR_OK;
  TokenObject* object = nullptr;  // in the area's object map, on success
  // With readAttributes: the card handed out the whole record and it fails
  // its own checks (a rewrite in place cut short).
  bool damaged = false;
};

// The check above. CKR_USER_NOT_LOGGED_IN for a private object without the
// user's login (nothing sent), policy.whenGone for an object not in the
// maps or no longer on the card, the identity check's and the area
// selection's failures, a failed read of the area's objects
// (CKR_FUNCTION_FAILED) and a failed body read pass through.
Confirmed ConfirmTokenObject(slot::Slot& slot, const ObjectKey& key, const ConfirmPolicy& policy);

}  // namespace zorad::store
