#include "store/object_refresh.h"

#include <bitset>
#include <new>

#include "card/token.h"
#include "store/object_maps.h"
#include "store/object_record.h"
#include "trace/trace.h"

namespace zorad::store {
namespace {

struct Refresh {
  ObjectMap objects;
  uint32_t freeSpace = 0;
};

// Reads one object's header and adds it; the reason for a failure otherwise.
// The module never writes id 0, and 0 is the "no object" of every search:
// such a record is damaged and stays out of the map, so that it can neither
// end an enumeration nor hide the objects after it. Its blocks stay used and
// its key reference stays taken.
CK_RV AddObject(slot::Slot& slot, uint32_t offs, const ObjectVisitor& visitor, Refresh& out) {
  TokenObject object;
  object.offs = offs;
  const CK_RV rv = ReadTokenObjectHeader(slot, offs, object.toh);
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

CK_RV Collect(slot::Slot& slot, const ObjectVisitor& visitor, Refresh& out) {
  if (!slot.token->objects.toat || !slot.token->objects.currentArea) return CKR_GENERAL_ERROR;
  const card::AllocationTable& table = *slot.token->objects.toat;
  const card::AreaLayout& layout = table.Layout();
  const auto entries = table.Entries();
  std::bitset<256> met;
  out.freeSpace = layout.Capacity();
  for (size_t i = 0; i < entries.size(); ++i) {
    const uint8_t ni = entries[i];
    if (ni == 0) continue;
    if (!met.test(ni)) {
      const CK_RV rv = AddObject(slot, layout.BlockOffset(uint32_t(i)), visitor, out);
      if (rv != CKR_OK) return rv;
      met.set(ni);
    }
    // The layout keeps blockCount x blockSize within the capacity.
    out.freeSpace -= layout.BlockSize();
  }
  return CKR_OK;
}

// Objects whose record is unchanged (the same header in the same place)
// keep the attributes already read from it: deleting one of them later
// then knows its class without reading its body again.
void KeepAttributesRead(ObjectMap& previous, ObjectMap& fresh) {
  for (auto& [id, object] : fresh) {
    const auto it = previous.find(id);
    if (it != previous.end() && it->second.offs == object.offs && it->second.toh == object.toh) {
      object.attributes = std::move(it->second.attributes);
    }
  }
}

}  // namespace

CK_RV RefreshTokenObjects(slot::Slot& slot, uint32_t* freeSpace, const ObjectVisitor& visitor) {
  ZORAD_TRACE(trace::kOperations, "RefreshTokenObjects\n");
  if (!slot.token) return CKR_FUNCTION_FAILED;
  Refresh refresh;
  CK_RV reason;
  try {
    reason = Collect(slot, visitor, refresh);
  } catch (const std::bad_alloc&) {
    reason = CKR_HOST_MEMORY;
  }
  if (reason != CKR_OK) {
    slot.token->objects.objectsStale = true;
    ZORAD_TRACE(trace::kOperations, "RefreshTokenObjects: %x (rv:%x)\n",
                static_cast<unsigned>(CKR_FUNCTION_FAILED), static_cast<unsigned>(reason));
    return CKR_FUNCTION_FAILED;
  }
  ObjectMap& current = *CurrentObjects(*slot.token);
  KeepAttributesRead(current, refresh.objects);
  current = std::move(refresh.objects);
  if (freeSpace) *freeSpace = refresh.freeSpace;
  ZORAD_TRACE(trace::kOperations, "RefreshTokenObjects: 0\n");
  return CKR_OK;
}

}  // namespace zorad::store
