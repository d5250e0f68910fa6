#include "store/token_logout.h"

#include "card/token.h"
#include "card/token_login.h"
#include "store/object_maps.h"
#include "trace/trace.h"

namespace zorad::store {

CK_RV LogoutToken(slot::Slot& slot) {
  ZORAD_TRACE(trace::kOperations, "LogoutToken\n");
  if (slot.token) {
    ForgetPrivateValues(MapsOf(*slot.token));
    slot.token->objects.proven = false;
  }
  // The power-down ends the verification even when the rest fails, so the
  // slot is never left logged in on the card while it says nobody is.
  const CK_RV rv = card::PowerDownCard(slot);
  if (rv != CKR_OK && slot.token) slot.token->objects.objectsStale = true;
  ZORAD_TRACE(trace::kOperations, "LogoutToken: %x\n", static_cast<unsigned>(rv));
  return rv;
}

}  // namespace zorad::store
