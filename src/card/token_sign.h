// Signing and verifying with the token's GOST R 34.10-2001 keys. The card
// computes and checks every signature; the caller names the key by the key
// reference in the key object's header and hands over the message, whose
// 32-byte GOST R 34.11-94 hash is given by the application (CKM_GOSTR3410)
// or computed by the card (CKM_GOSTR3410_WITH_GOSTR3411).
//
// Signatures are 64 bytes (s || r as the card gives them); they pass
// through unchanged in both directions. Everything runs under the library
// lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/cryptoki.h"
#include "reader/reader.h"

namespace zorad::card {

inline constexpr size_t kGostHashLength = 32;
inline constexpr size_t kGostSignatureLength = 64;

// True for the two signature mechanisms.
bool IsSignatureMechanism(CK_MECHANISM_TYPE mechanism);

// Inside the token transaction, with the application selected and the key
// object confirmed by the caller: the security environment is restored and
// names the hash algorithm and the key reference `keyRef`, the card hashes
// `data` when the mechanism asks for it, then signs the hash.
// `*signatureLength` is the capacity of `signature` on entry and the bytes
// the card returned on success. The request was checked by the caller (a
// signature mechanism; a CKM_GOSTR3410 hash of 32 bytes).
// CKR_FUNCTION_FAILED when the card refuses a command.
CK_RV SignWithKey(reader::Reader* r, uint8_t keyRef, CK_MECHANISM_TYPE mechanism,
                  const uint8_t* data, size_t dataLength, uint8_t* signature,
                  size_t* signatureLength);

// The same for checking `signature` over `data`. A signature the card
// finds wrong (verification failed) is CKR_SIGNATURE_INVALID; any other
// refusal CKR_FUNCTION_FAILED.
CK_RV VerifyWithKey(reader::Reader* r, uint8_t keyRef, CK_MECHANISM_TYPE mechanism,
                    const uint8_t* data, size_t dataLength, const uint8_t* signature,
                    size_t signatureLength);

}  // namespace zorad::card
