#include "card/token_transaction.h"

#include "card/apdu.h"
#include "card/token_identity.h"
#include "reader/transaction.h"

namespace zorad::card {

TokenTransaction::TokenTransaction(CardSlot& slot) : slot_(slot), transaction_(slot.reader.get()) {}

CK_RV TokenTransaction::CheckedAfterRecovery(CK_RV sameToken) {
  if (sameToken == CKR_OK) return CKR_OK;
  transaction_.End();
  return CKR_FUNCTION_FAILED;
}

CK_RV TokenTransaction::Begin() {
  if (transaction_.Begin() != reader::RDR_OK) return CKR_FUNCTION_FAILED;
  if (!transaction_.recovered()) return CKR_OK;
  FollowCardReset(slot_);
  // A card not yet taken up as the slot's token has no identity to keep.
  if (!slot_.token) return CKR_OK;
  return CheckedAfterRecovery(IsTheSameToken(slot_));
}

CK_RV TokenTransaction::Begin(const SerialNumberField& expected) {
  if (transaction_.Begin() != reader::RDR_OK) return CKR_FUNCTION_FAILED;
  if (!transaction_.recovered()) return CKR_OK;
  FollowCardReset(slot_);
  return CheckedAfterRecovery(IsTheSameToken(slot_, expected));
}

reader::ReaderResult TokenTransaction::SelectApplication() {
  reader::Reader* r = slot_.reader.get();
  // Selected once in this transaction, it stays selected.
  if (r != nullptr && reader::SelectionOf(*r).application) return reader::RDR_OK;
  return APDU_SelectApp(r);
}

CK_RV TokenTransaction::BeginAndSelect(CK_RV selectFailure) {
  const CK_RV begun = Begin();
  if (begun != CKR_OK) return begun;
  if (SelectApplication() != reader::RDR_OK) {
    transaction_.End();
    return selectFailure;
  }
  return CKR_OK;
}

CK_RV NoticeCardEvents(CardSlot& slot) {
  TokenTransaction transaction(slot);
  const CK_RV rv = transaction.Begin();
  if (rv != CKR_OK) return rv;
  return transaction.End();
}

CK_RV TokenTransaction::End() {
  return transaction_.End() == reader::RDR_OK ? CKR_OK : CKR_FUNCTION_FAILED;
}

}  // namespace zorad::card
