// Logging the token's card out, and forgetting its private objects.
#pragma once

#include "platform/cryptoki.h"
#include "slot/slot.h"

namespace zorad::store {

// Ends every PIN verification on the card by powering it down
// (card::PowerDownCard), forgets the private objects and sets the slot's
// loginState to 0. The public objects stay cached, to be checked on the
// card again at the next search (the power-down let other applications in).
// CKR_GENERAL_ERROR for a slot without a token (the login ends all the
// same), CKR_FUNCTION_FAILED when the power-down fails; objectsStale is set
// on every failure. A failed power-down leaves loginState as it was, unless
// the card is out of the reader (its verifications went with its power).
CK_RV LogoutToken(slot::Slot& slot);

}  // namespace zorad::store
