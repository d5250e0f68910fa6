// Creating token objects. The templates are checked first (creation_check),
// then, in one reader transaction: the card's identity, the area, random
// candidate identifiers, the area's objects re-read (identifiers and key
// references in use, free space), blocks allocated in memory, the key slot
// written or generated, the records written, and the table last.
#include "store/object_create.h"

#include <algorithm>
#include <array>

#include "card/apdu.h"
#include "card/area.h"
#include "card/area_select.h"
#include "card/byte_order.h"
#include "card/secure_buffer.h"
#include "card/token.h"
#include "card/token_identity.h"
#include "card/token_transaction.h"
#include "reader/reader.h"
#include "store/creation_check.h"
#include "store/creation_context.h"
#include "store/key_slot.h"
#include "store/object_maps.h"
#include "store/object_record.h"
#include "store/object_refresh.h"
#include "store/template_summary.h"
#include "store/toat.h"
#include "trace/trace.h"

namespace zorad::store {
namespace {

constexpr size_t kChallengeLength = kIdCandidates * 4;

struct Creation {
  CreationPlan plan;
  bool isPrivate = false;
  CreationContext context;
  TokenObject first;
  TokenObject second;  // key pair only
};

bool NeedsKeyRef(CreationPath path) { return path != CreationPath::kPlainObject; }

CK_RV Failed(CK_RV rv) {
  ZORAD_TRACE(trace::kOperations, "CreateTokenObject: %x\n", static_cast<unsigned>(rv));
  return rv;
}

// Key references are card-wide: those used by the objects of the other area
// count too (CheckRequest makes sure the private area can be read).
CK_RV NoteOtherAreaKeyRefs(slot::Slot& slot, Creation& c) {
  if (!NeedsKeyRef(c.plan.path)) return CKR_OK;
  const bool otherIsPrivate = !c.isPrivate;
  if (card::DescriptorOf(*slot.token, card::AreaOf(otherIsPrivate)).blockCount == 0) return CKR_OK;
  const CK_RV rv = card::SelectArea(slot, otherIsPrivate);
  if (rv != CKR_OK) return rv;
  return RefreshTokenObjects(slot, nullptr,
                             [&](const TokenObject& o) { return NoteUsedKeyRef(o, c.context); });
}

CK_RV DrawCandidates(slot::Slot& slot, CreationContext& context) {
  std::array<uint8_t, kChallengeLength> random{};
  if (card::APDU_GetChallenge(slot.reader.get(), random.data(), random.size()) != reader::RDR_OK) {
    return CKR_FUNCTION_FAILED;
  }
  for (size_t i = 0; i < kIdCandidates; ++i) context.candidates[i] = card::LoadBE32(&random[4 * i]);
  card::SecureWipe(random.data(), random.size());
  return CKR_OK;
}

size_t RecordSize(const TemplateSummary& s) { return s.bodySize + card::kRecordHeaderSize; }

// Identifiers, key reference and blocks, all in memory.
CK_RV Choose(card::Token& token, Creation& c) {
  const auto firstId = NextCandidate(c.context);
  if (!firstId) return CKR_FUNCTION_FAILED;
  c.first.toh.id = firstId->id;
  if (c.plan.keyPair) {
    // Two objects of one area must never share an identifier.
    std::replace(c.context.candidates.begin(), c.context.candidates.end(), firstId->id, 0u);
    const auto secondId = NextCandidate(c.context, firstId->position);
    if (!secondId) return CKR_FUNCTION_FAILED;
    c.second.toh.id = secondId->id;
  }
  if (NeedsKeyRef(c.plan.path)) {
    const card::TokenInfoFile& info = token.info;
    const bool publicRange = c.plan.path == CreationPath::kPublicKeyImport;
    const auto keyRef =
        publicRange ? FreeKeyRef(c.context, info.publicKeyRefFirst, info.publicKeyRefLast)
                    : FreeKeyRef(c.context, info.privateKeyRefFirst, info.privateKeyRefLast);
    if (!keyRef) return CKR_DEVICE_MEMORY;
    c.first.toh.keyRef = *keyRef;
    c.second.toh.keyRef = *keyRef;
  }
  const card::AreaLayout& layout = token.objects.toat()->Layout();
  uint8_t ni = 0;
  uint16_t block = 0;
  CK_RV rv = CreateObjectInTOAT(token, uint32_t(RecordSize(c.plan.first)), ni, block);
  if (rv != CKR_OK) return rv;
  c.first.offs = layout.BlockOffset(block);
  if (!c.plan.keyPair) return CKR_OK;
  rv = CreateObjectInTOAT(token, uint32_t(RecordSize(c.plan.second)), ni, block);
  if (rv == CKR_OK) c.second.offs = layout.BlockOffset(block);
  return rv;
}

CK_RV WriteKeyMaterial(slot::Slot& slot, const Creation& c) {
  CK_RV rv = CKR_OK;
  switch (c.plan.path) {
    case CreationPath::kPlainObject:
      return CKR_OK;
    case CreationPath::kPublicKeyImport:
      rv = StorePublicKeyValue(slot, c.first.toh.keyRef, c.plan.first.value);
      break;
    case CreationPath::kPrivateKeyImport:
      rv = StorePrivateKeyValue(slot, c.first.toh.keyRef, c.plan.first.value);
      break;
    case CreationPath::kKeyPairGeneration:
      rv = GenerateKeyPairInSlot(slot, c.first.toh.keyRef);
      break;
  }
  if (rv != CKR_OK) return rv;
  return card::EnsureAreaFile(slot);  // the key command may have left another file current
}

// The object's attributes in memory: the template's, without a key value
// (key material lives in the key slot only).
void TakeAttributes(TokenObject& object, const AttributeList& from, bool isKey) {
  object.attributes = from;
  // A public key's value is read from its key slot when first asked for.
  object.attributesRead = SummarizeAttributes(from).objectClass != CKO_PUBLIC_KEY;
  if (!isKey) return;
  if (auto it = object.attributes.find(CKA_VALUE); it != object.attributes.end()) {
    card::SecureWipe(it->second.data(), it->second.size());
    object.attributes.erase(it);
  }
}

CK_RV Prepare(slot::Slot& slot, Creation& c) {
  CK_RV rv = NoteOtherAreaKeyRefs(slot, c);
  if (rv == CKR_OK) rv = card::SelectArea(slot, c.isPrivate);
  if (rv != CKR_OK) return rv;
  rv = DrawCandidates(slot, c.context);
  if (rv != CKR_OK) return rv;
  uint32_t freeSpace = 0;
  rv = RefreshTokenObjects(slot, &freeSpace,
                           [&](const TokenObject& o) { return NoteUsedIdAndKeyRef(o, c.context); });
  if (rv != CKR_OK) return CKR_FUNCTION_FAILED;
  size_t needed = RecordSize(c.plan.first);
  if (c.plan.keyPair) needed += RecordSize(c.plan.second);
  return freeSpace >= needed ? CKR_OK : CKR_DEVICE_MEMORY;
}

CK_RV WriteObjects(slot::Slot& slot, Creation& c, bool& tableSent) {
  CK_RV rv = WriteKeyMaterial(slot, c);
  if (rv == CKR_OK) rv = UpdateTokenObject(slot, c.first);
  if (rv == CKR_OK && c.plan.keyPair) rv = UpdateTokenObject(slot, c.second);
  if (rv != CKR_OK) return rv;
  tableSent = true;
  return card::UpdateTOAT(slot);  // only now do the objects exist
}

CK_RV CreateOnCard(slot::Slot& slot, card::TokenTransaction& transaction, Creation& c) {
  bool tableSent = false;
  if (transaction.Begin() != CKR_OK) return CKR_FUNCTION_FAILED;
  CK_RV rv = card::IsTheSameToken(slot);
  if (rv != CKR_OK) return rv;
  const auto selected = transaction.SelectApplication();
  if (selected != reader::RDR_OK) {
    return selected == reader::RDR_BAD_STATUS ? CKR_TOKEN_NOT_RECOGNIZED : CKR_FUNCTION_FAILED;
  }
  rv = Prepare(slot, c);
  if (rv != CKR_OK) return rv;
  // Until the table is sent the card's table is the one just read; a
  // failure before then puts it back, so that the next operation on the
  // area does not take this one's allocations for another process's change.
  const card::AllocationTable asRead = *slot.token->objects.toat();
  rv = Choose(*slot.token, c);
  if (rv == CKR_OK) rv = WriteObjects(slot, c, tableSent);
  if (rv != CKR_OK && !tableSent) *slot.token->objects.toat() = asRead;
  return rv;
}

CK_RV CheckRequest(slot::Slot& slot, const ObjectKey* firstId, const AttributeList& first,
                   const ObjectKey* secondId, const AttributeList* second, Creation& c) {
  if (!slot.token || !slot.reader) return CKR_FUNCTION_FAILED;
  if (!firstId) return CKR_GENERAL_ERROR;
  if (slot.token->objects.objectsStale) return CKR_DEVICE_ERROR;
  if (secondId && !second) return CKR_GENERAL_ERROR;
  const bool keyPair = secondId && second;
  const CK_RV rv = CheckCreationTemplates(*slot.token, first, second, keyPair, c.plan);
  if (rv != CKR_OK) return rv;
  // A key reference must be free on the whole card; without the user's
  // login the private area's objects, and the references they hold, are
  // out of sight, and a reference taken blind could overwrite a private key.
  const bool privateAreaUsed =
      card::DescriptorOf(*slot.token, card::Area::kPrivate).blockCount != 0;
  if (NeedsKeyRef(c.plan.path) && privateAreaUsed && slot.loginState != card::kUser) {
    return CKR_USER_NOT_LOGGED_IN;
  }
  return CKR_OK;
}

}  // namespace

CK_RV CreateTokenObject(slot::Slot& slot, ObjectKey* firstId, const AttributeList& first,
                        ObjectKey* secondId, const AttributeList* second) {
  ZORAD_TRACE(trace::kOperations, "CreateTokenObject\n");
  Creation c;
  CK_RV rv = CheckRequest(slot, firstId, first, secondId, second, c);
  if (rv != CKR_OK) return Failed(rv);
  c.isPrivate = c.plan.first.isPrivate;
  TakeAttributes(c.first, first, c.plan.first.isKey);
  if (c.plan.keyPair) TakeAttributes(c.second, *second, true);
  card::TokenTransaction transaction(slot);
  rv = CreateOnCard(slot, transaction, c);
  if (rv != CKR_OK) return Failed(rv);  // the transaction ends with its scope
  const card::Area area = card::AreaOf(c.isPrivate);
  ObjectMap& objects = MapsOf(*slot.token).ObjectsOf(area);
  const uint32_t newFirst = c.first.toh.id;
  const uint32_t newSecond = c.second.toh.id;
  objects.insert_or_assign(newFirst, std::move(c.first));
  *firstId = ObjectKey{area, newFirst};
  if (c.plan.keyPair) {
    objects.insert_or_assign(newSecond, std::move(c.second));
    *secondId = ObjectKey{area, newSecond};
  }
  if (transaction.End() != CKR_OK) return Failed(CKR_FUNCTION_FAILED);
  ZORAD_TRACE(trace::kOperations, "CreateTokenObject: 0\n");
  return CKR_OK;
}

}  // namespace zorad::store
