#include "store/object_confirm.h"

#include "card/area_select.h"
#include "card/token.h"
#include "card/token_identity.h"
#include "store/object_record.h"
#include "store/object_refresh.h"
#include "store/object_search.h"
#include "trace/trace.h"

namespace zorad::store {
namespace {

// Whether the card holds the object's record where the cache says: the
// fresh table lists a record starting at its offset and the header there
// carries its id. A header another process rewrote in place is taken over
// (and the attributes read from the old one dropped). A read the card
// refuses is the read's failure; a header that fails its checksum counts
// as no record of the object.
CK_RV StillInPlace(slot::Slot& slot, uint32_t id, TokenObject& object, bool& inPlace) {
  inPlace = false;
  const auto& table = slot.token->objects.toat();
  if (!table || !table->BlocksOf(object.offs)) return CKR_OK;
  TokenObjectHeader fresh;
  const CK_RV rv = ReadTokenObjectHeader(slot, object.offs, fresh);
  if (rv == CKR_TOKEN_NOT_RECOGNIZED) return CKR_OK;
  if (rv != CKR_OK) return rv;
  if (fresh.id != id) return CKR_OK;
  if (fresh != object.toh) {
    ZORAD_TRACE(trace::kSteps, "...object %08x rewritten on the card\n", id);
    object.toh = fresh;
    object.ForgetBody();
  }
  inPlace = true;
  return CKR_OK;
}

// The object's place changed: the area's objects are read again (the area
// is selected) and the object is looked for by its id.
CK_RV FindAgain(slot::Slot& slot, const ObjectKey& key, TokenObject*& object) {
  ZORAD_TRACE(trace::kSteps, "...object %08x not where it was: area read again\n", key.id);
  object = nullptr;
  const CK_RV rv = RefreshTokenObjects(slot);
  if (rv != CKR_OK) return rv;
  object = FindTokenObject(slot, key);
  return CKR_OK;
}

}  // namespace

Confirmed ConfirmTokenObject(slot::Slot& slot, const ObjectKey& key, const ConfirmPolicy& policy) {
  Confirmed c;
  const bool isPrivate = key.area == card::Area::kPrivate;
  if (!slot.token || !slot.reader) {
    c.rv = CKR_FUNCTION_FAILED;
    return c;
  }
  if (isPrivate && slot.loginState != card::kUser) {
    c.rv = CKR_USER_NOT_LOGGED_IN;
    return c;
  }
  TokenObject* object = FindTokenObject(slot, key);
  if (object == nullptr) {
    c.rv = policy.whenGone;
    return c;
  }
  c.rv = card::IsTheSameToken(slot);
  if (c.rv == CKR_OK) c.rv = card::SelectArea(slot, isPrivate);
  bool inPlace = false;
  if (c.rv == CKR_OK) c.rv = StillInPlace(slot, key.id, *object, inPlace);
  if (c.rv == CKR_OK && !inPlace) c.rv = FindAgain(slot, key, object);
  if (c.rv != CKR_OK) return c;
  if (object == nullptr) {
    c.rv = policy.whenGone;
    return c;
  }
  // The body is read again only when the record changed since it was read.
  if (policy.readAttributes && !object->attributesRead) {
    c.rv = ReadTokenObjectAttributes(slot, *object, &c.damaged);
  }
  if (c.rv == CKR_OK) c.object = object;
  return c;
}

}  // namespace zorad::store
