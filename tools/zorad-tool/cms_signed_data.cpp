// CMS SignedData (RFC 5652) for GOST signatures. libcrypto's own CMS code
// signs only with keys it can use itself, so the structures are declared
// here with libcrypto's ASN.1 templates and filled by hand; libcrypto
// encodes them (DER, with the SET OF attributes sorted).
#include <openssl/asn1t.h>
#include <openssl/objects.h>

#include "signed_structures.h"
#include "tool_error.h"

namespace zorad::tool {
namespace {

struct IssuerAndSerial {
  X509_NAME* issuer;
  ASN1_INTEGER* serialNumber;
};

struct EncapsulatedContent {
  ASN1_OBJECT* contentType;
  ASN1_OCTET_STRING* content;  // absent: detached
};

struct SignerInfo {
  ASN1_INTEGER* version;
  IssuerAndSerial* signer;
  X509_ALGOR* digestAlgorithm;
  STACK_OF(X509_ATTRIBUTE) * signedAttributes;
  X509_ALGOR* signatureAlgorithm;
  ASN1_OCTET_STRING* signature;
};

struct SignedData {
  ASN1_INTEGER* version;
  STACK_OF(X509_ALGOR) * digestAlgorithms;
  EncapsulatedContent* content;
  STACK_OF(X509) * certificates;
  OPENSSL_STACK* signerInfos;  // of SignerInfo
};

struct ContentInfo {
  ASN1_OBJECT* contentType;
  SignedData* signedData;
};

// The ASN.1 templates, defined at the end of the file.
DECLARE_ASN1_ITEM(IssuerAndSerial)
DECLARE_ASN1_ITEM(EncapsulatedContent)
DECLARE_ASN1_ITEM(SignerInfo)
DECLARE_ASN1_ITEM(SignedData)
DECLARE_ASN1_ITEM(ContentInfo)
DECLARE_ASN1_ITEM(SignedAttributes)

// SignedData and SignerInfo version 1: the signer is named by issuer and
// serial number, and the content is of type id-data.
constexpr long kVersion = 1;

template <typename T>
T* NewOf(const ASN1_ITEM* item) {
  return reinterpret_cast<T*>(ASN1_item_new(item));
}

void Require(bool done) {
  if (!done) ThrowOpenSsl("Building the CMS signature");
}

void AddAttribute(STACK_OF(X509_ATTRIBUTE) * attributes, int nid, int type, const void* value,
                  int length) {
  X509_ATTRIBUTE* attribute = X509_ATTRIBUTE_create_by_NID(nullptr, nid, type, value, length);
  Require(attribute != nullptr);
  if (sk_X509_ATTRIBUTE_push(attributes, attribute) <= 0) {
    X509_ATTRIBUTE_free(attribute);
    Require(false);
  }
}

void FillSignedAttributes(SignerInfo& info, std::span<const uint8_t> contentDigest,
                          std::time_t signingTime) {
  info.signedAttributes = sk_X509_ATTRIBUTE_new_null();
  Require(info.signedAttributes != nullptr);
  OpenSslPtr<ASN1_TIME, ASN1_TIME_free> time(ASN1_TIME_set(nullptr, signingTime));
  Require(time != nullptr);  // UTCTime up to 2049, as the standard asks
  AddAttribute(info.signedAttributes, NID_pkcs9_contentType, V_ASN1_OBJECT,
               OBJ_nid2obj(NID_pkcs7_data), -1);
  AddAttribute(info.signedAttributes, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING,
               contentDigest.data(), static_cast<int>(contentDigest.size()));
  AddAttribute(info.signedAttributes, NID_pkcs9_signingTime, time->type, time.get(), -1);
}

// Fills a SignerInfo that ASN1_item_new made, the signature last.
void FillSignerInfo(SignerInfo& info, X509* certificate, std::span<const uint8_t> contentDigest,
                    std::time_t signingTime, const CardSigner& sign) {
  Require(ASN1_INTEGER_set(info.version, kVersion) &&
          X509_NAME_set(&info.signer->issuer, X509_get_issuer_name(certificate)) &&
          ASN1_STRING_copy(info.signer->serialNumber, X509_get0_serialNumber(certificate)) &&
          X509_ALGOR_set0(info.digestAlgorithm, OBJ_nid2obj(NID_id_GostR3411_94), V_ASN1_NULL,
                          nullptr) &&
          X509_ALGOR_set0(info.signatureAlgorithm, OBJ_nid2obj(NID_id_GostR3410_2001), V_ASN1_NULL,
                          nullptr));
  FillSignedAttributes(info, contentDigest, signingTime);
  const Bytes toBeSigned = Encoded(
      [&](unsigned char** out) {
        return ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(info.signedAttributes), out,
                             ASN1_ITEM_rptr(SignedAttributes));
      },
      "signed attributes");
  const Bytes signature = sign(toBeSigned);
  Require(
      ASN1_OCTET_STRING_set(info.signature, signature.data(), static_cast<int>(signature.size())));
}

void FillSignedData(SignedData& data, X509* certificate,
                    std::optional<std::span<const uint8_t>> attachedContent) {
  Require(ASN1_INTEGER_set(data.version, kVersion));
  X509_ALGOR* digest = Algorithm(NID_id_GostR3411_94, true).release();
  if (sk_X509_ALGOR_push(data.digestAlgorithms, digest) <= 0) {
    X509_ALGOR_free(digest);
    Require(false);
  }
  data.content->contentType = OBJ_nid2obj(NID_pkcs7_data);
  if (attachedContent) {
    data.content->content = ASN1_OCTET_STRING_new();
    Require(data.content->content != nullptr &&
            ASN1_OCTET_STRING_set(data.content->content, attachedContent->data(),
                                  static_cast<int>(attachedContent->size())));
  }
  data.certificates = sk_X509_new_null();
  Require(data.certificates != nullptr && X509_up_ref(certificate));
  if (sk_X509_push(data.certificates, certificate) <= 0) {
    X509_free(certificate);
    Require(false);
  }
}

struct ContentInfoFree {
  void operator()(ContentInfo* info) const {
    ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(info), ASN1_ITEM_rptr(ContentInfo));
  }
};

}  // namespace

Bytes CmsSignedData(X509* certificate, std::span<const uint8_t> contentDigest,
                    std::optional<std::span<const uint8_t>> attachedContent,
                    std::time_t signingTime, const CardSigner& sign) {
  std::unique_ptr<ContentInfo, ContentInfoFree> contentInfo(
      NewOf<ContentInfo>(ASN1_ITEM_rptr(ContentInfo)));
  Require(contentInfo != nullptr);
  contentInfo->contentType = OBJ_nid2obj(NID_pkcs7_signed);
  SignedData& data = *contentInfo->signedData;
  FillSignedData(data, certificate, attachedContent);
  auto* signer = NewOf<SignerInfo>(ASN1_ITEM_rptr(SignerInfo));
  Require(signer != nullptr);
  if (OPENSSL_sk_push(data.signerInfos, signer) <= 0) {
    ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(signer), ASN1_ITEM_rptr(SignerInfo));
    Require(false);
  }
  FillSignerInfo(*signer, certificate, contentDigest, signingTime, sign);
  return Encoded(
      [&](unsigned char** out) {
        return ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(contentInfo.get()), out,
                             ASN1_ITEM_rptr(ContentInfo));
      },
      "CMS signature");
}

}  // namespace zorad::tool

// clang-format off
namespace zorad::tool {
namespace {
ASN1_SEQUENCE(IssuerAndSerial) = {
    ASN1_SIMPLE(IssuerAndSerial, issuer, X509_NAME),
    ASN1_SIMPLE(IssuerAndSerial, serialNumber, ASN1_INTEGER),
} ASN1_SEQUENCE_END(IssuerAndSerial)

ASN1_SEQUENCE(EncapsulatedContent) = {
    ASN1_SIMPLE(EncapsulatedContent, contentType, ASN1_OBJECT),
    ASN1_EXP_OPT(EncapsulatedContent, content, ASN1_OCTET_STRING, 0),
} ASN1_SEQUENCE_END(EncapsulatedContent)

ASN1_SEQUENCE(SignerInfo) = {
    ASN1_SIMPLE(SignerInfo, version, ASN1_INTEGER),
    ASN1_SIMPLE(SignerInfo, signer, IssuerAndSerial),
    ASN1_SIMPLE(SignerInfo, digestAlgorithm, X509_ALGOR),
    ASN1_IMP_SET_OF_OPT(SignerInfo, signedAttributes, X509_ATTRIBUTE, 0),
    ASN1_SIMPLE(SignerInfo, signatureAlgorithm, X509_ALGOR),
    ASN1_SIMPLE(SignerInfo, signature, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(SignerInfo)

ASN1_SEQUENCE(SignedData) = {
    ASN1_SIMPLE(SignedData, version, ASN1_INTEGER),
    ASN1_SET_OF(SignedData, digestAlgorithms, X509_ALGOR),
    ASN1_SIMPLE(SignedData, content, EncapsulatedContent),
    ASN1_IMP_SET_OF_OPT(SignedData, certificates, X509, 0),
    ASN1_SET_OF(SignedData, signerInfos, SignerInfo),
} ASN1_SEQUENCE_END(SignedData)

ASN1_SEQUENCE(ContentInfo) = {
    ASN1_SIMPLE(ContentInfo, contentType, ASN1_OBJECT),
    ASN1_EXP(ContentInfo, signedData, SignedData, 0),
} ASN1_SEQUENCE_END(ContentInfo)

// The signed attributes as they are signed: a SET OF with its own tag,
// where the SignerInfo carries them under [0].
ASN1_ITEM_TEMPLATE(SignedAttributes) =
    ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SET_OF, 0, SignedAttributes, X509_ATTRIBUTE)
ASN1_ITEM_TEMPLATE_END(SignedAttributes)
}  // namespace
}  // namespace zorad::tool
// clang-format on
