#include "session/session_table.h"

#include "card/token_identity.h"
#include "session/login.h"
#include "session/object_table.h"
#include "slot/slot_sync.h"
#include "slot/slot_table.h"
#include "store/object_maps.h"
#include "trace/trace.h"

namespace zorad::session {
namespace {

SessionMap g_sessions;
uint32_t g_nextSessionHandle = 0;

// Handles outside the 32-bit range the table uses are unknown, not
// truncated onto another session.
std::optional<uint32_t> TableKey(CK_SESSION_HANDLE handle) {
  if (handle == 0 || handle > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<uint32_t>(handle);
}

uint32_t NextFreeHandle() {
  uint32_t candidate = g_nextSessionHandle + 1;
  while (candidate == 0 || g_sessions.count(candidate) != 0) ++candidate;
  g_nextSessionHandle = candidate;
  return candidate;
}

// The state a session reports: its kind, and who is logged in on its slot.
// No read-only session exists beside the security officer's login.
CK_STATE SessionState(uint32_t loginState, bool readWrite) {
  if (loginState == card::kUser) return readWrite ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
  if (loginState == card::kSecurityOfficer && readWrite) return CKS_RW_SO_FUNCTIONS;
  return readWrite ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
}

// The application's last session on the slot closed: no handle of its
// token's objects names anything any more, and the login ends as
// C_Logout ends it, so that the next session starts public.
void EndSlotUse(uint32_t slotId) {
  DestroySlotObjects(slotId);
  slot::Slot* slot = slot::FindSlot(slotId);
  if (slot != nullptr && slot->loginState != card::kNobody) LogoutSlot(*slot);
}

// Removes the slot's sessions with their session objects and the handles
// of its token objects; nothing reaches the card.
void EraseSlotSessions(uint32_t slotId) {
  for (auto it = g_sessions.begin(); it != g_sessions.end();) {
    if (it->second.slotId != slotId) {
      ++it;
      continue;
    }
    DestroySessionObjects(it->first);
    it = g_sessions.erase(it);
  }
  DestroySlotObjects(slotId);
}

}  // namespace

SessionMap& Sessions() { return g_sessions; }

uint32_t OpenSession(bool readWrite, uint32_t slotId, CK_FLAGS flags) {
  const uint32_t handle = NextFreeHandle();
  Session session;
  session.readWrite = readWrite ? 1 : 0;
  session.slotId = slotId;
  session.flags = flags;
  g_sessions.emplace(handle, std::move(session));
  ZORAD_TRACE(trace::kDetail, "OpenSession: %x\n", handle);
  return handle;
}

Session* FindSession(CK_SESSION_HANDLE handle) {
  const auto key = TableKey(handle);
  if (!key) return nullptr;
  const auto it = g_sessions.find(*key);
  return it == g_sessions.end() ? nullptr : &it->second;
}

SessionSlot FindSessionSlot(CK_SESSION_HANDLE handle) {
  SessionSlot found;
  found.session = FindSession(handle);
  if (found.session == nullptr) {
    found.rv = CKR_SESSION_HANDLE_INVALID;
    return found;
  }
  found.slot = slot::FindSlot(found.session->slotId);
  if (found.slot == nullptr) found.rv = CKR_GENERAL_ERROR;
  return found;
}

CK_RV CloseSession(CK_SESSION_HANDLE handle) {
  const auto key = TableKey(handle);
  const auto it = key ? g_sessions.find(*key) : g_sessions.end();
  if (it == g_sessions.end()) return CKR_SESSION_HANDLE_INVALID;
  const uint32_t slotId = it->second.slotId;
  DestroySessionObjects(*key);
  g_sessions.erase(it);
  if (!SessionExistsOnSlot(slotId)) EndSlotUse(slotId);
  return CKR_OK;
}

void CloseAllSessions(uint32_t slotId) {
  EraseSlotSessions(slotId);
  EndSlotUse(slotId);
}

void FollowSlotChanges() {
  for (auto& [slotId, slot] : slot::Slots()) {
    slot::FollowCardRemoval(*slot);
    const uint8_t pending = slot->pending;
    if (pending == 0) continue;
    slot->pending = 0;
    if ((pending & card::kSessionsEnded) != 0) CloseAllSessions(slotId);
    if ((pending & card::kLoginEnded) == 0) continue;
    DestroyPrivateObjects(slotId);
    // However the login ended (a card reset by another application too),
    // the private values read under it leave memory now.
    if (slot->token) store::ForgetPrivateValues(store::MapsOf(*slot->token));
    // An operation begun with a private key would otherwise go on with a
    // key the sessions can no longer reach; one with a public key goes on.
    for (auto& [handle, session] : g_sessions) {
      if (session.slotId != slotId) continue;
      for (SignatureOperation* operation : {&session.sign, &session.verify}) {
        if (operation->key.area == card::Area::kPrivate) operation->End();
      }
    }
  }
}

void EndAllSlotSessions() {
  // The slots go next (the last C_Finalize) or are the parent's (a child of
  // fork()): nothing is sent to a card here.
  for (const auto& entry : slot::Slots()) EraseSlotSessions(entry.first);
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO* info) {
  if (info == nullptr) return CKR_ARGUMENTS_BAD;
  const SessionSlot s = FindSessionSlot(handle);
  if (s.session == nullptr) return s.rv;
  info->slotID = s.session->slotId;
  info->flags = s.session->flags;
  info->state = 0;
  info->ulDeviceError = 0;
  uint32_t deviceState = 0;
  if (s.slot == nullptr || card::GetTokenState(*s.slot, &deviceState) != CKR_OK) {
    return CKR_GENERAL_ERROR;
  }
  info->state = SessionState(s.slot->loginState, (s.session->flags & CKF_RW_SESSION) != 0);
  info->ulDeviceError = deviceState;
  return CKR_OK;
}

bool ReadOnlySessionExists(uint32_t slotId) {
  for (const auto& [handle, session] : g_sessions) {
    if (session.slotId == slotId && session.readWrite == 0) return true;
  }
  return false;
}

bool SessionExistsOnSlot(uint32_t slotId) {
  for (const auto& [handle, session] : g_sessions) {
    if (session.slotId == slotId) return true;
  }
  return false;
}

}  // namespace zorad::session
