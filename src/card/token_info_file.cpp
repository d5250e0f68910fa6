#include "card/token_info_file.h"

#include <algorithm>

#include "card/byte_order.h"
#include "card/crc32.h"

namespace zorad::card {
namespace {

AreaDescriptor DecodeArea(const uint8_t* p) {
  AreaDescriptor area;
  area.capacity = LoadBE32(p);
  // Kept as stored: the module never interprets these two bytes.
  area.reserved = static_cast<uint16_t>(p[4] | (p[5] << 8));
  area.blockCount = LoadBE16(p + 6);
  area.blockSize = LoadBE16(p + 8);
  return area;
}

}  // namespace

bool IsValidTokenInfoFile(std::span<const uint8_t, kTokenInfoFileSize> file) {
  namespace at = info_offset;
  if (file[at::kFormatMajor] != kInfoFormatMajor || file[at::kFormatMinor] != kInfoFormatMinor) {
    return false;
  }
  return CRC32(file.subspan(at::kCrcCovered)) == LoadBE32(file.data());
}

TokenInfoFile DecodeTokenInfoFile(std::span<const uint8_t, kTokenInfoFileSize> file) {
  namespace at = info_offset;
  const uint8_t* p = file.data();
  TokenInfoFile info;
  info.infoCrc = LoadBE32(p + at::kCrc);
  info.formatMajor = p[at::kFormatMajor];
  info.formatMinor = p[at::kFormatMinor];
  std::copy_n(p + at::kManufacturer, info.manufacturer.size(), info.manufacturer.begin());
  info.writeChunk = LoadBE16(p + at::kWriteChunk);
  info.pinTryThreshold = p[at::kPinTryThreshold];
  info.minPinLen = p[at::kMinPinLen];
  info.maxPinLen = p[at::kMaxPinLen];
  info.publicArea = DecodeArea(p + at::kPublicArea);
  info.privateArea = DecodeArea(p + at::kPrivateArea);
  info.gostParamSet = p[at::kGostParamSet];
  info.privateKeyRefFirst = p[at::kPrivateKeyRefFirst];
  info.privateKeyRefLast = p[at::kPrivateKeyRefLast];
  info.publicKeyRefFirst = p[at::kPublicKeyRefFirst];
  info.publicKeyRefLast = p[at::kPublicKeyRefLast];
  return info;
}

}  // namespace zorad::card
