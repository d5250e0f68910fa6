#include "gost_x509.h"

#include <openssl/err.h>
#include <openssl/objects.h>

#include "public_key_pem.h"
#include "tool_error.h"

namespace zorad::tool {
namespace {

Bytes EncodedParameters(const GostPublicKey& key) {
  std::optional<Bytes> parameters = GostKeyParameters(key.paramSet, key.digestParams);
  if (!parameters) {
    throw ToolError(ExitCode::kFailed,
                    "The public key's parameter set is no object identifier: the key cannot be "
                    "described in a certificate request.");
  }
  return std::move(*parameters);
}

}  // namespace

void SetGostPublicKey(X509_PUBKEY* info, const GostPublicKey& key) {
  if (key.value.size() != kGostPublicKeySize) {
    throw ToolError(ExitCode::kFailed, "The public key on the token is not 64 bytes long.");
  }
  const Bytes parameters = EncodedParameters(key);
  OpenSslPtr<ASN1_STRING, ASN1_STRING_free> sequence(ASN1_STRING_type_new(V_ASN1_SEQUENCE));
  OpenSslPtr<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free> point(ASN1_OCTET_STRING_new());
  if (!sequence || !point ||
      !ASN1_STRING_set(sequence.get(), parameters.data(), static_cast<int>(parameters.size())) ||
      !ASN1_OCTET_STRING_set(point.get(), key.value.data(), static_cast<int>(key.value.size()))) {
    ThrowOpenSsl("Building the public key");
  }
  unsigned char* bits = nullptr;
  const int bitsLength = i2d_ASN1_OCTET_STRING(point.get(), &bits);
  if (bitsLength <= 0 ||
      !X509_PUBKEY_set0_param(info, OBJ_nid2obj(NID_id_GostR3410_2001), V_ASN1_SEQUENCE,
                              sequence.get(), bits, bitsLength)) {
    OPENSSL_free(bits);
    ThrowOpenSsl("Building the public key");
  }
  sequence.release();  // owned by `info` now, as are the bits
}

std::optional<Bytes> GostPublicKeyValue(X509_PUBKEY* info) {
  ASN1_OBJECT* algorithm = nullptr;
  const unsigned char* bits = nullptr;
  int bitsLength = 0;
  if (info == nullptr || !X509_PUBKEY_get0_param(&algorithm, &bits, &bitsLength, nullptr, info) ||
      OBJ_obj2nid(algorithm) != NID_id_GostR3410_2001) {
    return std::nullopt;
  }
  const unsigned char* p = bits;
  OpenSslPtr<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free> point(
      d2i_ASN1_OCTET_STRING(nullptr, &p, bitsLength));
  ERR_clear_error();
  if (!point || p != bits + bitsLength || ASN1_STRING_length(point.get()) != kGostPublicKeySize) {
    return std::nullopt;
  }
  const unsigned char* value = ASN1_STRING_get0_data(point.get());
  return Bytes(value, value + kGostPublicKeySize);
}

std::optional<Bytes> GostPublicKeyInfo(std::span<const uint8_t> value,
                                       std::span<const uint8_t> paramSet,
                                       std::span<const uint8_t> digestParams) {
  if (value.size() != kGostPublicKeySize || !GostKeyParameters(paramSet, digestParams)) {
    return std::nullopt;
  }
  OpenSslPtr<X509_PUBKEY, X509_PUBKEY_free> info(X509_PUBKEY_new());
  if (!info) ThrowOpenSsl("Building the public key");
  SetGostPublicKey(info.get(),
                   {Bytes(value.begin(), value.end()), Bytes(paramSet.begin(), paramSet.end()),
                    Bytes(digestParams.begin(), digestParams.end())});
  return Encoded([&](unsigned char** out) { return i2d_X509_PUBKEY(info.get(), out); },
                 "public key");
}

AlgorithmPtr Algorithm(int nid, bool nullParameters) {
  AlgorithmPtr algorithm(X509_ALGOR_new());
  if (!algorithm || !X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(nid),
                                     nullParameters ? V_ASN1_NULL : V_ASN1_UNDEF, nullptr)) {
    ThrowOpenSsl("Building an algorithm identifier");
  }
  return algorithm;
}

BitStringPtr SignatureBits(std::span<const uint8_t> signature) {
  BitStringPtr bits(ASN1_BIT_STRING_new());
  if (!bits || !ASN1_BIT_STRING_set(bits.get(), const_cast<unsigned char*>(signature.data()),
                                    static_cast<int>(signature.size()))) {
    ThrowOpenSsl("Building the signature value");
  }
  bits->flags = (bits->flags & ~0x07L) | ASN1_STRING_FLAG_BITS_LEFT;  // 0 bits unused
  return bits;
}

}  // namespace zorad::tool
