// Fitting an existing object's blocks to a new record size before its
// record is rewritten.
#pragma once

#include <cstdint>

#include "card/allocation_table.h"
#include "card/token.h"
#include "platform/cryptoki.h"
#include "store/token_object.h"

namespace zorad::store {

// Changes the current area's table in memory so that the object's blocks
// hold `recordSize` bytes: it shrinks in place, grows into free blocks after
// its last block, or moves. A move goes to blocks that were free before
// (`previous`, the table as read) whenever enough are, so that the old
// record stays whole on the card until the new table is written; only when
// they do not suffice does it reuse its own blocks. On a move `object.offs`
// follows the new first block. `tableChanged` tells whether any entry
// changed. CKR_DEVICE_MEMORY when no arrangement holds the record.
CK_RV RefitObjectBlocks(card::Token& token, TokenObject& object, uint32_t recordSize,
                        const card::AllocationTable& previous, bool& tableChanged);

}  // namespace zorad::store
