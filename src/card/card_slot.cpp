#include "card/card_slot.h"

#include "card/token.h"
#include "reader/reader.h"

namespace zorad::card {

CardSlot::CardSlot() = default;
CardSlot::~CardSlot() = default;

}  // namespace zorad::card
