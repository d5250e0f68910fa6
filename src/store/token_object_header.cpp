#include "card/byte_order.h"
#include "card/crc32.h"
#include "store/token_object.h"

namespace zorad::store {
namespace {

constexpr size_t kCrcOffset = 4;
constexpr size_t kKeyRefOffset = 8;
constexpr size_t kIdOffset = 9;
constexpr size_t kUpdateCountOffset = 13;
constexpr size_t kSizeOffset = 15;

uint32_t SealCrc(const HeaderBytes& bytes) {
  return card::CRC32(std::span(bytes).subspan(kCrcOffset));
}

}  // namespace

HeaderBytes TokenObjectHeader::Encode() const {
  HeaderBytes b{};
  card::StoreBE32(&b[0], headerCrc);
  card::StoreBE32(&b[kCrcOffset], crc);
  b[kKeyRefOffset] = keyRef;
  card::StoreBE32(&b[kIdOffset], id);
  card::StoreBE16(&b[kUpdateCountOffset], updateCount);
  card::StoreBE16(&b[kSizeOffset], size);
  return b;
}

void TokenObjectHeader::Seal() { headerCrc = SealCrc(Encode()); }

std::optional<TokenObjectHeader> TokenObjectHeader::Decode(
    std::span<const uint8_t, kHeaderSize> bytes) {
  TokenObjectHeader h;
  h.headerCrc = card::LoadBE32(&bytes[0]);
  h.crc = card::LoadBE32(&bytes[kCrcOffset]);
  h.keyRef = bytes[kKeyRefOffset];
  h.id = card::LoadBE32(&bytes[kIdOffset]);
  h.updateCount = card::LoadBE16(&bytes[kUpdateCountOffset]);
  h.size = card::LoadBE16(&bytes[kSizeOffset]);
  if (SealCrc(h.Encode()) != h.headerCrc) return std::nullopt;
  return h;
}

}  // namespace zorad::store
