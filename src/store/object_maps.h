// The store's part of a token's object cache: the object maps of both
// areas, with what was read of each record, kept between calls. The token
// owns it beside the card layer's part (the tables and the current area);
// the store creates it with its first use.
#pragma once

#include "card/object_cache.h"
#include "card/token.h"
#include "store/token_object.h"

namespace zorad::store {

struct ObjectMaps final : card::ObjectStorePart {
  ObjectMap publicObjects;
  ObjectMap privateObjects;

  ObjectMap& ObjectsOf(card::Area area) {
    return area == card::Area::kPrivate ? privateObjects : publicObjects;
  }
};

// When the user's login ends: the private objects other than keys leave
// the cache, their values wiped (a private data object's value stays in
// memory no longer than the login). Keys stay, to be checked at the first
// search after the next login: their records hold no secret (a private
// key's value lives in its key slot only), and reading them again, public
// key values included, is most of what a new login would cost.
void ForgetPrivateValues(ObjectMaps& maps);

// The token's object maps, made empty with the first use.
ObjectMaps& MapsOf(card::Token& token);

// The token's object maps when they were ever made, else null.
const ObjectMaps* FindMaps(const card::Token& token);

// The current area's map; null when no area was selected.
ObjectMap* CurrentObjects(card::Token& token);

}  // namespace zorad::store
