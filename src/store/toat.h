// Block allocation on the current area's table, in memory. Nothing here
// talks to the card: callers select the area (which reads the table), change
// it with these operations, write the object records and then the table.
//
// A failure that leaves entries changed in memory is harmless: the next
// selection of the area reads the table from the card again.
#pragma once

#include <cstdint>
#include <optional>

#include "card/token.h"
#include "platform/cryptoki.h"

namespace zorad::store {

// Picks the lowest object number no entry carries and allocates `size`
// record bytes to it. CKR_DEVICE_MEMORY when all 255 numbers are taken or
// the free blocks do not suffice; CKR_GENERAL_ERROR without a table.
CK_RV CreateObjectInTOAT(card::Token& token, uint32_t size, uint8_t& ni, uint16_t& first);

// First fit: gives `ni` the lowest free blocks, adjacent or not, enough for
// `size` bytes (at least one block). `first` is the lowest of them.
CK_RV AllocObjectInTOAT(card::Token& token, uint32_t size, uint8_t ni, uint16_t& first);

// Fits object `ni`'s blocks to a new record size: shrinks by freeing its
// last blocks, grows into free blocks after its last block, or, when those
// do not suffice, frees all its blocks and allocates afresh. `first` is set
// only in the last case (the object moved; possibly to the same block).
// `changed` tells whether any entry changed.
CK_RV RecreateObjectInTOAT(card::Token& token, uint32_t size, uint8_t ni,
                           std::optional<uint16_t>& first, bool& changed);

// Frees every block of object `ni`.
CK_RV DeleteObjectFromTOAT(card::Token& token, uint8_t ni);

// Free bytes of the current area: free entries times the block size.
CK_RV FreeSpaceInTOAT(const card::Token& token, uint32_t& freeBytes);

// Writes the checksum of the entries into the table, before it is written
// to the card.
CK_RV StoreTOATChecksum(card::Token& token);

}  // namespace zorad::store
