#include "public_key_pem.h"

#include <algorithm>

#include "gost_params.h"

namespace zorad::tool {
namespace {

constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kOctetString = 0x04;
constexpr size_t kPublicKeySize = 64;

// Every element here is shorter than 128 bytes: short-form lengths only.
Bytes Element(uint8_t tag, const Bytes& content) {
  Bytes der(2 + content.size());
  der[0] = tag;
  der[1] = static_cast<uint8_t>(content.size());
  std::copy(content.begin(), content.end(), der.begin() + 2);
  return der;
}

Bytes Concat(std::initializer_list<std::span<const uint8_t>> parts) {
  Bytes out;
  for (auto part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

}  // namespace

std::optional<Bytes> GostKeyParameters(std::span<const uint8_t> paramSet,
                                       std::span<const uint8_t> digestParams) {
  if (!DecodeOid(paramSet) || !DecodeOid(digestParams) || paramSet.size() > 40 ||
      digestParams.size() > 40) {
    return std::nullopt;
  }
  return Element(kSequence, Concat({paramSet, digestParams}));
}

std::optional<Bytes> GostPublicKeyInfo(std::span<const uint8_t> value,
                                       std::span<const uint8_t> paramSet,
                                       std::span<const uint8_t> digestParams) {
  const std::optional<Bytes> parameters = GostKeyParameters(paramSet, digestParams);
  if (value.size() != kPublicKeySize || !parameters) return std::nullopt;
  const Bytes algorithm = *EncodeOid("1.2.643.2.2.19");
  const Bytes identifier = Element(kSequence, Concat({algorithm, *parameters}));
  const Bytes key = Element(kOctetString, Bytes(value.begin(), value.end()));
  const Bytes bits = Element(kBitString, Concat({Bytes{0x00}, key}));  // no unused bits
  return Element(kSequence, Concat({identifier, bits}));
}

std::string PemText(std::span<const uint8_t> der, const std::string& label) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string base64;
  for (size_t i = 0; i < der.size(); i += 3) {
    const size_t left = der.size() - i;
    const uint32_t group = uint32_t{der[i]} << 16 | (left > 1 ? uint32_t{der[i + 1]} << 8 : 0) |
                           (left > 2 ? der[i + 2] : 0);
    base64 += kAlphabet[group >> 18 & 0x3F];
    base64 += kAlphabet[group >> 12 & 0x3F];
    base64 += left > 1 ? kAlphabet[group >> 6 & 0x3F] : '=';
    base64 += left > 2 ? kAlphabet[group & 0x3F] : '=';
  }
  std::string text = "-----BEGIN " + label + "-----\n";
  for (size_t i = 0; i < base64.size(); i += 64) text += base64.substr(i, 64) + "\n";
  return text + "-----END " + label + "-----\n";
}

}  // namespace zorad::tool
