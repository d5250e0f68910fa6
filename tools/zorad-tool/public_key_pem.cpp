#include "public_key_pem.h"

#include "gost_params.h"

namespace zorad::tool {
namespace {

constexpr uint8_t kSequence = 0x30;

}  // namespace

Bytes DerElement(uint8_t tag, std::span<const uint8_t> content) {
  Bytes der{tag};
  if (content.size() < 0x80) {
    der.push_back(static_cast<uint8_t>(content.size()));
  } else {
    // Long form: 0x80 | the count of length bytes, then the length
    // big-endian in as few bytes as it needs.
    Bytes length;
    for (size_t left = content.size(); left != 0; left >>= 8) {
      length.insert(length.begin(), static_cast<uint8_t>(left));
    }
    der.push_back(static_cast<uint8_t>(0x80 | length.size()));
    der.insert(der.end(), length.begin(), length.end());
  }
  der.insert(der.end(), content.begin(), content.end());
  return der;
}

Bytes Concat(std::initializer_list<std::span<const uint8_t>> parts) {
  Bytes out;
  for (auto part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

std::optional<Bytes> GostKeyParameters(std::span<const uint8_t> paramSet,
                                       std::span<const uint8_t> digestParams) {
  if (!DecodeOid(paramSet) || !DecodeOid(digestParams)) return std::nullopt;
  return DerElement(kSequence, Concat({paramSet, digestParams}));
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
