// Documents signed and verified by `sign` and `verify`: hashed here and the
// hash signed on the card (the default), hashed by the card (an explicit
// choice, limited to what the card hashes in one operation), or given as
// the hash itself.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "cryptoki_session.h"
#include "hex_text.h"

namespace zorad::tool {

// The most the card hashes in one operation (the module's limit).
inline constexpr size_t kCardHashLimit = size_t{16} << 20;

enum class DocumentHashing {
  kHost,   // default: GOST R 34.11-94 here, the card signs the hash (CKM_GOSTR3410)
  kCard,   // --mechanism gostr3410-with-gostr3411: the card hashes 1 byte to 16 MiB
  kGiven,  // --mechanism gostr3410: the file is the 32-byte hash
};

// --mechanism; throws UsageError for an unknown name.
DocumentHashing ParseHashing(const std::optional<std::string>& text);
// "hashed here, CKM_GOSTR3410" and the like, for the report.
const char* HashingText(DocumentHashing hashing);

// A document ready for the card: its hash (kHost, kGiven) or its content
// (kCard). Reading it sends no card command.
struct Document {
  DocumentHashing hashing = DocumentHashing::kHost;
  uint64_t size = 0;
  Bytes data;
};

// Throws ToolError (kFile) when the file cannot be read or the mechanism
// cannot take it: not a 32-byte hash (kGiven), empty or over 16 MiB (kCard).
Document ReadDocument(DocumentHashing hashing, const std::string& path);

Bytes SignDocument(const Session& session, CK_OBJECT_HANDLE key, const Document& document);

// CKR_OK for a valid signature; a refused one gives the module's code
// (CKR_SIGNATURE_INVALID for a mismatch; CKR_FUNCTION_FAILED for a card fault).
CK_RV VerifyDocument(const Session& session, CK_OBJECT_HANDLE key, const Document& document,
                     std::span<const uint8_t> signature);

}  // namespace zorad::tool
