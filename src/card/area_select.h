// Selecting an area on the card and keeping its allocation table in step
// with the card.
//
// Every search and every change selects its area with SelectArea inside
// its own reader transaction: the table is read again and checked each
// time, so a change that another process made, or entries a failed
// operation left changed in memory, never decide a change. The tables of
// both areas stay in the token's cache between operations, as last read or
// written: the token's free memory comes from them, and a table found
// changed since tells that another process wrote the area. Callers hold
// the library lock and a reader transaction and have selected the card
// application.
#pragma once

#include "card/allocation_table.h"
#include "card/card_slot.h"
#include "platform/cryptoki.h"

namespace zorad::card {

// Makes the area's file the card's current file again (after a command that
// selected something else); the cached area and table stay as they are.
// CKR_FUNCTION_FAILED when the card refuses.
CK_RV SelectAreaFile(CardSlot& slot, bool isPrivate);

// Makes the current area's file the card's current file unless it is so
// already in this transaction (a command that may select another file,
// such as READ PUBLIC KEY, makes it be selected again).
CK_RV EnsureAreaFile(CardSlot& slot);

// Inner step of SelectArea: makes the area current, checks its descriptor,
// selects its file and holds a fresh zero-filled table. A descriptor that
// fails its checks is CKR_DEVICE_ERROR before anything is sent.
CK_RV SwitchArea(CardSlot& slot, bool isPrivate);

// Selects the area and reads and verifies its table. A table whose checksum
// bytes and entries are all zero was never formatted:
// CKR_TOKEN_NOT_RECOGNIZED; any other checksum mismatch CKR_DEVICE_ERROR.
// `changed`, when given, tells whether the table differs from the one read
// or written for the same area before. The token's free memory of the area
// follows the table. Every failure sets objectsStale, and a table
// still held then reads as fully owned (0xFF) so that nothing is allocated
// from it.
CK_RV SelectArea(CardSlot& slot, bool isPrivate, bool* changed = nullptr);

// Stores the checksum and writes the whole table. CKR_DEVICE_ERROR when the
// write fails.
CK_RV UpdateTOAT(CardSlot& slot);

// Erases the blocks that went from used in `previous` (a copy taken before
// the change) to free now; blocks that moved between objects are kept. The
// first failed erase ends it with CKR_DEVICE_ERROR.
CK_RV ClearBlocksByTOAT(CardSlot& slot, const AllocationTable& previous);

}  // namespace zorad::card
