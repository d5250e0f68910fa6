#include "reader/transmit.h"

#include <algorithm>
#include <cstring>

#include "reader/apdu_trace.h"
#include "trace/trace.h"

namespace zorad::reader {
namespace {

constexpr uint16_t kSuccess = 0x9000;
constexpr uint8_t kMoreData = 0x61;
constexpr uint8_t kGetResponseIns = 0xC0;

// The card's answer. Wiped when done with: it may hold random bytes or key
// material.
struct Answer {
  uint8_t bytes[kReceiveBufferSize] = {};
  DWORD length = 0;

  ~Answer() {
    volatile uint8_t* p = bytes;
    for (size_t i = 0; i < sizeof bytes; ++i) p[i] = 0;
  }
  size_t dataLength() const { return length - 2; }
};

const SCARD_IO_REQUEST* SendPci(const Reader& reader) {
  if (reader.sendPci != nullptr) return reader.sendPci;
  return reader.activeProtocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
}

// One command and its answer, traced; RDR_OK when a status word came back.
ReaderResult Exchange(Reader& reader, const uint8_t* command, size_t length,
                      const ApduSecrecy& secrecy, Answer& answer) {
  TraceCommandApdu(reader, command, length, secrecy);
  std::memset(answer.bytes, 0, sizeof answer.bytes);
  answer.length = kReceiveBufferSize;
  const LONG rc = SCardTransmit(reader.card, SendPci(reader), command,
                                static_cast<DWORD>(length), nullptr, answer.bytes,
                                &answer.length);
  RecordCardResult(reader, rc);
  if (rc != SCARD_S_SUCCESS || answer.length < 2 || answer.length > kReceiveBufferSize) {
    trace::DebugPrintf("SCard error: %08X\n", reader.lastError);
    const ReaderResult mapped = MapSCardError(reader.lastError);
    return mapped == RDR_OK ? RDR_FAILED : mapped;
  }
  reader.lastStatusWord = static_cast<uint16_t>(answer.bytes[answer.length - 2] << 8 |
                                                answer.bytes[answer.length - 1]);
  TraceResponseApdu(reader.lastStatusWord, answer.bytes, answer.length, secrecy);
  return RDR_OK;
}

// Fetches the waiting response; `capacity` bounds it when the caller has a
// response buffer (0 in SW2 announces 256 bytes).
ReaderResult GetResponse(Reader& reader, uint8_t available, const size_t* capacity,
                         const ApduSecrecy& secrecy, Answer& answer) {
  size_t le = available == 0 ? 256 : available;
  if (capacity != nullptr) le = std::min(le, *capacity);
  const uint8_t command[5] = {0x00, kGetResponseIns, 0x00, 0x00, static_cast<uint8_t>(le)};
  const ApduSecrecy fetchSecrecy{false, secrecy.responseData};
  const ReaderResult result = Exchange(reader, command, sizeof command, fetchSecrecy, answer);
  if (result != RDR_OK) return result;
  const uint16_t sw = reader.lastStatusWord;
  return sw == kSuccess || (sw >> 8) == kMoreData ? RDR_OK : RDR_BAD_STATUS;
}

ReaderResult Deliver(const Answer& answer, uint8_t* response, size_t* responseLength) {
  if (response == nullptr || responseLength == nullptr) return RDR_OK;
  if (*responseLength < answer.dataLength()) return RDR_BAD_ARGUMENTS;
  std::memcpy(response, answer.bytes, answer.dataLength());
  *responseLength = answer.dataLength();
  return RDR_OK;
}

}  // namespace

ReaderResult TransmitApdu(const uint8_t* command, size_t length, uint8_t* response,
                          size_t* responseLength, Reader* reader) {
  if (reader == nullptr || command == nullptr || length < 4 || length > kMaxCommandLength) {
    return RDR_BAD_ARGUMENTS;
  }
  if (reader->card == 0) return RDR_NOT_CONNECTED;
  const ApduSecrecy secrecy = SecrecyOf(command[1]);
  Answer answer;
  ReaderResult result = Exchange(*reader, command, length, secrecy, answer);
  if (result != RDR_OK) return result;
  const uint16_t sw = reader->lastStatusWord;
  if (sw != kSuccess) {
    if (answer.length != 2 || (sw >> 8) != kMoreData) return RDR_BAD_STATUS;
    const bool bounded = response != nullptr && responseLength != nullptr;
    result = GetResponse(*reader, static_cast<uint8_t>(sw & 0xFF),
                         bounded ? responseLength : nullptr, secrecy, answer);
    if (result != RDR_OK) return result;
  }
  return Deliver(answer, response, responseLength);
}

}  // namespace zorad::reader
