#include "store/byte_order.h"
#include "store/crc32.h"
#include "store/token_object.h"

namespace zorad::store {
namespace {

constexpr size_t kCrcOffset = 4;
constexpr size_t kKeyRefOffset = 8;
constexpr size_t kIdOffset = 9;
constexpr size_t kUpdateCountOffset = 13;
constexpr size_t kSizeOffset = 15;

uint32_t SealCrc(const HeaderBytes& bytes) {
  return CRC32(std::span(bytes).subspan(kCrcOffset));
}

}  // namespace

HeaderBytes TokenObjectHeader::Encode() const {
  HeaderBytes b{};
  StoreBE32(&b[0], headerCrc);
  StoreBE32(&b[kCrcOffset], crc);
  b[kKeyRefOffset] = keyRef;
  StoreBE32(&b[kIdOffset], id);
  StoreBE16(&b[kUpdateCountOffset], updateCount);
  StoreBE16(&b[kSizeOffset], size);
  return b;
}

void TokenObjectHeader::Seal() { headerCrc = SealCrc(Encode()); }

std::optional<TokenObjectHeader> TokenObjectHeader::Decode(
    std::span<const uint8_t, kHeaderSize> bytes) {
  TokenObjectHeader h;
  h.headerCrc = LoadBE32(&bytes[0]);
  h.crc = LoadBE32(&bytes[kCrcOffset]);
  h.keyRef = bytes[kKeyRefOffset];
  h.id = LoadBE32(&bytes[kIdOffset]);
  h.updateCount = LoadBE16(&bytes[kUpdateCountOffset]);
  h.size = LoadBE16(&bytes[kSizeOffset]);
  if (SealCrc(h.Encode()) != h.headerCrc) return std::nullopt;
  return h;
}

}  // namespace zorad::store
