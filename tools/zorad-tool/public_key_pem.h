// A GOST R 34.10-2001 public key as an X.509 SubjectPublicKeyInfo (the
// algorithm 1.2.643.2.2.19 with its key and hash parameter sets, the key as
// an OCTET STRING of the 64-byte little-endian X || Y inside the BIT
// STRING), and its PEM text.
#pragma once

#include <initializer_list>
#include <optional>
#include <span>
#include <string>

#include "hex_text.h"

namespace zorad::tool {

// A DER element: tag, length (short form below 128 bytes, else long form)
// and content.
Bytes DerElement(uint8_t tag, std::span<const uint8_t> content);
Bytes Concat(std::initializer_list<std::span<const uint8_t>> parts);

// GostR3410-2001-PublicKeyParameters: SEQUENCE { parameter set, digest
// parameters }, both given as DER object identifiers; nullopt when either
// is none.
std::optional<Bytes> GostKeyParameters(std::span<const uint8_t> paramSet,
                                       std::span<const uint8_t> digestParams);

// nullopt unless the value is 64 bytes and both parameters are DER object
// identifiers. libcrypto encodes it where the tool links libcrypto
// (gost_x509.cpp), public_key_der.cpp where it does not.
std::optional<Bytes> GostPublicKeyInfo(std::span<const uint8_t> value,
                                       std::span<const uint8_t> paramSet,
                                       std::span<const uint8_t> digestParams);

// "-----BEGIN <label>-----", base64 in lines of 64, "-----END <label>-----".
std::string PemText(std::span<const uint8_t> der, const std::string& label);

}  // namespace zorad::tool
