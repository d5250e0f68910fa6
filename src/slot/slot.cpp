#include "slot/slot.h"

#include "card/token.h"
#include "reader/reader.h"

namespace zorad::slot {

Slot::Slot() = default;
Slot::~Slot() = default;

}  // namespace zorad::slot
