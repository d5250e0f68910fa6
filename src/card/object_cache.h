// The token's cache of its objects, kept between calls. This layer keeps
// the part that follows the card's area files: the allocation table of
// each area as last read or written, the area the current operation works
// on, and what the cache may be trusted for. The object store keeps its
// maps of the objects beside it, in a part it creates and this layer only
// owns. The cache goes with the token.
#pragma once

#include <array>
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

  // Set while the tables, object maps and attributes stand as a search
  // last found them on the card (and as this module changed them since):
  // only then are attribute reads answered without asking the card. A card
  // reset, a failed check or any failure clears it; the next search sets it.
  bool proven = false;

  // The area the current store operation works on.
  std::optional<Area> currentArea;
  // Each area's table as last read or written. A table is held only while
  // its area's descriptor passed its checks; table operations without it
  // fail.
  std::array<std::optional<AllocationTable>, 2> tables;

  // The current area's table; an empty one when no area is current.
  std::optional<AllocationTable>& toat() {
    return currentArea ? tables[static_cast<size_t>(*currentArea)] : none_;
  }
  const std::optional<AllocationTable>& toat() const {
    return currentArea ? tables[static_cast<size_t>(*currentArea)] : none_;
  }

  std::unique_ptr<ObjectStorePart> storePart;

 private:
  std::optional<AllocationTable> none_;
};

}  // namespace zorad::card
