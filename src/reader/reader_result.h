// Result codes of the reader layer and the card commands, and the mapping
// of PC/SC results onto them.
#pragma once

#include <cstdint>

#include "platform/pcsc.h"

namespace zorad::reader {

enum ReaderResult : uint32_t {
  RDR_OK = 0,
  RDR_FAILED = 1,            // any other PC/SC failure; every failed begin
  RDR_NOT_CONNECTED = 2,     // no context, or the reader holds no card handle
  RDR_BAD_ARGUMENTS = 3,     // missing argument, or a response too long for the buffer
  RDR_NO_MEMORY = 4,
  RDR_BAD_STATUS = 5,        // the card answered a status word that is no success
  RDR_TIMEOUT = 6,
  RDR_UNKNOWN_READER = 7,
  RDR_BUFFER_TOO_SMALL = 8,
  RDR_NO_READERS = 9,
  RDR_NO_SERVICE = 10,
};

// The 32-bit pattern of a PC/SC result, whatever width LONG has here.
inline uint32_t ScardCode(LONG rc) { return static_cast<uint32_t>(rc); }

// Maps a PC/SC result (0 included) to a ReaderResult; traces
// "SCard error: %08X" in the steps category first.
ReaderResult MapSCardError(uint32_t code);
inline ReaderResult MapSCardError(LONG rc) { return MapSCardError(ScardCode(rc)); }

// True for the two ways a reader driver says it does not know an attribute.
bool IsUnsupportedAttribute(uint32_t code);

}  // namespace zorad::reader
