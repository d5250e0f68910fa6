// The object-handle table: every object the application can name, session
// object or token object, has an entry here. Handles come from one counter
// that is never reset and are shared by both kinds; only `owner` tells them
// apart. Everything here runs under the library lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>

#include "platform/cryptoki.h"
#include "store/token_object.h"

namespace zorad::session {

struct ObjectEntry {
  uint32_t owner = 0;     // the owning session; 0 for a token object
  uint8_t isPrivate = 0;  // CKA_PRIVATE at creation, or the private area; not updated later
  // A session object's attributes. A token object's live on the card (and
  // in the store's maps); its entry keeps none.
  store::AttributeList attributes;
  // Where a token object lives on the card (area and id); id 0 for a
  // session object. Set when the entry is made, which indexes it.
  store::ObjectKey tokenObject;
  uint32_t slotId = 0;  // the slot whose card or session the object belongs to

  bool isTokenObject() const { return owner == 0; }
};

using ObjectMap = std::map<uint32_t, ObjectEntry>;

// The table, walked in ascending handle order.
ObjectMap& Objects();

// Makes an entry for a session object of `owner` holding exactly the given
// attributes (already in the card's form; see api/integer_attributes.h) and
// returns its new handle. isPrivate comes from the list's CKA_PRIVATE.
uint32_t NewObject(uint32_t owner, uint32_t slotId, const store::AttributeList& attributes);

// Makes an entry for the token object `key` on the slot's card and returns
// its new handle; `attributes` only tell whether it is private.
uint32_t NewTokenObjectHandle(uint32_t slotId, const store::ObjectKey& key,
                              const store::AttributeList& attributes);

// The entry with this handle, or null.
ObjectEntry* FindObjectEntry(CK_OBJECT_HANDLE handle);

// The handle of the token object entry for this key on this slot, or 0.
// Does not walk the table.
uint32_t FindTokenObjectHandle(uint32_t slotId, const store::ObjectKey& key);

// Removes one entry. CKR_OBJECT_HANDLE_INVALID for an unknown handle.
CK_RV DestroyObjectEntry(CK_OBJECT_HANDLE handle);

// Removes every session object the session owns.
void DestroySessionObjects(uint32_t sessionHandle);

// Removes every private entry of the slot, session and token objects alike
// (token objects get new handles when a search meets them again).
void DestroyPrivateObjects(uint32_t slotId);

// Removes every entry of the slot, token objects included: for a slot that
// goes away (no handle may name anything after C_Finalize, and entries kept
// for slots that no longer exist would pile up with every C_Initialize), and
// when its last session closes (no session can name them any more).
void DestroySlotObjects(uint32_t slotId);

// Removes the slot's token object entries whose object `gone` says the
// card no longer holds. Walks only the slot's token objects.
void DestroyVanishedTokenObjects(uint32_t slotId,
                                 const std::function<bool(const store::ObjectKey&)>& gone);

// Replaces or adds the given values in the entry's attributes; isPrivate is
// not recomputed. CKR_OBJECT_HANDLE_INVALID for an unknown handle.
CK_RV SetAttributeValues(CK_OBJECT_HANDLE handle, const store::AttributeList& values);

}  // namespace zorad::session
