// The session table: the sessions the application opened on the slots.
//
// Handles come from a counter that is never reset, so a closed session's
// handle is never handed out again. The login state is the slot's and is
// shared by all its sessions. Everything here runs under the library lock.
#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "platform/cryptoki.h"
#include "session/collected_parts.h"
#include "session/signature_operation.h"
#include "slot/slot.h"
#include "store/token_object.h"

namespace zorad::session {

// Where one session's object search stands. Each session keeps its own
// template, so searches of several sessions run side by side.
struct ObjectSearch {
  store::AttributeList searchTemplate;  // empty: every object matches
  store::ObjectKey lastTokenObject;     // the last token object visited (id 0: none yet)
  bool tokenObjectsDone = false;        // the token objects have all been visited
  // The session objects are visited in ascending handle order; this is the
  // lowest handle not visited yet, so entries removed meanwhile do no harm.
  uint32_t nextObjectHandle = 1;
  bool sessionObjectsDone = false;
};

struct Session {
  uint32_t readWrite = 0;  // 1 when opened with CKF_RW_SESSION
  uint32_t slotId = 0;
  CK_FLAGS flags = 0;  // as given to C_OpenSession
  // The sign and the verify operation, each on its own.
  SignatureOperation sign;
  SignatureOperation verify;
  // The digest operation under way (CKM_GOSTR3411, the only digest) with
  // the message its updates collected; none when empty.
  std::optional<CollectedParts> digest;
  // The active object search, if any.
  std::optional<ObjectSearch> search;
};

// A session and the slot it was opened on, as the entry points look them up.
struct SessionSlot {
  Session* session = nullptr;
  slot::Slot* slot = nullptr;
  // CKR_SESSION_HANDLE_INVALID for an unknown handle, CKR_GENERAL_ERROR when
  // the session's slot is gone.
  CK_RV rv = CKR_OK;
};

using SessionMap = std::map<uint32_t, Session>;

// The table, walked in ascending handle order.
SessionMap& Sessions();

// Opens a session on the slot and returns its new handle.
uint32_t OpenSession(bool readWrite, uint32_t slotId, CK_FLAGS flags);

// The session with this handle, or null.
Session* FindSession(CK_SESSION_HANDLE handle);

// The session with this handle and its slot.
SessionSlot FindSessionSlot(CK_SESSION_HANDLE handle);

// Destroys the session's own session objects and removes the session.
// CKR_SESSION_HANDLE_INVALID for an unknown handle. With the slot's last
// session go the handles of its token objects (no session can name them
// any more) and the login: the card is logged out as C_Logout does.
CK_RV CloseSession(CK_SESSION_HANDLE handle);

// Closes every session of the slot, with its session objects, the handles
// of its token objects and the login.
void CloseAllSessions(uint32_t slotId);

// Carries out what the layers below recorded for the sessions (the
// slots' pending bits, and a card removal a reader saw under its
// connection): closes every session of a slot whose token went away,
// forgets the private objects of a slot whose login ended and ends the
// signature operations begun under it. The entry points run it before and
// after every call's body, so that no call works on what the card no longer
// holds.
void FollowSlotChanges();

// Before the slot table is emptied (the last C_Finalize, a child of
// fork()): closes every slot's sessions and forgets every object handle of
// its card and its sessions.
void EndAllSlotSessions();

// The session's CK_SESSION_INFO. CKR_ARGUMENTS_BAD without `info`,
// CKR_SESSION_HANDLE_INVALID for an unknown handle, CKR_GENERAL_ERROR when
// the slot or its token is gone (slotID and flags are filled in then).
CK_RV GetSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO* info);

// True when a read-only session is open on the slot.
bool ReadOnlySessionExists(uint32_t slotId);

// True when any session is open on the slot.
bool SessionExistsOnSlot(uint32_t slotId);

}  // namespace zorad::session
