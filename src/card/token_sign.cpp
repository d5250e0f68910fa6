#include "card/token_sign.h"

#include <algorithm>
#include <array>

#include "card/apdu.h"
#include "card/area_select.h"
#include "card/token.h"
#include "card/token_identity.h"
#include "card/token_transaction.h"
#include "reader/reader.h"
#include "store/object_record.h"
#include "store/object_search.h"
#include "trace/trace.h"

namespace zorad::card {
namespace {

using reader::RDR_OK;
using GostHash = std::array<uint8_t, kGostHashLength>;

CK_RV Traced(const char* operation, CK_RV rv) {
  ZORAD_TRACE(trace::kOperations, "%s: %x\n", operation, static_cast<unsigned>(rv));
  return rv;
}

CK_RV CheckInit(slot::Slot& slot, CK_MECHANISM_TYPE mechanism, uint32_t keyId) {
  if (keyId == 0) return CKR_ARGUMENTS_BAD;
  if (!slot.token) return CKR_FUNCTION_FAILED;
  if (slot.token->objects.objectsStale) return CKR_DEVICE_ERROR;
  if (!IsSignatureMechanism(mechanism)) return CKR_MECHANISM_INVALID;
  return store::FindTokenObject(slot, keyId) ? CKR_OK : CKR_OBJECT_HANDLE_INVALID;
}

// What can be refused without the card: everything the request itself
// gets wrong, so that no command is sent for a call that cannot succeed.
CK_RV CheckRequest(const slot::Slot& slot, uint32_t keyId, CK_MECHANISM_TYPE mechanism,
                   const uint8_t* data, size_t dataLength) {
  if (data == nullptr || dataLength == 0) return CKR_ARGUMENTS_BAD;
  if (!slot.token) return CKR_FUNCTION_FAILED;
  if (slot.token->objects.objectsStale) return CKR_DEVICE_ERROR;
  if (keyId == 0 || !IsSignatureMechanism(mechanism)) return CKR_OPERATION_NOT_INITIALIZED;
  if (mechanism == CKM_GOSTR3410 && dataLength != kGostHashLength) return CKR_ARGUMENTS_BAD;
  return CKR_OK;
}

// Makes the key usable on the card: its area selected (the table read and
// checked again), its header confirmed unchanged, and the security
// environment naming the hash algorithm and the key's reference.
CK_RV PrepareKey(slot::Slot& slot, store::TokenObject& key, bool isPrivate,
                 const SecurityEnvironmentItem& keyItem) {
  const CK_RV selected = SelectArea(slot, isPrivate);
  if (selected != CKR_OK) return selected;
  bool changed = false;
  if (store::RereadTokenObjectHeader(slot, key, changed) != CKR_OK || changed) {
    ZORAD_TRACE(trace::kSteps, "...key object changed on the card\n");
    return CKR_FUNCTION_FAILED;
  }
  reader::Reader* r = slot.reader.get();
  if (APDU_RestoreSE(r) != RDR_OK ||
      APDU_SetSE(r, kSeHashAlgorithm, kGostR3411HashAlgorithm) != RDR_OK ||
      APDU_SetSE(r, keyItem, key.toh.keyRef) != RDR_OK) {
    return CKR_FUNCTION_FAILED;
  }
  return CKR_OK;
}

// The hash to sign or verify: the data itself, or the card's hash of it.
CK_RV HashOf(reader::Reader* r, CK_MECHANISM_TYPE mechanism, const uint8_t* data, size_t dataLength,
             GostHash& hash) {
  if (mechanism == CKM_GOSTR3410) {
    std::copy(data, data + kGostHashLength, hash.begin());
    return CKR_OK;
  }
  size_t hashLength = hash.size();
  if (APDU_Hash(r, data, dataLength, hash.data(), &hashLength) != RDR_OK ||
      hashLength != hash.size()) {
    return CKR_FUNCTION_FAILED;
  }
  return CKR_OK;
}

// TokenSign inside its transaction, after the application was selected.
CK_RV SignOnCard(slot::Slot& slot, uint32_t keyId, CK_MECHANISM_TYPE mechanism, const uint8_t* data,
                 size_t dataLength, uint8_t* signature, size_t* signatureLength) {
  bool isPrivate = false;
  store::TokenObject* key = store::FindTokenObject(slot, keyId, &isPrivate);
  if (key == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  CK_RV rv = IsTheSameToken(slot);
  if (rv == CKR_OK) rv = PrepareKey(slot, *key, isPrivate, kSeSigningKey);
  GostHash hash{};
  if (rv == CKR_OK) rv = HashOf(slot.reader.get(), mechanism, data, dataLength, hash);
  if (rv != CKR_OK) return rv;
  size_t received = *signatureLength;
  if (APDU_ComputeSignature(slot.reader.get(), hash.data(), hash.size(), signature, &received) !=
      RDR_OK) {
    return CKR_FUNCTION_FAILED;
  }
  *signatureLength = received;
  return CKR_OK;
}

// TokenVerify inside its transaction, after the application was selected.
CK_RV VerifyOnCard(slot::Slot& slot, uint32_t keyId, CK_MECHANISM_TYPE mechanism,
                   const uint8_t* data, size_t dataLength, const uint8_t* signature,
                   size_t signatureLength) {
  CK_RV rv = IsTheSameToken(slot);
  if (rv != CKR_OK) return rv;
  bool isPrivate = false;
  store::TokenObject* key = store::FindTokenObject(slot, keyId, &isPrivate);
  if (key == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  rv = PrepareKey(slot, *key, isPrivate, kSeVerifyingKey);
  GostHash hash{};
  if (rv == CKR_OK) rv = HashOf(slot.reader.get(), mechanism, data, dataLength, hash);
  if (rv != CKR_OK) return rv;
  if (APDU_VerifySignature(slot.reader.get(), hash.data(), hash.size(), signature,
                           signatureLength) != RDR_OK) {
    return CKR_FUNCTION_FAILED;
  }
  return CKR_OK;
}

// Runs one card operation in a token transaction with the application
// selected; the transaction ends on every path.
template <typename Operation>
CK_RV InTransaction(slot::Slot& slot, Operation&& operation) {
  TokenTransaction transaction(slot);
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

bool IsSignatureMechanism(CK_MECHANISM_TYPE mechanism) {
  return mechanism == CKM_GOSTR3410 || mechanism == CKM_GOSTR3410_WITH_GOSTR3411;
}

CK_RV TokenSignInit(slot::Slot& slot, CK_MECHANISM_TYPE mechanism, uint32_t keyId) {
  ZORAD_TRACE(trace::kOperations, "TokenSignInit\n");
  return Traced("TokenSignInit", CheckInit(slot, mechanism, keyId));
}

CK_RV TokenVerifyInit(slot::Slot& slot, CK_MECHANISM_TYPE mechanism, uint32_t keyId) {
  ZORAD_TRACE(trace::kOperations, "TokenVerifyInit\n");
  return Traced("TokenVerifyInit", CheckInit(slot, mechanism, keyId));
}

CK_RV TokenSign(slot::Slot& slot, uint32_t keyId, CK_MECHANISM_TYPE mechanism, const uint8_t* data,
                size_t dataLength, uint8_t* signature, size_t* signatureLength) {
  ZORAD_TRACE(trace::kOperations, "TokenSign\n");
  if (signature == nullptr || signatureLength == nullptr) {
    return Traced("TokenSign", CKR_ARGUMENTS_BAD);
  }
  const CK_RV checked = CheckRequest(slot, keyId, mechanism, data, dataLength);
  if (checked != CKR_OK) return Traced("TokenSign", checked);
  return Traced("TokenSign", InTransaction(slot, [&] {
                  return SignOnCard(slot, keyId, mechanism, data, dataLength, signature,
                                    signatureLength);
                }));
}

CK_RV TokenVerify(slot::Slot& slot, uint32_t keyId, CK_MECHANISM_TYPE mechanism,
                  const uint8_t* data, size_t dataLength, const uint8_t* signature,
                  size_t signatureLength) {
  ZORAD_TRACE(trace::kOperations, "TokenVerify\n");
  if (signature == nullptr || signatureLength == 0) {
    return Traced("TokenVerify", CKR_ARGUMENTS_BAD);
  }
  const CK_RV checked = CheckRequest(slot, keyId, mechanism, data, dataLength);
  if (checked != CKR_OK) return Traced("TokenVerify", checked);
  return Traced("TokenVerify", InTransaction(slot, [&] {
                  return VerifyOnCard(slot, keyId, mechanism, data, dataLength, signature,
                                      signatureLength);
                }));
}

}  // namespace zorad::card
