// One PKCS#11 slot: a PC/SC reader the module has seen, with the card side
// every token operation works on (its connection, the login state shared by
// the slot's sessions and, while a card of the family is attached, its
// token) and what the application was told about it.
#pragma once

#include <cstdint>

#include "card/card_slot.h"
#include "platform/cryptoki.h"

namespace zorad::slot {

// Bits of Slot::flags and Slot::reportedFlags.
inline constexpr uint8_t kReaderPresent = 0x01;
inline constexpr uint8_t kTokenPresent = 0x02;

// Bits of Slot::pending: what happened to the slot that the session layer
// has yet to follow (session::FollowSlotChanges). The slot layer only
// records it.
inline constexpr uint8_t kSessionsEnded = 0x01;  // the token went: its sessions close
inline constexpr uint8_t kLoginEnded = 0x02;     // the login went with the card

struct Slot : card::CardSlot {
  uint32_t slotId = 0;  // the key of the slot in the slot table
  uint8_t flags = 0;
  // flags as last reported to the application; a difference is an event.
  uint8_t reportedFlags = 0;
  CK_SLOT_INFO info{};
  // What the session layer has yet to follow: kSessionsEnded, kLoginEnded.
  uint8_t pending = 0;
};

}  // namespace zorad::slot
