#include "store/token_logout.h"

#include "card/token.h"
#include "card/token_login.h"
#include "card/token_transaction.h"
#include "reader/reader.h"
#include "store/object_maps.h"
#include "store/token_refresh.h"
#include "trace/trace.h"

namespace zorad::store {
namespace {

CK_RV LogoutFailed(slot::Slot& slot, CK_RV rv) {
  if (slot.token) slot.token->objects.objectsStale = true;
  ZORAD_TRACE(trace::kOperations, "LogoutToken: %x\n", static_cast<unsigned>(rv));
  return rv;
}

}  // namespace

CK_RV LogoutToken(slot::Slot& slot) {
  ZORAD_TRACE(trace::kOperations, "LogoutToken\n");
  const bool tableRead = slot.token && slot.token->objects.toat.has_value();
  if (slot.token && slot.reader) {
    ObjectMaps& maps = MapsOf(*slot.token);
    maps.objectListRead = false;
    maps.privateObjects.clear();
  }
  // The power-down ends the verification even when the rest fails, so the
  // slot is never left logged in on the card while it says nobody is.
  const CK_RV poweredDown = card::PowerDownCard(slot);
  if (poweredDown != CKR_OK) return LogoutFailed(slot, poweredDown);
  if (!tableRead) return LogoutFailed(slot, CKR_GENERAL_ERROR);

  card::TokenTransaction transaction(slot);
  if (transaction.Begin() != CKR_OK) return LogoutFailed(slot, CKR_FUNCTION_FAILED);
  const reader::ReaderResult selected = transaction.SelectApplication();
  if (selected != reader::RDR_OK) {
    return LogoutFailed(
        slot, selected == reader::RDR_BAD_STATUS ? CKR_TOKEN_NOT_RECOGNIZED : CKR_FUNCTION_FAILED);
  }
  // The application is selected in this transaction already.
  const CK_RV refreshed = RefreshTokenSelected(slot);
  if (refreshed != CKR_OK) return LogoutFailed(slot, refreshed);
  if (transaction.End() != CKR_OK) return LogoutFailed(slot, CKR_FUNCTION_FAILED);
  ZORAD_TRACE(trace::kOperations, "LogoutToken: 0\n");
  return CKR_OK;
}

}  // namespace zorad::store
