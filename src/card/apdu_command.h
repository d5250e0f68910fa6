// Building blocks of the card commands: the command buffer and the chunking
// of offset-addressed transfers. Used only by the APDU_* operations.
#pragma once

#include <cstddef>
#include <cstdint>

#include "card/apdu.h"
#include "reader/transmit.h"

namespace zorad::card {

// One short command APDU on the stack; its bytes (possibly a PIN or a key
// value) are wiped when it goes out of scope.
class CommandApdu {
 public:
  CommandApdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, uint8_t p3);
  ~CommandApdu();
  CommandApdu(const CommandApdu&) = delete;
  CommandApdu& operator=(const CommandApdu&) = delete;

  void Append(uint8_t byte);
  void Append(const uint8_t* data, size_t length);
  void AppendZeros(size_t length);

  // Exchanges the command by TransmitApdu's rules. A command that outgrew
  // the short form is refused with RDR_BAD_ARGUMENTS, unsent.
  ReaderResult Send(Reader* reader, uint8_t* response = nullptr,
                    size_t* responseLength = nullptr) const;

  // Sends and requires exactly `length` data bytes into `destination`:
  // fewer is RDR_FAILED (the bytes received are kept), more is
  // RDR_BAD_ARGUMENTS.
  ReaderResult Receive(Reader* reader, uint8_t* destination, size_t length) const;

 private:
  uint8_t bytes_[reader::kMaxCommandLength] = {};
  size_t size_ = 0;
  bool overflow_ = false;
};

// P1 and P2 of an offset-addressed command: a 15-bit offset.
inline uint8_t OffsetP1(uint32_t offset) { return static_cast<uint8_t>((offset >> 8) & 0x7F); }
inline uint8_t OffsetP2(uint32_t offset) { return static_cast<uint8_t>(offset & 0xFF); }

// Size of the next chunk of a transfer at `offset`: at most `chunk` bytes,
// cut short where needed so that the following chunk still starts at an
// addressable offset (0x7FFF at most). 0 means the rest cannot be reached.
size_t NextChunk(uint32_t offset, size_t remaining, size_t chunk);

// True when every chunk of the transfer starts at an addressable offset, so
// that no chunk wraps to the start of the file.
bool ChunksAddressable(uint32_t offset, size_t length, size_t chunk);

}  // namespace zorad::card
