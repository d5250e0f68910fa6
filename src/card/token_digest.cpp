#include "card/token_digest.h"

#include <algorithm>
#include <array>

#include "card/apdu.h"
#include "card/token_sign.h"
#include "card/token_transaction.h"
#include "trace/trace.h"

namespace zorad::card {
namespace {

CK_RV HashOnCard(CardSlot& slot, const uint8_t* data, size_t length, uint8_t* digest) {
  TokenTransaction transaction(slot);
  const CK_RV begun = transaction.BeginAndSelect(CKR_FUNCTION_FAILED);
  if (begun != CKR_OK) return begun;
  reader::Reader* r = transaction.reader();
  // The algorithm is all the hash needs; the keys of the environment are
  // left as they are.
  if (APDU_SetSE(r, kSeHashAlgorithm, kGostR3411HashAlgorithm) != reader::RDR_OK) {
    return CKR_FUNCTION_FAILED;
  }
  std::array<uint8_t, kGostHashLength> answer{};
  size_t answered = answer.size();
  if (APDU_Hash(r, data, length, answer.data(), &answered) != reader::RDR_OK ||
      answered != answer.size()) {
    return CKR_FUNCTION_FAILED;
  }
  const CK_RV ended = transaction.End();
  if (ended == CKR_OK) std::copy(answer.begin(), answer.end(), digest);
  return ended;
}

}  // namespace

CK_RV TokenDigest(CardSlot& slot, const uint8_t* data, size_t length, uint8_t* digest) {
  ZORAD_TRACE(trace::kOperations, "TokenDigest\n");
  CK_RV rv = CKR_OK;
  if (data == nullptr || length == 0 || digest == nullptr) {
    rv = CKR_ARGUMENTS_BAD;
  } else if (!slot.reader || !slot.token) {
    rv = CKR_FUNCTION_FAILED;
  } else {
    rv = HashOnCard(slot, data, length, digest);
  }
  ZORAD_TRACE(trace::kOperations, "TokenDigest: %x\n", static_cast<unsigned>(rv));
  return rv;
}

}  // namespace zorad::card
