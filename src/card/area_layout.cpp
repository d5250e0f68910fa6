#include "card/area_layout.h"

namespace zorad::card {
namespace {

// A range the card commands can address: the start is a 15-bit offset and
// the end stays within the last chunk the card accepts.
bool Addressable(uint64_t offset, uint64_t length) {
  return offset <= kMaxCardOffset && offset + length <= kMaxCardEnd;
}

}  // namespace

std::optional<AreaLayout> AreaLayout::Check(uint32_t capacity, uint16_t blockCount,
                                            uint16_t blockSize) {
  const uint64_t tableOffset = uint64_t{capacity} + kAreaTableGap;
  if (!Addressable(tableOffset, kTableChecksumSize + uint64_t{blockCount})) return std::nullopt;
  if (blockCount == 0) return AreaLayout(capacity, blockCount, blockSize);
  if (blockSize < kMinBlockSize) return std::nullopt;
  const uint64_t blocksLength = uint64_t{blockCount} * blockSize;
  if (blocksLength > capacity) return std::nullopt;
  // The blocks end before the table, so this holds once the table is
  // addressable; checked anyway so that the rule stands on its own.
  const uint64_t lastBlock = kAreaBlocksOffset + blocksLength - blockSize;
  if (!Addressable(lastBlock, blockSize)) return std::nullopt;
  return AreaLayout(capacity, blockCount, blockSize);
}

std::optional<uint16_t> AreaLayout::BlockAt(uint32_t offs) const {
  if (blockSize_ == 0 || offs < kAreaBlocksOffset) return std::nullopt;
  const uint32_t rel = offs - kAreaBlocksOffset;
  if (rel % blockSize_ != 0 || rel / blockSize_ >= blockCount_) return std::nullopt;
  return static_cast<uint16_t>(rel / blockSize_);
}

}  // namespace zorad::card
