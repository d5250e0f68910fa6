#include "card/card_slot.h"

#include "card/token.h"
#include "reader/reader.h"

namespace zorad::card {

CardSlot::CardSlot() = default;
CardSlot::~CardSlot() = default;

void EndLogin(CardSlot& slot) {
  if (slot.reader) slot.reader->pinVerified = false;
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
  // answered "already logged in". Public work goes on.
  EndLogin(slot);
}

}  // namespace zorad::card
