// GOST R 34.10-2001 in X.509 and CMS: the public key of a
// SubjectPublicKeyInfo, the algorithm identifiers and the signature value.
//
// libcrypto knows these object identifiers but, without the GOST engine,
// has no key type for them: it can neither decode the public key nor sign.
// So the key and the signature are put into and taken out of libcrypto's
// structures here, as the card and the module hand them over:
//   - the public key is the key's CKA_VALUE, X || Y with each coordinate
//     little-endian, in an OCTET STRING inside the BIT STRING; the
//     algorithm's parameters are SEQUENCE { parameter set, digest
//     parameters } (id-GostR3410-2001, 1.2.643.2.2.19);
//   - a signature is the 64 bytes of C_Sign, s || r with each half
//     big-endian, which is also the order of the X.509 BIT STRING and of
//     the CMS OCTET STRING, so it is taken as it is.
#pragma once

#include <openssl/x509.h>

#include <optional>
#include <span>

#include "hex_text.h"
#include "openssl_support.h"

namespace zorad::tool {

inline constexpr size_t kGostPublicKeySize = 64;

struct GostPublicKey {
  Bytes value;         // CKA_VALUE: X || Y, little-endian halves
  Bytes paramSet;      // CKA_GOSTR3410_PARAMS: DER object identifier
  Bytes digestParams;  // CKA_GOSTR3411_PARAMS, or the CryptoPro hash parameters
};

// Fills a SubjectPublicKeyInfo; throws ToolError for a value that is not
// 64 bytes or parameters that are no object identifiers.
void SetGostPublicKey(X509_PUBKEY* info, const GostPublicKey& key);

// The 64-byte value of a GOST R 34.10-2001 SubjectPublicKeyInfo; nullopt for
// another algorithm or a malformed key.
std::optional<Bytes> GostPublicKeyValue(X509_PUBKEY* info);

// An AlgorithmIdentifier of `nid` with absent (X.509 GOST signatures) or
// NULL (CMS) parameters.
AlgorithmPtr Algorithm(int nid, bool nullParameters);

// The card's signature as a BIT STRING with no unused bits, whatever its
// last byte (libcrypto would otherwise count trailing zero bits as unused).
BitStringPtr SignatureBits(std::span<const uint8_t> signature);

}  // namespace zorad::tool
