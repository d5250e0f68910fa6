#include "store/object_maps.h"

#include "store/template_summary.h"

namespace zorad::store {

// Only the store puts anything into the cache's store part, and only
// ObjectMaps.
ObjectMaps& MapsOf(card::Token& token) {
  auto& part = token.objects.storePart;
  if (!part) part = std::make_unique<ObjectMaps>();
  return static_cast<ObjectMaps&>(*part);
}

const ObjectMaps* FindMaps(const card::Token& token) {
  return static_cast<const ObjectMaps*>(token.objects.storePart.get());
}

void ForgetPrivateValues(ObjectMaps& maps) {
  for (auto it = maps.privateObjects.begin(); it != maps.privateObjects.end();) {
    TokenObject& object = it->second;
    if (SummarizeAttributes(object.attributes).isKey) {
      ++it;
      continue;
    }
    WipeAttributeValues(object.attributes);
    card::SecureWipe(object.bodyStart.data(), object.bodyStart.size());
    it = maps.privateObjects.erase(it);
  }
}

ObjectMap* CurrentObjects(card::Token& token) {
  const auto& area = token.objects.currentArea;
  return area ? &MapsOf(token).ObjectsOf(*area) : nullptr;
}

}  // namespace zorad::store
