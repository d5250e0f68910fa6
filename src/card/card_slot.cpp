#include "card/card_slot.h"

#include "card/token.h"
#include "reader/reader.h"

namespace zorad::card {

CardSlot::CardSlot() = default;
CardSlot::~CardSlot() = default;

void EndLogin(CardSlot& slot) {
  if (slot.reader) slot.reader->pinVerified = false;
  if (slot.token) {
    // The private area is out of sight again, and the PIN states may have moved.
    slot.token->objects.tables[static_cast<size_t>(Area::kPrivate)].reset();
    if (slot.token->objects.currentArea == Area::kPrivate) slot.token->objects.currentArea.reset();
    slot.token->freePrivateMemory = 0;
    slot.token->pinStatesCurrent = false;
  }
  if (slot.loginState == kNobody) return;
  slot.loginState = kNobody;
  slot.pending |= kLoginEnded;
}

void FollowCardReset(CardSlot& slot) {
  reader::Reader* r = slot.reader.get();
  if (r == nullptr || (r->cardEvents & reader::kCardWasReset) == 0) return;
  r->cardEvents &= static_cast<uint8_t>(~reader::kCardWasReset);
  // Another application's logout (or its end after a login) reset the card:
  // a private read would now be refused by the card, and a C_Login would be
  // answered "already logged in". Public work goes on. What the module
  // holds of the token is checked on the card again before it is trusted.
  EndLogin(slot);
  if (slot.token) {
    slot.token->objects.proven = false;
    slot.token->identityCurrent = false;
  }
}

}  // namespace zorad::card
