// The token's cache of its objects: the current area, its allocation table
// and the object maps of both areas.
#pragma once

#include <cstdint>

namespace zorad::store {

struct ObjectCache {
  // Set while the cached tables and object maps may differ from the card;
  // creating, deleting, changing, signing and verifying refuse to start.
  bool objectsStale = true;
  // Set once the object lists have been read.
  bool objectListRead = false;
};

}  // namespace zorad::store
