#include "store/object_search.h"

#include "card/area_select.h"
#include "card/token.h"
#include "card/token_identity.h"
#include "card/token_transaction.h"
#include "reader/reader.h"
#include "store/object_confirm.h"
#include "store/object_maps.h"
#include "store/object_record.h"
#include "store/token_refresh.h"
#include "trace/trace.h"

namespace zorad::store {
namespace {

// An area holds at most 255 objects (the table's object numbers): a walk
// over both ends after this many steps, whatever the card holds.
constexpr size_t kMaxWalkSteps = 2 * 255 + 1;

// The key after `previous` in walking order: the private area (while it
// is readable) before the public one, each in ascending id. Id 0 at the end.
ObjectKey NextKey(slot::Slot& slot, const ObjectKey& previous) {
  ObjectMaps& cache = MapsOf(*slot.token);
  const bool privateReadable = slot.loginState == card::kUser;
  const bool start = previous.id == 0;
  if (privateReadable && (start || previous.area == card::Area::kPrivate)) {
    const ObjectMap& priv = cache.privateObjects;
    const auto it = start ? priv.begin() : priv.upper_bound(previous.id);
    if (it != priv.end()) return PrivateObject(it->first);
  }
  const ObjectMap& pub = cache.publicObjects;
  const bool fromPublic = !start && previous.area == card::Area::kPublic;
  const auto it = fromPublic ? pub.upper_bound(previous.id) : pub.begin();
  return it == pub.end() ? ObjectKey{} : PublicObject(it->first);
}

// Reads the object fresh from the card inside one transaction. `damaged`
// tells a record the card handed out in full that fails its checks (a
// rewrite in place cut short); the cache still matches the card then.
CK_RV ReadFresh(slot::Slot& slot, const ObjectKey& key, TokenObject*& object, bool& damaged) {
  card::TokenTransaction transaction(slot);
  if (transaction.BeginAndSelect(CKR_FUNCTION_FAILED) != CKR_OK) return CKR_FUNCTION_FAILED;
  const bool wasStale = slot.token->objects.objectsStale;
  const Confirmed c = ConfirmTokenObject(slot, key, kToRead);
  damaged = c.damaged;
  if (c.rv != CKR_OK) {
    if (damaged) slot.token->objects.objectsStale = wasStale;
    return c.rv;
  }
  object = c.object;
  return transaction.End();
}

// What the search that began this walk read stands (no card reset, no
// failure since): the object is answered from it.
bool Servable(const card::Token& token, const TokenObject& object) {
  const bool cacheStands = token.objects.proven && !token.objects.objectsStale;
  return cacheStands && (object.attributesRead || object.damaged);
}

CK_RV Traced(const char* operation, CK_RV rv) {
  ZORAD_TRACE(trace::kOperations, "%s: %x\n", operation, static_cast<unsigned>(rv));
  return rv;
}

}  // namespace

TokenObject* FindTokenObject(slot::Slot& slot, const ObjectKey& key) {
  if (!slot.token || key.id == 0) return nullptr;
  const bool isPrivate = key.area == card::Area::kPrivate;
  if (isPrivate && slot.loginState != card::kUser) return nullptr;
  ObjectMap& objects = MapsOf(*slot.token).ObjectsOf(key.area);
  const auto it = objects.find(key.id);
  ZORAD_TRACE(trace::kOperations, "FindTokenObject: object is %s\n",
              isPrivate ? "Private" : "Public");
  return it == objects.end() ? nullptr : &it->second;
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
  if (rv == CKR_OK) rv = RefreshToken(slot, nullptr, Bodies::kRead);
  if (rv == CKR_OK) rv = transaction.End();
  if (rv != CKR_OK) return Traced("SeekTokenObjectInit", rv);
  ZORAD_TRACE(trace::kOperations, "SeekTokenObjectInit: 0\n");
  return CKR_OK;
}

CK_RV SeekTokenObject(slot::Slot& slot, const ObjectKey& previous,
                      const AttributeList** attributes, ObjectKey* found) {
  ZORAD_TRACE(trace::kOperations, "SeekTokenObject\n");
  if (!slot.token || !slot.reader || !attributes || !found) {
    return Traced("SeekTokenObject", CKR_FUNCTION_FAILED);
  }
  ObjectKey at = previous;  // `found` may name the same key
  *attributes = nullptr;
  *found = ObjectKey{};
  // The cache is not served after a card reset or removal since the search
  // began.
  if (card::NoticeCardEvents(slot) != CKR_OK) {
    return Traced("SeekTokenObject", CKR_FUNCTION_FAILED);
  }
  // A damaged record is passed over: reporting it would end every search
  // there and hide all the objects after it. Reading it through a handle
  // still reports it. So is an object gone from the card since the search
  // began (this application or another destroyed it).
  for (size_t step = 0; step < kMaxWalkSteps; ++step) {
    at = NextKey(slot, at);
    if (at.id == 0) return CKR_OK;  // the end: no result line
    TokenObject* object = FindTokenObject(slot, at);
    if (object != nullptr && Servable(*slot.token, *object)) {
      if (object->damaged) continue;
      *attributes = &object->attributes;
      *found = at;
      ZORAD_TRACE(trace::kOperations, "SeekTokenObject: 0\n");
      return CKR_OK;
    }
    bool damaged = false;
    const CK_RV rv = ReadFresh(slot, at, object, damaged);
    if (rv == CKR_OK) {
      *attributes = &object->attributes;
      *found = at;
      ZORAD_TRACE(trace::kOperations, "SeekTokenObject: 0\n");
      return CKR_OK;
    }
    if (rv == kToRead.whenGone) {
      ZORAD_TRACE(trace::kOperations, "SeekTokenObject: %08x gone, passed over\n", at.id);
      continue;
    }
    if (!damaged) return Traced("SeekTokenObject", rv);
    ZORAD_TRACE(trace::kOperations, "SeekTokenObject: %08x damaged, passed over\n", at.id);
  }
  return Traced("SeekTokenObject", CKR_FUNCTION_FAILED);
}

}  // namespace zorad::store
