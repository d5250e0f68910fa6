#include "card/token_sign.h"

#include <algorithm>
#include <array>

#include "card/apdu.h"

namespace zorad::card {
namespace {

using reader::RDR_OK;
using GostHash = std::array<uint8_t, kGostHashLength>;

// The security environment naming the hash algorithm and the key.
CK_RV SetUpKey(reader::Reader* r, uint8_t keyRef, const SecurityEnvironmentItem& keyItem) {
  if (APDU_RestoreSE(r) != RDR_OK ||
      APDU_SetSE(r, kSeHashAlgorithm, kGostR3411HashAlgorithm) != RDR_OK ||
      APDU_SetSE(r, keyItem, keyRef) != RDR_OK) {
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

}  // namespace

bool IsSignatureMechanism(CK_MECHANISM_TYPE mechanism) {
  return mechanism == CKM_GOSTR3410 || mechanism == CKM_GOSTR3410_WITH_GOSTR3411;
}

CK_RV SignWithKey(reader::Reader* r, uint8_t keyRef, CK_MECHANISM_TYPE mechanism,
                  const uint8_t* data, size_t dataLength, uint8_t* signature,
                  size_t* signatureLength) {
  GostHash hash{};
  CK_RV rv = SetUpKey(r, keyRef, kSeSigningKey);
  if (rv == CKR_OK) rv = HashOf(r, mechanism, data, dataLength, hash);
  if (rv != CKR_OK) return rv;
  size_t received = *signatureLength;
  if (APDU_ComputeSignature(r, hash.data(), hash.size(), signature, &received) != RDR_OK) {
    return CKR_FUNCTION_FAILED;
  }
  *signatureLength = received;
  return CKR_OK;
}

CK_RV VerifyWithKey(reader::Reader* r, uint8_t keyRef, CK_MECHANISM_TYPE mechanism,
                    const uint8_t* data, size_t dataLength, const uint8_t* signature,
                    size_t signatureLength) {
  GostHash hash{};
  CK_RV rv = SetUpKey(r, keyRef, kSeVerifyingKey);
  if (rv == CKR_OK) rv = HashOf(r, mechanism, data, dataLength, hash);
  if (rv != CKR_OK) return rv;
  const reader::ReaderResult verified =
      APDU_VerifySignature(r, hash.data(), hash.size(), signature, signatureLength);
  if (verified == RDR_OK) return CKR_OK;
  // A forged or damaged document is not a card fault.
  const bool wrong = verified == reader::RDR_BAD_STATUS && r->lastStatusWord == kSwVerificationFailed;
  return wrong ? CKR_SIGNATURE_INVALID : CKR_FUNCTION_FAILED;
}

}  // namespace zorad::card
