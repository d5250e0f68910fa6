#include "store/token_refresh.h"

#include "card/area_select.h"
#include "card/token.h"
#include "card/token_identity.h"
#include "card/token_transaction.h"
#include "reader/reader.h"
#include "slot/slot_token.h"
#include "store/object_maps.h"
#include "store/object_refresh.h"
#include "trace/trace.h"

namespace zorad::store {
namespace {

// Selects one area and rebuilds its object map and free memory.
CK_RV RefreshArea(slot::Slot& slot, bool isPrivate, uint32_t& freeMemory, bool& changed) {
  const CK_RV rv = card::SelectArea(slot, isPrivate, &changed);
  if (rv != CKR_OK) return rv;
  return RefreshTokenObjects(slot, &freeMemory);
}

CK_RV RefreshAreas(slot::Slot& slot, card::Token& token, bool* changed) {
  bool publicChanged = false;
  CK_RV rv = RefreshArea(slot, false, token.freePublicMemory, publicChanged);
  if (rv != CKR_OK) return rv;
  if (changed != nullptr) *changed = publicChanged;
  if (slot.loginState != card::kUser) {
    // Out of sight without the login (also after a card reset ended it).
    MapsOf(token).privateObjects.clear();
    return CKR_OK;
  }
  bool privateChanged = false;
  rv = RefreshArea(slot, true, token.freePrivateMemory, privateChanged);
  if (rv != CKR_OK) return rv;
  if (changed != nullptr && privateChanged) *changed = true;
  return CKR_OK;
}

CK_RV Failed(CK_RV rv) {
  ZORAD_TRACE(trace::kOperations, "RefreshToken: %x\n", static_cast<unsigned>(rv));
  return rv;
}

CK_RV PrepareOnce(slot::Slot& slot) {
  const CK_RV attached = slot::AttachTokenForSession(slot);
  if (attached != CKR_OK) return attached;
  const bool ready = IsTokenObjectListRead(slot) && slot::ConnectionStillUsable(slot);
  const CK_RV rv = ready ? CKR_OK : RefreshToken(slot);
  if (rv != CKR_OK) return rv;
  slot::KeepTokenForSession(slot);
  return CKR_OK;
}

}  // namespace

bool IsTokenObjectListRead(const slot::Slot& slot) {
  const bool read = card::IsTokenRead(slot);
  ZORAD_TRACE(trace::kOperations, "IsTokenRead: %x\n", read ? 1u : 0u);
  const ObjectMaps* maps = read ? FindMaps(*slot.token) : nullptr;
  const bool listRead = maps != nullptr && maps->objectListRead;
  ZORAD_TRACE(trace::kOperations, "IsTokenObjectListRead: %x\n", listRead ? 1u : 0u);
  return listRead;
}

CK_RV RefreshToken(slot::Slot& slot, bool* changed) {
  ZORAD_TRACE(trace::kOperations, "RefreshToken\n");
  if (!slot.token) return Failed(CKR_FUNCTION_FAILED);
  card::Token& token = *slot.token;
  token.objects.objectsStale = true;
  card::TokenTransaction transaction(slot);
  CK_RV rv = transaction.BeginAndSelect(CKR_FUNCTION_FAILED);
  if (rv != CKR_OK) return Failed(rv);
  rv = RefreshAreas(slot, token, changed);
  if (rv != CKR_OK) {
    transaction.End();
    return Failed(rv);
  }
  if (transaction.End() != CKR_OK) return Failed(CKR_FUNCTION_FAILED);
  token.objects.objectsStale = false;
  MapsOf(token).objectListRead = true;
  return CKR_OK;
}

CK_RV RefreshTokenSelected(slot::Slot& slot, bool* changed) {
  ZORAD_TRACE(trace::kOperations, "RefreshToken\n");
  if (!slot.token) return Failed(CKR_FUNCTION_FAILED);
  card::Token& token = *slot.token;
  token.objects.objectsStale = true;
  const CK_RV rv = RefreshAreas(slot, token, changed);
  if (rv != CKR_OK) return Failed(rv);
  token.objects.objectsStale = false;
  MapsOf(token).objectListRead = true;
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
