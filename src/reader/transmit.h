// Sending one command APDU to the card and taking its answer apart by the
// status-word rules.
#pragma once

#include <cstddef>
#include <cstdint>

#include "reader/reader.h"

namespace zorad::reader {

// Longest short command: header, Lc, 255 data bytes and Le.
inline constexpr size_t kMaxCommandLength = 4 + 1 + 255 + 1;
// Largest answer: 256 data bytes and the status word.
inline constexpr size_t kReceiveBufferSize = 258;

// Sends `command` (4 to 261 bytes) and stores the status word in
// lastStatusWord and the PC/SC result in lastError.
//
// - 9000 is success.
// - A bare 61xx is followed by one GET RESPONSE (00 C0 00 00 Le) with
//   Le = min(xx, capacity), or xx when no response buffer was given; its
//   9000 or 61xx counts as success and its data is the response.
// - Any other status word (6Cxx included: nothing is re-sent), and 61xx
//   after data, is RDR_BAD_STATUS.
// - A PC/SC failure is mapped; fewer than two bytes is RDR_FAILED.
//
// When both `response` and `responseLength` are given, `*responseLength` is
// the capacity on entry and the data length on return; data longer than the
// capacity is RDR_BAD_ARGUMENTS with the length left unchanged. Otherwise
// the response data is dropped.
ReaderResult TransmitApdu(const uint8_t* command, size_t length, uint8_t* response,
                          size_t* responseLength, Reader* reader);

}  // namespace zorad::reader
