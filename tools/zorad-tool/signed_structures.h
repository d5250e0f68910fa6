// Structures signed on the card: a PKCS#10 certificate request and a CMS
// SignedData. libcrypto builds and encodes them; the bytes to be signed go
// to `sign`, which hashes them with GOST R 34.11-94 and has the card sign
// the hash (C_Sign with CKM_GOSTR3410), and the 64-byte signature comes
// back into the structure.
#pragma once

#include <openssl/x509.h>

#include <ctime>
#include <functional>
#include <optional>
#include <span>

#include "gost_x509.h"
#include "hex_text.h"

namespace zorad::tool {

using CardSigner = std::function<Bytes(std::span<const uint8_t> toBeSigned)>;

// The DER of a request for `key` in the name `subject`, without attributes,
// signed with GOST R 34.11-94 with GOST R 34.10-2001 (1.2.643.2.2.3).
Bytes CertificateRequest(const GostPublicKey& key, const X509_NAME* subject,
                         const CardSigner& sign);

// The DER of a CMS ContentInfo holding SignedData for data of type id-data:
// one signer named by its certificate's issuer and serial number, the
// certificate itself, the signed attributes content type, message digest
// (`contentDigest`, GOST R 34.11-94, 1.2.643.2.2.9) and signing time, and
// the signature (id-GostR3410-2001). The content is carried only when
// `attachedContent` is given; otherwise the signature is detached.
Bytes CmsSignedData(X509* certificate, std::span<const uint8_t> contentDigest,
                    std::optional<std::span<const uint8_t>> attachedContent,
                    std::time_t signingTime, const CardSigner& sign);

}  // namespace zorad::tool
