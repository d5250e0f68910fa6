// The token's cache of its objects. This layer keeps the part that follows
// the card's area files: the area selected last, its allocation table and
// whether the cache may differ from the card. The object store keeps its
// maps of the objects beside it, in a part it creates and this layer only
// owns.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "card/allocation_table.h"

namespace zorad::card {

enum class Area : uint8_t { kPublic, kPrivate };

// The object store's part of the cache. The store derives its own type from
// this and creates it; the cache holds it so that it goes with the token,
// and never looks inside.
struct ObjectStorePart {
  virtual ~ObjectStorePart() = default;
};

struct ObjectCache {
  // Set while the cached tables and object maps may differ from the card;
  // creating, deleting, changing, signing and verifying refuse to start.
  bool objectsStale = true;

  // The area selected last, and its table as read in the current store
  // operation. The table is held only while the area's descriptor passed
  // its checks; table operations without it fail.
  std::optional<Area> currentArea;
  std::optional<AllocationTable> toat;

  std::unique_ptr<ObjectStorePart> storePart;
};

}  // namespace zorad::card
