// Logging the token's card out, and its object lists read again without
// the private area.
#pragma once

#include "platform/cryptoki.h"
#include "slot/slot.h"

namespace zorad::store {

// Ends every PIN verification on the card by powering it down
// (card::PowerDownCard), forgets the private objects, sets the slot's
// loginState to 0 and reads the public objects again. CKR_GENERAL_ERROR for
// a slot without a token or whose tables were never read (the card is reset
// all the same), CKR_FUNCTION_FAILED when the reset or the transaction
// fails, CKR_TOKEN_NOT_RECOGNIZED when the application is not selectable,
// else the refresh's result. objectsStale is set on every failure. A failed
// reset leaves loginState as it was, unless the card is out of the reader
// (its verifications went with its power).
CK_RV LogoutToken(slot::Slot& slot);

}  // namespace zorad::store
