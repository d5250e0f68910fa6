// The SubjectPublicKeyInfo of a GOST public key, encoded here: the Windows
// build of the tool has no libcrypto (the Linux build uses its encoder).
#include "gost_params.h"
#include "public_key_pem.h"

namespace zorad::tool {
namespace {

constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kOctetString = 0x04;
constexpr size_t kPublicKeySize = 64;

}  // namespace

std::optional<Bytes> GostPublicKeyInfo(std::span<const uint8_t> value,
                                       std::span<const uint8_t> paramSet,
                                       std::span<const uint8_t> digestParams) {
  const std::optional<Bytes> parameters = GostKeyParameters(paramSet, digestParams);
  if (value.size() != kPublicKeySize || !parameters) return std::nullopt;
  const Bytes algorithm = *EncodeOid("1.2.643.2.2.19");
  const Bytes identifier = DerElement(kSequence, Concat({algorithm, *parameters}));
  const Bytes key = DerElement(kOctetString, value);
  const Bytes bits = DerElement(kBitString, Concat({Bytes{0x00}, key}));  // no unused bits
  return DerElement(kSequence, Concat({identifier, bits}));
}

}  // namespace zorad::tool
