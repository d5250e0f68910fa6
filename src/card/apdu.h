// The card command set: one APDU_* operation per card command.
//
// Every operation takes the Reader first and returns a ReaderResult; none of
// them begins or ends a transaction (callers hold one around a sequence).
// Arguments are checked before anything is sent (RDR_BAD_ARGUMENTS). A
// status word other than 9000 or 61xx is RDR_BAD_STATUS, and the word stays
// in reader->lastStatusWord for the caller (63Cx wrong PIN, 6983 blocked,
// 6982 must change, 6A82 not found, 6989 accepted activation). Transfers cut
// into chunks stop at the first failing chunk; what was written stays.
#pragma once

#include <cstddef>
#include <cstdint>

#include "reader/reader.h"

namespace zorad::card {

using reader::Reader;
using reader::ReaderResult;

// Files and references of the card application.
inline constexpr uint16_t kPrivateAreaFile = 0x0001;
inline constexpr uint16_t kPublicAreaFile = 0x0009;
inline constexpr uint16_t kLabelFile = 0x0011;
inline constexpr uint16_t kUserPinFile = 0x001E;
inline constexpr uint8_t kLabelSfi = 0x11;
inline constexpr uint8_t kTokenInfoSfi = 0x12;
inline constexpr uint8_t kSoPinReference = 0x67;
inline constexpr uint8_t kUserPinReference = 0x69;

// Addressing limits of the binary-file commands: chunks start at 15-bit
// offsets, and no write ends beyond 0x80FE (0x7FFF plus one full chunk).
inline constexpr uint32_t kMaxOffset = 0x7FFF;
inline constexpr uint32_t kMaxWriteEnd = 0x80FE;
inline constexpr size_t kReadChunk = 256;
inline constexpr size_t kWriteChunk = 255;
inline constexpr size_t kChallengeChunk = 32;
inline constexpr size_t kHashChunk = 240;

// Status words of refused commands.
inline constexpr uint16_t kSwTriesLeftMask = 0xFFF0;
inline constexpr uint16_t kSwTriesLeft = 0x63C0;  // wrong PIN; the low nibble: tries left
inline constexpr uint16_t kSwPinMustChange = 0x6982;
inline constexpr uint16_t kSwPinBlocked = 0x6983;
inline constexpr uint16_t kSwAlreadyInState = 0x6989;  // the file already is (de)activated
inline constexpr uint16_t kSwFileNotFound = 0x6A82;
inline constexpr uint16_t kSwVerificationFailed = 0x6300;  // a signature that does not verify

inline constexpr size_t kSerialNumberLength = 7;
inline constexpr size_t kSerialTextLength = 2 * kSerialNumberLength;
inline constexpr size_t kPublicKeyLength = 64;

// SELECT of the card application "ZORAD_PKCS11".
ReaderResult APDU_SelectApp(Reader* reader);
// SELECT of a file by its identifier.
ReaderResult APDU_SelectFile(Reader* reader, uint16_t fileId);

// VERIFY of a PIN reference with `length` (at most 255) bytes; without data
// and with length 0 it is the status query (63Cx tells the tries left).
ReaderResult APDU_Verify(Reader* reader, uint8_t reference, const uint8_t* data,
                         size_t length);
// CHANGE REFERENCE DATA: a new PIN, or a key value for a key reference.
ReaderResult APDU_ChangeRefData(Reader* reader, uint8_t reference, const uint8_t* data,
                                size_t length);

// READ BINARY of `length` bytes at `offset` of the current file, in chunks of
// `chunk` bytes (0 or anything above 256: 256). Fewer bytes than asked is
// RDR_FAILED with what came copied.
ReaderResult APDU_ReadBF(Reader* reader, uint32_t offset, uint8_t* destination,
                         size_t length, size_t chunk = 0);
// READ BINARY of a file named by its short identifier (0..31); the rest of
// a file longer than 256 bytes is read from the then current file.
ReaderResult APDU_ReadBFBySFI(Reader* reader, uint8_t sfi, uint8_t* destination,
                              size_t length);
// UPDATE BINARY in chunks of `chunk` bytes (0 or anything above 255: 255).
ReaderResult APDU_UpdateBF(Reader* reader, uint32_t offset, const uint8_t* data,
                           size_t length, size_t chunk = 0);
// UPDATE BINARY with zero bytes.
ReaderResult APDU_EraseBF(Reader* reader, uint32_t offset, size_t length, size_t chunk = 0);

// The card's 7-byte serial number as 14 upper-case hexadecimal characters
// written to text[0..13]; nothing else of `text` is touched.
ReaderResult APDU_ValidateSN(Reader* reader, char* text);

// `length` random bytes from the card, 32 per GET CHALLENGE.
ReaderResult APDU_GetChallenge(Reader* reader, uint8_t* destination, size_t length);

// Key pair generation in a key slot, and the public key of a slot (64 bytes;
// `*keyLength` is the capacity on entry, used up to 64).
ReaderResult APDU_GenKeyPair(Reader* reader, uint8_t keyRef);
ReaderResult APDU_ReadPubKey(Reader* reader, uint8_t keyRef, uint8_t* key,
                             size_t* keyLength);

// ACTIVATE FILE and DEACTIVATE FILE; the card may answer 6989 for "already
// so", which callers accept through ActivationDone.
ReaderResult APDU_ActivateFile(Reader* reader, uint16_t fileId);
ReaderResult APDU_DeactivateFile(Reader* reader, uint16_t fileId);
// The file is now as asked: the card did it, or it already was so.
inline bool ActivationDone(ReaderResult result, const Reader& reader) {
  return result == reader::RDR_OK ||
         (result == reader::RDR_BAD_STATUS && reader.lastStatusWord == kSwAlreadyInState);
}

// Security environment: restore, and set one control reference (tag 01 value).
struct SecurityEnvironmentItem {
  uint8_t p1;
  uint8_t p2;
  uint8_t tag;
};
inline constexpr SecurityEnvironmentItem kSeHashAlgorithm = {0xC1, 0xAA, 0x80};
inline constexpr SecurityEnvironmentItem kSeSigningKey = {0x41, 0xB6, 0x84};
inline constexpr SecurityEnvironmentItem kSeVerifyingKey = {0x81, 0xB6, 0x83};
inline constexpr uint8_t kGostR3411HashAlgorithm = 0x11;

ReaderResult APDU_RestoreSE(Reader* reader);
ReaderResult APDU_SetSE(Reader* reader, uint8_t p1, uint8_t p2, uint8_t tag, uint8_t value);
inline ReaderResult APDU_SetSE(Reader* reader, const SecurityEnvironmentItem& item,
                               uint8_t value) {
  return APDU_SetSE(reader, item.p1, item.p2, item.tag, value);
}

// PSO COMPUTE DIGITAL SIGNATURE over `length` (1..255) bytes; the signature
// goes to the caller's buffer (capacity in, length out).
ReaderResult APDU_ComputeSignature(Reader* reader, const uint8_t* data, size_t length,
                                   uint8_t* signature, size_t* signatureLength);
// PSO VERIFY DIGITAL SIGNATURE of a hash; hash and signature together with
// their four tag and length bytes must fit one command (255 bytes).
ReaderResult APDU_VerifySignature(Reader* reader, const uint8_t* hash, size_t hashLength,
                                  const uint8_t* signature, size_t signatureLength);
// PSO HASH over `length` bytes in chained chunks of 240; the last chunk's
// answer (the hash) goes to the caller's buffer.
ReaderResult APDU_Hash(Reader* reader, const uint8_t* data, size_t length, uint8_t* hash,
                       size_t* hashLength);

}  // namespace zorad::card
