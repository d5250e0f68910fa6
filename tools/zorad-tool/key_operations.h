// GOST key pairs, signatures and public keys on the token, shared by the
// key commands and the demo.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "cryptoki_session.h"
#include "hex_text.h"
#include "object_access.h"

namespace zorad::tool {

constexpr size_t kSignatureSize = 64;

struct GeneratedKeyPair {
  CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
  Bytes paramSet;  // DER object identifier the token accepted
};

// A token key pair: private key private, both allowed to sign or verify.
// Without a parameter set the signature sets (CryptoPro A, B, C, test set)
// are offered in turn until the token accepts one: the token has one set of
// its own, and a refused set costs no card command.
GeneratedKeyPair GenerateKeyPair(const Session& session, const std::string& label,
                                 const std::optional<Bytes>& id,
                                 const std::optional<Bytes>& paramSet);

// --id HEX, when given; throws UsageError for text that is not hexadecimal.
std::optional<Bytes> IdOption(const ParsedArgs& args);

const char* MechanismName(CK_MECHANISM_TYPE mechanism);

Bytes Sign(const Session& session, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechanism,
           std::span<const uint8_t> data);

// CKR_OK for a valid signature; a refused signature gives the module's
// code (CKR_SIGNATURE_INVALID for a mismatch; CKR_FUNCTION_FAILED for a card fault).
CK_RV Verify(const Session& session, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechanism,
             std::span<const uint8_t> data, std::span<const uint8_t> signature);

// The 64-byte CKA_VALUE of a public key. Throws ToolError when the key has
// no value (its private key was deleted).
Bytes PublicKeyValue(const Session& session, CK_OBJECT_HANDLE key);
const Bytes& RequirePublicKeyValue(const ObjectInfo& info);

}  // namespace zorad::tool
