// Key slots: generating a key pair and reading its public key.
#include <algorithm>

#include "card/apdu.h"
#include "card/apdu_command.h"

namespace zorad::card {

ReaderResult APDU_GenKeyPair(Reader* reader, uint8_t keyRef) {
  const CommandApdu command(0x00, 0x46, 0x02, keyRef, 0x00);
  return command.Send(reader);
}

ReaderResult APDU_ReadPubKey(Reader* reader, uint8_t keyRef, uint8_t* key, size_t* keyLength) {
  if (key == nullptr || keyLength == nullptr) return reader::RDR_BAD_ARGUMENTS;
  size_t capacity = std::min(*keyLength, kPublicKeyLength);
  const CommandApdu command(0x00, 0x46, 0x01, keyRef, 0x00);
  const ReaderResult result = command.Send(reader, key, &capacity);
  if (result == reader::RDR_OK) *keyLength = capacity;
  return result;
}

}  // namespace zorad::card
