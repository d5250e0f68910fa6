// The card side of a slot: the reader that holds the card, the token read
// from it and who is logged in on it. Every token operation of this layer
// works on one; the slot layer builds its slots on it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zorad::reader {
struct Reader;
}

namespace zorad::card {

struct Token;

// Values of CardSlot::loginState.
enum LoginState : uint32_t { kNobody = 0, kSecurityOfficer = 1, kUser = 2 };

// Bits of CardSlot::pending: what happened to the slot's card that the
// session layer has yet to follow (session::FollowSlotChanges). The layers
// below only record it.
inline constexpr uint8_t kSessionsEnded = 0x01;  // the token went: its sessions close
inline constexpr uint8_t kLoginEnded = 0x02;     // the login went with the card's verification

struct CardSlot {
  CardSlot();
  ~CardSlot();
  CardSlot(const CardSlot&) = delete;
  CardSlot& operator=(const CardSlot&) = delete;

  std::string readerName;
  std::unique_ptr<reader::Reader> reader;
  // The card's PIN verification, shared by every session on the slot.
  uint32_t loginState = kNobody;
  // While a card of the family is attached.
  std::unique_ptr<Token> token;
  // What the session layer has yet to follow: kSessionsEnded, kLoginEnded.
  uint8_t pending = 0;
};

// Ends the slot's login: the card no longer counts any PIN as verified
// through this module (the module logged out, or the card was reset or
// powered down). Every session of the slot is public from now on; the
// session layer forgets the private object handles (kLoginEnded).
void EndLogin(CardSlot& slot);

// Acts on what the reader saw happen to the card inside a transaction that
// has just begun: after another application reset the card or powered it
// down, the PIN verification this module made is gone, and so is the login.
void FollowCardReset(CardSlot& slot);

}  // namespace zorad::card
