// The object-handle table: every object the application can name, session
// object or token object, has an entry here. Handles come from one counter
// that is never reset and are shared by both kinds; only `owner` tells them
// apart. Everything here runs under the library lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

#include "platform/cryptoki.h"
#include "store/token_object.h"

namespace zorad::session {

struct ObjectEntry {
  uint32_t owner = 0;     // the owning session; 0 for a token object
  uint8_t isPrivate = 0;  // first byte of CKA_PRIVATE at creation; not updated later
  // A session object's attributes; for a token object the copy taken when
  // the entry was made (C_SignInit and C_VerifyInit refill it from the card).
  store::AttributeList attributes;
  // The object's id on the card; 0 for a session object. Set through the
  // table (NewObjectHandle, SetTokenObjectId), which indexes it.
  uint32_t tokenObjectId = 0;
  uint32_t slotId = 0;  // the slot whose card or session the object belongs to

  bool isTokenObject() const { return owner == 0; }
};

using ObjectMap = std::map<uint32_t, ObjectEntry>;

// The table, walked in ascending handle order.
ObjectMap& Objects();

// Makes an entry and returns its new handle. isPrivate comes from the
// list's CKA_PRIVATE.
uint32_t NewObjectHandle(uint32_t owner, uint32_t slotId, const store::AttributeList& attributes,
                         uint32_t tokenObjectId);

// Makes an entry holding exactly the given attributes (already in the
// card's form; see api/integer_attributes.h), token object id 0.
uint32_t NewObject(uint32_t owner, uint32_t slotId, const store::AttributeList& attributes);

// The entry with this handle, or null.
ObjectEntry* FindObjectEntry(CK_OBJECT_HANDLE handle);

// Records the card id of a token object whose entry was made before the
// object reached the card.
void SetTokenObjectId(CK_OBJECT_HANDLE handle, uint32_t tokenObjectId);

// The handle of the token object entry for this card id on this slot, or 0.
// Does not walk the table.
uint32_t FindTokenObjectHandle(uint32_t slotId, uint32_t tokenObjectId);

// Removes one entry. CKR_OBJECT_HANDLE_INVALID for an unknown handle.
CK_RV DestroyObjectEntry(CK_OBJECT_HANDLE handle);

// Removes every session object the session owns.
void DestroySessionObjects(uint32_t sessionHandle);

// Removes every private entry of the slot, session and token objects alike
// (token objects get new handles when a search meets them again).
void DestroyPrivateObjects(uint32_t slotId);

// Removes every entry of the slot, token objects included, for a slot that
// goes away: no handle may name anything after C_Finalize, and entries kept
// for slots that no longer exist would pile up with every C_Initialize.
void DestroySlotObjects(uint32_t slotId);

// Copies one attribute's value into `buffer`, at most `capacity` bytes;
// `length`, when given, receives the stored length. CKR_OBJECT_HANDLE_INVALID
// for an unknown handle, CKR_ATTRIBUTE_VALUE_INVALID when the type is absent.
CK_RV GetObjectAttribute(CK_OBJECT_HANDLE handle, uint32_t type, void* buffer, size_t capacity,
                         size_t* length = nullptr);

// Replaces or adds the given values in the entry's attributes; isPrivate is
// not recomputed. CKR_OBJECT_HANDLE_INVALID for an unknown handle.
CK_RV SetAttributeValues(CK_OBJECT_HANDLE handle, const store::AttributeList& values);

}  // namespace zorad::session
