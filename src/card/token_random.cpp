#include "card/token_random.h"

#include "card/apdu.h"
#include "card/token_transaction.h"
#include "trace/trace.h"

namespace zorad::card {

CK_RV GenerateTokenRandom(CardSlot& slot, uint8_t* destination, size_t length) {
  ZORAD_TRACE(trace::kOperations, "GenerateTokenRandom\n");
  if (destination == nullptr || length == 0 || !slot.reader || !slot.token) {
    return CKR_FUNCTION_FAILED;
  }
  TokenTransaction transaction(slot);
  const CK_RV rv = transaction.BeginAndSelect(CKR_FUNCTION_FAILED);
  if (rv != CKR_OK) return rv;
  if (APDU_GetChallenge(slot.reader.get(), destination, length) != reader::RDR_OK) {
    return CKR_FUNCTION_FAILED;
  }
  return transaction.End();
}

}  // namespace zorad::card
