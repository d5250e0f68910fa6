// One PKCS#11 slot: a PC/SC reader the module has seen, with the card side
// every token operation works on (its connection, the login state shared by
// the slot's sessions, while a card of the family is attached its token, and
// what happened to it that the sessions have yet to follow) and what the
// application was told about it.
#pragma once

#include <cstdint>

#include "card/card_slot.h"
#include "platform/cryptoki.h"

namespace zorad::slot {

// Bits of Slot::flags and Slot::reportedFlags.
inline constexpr uint8_t kReaderPresent = 0x01;
inline constexpr uint8_t kTokenPresent = 0x02;

struct Slot : card::CardSlot {
  uint32_t slotId = 0;  // the key of the slot in the slot table
  uint8_t flags = 0;
  // flags as last reported to the application; a difference is an event.
  uint8_t reportedFlags = 0;
  CK_SLOT_INFO info{};
};

}  // namespace zorad::slot
