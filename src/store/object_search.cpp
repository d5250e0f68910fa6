#include "store/object_search.h"

#include "card/area_select.h"
#include "card/token.h"
#include "card/token_identity.h"
#include "card/token_transaction.h"
#include "reader/reader.h"
#include "store/object_maps.h"
#include "store/object_record.h"
#include "store/token_refresh.h"
#include "trace/trace.h"

namespace zorad::store {
namespace {

struct Position {
  uint32_t id = 0;  // the object's key in its map: the enumeration's position
  TokenObject* object = nullptr;
  bool isPrivate = false;
};

// The first object of `map` from `it` on, in the given area.
Position At(ObjectMap& map, ObjectMap::iterator it, bool isPrivate) {
  return it == map.end() ? Position{} : Position{it->first, &it->second, isPrivate};
}

// The object after `previousId`: private objects first, then public ones.
// nullopt when `previousId` is in neither map; a null object at the end.
std::optional<Position> NextObject(ObjectMaps& cache, uint32_t previousId) {
  ObjectMap& priv = cache.privateObjects;
  ObjectMap& pub = cache.publicObjects;
  if (previousId == 0) {
    return priv.empty() ? At(pub, pub.begin(), false) : At(priv, priv.begin(), true);
  }
  if (auto it = priv.find(previousId); it != priv.end()) {
    if (++it != priv.end()) return At(priv, it, true);
    return At(pub, pub.begin(), false);
  }
  if (auto it = pub.find(previousId); it != pub.end()) return At(pub, ++it, false);
  return std::nullopt;
}

// Reads the chosen object fresh from the card inside one transaction.
// `damaged` tells a record the card handed out in full that fails its
// checks (a rewrite in place cut short); the cache still matches the card
// then.
CK_RV ReadFresh(slot::Slot& slot, const Position& next, bool& damaged) {
  card::TokenTransaction transaction(slot);
  if (transaction.BeginAndSelect(CKR_FUNCTION_FAILED) != CKR_OK) return CKR_FUNCTION_FAILED;
  CK_RV rv = card::IsTheSameToken(slot);
  if (rv != CKR_OK) return rv;
  rv = card::SelectArea(slot, next.isPrivate);
  if (rv != CKR_OK) return rv;
  bool changed = false;
  if (RereadTokenObjectHeader(slot, *next.object, changed) != CKR_OK || changed) {
    return CKR_FUNCTION_FAILED;
  }
  const bool wasStale = slot.token->objects.objectsStale;
  rv = ReadTokenObjectAttributes(slot, *next.object, &damaged);
  if (rv != CKR_OK) {
    if (damaged) slot.token->objects.objectsStale = wasStale;
    return rv;
  }
  return transaction.End();
}

CK_RV Traced(const char* operation, CK_RV rv) {
  ZORAD_TRACE(trace::kOperations, "%s: %x\n", operation, static_cast<unsigned>(rv));
  return rv;
}

}  // namespace

TokenObject* FindTokenObject(slot::Slot& slot, uint32_t id, bool* isPrivate) {
  if (!slot.token) return nullptr;
  ObjectMaps& cache = MapsOf(*slot.token);
  TokenObject* found = nullptr;
  bool fromPrivate = false;
  if (slot.loginState == card::kUser) {
    fromPrivate = true;
    if (auto it = cache.privateObjects.find(id); it != cache.privateObjects.end()) {
      found = &it->second;
    }
  }
  if (!found) {
    fromPrivate = false;
    if (auto it = cache.publicObjects.find(id); it != cache.publicObjects.end()) {
      found = &it->second;
    }
  }
  if (isPrivate) *isPrivate = fromPrivate;
  ZORAD_TRACE(trace::kOperations, "FindTokenObject: object is %s\n",
              fromPrivate ? "Private" : "Public");
  return found;
}

CK_RV SeekTokenObjectInit(slot::Slot& slot) {
  ZORAD_TRACE(trace::kOperations, "SeekTokenObjectInit\n");
  if (!slot.token || !slot.reader) return Traced("SeekTokenObjectInit", CKR_FUNCTION_FAILED);
  card::TokenTransaction transaction(slot);
  if (transaction.Begin() != CKR_OK) return Traced("SeekTokenObjectInit", CKR_FUNCTION_FAILED);
  // The serial number is read before anything else: a card exchanged for
  // another must not replace this token's object lists. The refresh selects
  // the application itself, inside this transaction.
  CK_RV rv = card::IsTheSameToken(slot);
  if (rv == CKR_OK) rv = RefreshToken(slot);
  if (rv == CKR_OK) rv = transaction.End();
  if (rv != CKR_OK) return Traced("SeekTokenObjectInit", rv);
  ZORAD_TRACE(trace::kOperations, "SeekTokenObjectInit: 0\n");
  return CKR_OK;
}

CK_RV SeekTokenObject(slot::Slot& slot, uint32_t previousId, const AttributeList** attributes,
                      uint32_t* id) {
  ZORAD_TRACE(trace::kOperations, "SeekTokenObject\n");
  if (!slot.token || !slot.reader || !attributes || !id) {
    return Traced("SeekTokenObject", CKR_FUNCTION_FAILED);
  }
  *attributes = nullptr;
  *id = 0;
  // A damaged record is passed over: reporting it would end every search
  // there and hide all the objects after it. Reading it through a handle
  // still reports it. Each step moves on in the maps' id order, so the walk
  // ends after at most one step per object, whatever the card holds.
  ObjectMaps& cache = MapsOf(*slot.token);
  const size_t objects = cache.privateObjects.size() + cache.publicObjects.size();
  uint32_t previous = previousId;
  for (size_t step = 0; step <= objects; ++step) {
    const auto next = NextObject(cache, previous);
    if (!next) return Traced("SeekTokenObject", CKR_FUNCTION_FAILED);
    if (!next->object) return CKR_OK;  // the end: no result line
    previous = next->id;
    bool damaged = false;
    const CK_RV rv = ReadFresh(slot, *next, damaged);
    if (rv == CKR_OK) {
      *attributes = &next->object->attributes;
      *id = previous;
      ZORAD_TRACE(trace::kOperations, "SeekTokenObject: 0\n");
      return CKR_OK;
    }
    if (!damaged) return Traced("SeekTokenObject", rv);
    ZORAD_TRACE(trace::kOperations, "SeekTokenObject: %08x damaged, passed over\n", previous);
  }
  return Traced("SeekTokenObject", CKR_FUNCTION_FAILED);
}

}  // namespace zorad::store
