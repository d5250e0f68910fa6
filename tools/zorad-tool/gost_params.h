// GOST R 34.10-2001 parameter sets by name and object identifier, and the
// DER form of object identifiers as CKA_GOSTR3410_PARAMS carries them.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hex_text.h"

namespace zorad::tool {

struct ParamSet {
  const char* shortName;  // as given to --paramset
  const char* name;       // as printed
  const char* oid;        // dotted
};

// A, B, C, XA, XB: the CryptoPro sets that --paramset names.
const std::vector<ParamSet>& KnownParamSets();

// DER of an object identifier (06 len ...); nullopt for malformed text.
std::optional<Bytes> EncodeOid(std::string_view dotted);
// Dotted text of a DER object identifier; nullopt when it is not one.
std::optional<std::string> DecodeOid(std::span<const uint8_t> der);

// --paramset A|B|C|XA|XB (any case) or a dotted identifier, as DER.
std::optional<Bytes> ParseParamSet(std::string_view text);

// "CryptoPro-A (1.2.643.2.2.35.1)", the dotted identifier alone for an
// unknown set, or the hex of a value that is no identifier.
std::string DescribeParamSet(std::span<const uint8_t> der);

// The GOST R 34.11-94 CryptoPro hash parameters, 1.2.643.2.2.30.1.
Bytes DefaultDigestParams();

}  // namespace zorad::tool
