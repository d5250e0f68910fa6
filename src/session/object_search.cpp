#include "session/object_search.h"

#include "session/attribute_values.h"
#include "session/object_table.h"
#include "slot/slot_table.h"
#include "store/object_search.h"
#include "trace/trace.h"

namespace zorad::session {
namespace {

// The handle of a token object the search met: its existing entry, or a
// new one.
uint32_t HandleForTokenObject(uint32_t slotId, const store::ObjectKey& key,
                              const store::AttributeList& attributes) {
  const uint32_t handle = FindTokenObjectHandle(slotId, key);
  return handle != 0 ? handle : NewTokenObjectHandle(slotId, key, attributes);
}

// Token objects in the store's order, until `maximum` handles are there or
// the enumeration ends.
CK_RV WalkTokenObjects(slot::Slot& slot, ObjectSearch& search, CK_OBJECT_HANDLE* handles,
                       size_t maximum, size_t& count) {
  while (count < maximum && !search.tokenObjectsDone) {
    const store::AttributeList* attributes = nullptr;
    store::ObjectKey found;
    const CK_RV rv = store::SeekTokenObject(slot, search.lastTokenObject, &attributes, &found);
    if (rv != CKR_OK) return rv;
    if (found.id == 0 || attributes == nullptr) {
      search.tokenObjectsDone = true;
      break;
    }
    search.lastTokenObject = found;
    if (!TemplateMatches(search.searchTemplate, *attributes)) continue;
    handles[count++] = HandleForTokenObject(slot.slotId, found, *attributes);
  }
  return CKR_OK;
}

// A call that fails hands out nothing, so the search position goes back to
// where the call began: a retry meets again the objects this call matched
// before the failure.
CK_RV CollectTokenObjects(slot::Slot& slot, ObjectSearch& search, CK_OBJECT_HANDLE* handles,
                          size_t maximum, size_t& count) {
  const store::ObjectKey start = search.lastTokenObject;
  const CK_RV rv = WalkTokenObjects(slot, search, handles, maximum, count);
  if (rv != CKR_OK) search.lastTokenObject = start;
  return rv;
}

// Session objects of the slot in ascending handle order, from the search's
// position on. Private ones only while the user is logged in.
void CollectSessionObjects(const slot::Slot& slot, ObjectSearch& search, CK_OBJECT_HANDLE* handles,
                           size_t maximum, size_t& count) {
  const ObjectMap& objects = Objects();
  auto it = objects.lower_bound(search.nextObjectHandle);
  for (; it != objects.end() && count < maximum; ++it) {
    const auto& [handle, entry] = *it;
    if (handle == 0xFFFFFFFFu) {
      search.sessionObjectsDone = true;  // no handle follows the last one
    } else {
      search.nextObjectHandle = handle + 1;
    }
    if (entry.owner == 0 || entry.slotId != slot.slotId) continue;
    if (entry.isPrivate != 0 && slot.loginState != card::kUser) continue;
    if (!TemplateMatches(search.searchTemplate, entry.attributes)) continue;
    handles[count++] = handle;
  }
  if (it == objects.end()) search.sessionObjectsDone = true;
}

// A template that asks for CKA_TOKEN false can match session objects only:
// a token object holds CKA_TOKEN true, or no CKA_TOKEN at all.
bool OnlySessionObjects(const store::AttributeList& searchTemplate) {
  return HasAttribute(searchTemplate, CKA_TOKEN) && !AttributeIsTrue(searchTemplate, CKA_TOKEN);
}

}  // namespace

CK_RV FindObjectsInit(CK_SESSION_HANDLE handle, const store::AttributeList& searchTemplate) {
  const SessionSlot s = FindSessionSlot(handle);
  if (s.rv != CKR_OK) return s.rv;
  // One search at a time: the one under way goes on as it was.
  if (s.session->search) return CKR_OPERATION_ACTIVE;
  ObjectSearch search;
  search.searchTemplate = searchTemplate;
  // A search of session objects alone needs nothing from the card.
  search.tokenObjectsDone = OnlySessionObjects(searchTemplate);
  if (!search.tokenObjectsDone) {
    const CK_RV rv = store::SeekTokenObjectInit(*s.slot);
    if (rv != CKR_OK) return rv;
    // The card was just read: handles of objects it no longer holds name
    // nothing any more.
    DestroyVanishedTokenObjects(s.slot->slotId, [&](const store::ObjectKey& key) {
      return store::FindTokenObject(*s.slot, key) == nullptr;
    });
  }
  s.session->search = std::move(search);
  return CKR_OK;
}

CK_RV FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE* handles, size_t maximum,
                  size_t& found) {
  found = 0;
  const SessionSlot s = FindSessionSlot(handle);
  if (s.rv != CKR_OK) return s.rv;
  if (!s.session->search) return CKR_OPERATION_NOT_INITIALIZED;
  if (handles == nullptr) return CKR_ARGUMENTS_BAD;
  ObjectSearch& search = *s.session->search;
  size_t count = 0;
  const CK_RV rv = CollectTokenObjects(*s.slot, search, handles, maximum, count);
  if (rv != CKR_OK) {
    ZORAD_TRACE(trace::kOperations, "FindObjects: %x\n", static_cast<unsigned>(rv));
    return rv;
  }
  if (!search.sessionObjectsDone) CollectSessionObjects(*s.slot, search, handles, maximum, count);
  found = count;
  return CKR_OK;
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE handle) {
  const SessionSlot s = FindSessionSlot(handle);
  if (s.rv != CKR_OK) return s.rv;
  s.session->search.reset();
  return CKR_OK;
}

}  // namespace zorad::session
