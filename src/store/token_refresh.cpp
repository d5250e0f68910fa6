#include "store/token_refresh.h"

#include "card/area_select.h"
#include "card/token.h"
#include "card/token_identity.h"
#include "card/token_transaction.h"
#include "reader/reader.h"
#include "slot/slot_token.h"
#include "store/object_maps.h"
#include "store/object_record.h"
#include "store/object_refresh.h"
#include "trace/trace.h"

namespace zorad::store {
namespace {

// Reads the bodies the cache lacks (records new or changed since they were
// last read). A record the card hands out whole that fails its checks is
// marked damaged and passed over; any other failure is the refresh's.
CK_RV ReadMissingBodies(slot::Slot& slot, ObjectMap& objects) {
  for (auto& [id, object] : objects) {
    if (object.attributesRead || object.damaged) continue;
    const bool wasStale = slot.token->objects.objectsStale;
    bool damaged = false;
    const CK_RV rv = ReadTokenObjectAttributes(slot, object, &damaged);
    if (rv == CKR_OK) continue;
    if (!damaged) return rv;
    object.damaged = true;
    slot.token->objects.objectsStale = wasStale;  // the cache still matches the card
  }
  return CKR_OK;
}

// Selects one area and brings its object map and free memory in line with
// the card; with `bodies`, also what the map lacks of the records.
CK_RV RefreshArea(slot::Slot& slot, bool isPrivate, Bodies bodies, bool& changed) {
  CK_RV rv = card::SelectArea(slot, isPrivate, &changed);
  if (rv == CKR_OK) rv = RefreshTokenObjects(slot);
  if (rv == CKR_OK && bodies == Bodies::kRead)
    rv = ReadMissingBodies(slot, *CurrentObjects(*slot.token));
  return rv;
}

CK_RV RefreshAreas(slot::Slot& slot, card::Token& token, Bodies bodies, bool* changed) {
  bool publicChanged = false;
  CK_RV rv = RefreshArea(slot, false, bodies, publicChanged);
  if (rv != CKR_OK) return rv;
  if (changed != nullptr) *changed = publicChanged;
  if (slot.loginState != card::kUser) {
    // Out of sight without the login (also after a card reset ended it).
    ForgetPrivateValues(MapsOf(token));
    return CKR_OK;
  }
  bool privateChanged = false;
  rv = RefreshArea(slot, true, bodies, privateChanged);
  if (rv != CKR_OK) return rv;
  if (changed != nullptr && privateChanged) *changed = true;
  return CKR_OK;
}

CK_RV Failed(CK_RV rv) {
  ZORAD_TRACE(trace::kOperations, "RefreshToken: %x\n", static_cast<unsigned>(rv));
  return rv;
}

// The object lists of an initialised token are read at the first search:
// a session needs only the token, and a card that answers (one that another
// application reset is taken up again, and checked, here). Any other card
// must show a token whose areas can be read (a chip without the
// application cannot).
CK_RV PrepareOnce(slot::Slot& slot) {
  const CK_RV attached = slot::AttachTokenForSession(slot);
  if (attached != CKR_OK) return attached;
  if (card::NoticeCardEvents(slot) != CKR_OK) return CKR_FUNCTION_FAILED;
  const bool initialised = slot.token && (slot.token->tokenFlags & CKF_TOKEN_INITIALIZED) != 0;
  if (!initialised) {
    const CK_RV rv = RefreshToken(slot);
    if (rv != CKR_OK) return rv;
  }
  slot::KeepTokenForSession(slot);
  return CKR_OK;
}

}  // namespace

CK_RV RefreshToken(slot::Slot& slot, bool* changed, Bodies bodies) {
  ZORAD_TRACE(trace::kOperations, "RefreshToken\n");
  if (!slot.token) return Failed(CKR_FUNCTION_FAILED);
  card::Token& token = *slot.token;
  token.objects.objectsStale = true;
  token.objects.proven = false;
  card::TokenTransaction transaction(slot);
  CK_RV rv = transaction.BeginAndSelect(CKR_FUNCTION_FAILED);
  if (rv != CKR_OK) return Failed(rv);
  rv = RefreshAreas(slot, token, bodies, changed);
  if (rv != CKR_OK) {
    transaction.End();
    return Failed(rv);
  }
  if (transaction.End() != CKR_OK) return Failed(CKR_FUNCTION_FAILED);
  token.objects.objectsStale = false;
  token.objects.proven = bodies == Bodies::kRead;
  return CKR_OK;
}

CK_RV PrepareTokenForSession(slot::Slot& slot) {
  CK_RV rv = PrepareOnce(slot);
  // A card pulled and put back before the module looked shows only as a
  // connection that answers that its card was removed: the card in the
  // reader now is taken up as newly inserted.
  if (rv != CKR_OK && reader::CardRemovalRecorded(slot.reader.get())) rv = PrepareOnce(slot);
  return rv;
}

}  // namespace zorad::store
