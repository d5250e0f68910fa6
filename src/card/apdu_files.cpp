// Selection and binary-file commands: SELECT, READ BINARY, UPDATE BINARY,
// ACTIVATE and DEACTIVATE FILE.
#include <algorithm>

#include "card/apdu.h"
#include "card/apdu_command.h"

namespace zorad::card {
namespace {

using reader::RDR_BAD_ARGUMENTS;
using reader::RDR_OK;

const uint8_t kApplicationId[] = {'Z', 'O', 'R', 'A', 'D', '_', 'P', 'K', 'C', 'S', '1', '1'};

ReaderResult SendWithFileId(Reader* reader, uint8_t ins, uint8_t p1, uint8_t p2,
                            uint16_t fileId) {
  CommandApdu command(0x00, ins, p1, p2, 0x02);
  command.Append(static_cast<uint8_t>(fileId >> 8));
  command.Append(static_cast<uint8_t>(fileId));
  return command.Send(reader);
}

size_t ReadChunkSize(size_t chunk) { return chunk == 0 ? kReadChunk : std::min(chunk, kReadChunk); }
size_t WriteChunkSize(size_t chunk) {
  return chunk == 0 ? kWriteChunk : std::min(chunk, kWriteChunk);
}

// The UPDATE BINARY loop; `data` null writes zeros.
ReaderResult WriteChunks(Reader* reader, uint32_t offset, const uint8_t* data, size_t length,
                         size_t chunk) {
  const size_t c = WriteChunkSize(chunk);
  if (length == 0 || offset > kMaxOffset || length > kMaxWriteEnd - offset ||
      !ChunksAddressable(offset, length, c)) {
    return RDR_BAD_ARGUMENTS;
  }
  for (size_t done = 0; done < length;) {
    const size_t n = NextChunk(offset, length - done, c);
    CommandApdu command(0x00, 0xD6, OffsetP1(offset), OffsetP2(offset),
                        static_cast<uint8_t>(n));
    if (data != nullptr) {
      command.Append(data + done, n);
    } else {
      command.AppendZeros(n);
    }
    const ReaderResult result = command.Send(reader);
    if (result != RDR_OK) return result;
    offset += static_cast<uint32_t>(n);
    done += n;
  }
  return RDR_OK;
}

}  // namespace

ReaderResult APDU_SelectApp(Reader* reader) {
  CommandApdu command(0x00, 0xA4, 0x04, 0x0C, sizeof kApplicationId);
  command.Append(kApplicationId, sizeof kApplicationId);
  return command.Send(reader);
}

ReaderResult APDU_SelectFile(Reader* reader, uint16_t fileId) {
  return SendWithFileId(reader, 0xA4, 0x00, 0x0C, fileId);
}

ReaderResult APDU_ActivateFile(Reader* reader, uint16_t fileId) {
  return SendWithFileId(reader, 0x44, 0x00, 0x00, fileId);
}

ReaderResult APDU_DeactivateFile(Reader* reader, uint16_t fileId) {
  return SendWithFileId(reader, 0x04, 0x00, 0x00, fileId);
}

ReaderResult APDU_ReadBF(Reader* reader, uint32_t offset, uint8_t* destination, size_t length,
                         size_t chunk) {
  const size_t c = ReadChunkSize(chunk);
  if (destination == nullptr || length == 0 || !ChunksAddressable(offset, length, c)) {
    return RDR_BAD_ARGUMENTS;
  }
  for (size_t done = 0; done < length;) {
    const size_t n = NextChunk(offset, length - done, c);
    const CommandApdu command(0x00, 0xB0, OffsetP1(offset), OffsetP2(offset),
                              static_cast<uint8_t>(n));
    const ReaderResult result = command.Receive(reader, destination + done, n);
    if (result != RDR_OK) return result;
    offset += static_cast<uint32_t>(n);
    done += n;
  }
  return RDR_OK;
}

ReaderResult APDU_ReadBFBySFI(Reader* reader, uint8_t sfi, uint8_t* destination,
                              size_t length) {
  // A short identifier has five bits; more would spill into P1's other bits.
  if (destination == nullptr || length == 0 || sfi > 0x1F) return RDR_BAD_ARGUMENTS;
  const size_t n = std::min(length, kReadChunk);
  const CommandApdu command(0x00, 0xB0, static_cast<uint8_t>(0x80 | sfi), 0x00,
                            static_cast<uint8_t>(n));
  const ReaderResult result = command.Receive(reader, destination, n);
  if (result != RDR_OK || n == length) return result;
  return APDU_ReadBF(reader, static_cast<uint32_t>(n), destination + n, length - n, kReadChunk);
}

ReaderResult APDU_UpdateBF(Reader* reader, uint32_t offset, const uint8_t* data, size_t length,
                           size_t chunk) {
  if (data == nullptr) return RDR_BAD_ARGUMENTS;
  return WriteChunks(reader, offset, data, length, chunk);
}

ReaderResult APDU_EraseBF(Reader* reader, uint32_t offset, size_t length, size_t chunk) {
  return WriteChunks(reader, offset, nullptr, length, chunk);
}

}  // namespace zorad::card
