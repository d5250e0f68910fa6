#include "session/object_table.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <tuple>

#include "session/attribute_values.h"

namespace zorad::session {
namespace {

ObjectMap g_objects;
uint32_t g_nextObjectHandle = 0;

// The token object entries by slot, area, card id and handle: a search
// finds the handle of each token object it meets without walking the whole
// table, which may hold many session objects.
using TokenObjectKey = std::tuple<uint32_t, card::Area, uint32_t, uint32_t>;
std::set<TokenObjectKey> g_tokenObjects;

TokenObjectKey IndexKey(uint32_t handle, const ObjectEntry& entry) {
  return {entry.slotId, entry.tokenObject.area, entry.tokenObject.id, handle};
}

void Index(uint32_t handle, const ObjectEntry& entry) {
  if (entry.tokenObject.id != 0) g_tokenObjects.insert(IndexKey(handle, entry));
}

// Before an entry goes: a session key's value is wiped with it.
void Unindex(uint32_t handle, ObjectEntry& entry) {
  g_tokenObjects.erase(IndexKey(handle, entry));
  store::WipeAttributeValues(entry.attributes);
}

std::optional<uint32_t> TableKey(CK_OBJECT_HANDLE handle) {
  if (handle == 0 || handle > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<uint32_t>(handle);
}

uint32_t NextFreeHandle() {
  uint32_t candidate = g_nextObjectHandle + 1;
  while (candidate == 0 || g_objects.count(candidate) != 0) ++candidate;
  g_nextObjectHandle = candidate;
  return candidate;
}

uint32_t AddEntry(ObjectEntry entry) {
  const uint32_t handle = NextFreeHandle();
  const auto placed = g_objects.emplace(handle, std::move(entry)).first;
  Index(handle, placed->second);
  return handle;
}

template <typename Predicate>
void EraseEntriesWhere(Predicate doomed) {
  for (auto it = g_objects.begin(); it != g_objects.end();) {
    if (!doomed(it->second)) {
      ++it;
      continue;
    }
    Unindex(it->first, it->second);
    it = g_objects.erase(it);
  }
}

}  // namespace

ObjectMap& Objects() { return g_objects; }

uint32_t NewObject(uint32_t owner, uint32_t slotId, const store::AttributeList& attributes) {
  ObjectEntry entry;
  entry.owner = owner;
  entry.attributes = attributes;
  entry.isPrivate = AttributeIsTrue(attributes, CKA_PRIVATE) ? 1 : 0;
  entry.slotId = slotId;
  return AddEntry(std::move(entry));
}

uint32_t NewTokenObjectHandle(uint32_t slotId, const store::ObjectKey& key,
                              const store::AttributeList& attributes) {
  ObjectEntry entry;
  const bool inPrivateArea = key.area == card::Area::kPrivate;
  entry.isPrivate = AttributeIsTrue(attributes, CKA_PRIVATE) || inPrivateArea ? 1 : 0;
  entry.tokenObject = key;
  entry.slotId = slotId;
  return AddEntry(std::move(entry));
}

ObjectEntry* FindObjectEntry(CK_OBJECT_HANDLE handle) {
  const auto key = TableKey(handle);
  if (!key) return nullptr;
  const auto it = g_objects.find(*key);
  return it == g_objects.end() ? nullptr : &it->second;
}

uint32_t FindTokenObjectHandle(uint32_t slotId, const store::ObjectKey& key) {
  if (key.id == 0) return 0;
  // The lowest handle of the entries with this slot and key.
  const auto it = g_tokenObjects.lower_bound({slotId, key.area, key.id, 0});
  if (it == g_tokenObjects.end() || std::get<0>(*it) != slotId || std::get<1>(*it) != key.area ||
      std::get<2>(*it) != key.id) {
    return 0;
  }
  return std::get<3>(*it);
}

CK_RV DestroyObjectEntry(CK_OBJECT_HANDLE handle) {
  const auto key = TableKey(handle);
  const auto it = key ? g_objects.find(*key) : g_objects.end();
  if (it == g_objects.end()) return CKR_OBJECT_HANDLE_INVALID;
  Unindex(it->first, it->second);
  g_objects.erase(it);
  return CKR_OK;
}

void DestroySessionObjects(uint32_t sessionHandle) {
  if (sessionHandle == 0) return;
  EraseEntriesWhere([&](const ObjectEntry& e) { return e.owner == sessionHandle; });
}

void DestroyPrivateObjects(uint32_t slotId) {
  EraseEntriesWhere([&](const ObjectEntry& e) { return e.isPrivate != 0 && e.slotId == slotId; });
}

void DestroySlotObjects(uint32_t slotId) {
  EraseEntriesWhere([&](const ObjectEntry& e) { return e.slotId == slotId; });
}

void DestroyVanishedTokenObjects(uint32_t slotId,
                                 const std::function<bool(const store::ObjectKey&)>& gone) {
  auto it = g_tokenObjects.lower_bound({slotId, card::Area::kPublic, 0, 0});
  while (it != g_tokenObjects.end() && std::get<0>(*it) == slotId) {
    const auto& [slot, area, id, handle] = *it;
    if (!gone(store::ObjectKey{area, id})) {
      ++it;
      continue;
    }
    const uint32_t doomed = handle;
    it = g_tokenObjects.erase(it);
    g_objects.erase(doomed);
  }
}

CK_RV SetAttributeValues(CK_OBJECT_HANDLE handle, const store::AttributeList& values) {
  ObjectEntry* entry = FindObjectEntry(handle);
  if (entry == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  for (const auto& [type, value] : values) entry->attributes[type] = value;
  return CKR_OK;
}

}  // namespace zorad::session
