// Data the card hands out about itself: its serial number and random bytes.
#include <algorithm>

#include "card/apdu.h"
#include "card/apdu_command.h"
#include "reader/reader.h"

namespace zorad::card {
namespace {

const char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

ReaderResult APDU_ValidateSN(Reader* reader, char* text) {
  if (text == nullptr) return reader::RDR_BAD_ARGUMENTS;
  // Under T=0 the card announces the length with 61xx; under T=1 it is asked.
  const bool t0 = reader != nullptr && reader->activeProtocol == SCARD_PROTOCOL_T0;
  const CommandApdu command(0x80, 0xFE, 0x06, 0x00, t0 ? 0x00 : kSerialNumberLength);
  uint8_t serial[kSerialNumberLength] = {};
  const ReaderResult result = command.Receive(reader, serial, sizeof serial);
  if (result != reader::RDR_OK) return result;
  for (size_t i = 0; i < sizeof serial; ++i) {
    text[2 * i] = kHexDigits[serial[i] >> 4];
    text[2 * i + 1] = kHexDigits[serial[i] & 0x0F];
  }
  return reader::RDR_OK;
}

ReaderResult APDU_GetChallenge(Reader* reader, uint8_t* destination, size_t length) {
  if (destination == nullptr || length == 0) return reader::RDR_BAD_ARGUMENTS;
  for (size_t done = 0; done < length;) {
    const size_t n = std::min(length - done, kChallengeChunk);
    const CommandApdu command(0x00, 0x84, 0x00, 0x00, static_cast<uint8_t>(n));
    const ReaderResult result = command.Receive(reader, destination + done, n);
    if (result != reader::RDR_OK) return result;
    done += n;
  }
  return reader::RDR_OK;
}

}  // namespace zorad::card
