// The token's cache of its objects: the current area, its allocation table
// and the object maps of both areas.
#pragma once

#include <cstdint>
#include <optional>

#include "store/allocation_table.h"
#include "store/token_object.h"

namespace zorad::store {

enum class Area : uint8_t { kPublic, kPrivate };

struct ObjectCache {
  // Set while the cached tables and object maps may differ from the card;
  // creating, deleting, changing, signing and verifying refuse to start.
  bool objectsStale = true;
  // Set once the object lists have been read.
  bool objectListRead = false;

  // The area selected last, and its table as read in the current store
  // operation. The table is held only while the area's descriptor passed
  // its checks; table operations without it fail.
  std::optional<Area> currentArea;
  std::optional<AllocationTable> toat;

  ObjectMap publicObjects;
  ObjectMap privateObjects;

  ObjectMap& ObjectsOf(Area area) {
    return area == Area::kPrivate ? privateObjects : publicObjects;
  }
  // The current area's map; null when no area was selected.
  ObjectMap* CurrentObjects() { return currentArea ? &ObjectsOf(*currentArea) : nullptr; }
};

}  // namespace zorad::store
