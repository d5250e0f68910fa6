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

// The entries that carry a card id, by slot, card id and handle: a search
// finds the handle of each token object it meets without walking the whole
// table, which may hold many session objects.
using TokenObjectKey = std::tuple<uint32_t, uint32_t, uint32_t>;  // slot, card id, handle
std::set<TokenObjectKey> g_tokenObjects;

void Index(uint32_t handle, const ObjectEntry& entry) {
  if (entry.tokenObjectId != 0) g_tokenObjects.emplace(entry.slotId, entry.tokenObjectId, handle);
}

void Unindex(uint32_t handle, const ObjectEntry& entry) {
  g_tokenObjects.erase({entry.slotId, entry.tokenObjectId, handle});
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

uint32_t NewObjectHandle(uint32_t owner, uint32_t slotId, const store::AttributeList& attributes,
                         uint32_t tokenObjectId) {
  ObjectEntry entry;
  entry.owner = owner;
  entry.attributes = attributes;
  entry.isPrivate = AttributeIsTrue(attributes, CKA_PRIVATE) ? 1 : 0;
  entry.tokenObjectId = tokenObjectId;
  entry.slotId = slotId;
  const uint32_t handle = NextFreeHandle();
  const auto placed = g_objects.emplace(handle, std::move(entry)).first;
  Index(handle, placed->second);
  return handle;
}

uint32_t NewObject(uint32_t owner, uint32_t slotId, const store::AttributeList& attributes) {
  return NewObjectHandle(owner, slotId, attributes, 0);
}

ObjectEntry* FindObjectEntry(CK_OBJECT_HANDLE handle) {
  const auto key = TableKey(handle);
  if (!key) return nullptr;
  const auto it = g_objects.find(*key);
  return it == g_objects.end() ? nullptr : &it->second;
}

void SetTokenObjectId(CK_OBJECT_HANDLE handle, uint32_t tokenObjectId) {
  const auto key = TableKey(handle);
  const auto it = key ? g_objects.find(*key) : g_objects.end();
  if (it == g_objects.end()) return;
  Unindex(it->first, it->second);
  it->second.tokenObjectId = tokenObjectId;
  Index(it->first, it->second);
}

uint32_t FindTokenObjectHandle(uint32_t slotId, uint32_t tokenObjectId) {
  if (tokenObjectId == 0) return 0;
  // The lowest handle of the entries with this slot and card id.
  const auto it = g_tokenObjects.lower_bound({slotId, tokenObjectId, 0});
  if (it == g_tokenObjects.end() || std::get<0>(*it) != slotId ||
      std::get<1>(*it) != tokenObjectId) {
    return 0;
  }
  return std::get<2>(*it);
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

CK_RV GetObjectAttribute(CK_OBJECT_HANDLE handle, uint32_t type, void* buffer, size_t capacity,
                         size_t* length) {
  const ObjectEntry* entry = FindObjectEntry(handle);
  if (entry == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  const auto it = entry->attributes.find(type);
  if (it == entry->attributes.end()) return CKR_ATTRIBUTE_VALUE_INVALID;
  const size_t copied = std::min(capacity, it->second.size());
  if (copied != 0 && buffer != nullptr) std::memcpy(buffer, it->second.data(), copied);
  if (length != nullptr) *length = it->second.size();
  return CKR_OK;
}

CK_RV SetAttributeValues(CK_OBJECT_HANDLE handle, const store::AttributeList& values) {
  ObjectEntry* entry = FindObjectEntry(handle);
  if (entry == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  for (const auto& [type, value] : values) entry->attributes[type] = value;
  return CKR_OK;
}

}  // namespace zorad::session
