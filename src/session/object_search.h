// The object search behind C_FindObjectsInit, C_FindObjects and
// C_FindObjectsFinal: token objects first (private, then public, as the
// store enumerates them), then session objects in ascending handle order,
// each filtered by the session's own template.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/cryptoki.h"
#include "session/session_table.h"
#include "store/token_object.h"

namespace zorad::session {

// Starts the session's search with the template (already in the card's
// form), bringing the token's object lists up to date unless the template
// asks for session objects only (CKA_TOKEN false). CKR_SESSION_HANDLE_INVALID
// without a session, CKR_GENERAL_ERROR when its slot is gone, else the
// store's result; a failed start leaves no search active.
// CKR_OPERATION_ACTIVE while the session's search is under way (it goes on).
CK_RV FindObjectsInit(CK_SESSION_HANDLE handle, const store::AttributeList& searchTemplate);

// Continues the search: up to `maximum` handles into `handles`, their
// number into `found` (0 first). CKR_SESSION_HANDLE_INVALID without a
// session, CKR_GENERAL_ERROR when its slot is gone,
// CKR_OPERATION_NOT_INITIALIZED without an active search; an error of the
// token enumeration ends the call with nothing counted.
CK_RV FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE* handles, size_t maximum,
                  size_t& found);

// Ends the session's search. CKR_SESSION_HANDLE_INVALID without a
// session, CKR_GENERAL_ERROR when its slot is gone.
CK_RV FindObjectsFinal(CK_SESSION_HANDLE handle);

}  // namespace zorad::session
