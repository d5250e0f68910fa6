// Ownership of libcrypto objects, and libcrypto's encoders and failures in
// the tool's terms.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/x509.h>

#include <memory>
#include <span>
#include <string>

#include "hex_text.h"

namespace zorad::tool {

template <typename T, void (*Free)(T*)>
struct OpenSslFree {
  void operator()(T* object) const { Free(object); }
};
template <typename T, void (*Free)(T*)>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree<T, Free>>;

using X509Ptr = OpenSslPtr<X509, X509_free>;
using X509ReqPtr = OpenSslPtr<X509_REQ, X509_REQ_free>;
using X509NamePtr = OpenSslPtr<X509_NAME, X509_NAME_free>;
using AlgorithmPtr = OpenSslPtr<X509_ALGOR, X509_ALGOR_free>;
using BitStringPtr = OpenSslPtr<ASN1_BIT_STRING, ASN1_BIT_STRING_free>;
using BioPtr = OpenSslPtr<BIO, BIO_free_all>;

// Throws ToolError (kFailed) with libcrypto's first queued error.
[[noreturn]] void ThrowOpenSsl(const std::string& what);

// The DER that an i2d-style call writes: encode(&out) returns the length
// and allocates `out`. Throws when the encoder fails.
template <typename Encode>
Bytes Encoded(Encode&& encode, const char* what) {
  unsigned char* out = nullptr;
  const int length = encode(&out);
  if (length <= 0 || out == nullptr) ThrowOpenSsl(std::string("Encoding the ") + what);
  Bytes der(out, out + length);
  OPENSSL_free(out);
  return der;
}

// The text a BIO collected.
std::string BioText(BIO* bio);

}  // namespace zorad::tool
