// Rebuilding the current area's object map from the card.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/cryptoki.h"
#include "slot/slot.h"
#include "store/token_object.h"

namespace zorad::store {

// Called once per object found, with the object just read (header only);
// false stops the refresh with a failure.
using ObjectVisitor = std::function<bool(const TokenObject&)>;

// Reads the header of every object the current area's table lists (one
// read per object, at its first block; for a record the cache does not
// know there yet, the read brings the start of its body too) and, when all
// succeed and no id repeats, brings the area's object map in line with
// them in place: unchanged objects keep their attributes and their entries. `freeSpace`, when
// given, receives the area's free bytes: capacity minus the used blocks.
// A failure (CKR_FUNCTION_FAILED) keeps the old map and the old free-space
// value and sets objectsStale.
CK_RV RefreshTokenObjects(slot::Slot& slot, uint32_t* freeSpace = nullptr,
                          const ObjectVisitor& visitor = {});

}  // namespace zorad::store
