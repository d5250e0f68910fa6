#include "store/object_sign.h"

#include "card/token.h"
#include "card/token_sign.h"
#include "card/token_transaction.h"
#include "reader/reader.h"
#include "store/object_confirm.h"
#include "store/object_search.h"
#include "trace/trace.h"

namespace zorad::store {
namespace {

CK_RV Traced(const char* operation, CK_RV rv) {
  ZORAD_TRACE(trace::kOperations, "%s: %x\n", operation, static_cast<unsigned>(rv));
  return rv;
}

CK_RV CheckInit(slot::Slot& slot, CK_MECHANISM_TYPE mechanism, const ObjectKey& key) {
  if (key.id == 0) return CKR_ARGUMENTS_BAD;
  if (!slot.token) return CKR_FUNCTION_FAILED;
  if (slot.token->objects.objectsStale) return CKR_DEVICE_ERROR;
  if (!card::IsSignatureMechanism(mechanism)) return CKR_MECHANISM_INVALID;
  return FindTokenObject(slot, key) ? CKR_OK : CKR_OBJECT_HANDLE_INVALID;
}

// What can be refused without the card: everything the request itself
// gets wrong, so that no command is sent for a call that cannot succeed.
CK_RV CheckRequest(const slot::Slot& slot, const ObjectKey& key, CK_MECHANISM_TYPE mechanism,
                   const uint8_t* data, size_t dataLength) {
  if (data == nullptr || dataLength == 0) return CKR_ARGUMENTS_BAD;
  if (!slot.token) return CKR_FUNCTION_FAILED;
  if (slot.token->objects.objectsStale) return CKR_DEVICE_ERROR;
  if (key.id == 0 || !card::IsSignatureMechanism(mechanism)) return CKR_OPERATION_NOT_INITIALIZED;
  if (mechanism == CKM_GOSTR3410 && dataLength != card::kGostHashLength) return CKR_DATA_LEN_RANGE;
  return CKR_OK;
}

// TokenSign inside its transaction, after the application was selected:
// the key must still be on the card where its handle found it (another
// process may have deleted it and given its key slot to a new key).
CK_RV SignOnCard(slot::Slot& slot, const ObjectKey& key, CK_MECHANISM_TYPE mechanism,
                 const uint8_t* data, size_t dataLength, uint8_t* signature,
                 size_t* signatureLength) {
  const Confirmed c = ConfirmTokenObject(slot, key, kToSign);
  if (c.rv != CKR_OK) return c.rv;
  return card::SignWithKey(slot.reader.get(), c.object->toh.keyRef, mechanism, data, dataLength,
                           signature, signatureLength);
}

// TokenVerify inside its transaction, after the application was selected.
CK_RV VerifyOnCard(slot::Slot& slot, const ObjectKey& key, CK_MECHANISM_TYPE mechanism,
                   const uint8_t* data, size_t dataLength, const uint8_t* signature,
                   size_t signatureLength) {
  const Confirmed c = ConfirmTokenObject(slot, key, kToSign);
  if (c.rv != CKR_OK) return c.rv;
  return card::VerifyWithKey(slot.reader.get(), c.object->toh.keyRef, mechanism, data, dataLength,
                             signature, signatureLength);
}

// Runs one card operation in a token transaction with the application
// selected; the transaction ends on every path.
template <typename Operation>
CK_RV InTransaction(slot::Slot& slot, Operation&& operation) {
  card::TokenTransaction transaction(slot);
  const CK_RV begun = transaction.BeginAndSelect();
  if (begun != CKR_OK) return CKR_FUNCTION_FAILED;
  const CK_RV rv = operation();
  if (rv != CKR_OK) {
    transaction.End();
    return rv;
  }
  return transaction.End();
}

}  // namespace

CK_RV TokenSignInit(slot::Slot& slot, CK_MECHANISM_TYPE mechanism, const ObjectKey& key) {
  ZORAD_TRACE(trace::kOperations, "TokenSignInit\n");
  return Traced("TokenSignInit", CheckInit(slot, mechanism, key));
}

CK_RV TokenVerifyInit(slot::Slot& slot, CK_MECHANISM_TYPE mechanism, const ObjectKey& key) {
  ZORAD_TRACE(trace::kOperations, "TokenVerifyInit\n");
  return Traced("TokenVerifyInit", CheckInit(slot, mechanism, key));
}

CK_RV TokenSign(slot::Slot& slot, const ObjectKey& key, CK_MECHANISM_TYPE mechanism,
                const uint8_t* data, size_t dataLength, uint8_t* signature,
                size_t* signatureLength) {
  ZORAD_TRACE(trace::kOperations, "TokenSign\n");
  if (signature == nullptr || signatureLength == nullptr) {
    return Traced("TokenSign", CKR_ARGUMENTS_BAD);
  }
  const CK_RV checked = CheckRequest(slot, key, mechanism, data, dataLength);
  if (checked != CKR_OK) return Traced("TokenSign", checked);
  return Traced("TokenSign", InTransaction(slot, [&] {
                  return SignOnCard(slot, key, mechanism, data, dataLength, signature,
                                    signatureLength);
                }));
}

CK_RV TokenVerify(slot::Slot& slot, const ObjectKey& key, CK_MECHANISM_TYPE mechanism,
                  const uint8_t* data, size_t dataLength, const uint8_t* signature,
                  size_t signatureLength) {
  ZORAD_TRACE(trace::kOperations, "TokenVerify\n");
  if (signature == nullptr || signatureLength == 0) {
    return Traced("TokenVerify", CKR_ARGUMENTS_BAD);
  }
  const CK_RV checked = CheckRequest(slot, key, mechanism, data, dataLength);
  if (checked != CKR_OK) return Traced("TokenVerify", checked);
  return Traced("TokenVerify", InTransaction(slot, [&] {
                  return VerifyOnCard(slot, key, mechanism, data, dataLength, signature,
                                      signatureLength);
                }));
}

}  // namespace zorad::store
