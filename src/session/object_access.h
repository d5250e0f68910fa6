// The bodies of the object entry points: the session, slot, login and
// read-only checks, then the session object in memory or the token object
// on the card. Templates arrive, and attribute lists leave, in the card's
// form; the application's form is the API layer's (api/integer_attributes.h).
#pragma once

#include <cstdint>

#include "platform/cryptoki.h"
#include "store/token_object.h"

namespace zorad::session {

// Makes a session object (no CKA_TOKEN, or false) or stores a token object
// on the card, and gives its new handle. A private key records that it was
// imported (store::AddKeyOrigin, in `attributes`). CKR_USER_NOT_LOGGED_IN for a
// private object without the user logged in, CKR_SESSION_READ_ONLY for a
// token object in a read-only session; a failed card creation leaves no
// handle.
CK_RV CreateObject(CK_SESSION_HANDLE sessionHandle, store::AttributeList& attributes,
                   CK_OBJECT_HANDLE& objectHandle);

// Destroys a session object (of any session) or deletes a token object
// from the card; the handle goes only when the deletion succeeded.
CK_RV DestroyObject(CK_SESSION_HANDLE sessionHandle, CK_OBJECT_HANDLE objectHandle);

// All the object's attributes, as a view: a session object's in memory, a
// token object's in the token's cache (confirmed on the card when the cache
// does not stand); valid until the next call into the module. A key value
// that must stay hidden sets `valueSensitive` (the view still holds it: the
// caller must not hand it out).
CK_RV ReadObjectAttributes(CK_SESSION_HANDLE sessionHandle, CK_OBJECT_HANDLE objectHandle,
                           const store::AttributeList*& attributes, bool& valueSensitive);

// Replaces or adds values: in memory for a session object, on the card for
// a token object. What the attribute rules forbid (store::CheckAttributeChange)
// is CKR_ATTRIBUTE_READ_ONLY, and nothing changes.
CK_RV WriteObjectAttributes(CK_SESSION_HANDLE sessionHandle, CK_OBJECT_HANDLE objectHandle,
                            const store::AttributeList& values);

}  // namespace zorad::session
