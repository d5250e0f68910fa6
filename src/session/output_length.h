// Calls that hand a value of a fixed length to the caller's buffer
// (signatures, digests) answer a length query and a buffer too small the
// same way, before anything reaches the card.
#pragma once

#include <optional>

#include "platform/cryptoki.h"

namespace zorad::session {

// With no buffer (a length query) or one shorter than `needed`: stores the
// length needed and gives the answer (CKR_OK, CKR_BUFFER_TOO_SMALL); the
// operation goes on. Empty when the buffer takes the value.
inline std::optional<CK_RV> AnswerLengthQuery(const CK_BYTE* buffer, CK_ULONG& length,
                                              CK_ULONG needed) {
  if (buffer != nullptr && length >= needed) return std::nullopt;
  length = needed;
  return buffer == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
}

}  // namespace zorad::session
