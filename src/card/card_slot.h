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
};

}  // namespace zorad::card
