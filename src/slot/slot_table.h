// The slot table: one slot per PC/SC reader the module has seen.
#pragma once

#include "platform/cryptoki.h"

namespace zorad::slot {

// Closes every slot's reader connection, frees its token, closes its
// sessions and removes the slot. Called by the last C_Finalize.
CK_RV ReleaseAllSlots();

}  // namespace zorad::slot
