#include "store/key_slot.h"

#include <algorithm>
#include <new>

#include "card/apdu.h"
#include "card/secure_buffer.h"
#include "reader/reader.h"

namespace zorad::store {
namespace {

CK_RV SendKeyValue(slot::Slot& slot, uint8_t keyRef, const card::SecureBuffer& cardOrder) {
  if (!slot.reader) return CKR_FUNCTION_FAILED;
  const auto rdr =
      card::APDU_ChangeRefData(slot.reader.get(), keyRef, cardOrder.data(), cardOrder.size());
  return rdr == reader::RDR_OK ? CKR_OK : CKR_FUNCTION_FAILED;
}

}  // namespace

CK_RV StorePrivateKeyValue(slot::Slot& slot, uint8_t keyRef, std::span<const uint8_t> value) {
  card::SecureBuffer cardOrder(value.rbegin(), value.rend());
  return SendKeyValue(slot, keyRef, cardOrder);
}

CK_RV StorePublicKeyValue(slot::Slot& slot, uint8_t keyRef, std::span<const uint8_t> value) {
  const size_t half = value.size() / 2;
  card::SecureBuffer cardOrder(value.begin(), value.begin() + 2 * half);
  std::reverse(cardOrder.begin(), cardOrder.begin() + half);
  std::reverse(cardOrder.begin() + half, cardOrder.end());
  return SendKeyValue(slot, keyRef, cardOrder);
}

CK_RV GenerateKeyPairInSlot(slot::Slot& slot, uint8_t keyRef) {
  if (!slot.reader) return CKR_FUNCTION_FAILED;
  return card::APDU_GenKeyPair(slot.reader.get(), keyRef) == reader::RDR_OK ? CKR_OK
                                                                            : CKR_FUNCTION_FAILED;
}

}  // namespace zorad::store
