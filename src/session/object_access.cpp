#include "session/object_access.h"

#include <algorithm>

#include "session/attribute_values.h"
#include "session/object_table.h"
#include "session/session_table.h"
#include "slot/slot_table.h"
#include "card/secure_buffer.h"
#include "store/attribute_access.h"
#include "store/attribute_rules.h"
#include "store/object_create.h"
#include "store/object_delete.h"
#include "trace/trace.h"

namespace zorad::session {
namespace {

// What the session, slot and object checks found.
struct ObjectContext {
  Session* session = nullptr;
  uint32_t sessionHandle = 0;
  slot::Slot* slot = nullptr;
  ObjectEntry* entry = nullptr;
};

CK_RV FindSessionAndSlot(CK_SESSION_HANDLE handle, ObjectContext& context) {
  const SessionSlot s = FindSessionSlot(handle);
  context.session = s.session;
  context.slot = s.slot;
  context.sessionHandle = static_cast<uint32_t>(handle);
  return s.rv;
}

// A token object's handle names an object on its own slot's card only: on
// another slot the same card id would address a different object.
CK_RV FindObject(CK_SESSION_HANDLE sessionHandle, CK_OBJECT_HANDLE objectHandle,
                 ObjectContext& context) {
  const CK_RV rv = FindSessionAndSlot(sessionHandle, context);
  if (rv != CKR_OK) return rv;
  context.entry = FindObjectEntry(objectHandle);
  if (context.entry == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (context.entry->isTokenObject() && context.entry->slotId != context.slot->slotId) {
    return CKR_OBJECT_HANDLE_INVALID;
  }
  return CKR_OK;
}

bool UserLoggedIn(const ObjectContext& context) { return context.slot->loginState == card::kUser; }

// An object about to be changed or destroyed: a token object needs a
// read-write session, a private object the user's login.
CK_RV FindObjectToChange(CK_SESSION_HANDLE sessionHandle, CK_OBJECT_HANDLE objectHandle,
                         ObjectContext& context) {
  const CK_RV rv = FindObject(sessionHandle, objectHandle, context);
  if (rv != CKR_OK) return rv;
  if (context.entry->isTokenObject() && context.session->readWrite == 0) {
    return CKR_SESSION_READ_ONLY;
  }
  if (context.entry->isPrivate != 0 && !UserLoggedIn(context)) return CKR_USER_NOT_LOGGED_IN;
  return CKR_OK;
}

// A token object's handle is made once the object is on the card, so a
// failed creation leaves none behind.
CK_RV StoreOnCard(slot::Slot& slot, const store::AttributeList& attributes,
                  CK_OBJECT_HANDLE& objectHandle) {
  ZORAD_TRACE(trace::kSteps, "CreateTokenObject\n");
  store::ObjectKey key;
  const CK_RV rv = store::CreateTokenObject(slot, &key, attributes);
  if (rv != CKR_OK) return rv;
  objectHandle = NewTokenObjectHandle(slot.slotId, key, attributes);
  return CKR_OK;
}

}  // namespace

CK_RV CreateObject(CK_SESSION_HANDLE sessionHandle, store::AttributeList& attributes,
                   CK_OBJECT_HANDLE& objectHandle) {
  ObjectContext context;
  const CK_RV rv = FindSessionAndSlot(sessionHandle, context);
  if (rv != CKR_OK) return rv;
  store::AddKeyOrigin(attributes, store::KeyOrigin::kImported);
  ZORAD_TRACE(trace::kSteps, "CKA_TOKEN\n");
  const bool tokenObject = AttributeIsTrue(attributes, CKA_TOKEN);
  ZORAD_TRACE(trace::kSteps, "CKA_PRIVATE\n");
  if (AttributeIsTrue(attributes, CKA_PRIVATE) && !UserLoggedIn(context)) {
    return CKR_USER_NOT_LOGGED_IN;
  }
  if (tokenObject && context.session->readWrite == 0) return CKR_SESSION_READ_ONLY;
  ZORAD_TRACE(trace::kSteps, "NewObject\n");
  if (tokenObject) {
    const CK_RV stored = StoreOnCard(*context.slot, attributes, objectHandle);
    if (stored != CKR_OK) return stored;
  } else {
    objectHandle = NewObject(context.sessionHandle, context.slot->slotId, attributes);
  }
  ZORAD_TRACE(trace::kSteps, "Obj id (%08X)\n", static_cast<unsigned>(objectHandle));
  return CKR_OK;
}

CK_RV DestroyObject(CK_SESSION_HANDLE sessionHandle, CK_OBJECT_HANDLE objectHandle) {
  ObjectContext context;
  const CK_RV rv = FindObjectToChange(sessionHandle, objectHandle, context);
  if (rv != CKR_OK) return rv;
  if (context.entry->isTokenObject()) {
    const CK_RV deleted = store::DeleteTokenObject(*context.slot, context.entry->tokenObject);
    // An object another application deleted is gone all the same: its
    // handle goes with it.
    if (deleted == CKR_OBJECT_HANDLE_INVALID) DestroyObjectEntry(objectHandle);
    if (deleted != CKR_OK) return deleted;
  }
  return DestroyObjectEntry(objectHandle);
}

CK_RV ReadObjectAttributes(CK_SESSION_HANDLE sessionHandle, CK_OBJECT_HANDLE objectHandle,
                           const store::AttributeList*& attributes, bool& valueSensitive) {
  attributes = nullptr;
  ObjectContext context;
  CK_RV rv = FindObject(sessionHandle, objectHandle, context);
  if (rv != CKR_OK) return rv;
  if (context.entry->isPrivate != 0 && !UserLoggedIn(context)) return CKR_USER_NOT_LOGGED_IN;
  const bool onCard = context.entry->isTokenObject();
  if (onCard) {
    ZORAD_TRACE(trace::kSteps, "->GetTokenAttributeValues\n");
    rv = store::ViewTokenAttributeValues(*context.slot, context.entry->tokenObject, attributes);
    if (rv != CKR_OK) return rv;
  } else {
    ZORAD_TRACE(trace::kSteps, "->attr_list\n");
    attributes = &context.entry->attributes;
  }
  valueSensitive = store::ValueIsSensitive(*attributes, onCard);
  return CKR_OK;
}

CK_RV WriteObjectAttributes(CK_SESSION_HANDLE sessionHandle, CK_OBJECT_HANDLE objectHandle,
                            const store::AttributeList& values) {
  ObjectContext context;
  CK_RV rv = FindObjectToChange(sessionHandle, objectHandle, context);
  if (rv != CKR_OK) return rv;
  if (context.entry->isTokenObject()) {
    // What no object may change is refused before the card; the store
    // checks the rest against the object as the card holds it.
    rv = store::CheckAttributeChange({}, values);
    if (rv != CKR_OK) return rv;
    return store::SetTokenAttributeValues(*context.slot, context.entry->tokenObject, values);
  }
  rv = store::CheckAttributeChange(context.entry->attributes, values);
  if (rv != CKR_OK) return rv;
  return SetAttributeValues(objectHandle, values);
}

}  // namespace zorad::session
