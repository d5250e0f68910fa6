// Deleting a token object. In one reader transaction: the object confirmed
// on the card (ConfirmTokenObject: the card's identity, the area's table,
// the object found again when another process moved it), then for a private key its public partner unlinked
// and its key slot regenerated, then the table written without the object,
// and last its freed blocks erased.
//
// The table goes to the card before the blocks are erased: a deletion cut
// short in between leaves unlisted blocks with old content, which nothing
// reads. Erasing first would leave a listed object with a zeroed header,
// and that makes every object of the area unreadable.
#include "store/object_delete.h"

#include <new>
#include <optional>

#include "card/area.h"
#include "card/area_select.h"
#include "card/token.h"
#include "card/token_transaction.h"
#include "store/key_slot.h"
#include "store/object_confirm.h"
#include "store/object_maps.h"
#include "store/object_record.h"
#include "store/object_refresh.h"
#include "store/object_search.h"
#include "store/template_summary.h"
#include "store/toat.h"
#include "trace/trace.h"

namespace zorad::store {
namespace {

CK_RV Failed(CK_RV rv) {
  ZORAD_TRACE(trace::kOperations, "DeleteTokenObject: %x\n", static_cast<unsigned>(rv));
  return rv;
}

// The object's class: from the attributes held in memory, or read from the
// card when they were never loaded, so that a private key is always known.
CK_RV ClassOf(slot::Slot& slot, TokenObject& object, uint32_t& objectClass) {
  if (!object.attributesRead) {
    const CK_RV rv = ReadTokenObjectAttributes(slot, object);
    if (rv != CKR_OK) return rv;
  }
  objectClass = SummarizeAttributes(object.attributes).objectClass;
  return CKR_OK;
}

// A private key's partner: the first other object of its area, in id order,
// that names the same key slot.
TokenObject* PartnerOf(ObjectMap& objects, const TokenObject& key) {
  for (auto& [id, other] : objects) {
    if (&other != &key && other.toh.keyRef == key.toh.keyRef) return &other;
  }
  return nullptr;
}

// The key's partner as the card holds it now. Its header is read again
// first: another process may have relabelled or moved it since the map was
// read, and a header written from the stale copy would undo that change and
// leave the record failing its checksum for good. When it changed (or its
// old place no longer holds a header), the area's map is read again and the
// key and its partner are found anew.
CK_RV FreshPartner(slot::Slot& slot, bool isPrivate, uint32_t keyId, TokenObject*& key,
                   TokenObject*& partner) {
  ObjectMap& objects = MapsOf(*slot.token).ObjectsOf(card::AreaOf(isPrivate));
  partner = PartnerOf(objects, *key);
  if (!partner) return CKR_OK;
  bool changed = false;
  CK_RV rv = RereadTokenObjectHeader(slot, *partner, changed);
  if (rv == CKR_OK && !changed) return CKR_OK;
  if (rv != CKR_OK && rv != CKR_TOKEN_NOT_RECOGNIZED) return rv;  // the read itself failed
  rv = RefreshTokenObjects(slot);
  if (rv != CKR_OK) return rv;
  const auto it = objects.find(keyId);
  if (it == objects.end()) return CKR_OBJECT_HANDLE_INVALID;
  key = &it->second;
  partner = PartnerOf(objects, *key);
  return CKR_OK;
}

// Unlinks the partner and replaces the key in the card slot by a fresh one.
CK_RV RetireKey(slot::Slot& slot, bool isPrivate, uint32_t keyId, TokenObject*& key,
                std::optional<uint32_t>& partnerId) {
  TokenObject* partner = nullptr;
  CK_RV rv = FreshPartner(slot, isPrivate, keyId, key, partner);
  if (rv != CKR_OK) return rv;
  if (partner) {
    const uint8_t keyRef = partner->toh.keyRef;
    partner->toh.keyRef = 0;
    rv = UpdateTokenObjectHeader(slot, *partner);
    if (rv != CKR_OK) {
      partner->toh.keyRef = keyRef;
      return rv;
    }
    partnerId = partner->toh.id;
  }
  rv = GenerateKeyPairInSlot(slot, key->toh.keyRef);
  if (rv == CKR_OK) rv = card::SelectAreaFile(slot, isPrivate);
  return rv;
}

CK_RV RemoveFromCard(slot::Slot& slot, const ObjectKey& key, std::optional<uint32_t>& partnerId) {
  card::Token& token = *slot.token;
  const bool isPrivate = key.area == card::Area::kPrivate;
  const Confirmed found = ConfirmTokenObject(slot, key, kToDelete);
  if (found.rv != CKR_OK) return found.rv;
  TokenObject* object = found.object;
  std::optional<card::AllocationTable> copy;
  try {
    copy = *token.objects.toat();
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  }
  const card::AllocationTable& previous = *copy;
  const auto firstBlock = previous.Layout().BlockAt(object->offs);
  if (!firstBlock) return CKR_GENERAL_ERROR;
  const uint8_t ni = previous.Entries()[*firstBlock];
  uint32_t objectClass = 0;
  CK_RV rv = ClassOf(slot, *object, objectClass);
  // A private key without a key reference has no slot to regenerate.
  if (rv == CKR_OK && objectClass == CKO_PRIVATE_KEY && object->toh.keyRef != 0) {
    rv = RetireKey(slot, isPrivate, key.id, object, partnerId);
  }
  if (rv == CKR_OK) rv = DeleteObjectFromTOAT(token, ni);
  if (rv == CKR_OK) rv = card::UpdateTOAT(slot);
  if (rv != CKR_OK) return rv;
  MapsOf(token).ObjectsOf(key.area).erase(key.id);
  // The object is gone from the card; blocks left unerased are unlisted.
  if (card::ClearBlocksByTOAT(slot, previous) != CKR_OK) {
    ZORAD_TRACE(trace::kSteps, "DeleteTokenObject: freed blocks not all erased\n");
  }
  return CKR_OK;
}

}  // namespace

CK_RV DeleteTokenObject(slot::Slot& slot, const ObjectKey& key, uint32_t* partnerId) {
  ZORAD_TRACE(trace::kOperations, "DeleteTokenObject\n");
  if (!slot.token || !slot.reader) return Failed(CKR_FUNCTION_FAILED);
  if (slot.token->objects.objectsStale) return Failed(CKR_DEVICE_ERROR);
  if (!FindTokenObject(slot, key)) return Failed(CKR_OBJECT_HANDLE_INVALID);
  card::TokenTransaction transaction(slot);
  if (transaction.BeginAndSelect(CKR_FUNCTION_FAILED) != CKR_OK) {
    return Failed(CKR_FUNCTION_FAILED);
  }
  std::optional<uint32_t> partner;
  const CK_RV reason = RemoveFromCard(slot, key, partner);
  // An object another process deleted, or a login the card ended, is no
  // fault of the card: nothing was written.
  if (reason == kToDelete.whenGone || reason == CKR_USER_NOT_LOGGED_IN) return Failed(reason);
  if (reason != CKR_OK) {
    slot.token->objects.objectsStale = true;
    transaction.End();
    ZORAD_TRACE(trace::kOperations, "DeleteTokenObject: %x (rv: %x)\n",
                static_cast<unsigned>(CKR_DEVICE_ERROR), static_cast<unsigned>(reason));
    return CKR_DEVICE_ERROR;
  }
  if (partner && partnerId) *partnerId = *partner;
  if (transaction.End() != CKR_OK) return Failed(CKR_FUNCTION_FAILED);
  ZORAD_TRACE(trace::kOperations, "DeleteTokenObject: 0\n");
  return CKR_OK;
}

}  // namespace zorad::store
