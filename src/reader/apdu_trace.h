// The APDU trace: each command and response at the level in bits 0x30 of
// the trace mask. Level 1 writes the reader name, the header and the status
// word; levels 2 and 3 add a separator and the data bytes. Data that carries
// PINs, key values or random bytes is never dumped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "reader/reader.h"

namespace zorad::reader {

// What the trace may show of a command's data and of its response data.
struct ApduSecrecy {
  bool commandData = false;   // PIN or key value in the command
  bool responseData = false;  // random bytes in the response
};

// Looked up by instruction byte.
ApduSecrecy SecrecyOf(uint8_t instruction);

void TraceCommandApdu(const Reader& reader, const uint8_t* command, size_t length,
                      const ApduSecrecy& secrecy);
void TraceResponseApdu(uint16_t statusWord, const uint8_t* received, size_t length,
                       const ApduSecrecy& secrecy);
// "\nATR:" and a dump of the reader's ATR, at any APDU level.
void TraceAtr(const Reader& reader);

}  // namespace zorad::reader
