// PIN commands: VERIFY and CHANGE REFERENCE DATA. Their data (PINs, key
// values) is never shown by the APDU trace, and the command buffer is wiped
// once sent. A card that accepted a PIN in VERIFY holds a verification made
// by this module, which the reader resets away when it lets the card go.
#include "card/apdu.h"
#include "card/apdu_command.h"

namespace zorad::card {
namespace {

constexpr size_t kMaxData = 255;

ReaderResult SendReferenceData(Reader* reader, uint8_t ins, uint8_t p1, uint8_t reference,
                               const uint8_t* data, size_t length) {
  CommandApdu command(0x00, ins, p1, reference, static_cast<uint8_t>(length));
  command.Append(data, length);
  return command.Send(reader);
}

}  // namespace

ReaderResult APDU_Verify(Reader* reader, uint8_t reference, const uint8_t* data,
                         size_t length) {
  if ((data == nullptr) != (length == 0) || length > kMaxData) {
    return reader::RDR_BAD_ARGUMENTS;
  }
  const ReaderResult result = SendReferenceData(reader, 0x20, 0x00, reference, data, length);
  // Without data VERIFY only asks for the PIN's state, which may be another
  // application's verification.
  if (result == reader::RDR_OK && length != 0) reader->pinVerified = true;
  return result;
}

ReaderResult APDU_ChangeRefData(Reader* reader, uint8_t reference, const uint8_t* data,
                                size_t length) {
  if (data == nullptr || length == 0 || length > kMaxData) return reader::RDR_BAD_ARGUMENTS;
  return SendReferenceData(reader, 0x24, 0x01, reference, data, length);
}

}  // namespace zorad::card
