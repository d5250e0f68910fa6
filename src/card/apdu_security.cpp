// Security environment and the signature commands: MANAGE SECURITY
// ENVIRONMENT, PSO HASH, PSO COMPUTE and VERIFY DIGITAL SIGNATURE.
#include <algorithm>

#include "card/apdu.h"
#include "card/apdu_command.h"

namespace zorad::card {
namespace {

using reader::RDR_BAD_ARGUMENTS;
using reader::RDR_OK;

constexpr size_t kMaxData = 255;
constexpr uint8_t kChainedCla = 0x10;
constexpr uint8_t kHashTag = 0x9A;
constexpr uint8_t kSignatureTag = 0x9E;

}  // namespace

ReaderResult APDU_RestoreSE(Reader* reader) {
  const CommandApdu command(0x00, 0x22, 0xF3, 0x00, 0x00);
  return command.Send(reader);
}

ReaderResult APDU_SetSE(Reader* reader, uint8_t p1, uint8_t p2, uint8_t tag, uint8_t value) {
  CommandApdu command(0x00, 0x22, p1, p2, 0x03);
  command.Append(tag);
  command.Append(0x01);
  command.Append(value);
  return command.Send(reader);
}

ReaderResult APDU_ComputeSignature(Reader* reader, const uint8_t* data, size_t length,
                                   uint8_t* signature, size_t* signatureLength) {
  if (data == nullptr || length == 0 || length > kMaxData) return RDR_BAD_ARGUMENTS;
  CommandApdu command(0x00, 0x2A, 0x9E, 0x9A, static_cast<uint8_t>(length));
  command.Append(data, length);
  return command.Send(reader, signature, signatureLength);
}

ReaderResult APDU_VerifySignature(Reader* reader, const uint8_t* hash, size_t hashLength,
                                  const uint8_t* signature, size_t signatureLength) {
  if (hash == nullptr || hashLength == 0 || (signature == nullptr && signatureLength != 0) ||
      hashLength > kMaxData || signatureLength > kMaxData - 4 - hashLength) {
    return RDR_BAD_ARGUMENTS;
  }
  CommandApdu command(0x00, 0x2A, 0x00, 0xA8,
                      static_cast<uint8_t>(hashLength + signatureLength + 4));
  command.Append(kHashTag);
  command.Append(static_cast<uint8_t>(hashLength));
  command.Append(hash, hashLength);
  command.Append(kSignatureTag);
  command.Append(static_cast<uint8_t>(signatureLength));
  command.Append(signature, signatureLength);
  return command.Send(reader);
}

ReaderResult APDU_Hash(Reader* reader, const uint8_t* data, size_t length, uint8_t* hash,
                       size_t* hashLength) {
  if (data == nullptr || length == 0) return RDR_BAD_ARGUMENTS;
  for (size_t done = 0; done < length;) {
    const size_t n = std::min(length - done, kHashChunk);
    const bool last = done + n == length;
    CommandApdu command(last ? 0x00 : kChainedCla, 0x2A, 0x90, 0x80, static_cast<uint8_t>(n));
    command.Append(data + done, n);
    const ReaderResult result =
        last ? command.Send(reader, hash, hashLength) : command.Send(reader);
    if (result != RDR_OK) return result;
    done += n;
  }
  return RDR_OK;
}

}  // namespace zorad::card
