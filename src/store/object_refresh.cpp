#include "store/object_refresh.h"

#include <bitset>
#include <new>

#include "card/token.h"
#include "store/object_maps.h"
#include "store/object_record.h"
#include "trace/trace.h"

namespace zorad::store {
namespace {

// What the table lists now: each object's place and header, and what was
// read of a record first seen.
struct Refresh {
  ObjectMap objects;
  uint32_t freeSpace = 0;
};

// The object the cache holds at `offs` with an intact header, or null.
const TokenObject* KnownAt(const ObjectMap& known, uint32_t offs) {
  for (const auto& [id, object] : known) {
    if (object.offs == offs) return &object;
  }
  return nullptr;
}

// Reads one object's header (with the start of its body when the cache
// does not know the record there yet) and adds it; the reason for a failure
// otherwise. The module never writes id 0, and 0 is the "no object" of
// every search: such a record is damaged and stays out of the map, so that
// it can neither end an enumeration nor hide the objects after it. Its
// blocks stay used and its key reference stays taken.
CK_RV AddObject(slot::Slot& slot, uint32_t offs, const ObjectMap& known,
                const ObjectVisitor& visitor, Refresh& out) {
  TokenObject object;
  object.offs = offs;
  const CK_RV rv = KnownAt(known, offs) ? ReadTokenObjectHeader(slot, offs, object.toh)
                                        : ReadTokenObjectStart(slot, object);
  if (rv != CKR_OK) return rv;
  if (visitor && !visitor(object)) return CKR_FUNCTION_FAILED;
  const uint32_t id = object.toh.id;
  if (id == 0) {
    ZORAD_TRACE(trace::kSteps, "RefreshTokenObjects: record with id 0 at %u passed over\n",
                static_cast<unsigned>(offs));
    return CKR_OK;
  }
  if (!out.objects.emplace(id, std::move(object)).second) return CKR_TOKEN_NOT_RECOGNIZED;
  return CKR_OK;
}

CK_RV Collect(slot::Slot& slot, const ObjectMap& known, const ObjectVisitor& visitor,
              Refresh& out) {
  if (!slot.token->objects.toat() || !slot.token->objects.currentArea) return CKR_GENERAL_ERROR;
  const card::AllocationTable& table = *slot.token->objects.toat();
  const card::AreaLayout& layout = table.Layout();
  const auto entries = table.Entries();
  std::bitset<256> met;
  out.freeSpace = layout.Capacity();
  for (size_t i = 0; i < entries.size(); ++i) {
    const uint8_t ni = entries[i];
    if (ni == 0) continue;
    if (!met.test(ni)) {
      const CK_RV rv = AddObject(slot, layout.BlockOffset(uint32_t(i)), known, visitor, out);
      if (rv != CKR_OK) return rv;
      met.set(ni);
    }
    // The layout keeps blockCount x blockSize within the capacity.
    out.freeSpace -= layout.BlockSize();
  }
  return CKR_OK;
}

// Brings the cached map in line with what the card lists, in place: an
// object whose record is unchanged (the same header in the same place)
// keeps what was read of it, and its entry stays where it is, so that
// what callers hold of it stays valid; a changed record forgets its body;
// objects gone from the card leave the map.
void Merge(ObjectMap& current, ObjectMap& fresh) {
  std::erase_if(current, [&](const auto& entry) { return !fresh.contains(entry.first); });
  for (auto& [id, object] : fresh) {
    auto [it, added] = current.try_emplace(id);
    TokenObject& held = it->second;
    if (!added && held.offs == object.offs && held.toh == object.toh) continue;
    held.ForgetBody();
    held.offs = object.offs;
    held.toh = object.toh;
    held.bodyStart = std::move(object.bodyStart);
  }
}

}  // namespace

CK_RV RefreshTokenObjects(slot::Slot& slot, uint32_t* freeSpace, const ObjectVisitor& visitor) {
  ZORAD_TRACE(trace::kOperations, "RefreshTokenObjects\n");
  if (!slot.token) return CKR_FUNCTION_FAILED;
  ObjectMap* current = CurrentObjects(*slot.token);
  if (current == nullptr) return CKR_FUNCTION_FAILED;
  Refresh refresh;
  CK_RV reason;
  try {
    reason = Collect(slot, *current, visitor, refresh);
    if (reason == CKR_OK) Merge(*current, refresh.objects);
  } catch (const std::bad_alloc&) {
    reason = CKR_HOST_MEMORY;
  }
  if (reason != CKR_OK) {
    slot.token->objects.objectsStale = true;
    slot.token->objects.proven = false;
    ZORAD_TRACE(trace::kOperations, "RefreshTokenObjects: %x (rv:%x)\n",
                static_cast<unsigned>(CKR_FUNCTION_FAILED), static_cast<unsigned>(reason));
    return CKR_FUNCTION_FAILED;
  }
  if (freeSpace) *freeSpace = refresh.freeSpace;
  ZORAD_TRACE(trace::kOperations, "RefreshTokenObjects: 0\n");
  return CKR_OK;
}

}  // namespace zorad::store
