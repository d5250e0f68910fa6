#include "card/apdu_command.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "card/secure_buffer.h"
#include "reader/transaction.h"

namespace zorad::card {
namespace {

constexpr uint8_t kInsSelect = 0xA4;
constexpr uint8_t kSfiFlag = 0x80;

// Instructions that leave the current file as it was, unless they name a
// file by its short identifier: READ BINARY, UPDATE BINARY, VERIFY, CHANGE
// and RESET REFERENCE DATA, GET CHALLENGE, MSE, PSO, the serial number. Any
// other command may make another file current (READ PUBLIC KEY and key
// generation on some cards do).
constexpr std::array<uint8_t, 9> kKeepCurrentFile = {0xB0, 0xD6, 0x20, 0x24, 0x2C,
                                                     0x84, 0x22, 0x2A, 0xFE};

bool KeepsCurrentFile(uint8_t ins, uint8_t p1) {
  const bool byShortId = (ins == 0xB0 || ins == 0xD6) && (p1 & kSfiFlag) != 0;
  const bool keeps = std::ranges::find(kKeepCurrentFile, ins) != kKeepCurrentFile.end();
  return keeps && !byShortId;
}

// Follows what a command did to the card's selection in this conversation.
void FollowSelection(Reader* reader, const uint8_t* bytes, size_t size, ReaderResult result) {
  if (reader == nullptr || size < 5) return;
  reader::CardSelection& selection = reader::SelectionOf(*reader);
  const uint8_t ins = bytes[1];
  const uint8_t p1 = bytes[2];
  if (ins == kInsSelect && p1 == 0x04) {
    selection.application = result == reader::RDR_OK;
    selection.file = 0;
  } else if (ins == kInsSelect && size >= 7) {
    selection.file = result == reader::RDR_OK ? static_cast<uint16_t>(bytes[5] << 8 | bytes[6]) : 0;
  } else if (!KeepsCurrentFile(ins, p1)) {
    selection.file = 0;
  }
}

}  // namespace

CommandApdu::CommandApdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, uint8_t p3)
    : bytes_{cla, ins, p1, p2, p3}, size_(5) {}

CommandApdu::~CommandApdu() { SecureWipe(bytes_, sizeof bytes_); }

void CommandApdu::Append(uint8_t byte) { Append(&byte, 1); }

void CommandApdu::Append(const uint8_t* data, size_t length) {
  if (length > sizeof bytes_ - size_ || (data == nullptr && length != 0)) {
    overflow_ = true;
    return;
  }
  if (length != 0) std::memcpy(bytes_ + size_, data, length);
  size_ += length;
}

void CommandApdu::AppendZeros(size_t length) {
  if (length > sizeof bytes_ - size_) {
    overflow_ = true;
    return;
  }
  std::memset(bytes_ + size_, 0, length);
  size_ += length;
}

ReaderResult CommandApdu::Send(Reader* reader, uint8_t* response,
                               size_t* responseLength) const {
  if (overflow_) return reader::RDR_BAD_ARGUMENTS;
  const ReaderResult result = reader::TransmitApdu(bytes_, size_, response, responseLength, reader);
  FollowSelection(reader, bytes_, size_, result);
  return result;
}

ReaderResult CommandApdu::Receive(Reader* reader, uint8_t* destination, size_t length) const {
  size_t received = length;
  const ReaderResult result = Send(reader, destination, &received);
  if (result != reader::RDR_OK) return result;
  return received == length ? reader::RDR_OK : reader::RDR_FAILED;
}

size_t NextChunk(uint32_t offset, size_t remaining, size_t chunk) {
  size_t n = std::min(remaining, chunk);
  if (remaining > n && offset + n > kMaxOffset) {
    n = offset < kMaxOffset ? kMaxOffset - offset : 0;
  }
  return n;
}

bool ChunksAddressable(uint32_t offset, size_t length, size_t chunk) {
  if (offset > kMaxOffset || chunk == 0) return false;
  while (length != 0) {
    const size_t n = NextChunk(offset, length, chunk);
    if (n == 0) return false;
    offset += static_cast<uint32_t>(n);
    length -= n;
  }
  return true;
}

}  // namespace zorad::card
