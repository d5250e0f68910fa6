// Where an area's blocks and allocation table lie in its file.
//
// An area file starts with 64 bytes the module does not use, then blockCount
// blocks of blockSize bytes inside the object space of `capacity` bytes,
// then, at capacity + 128, the allocation table: a 4-byte checksum and one
// entry byte per block.
//
// The descriptor comes from the card, so it is checked before anything is
// addressed with it: a block must hold a record header and at least one
// body byte (a record's first block carries the start of its body), the
// blocks must lie inside the object space (so they never overlap the
// table), and the table and every block must lie within what the card
// commands can address (start offset up to 0x7FFF, end up to 0x80FE). An
// area with no blocks needs no block size; only its table's place is
// checked.
#pragma once

#include <cstdint>
#include <optional>

namespace zorad::card {

inline constexpr uint32_t kAreaBlocksOffset = 64;   // first block
inline constexpr uint32_t kAreaTableGap = 128;      // table offset - capacity
inline constexpr uint32_t kTableChecksumSize = 4;
inline constexpr uint32_t kRecordHeaderSize = 17;
inline constexpr uint32_t kMinBlockSize = kRecordHeaderSize + 1;
inline constexpr uint32_t kMaxCardOffset = 0x7FFF;  // highest start offset
inline constexpr uint32_t kMaxCardEnd = 0x80FE;     // highest offset + length

class AreaLayout {
 public:
  // The layout of a descriptor that passes the checks, nullopt otherwise.
  static std::optional<AreaLayout> Check(uint32_t capacity, uint16_t blockCount,
                                         uint16_t blockSize);

  uint32_t Capacity() const { return capacity_; }
  uint16_t BlockCount() const { return blockCount_; }
  uint16_t BlockSize() const { return blockSize_; }

  uint32_t BlockOffset(uint32_t index) const {
    return kAreaBlocksOffset + index * uint32_t{blockSize_};
  }
  uint32_t TableOffset() const { return capacity_ + kAreaTableGap; }
  uint32_t TableLength() const { return kTableChecksumSize + blockCount_; }

  // The index of the block that starts at file offset `offs`; nullopt when
  // no block starts there.
  std::optional<uint16_t> BlockAt(uint32_t offs) const;

 private:
  AreaLayout(uint32_t capacity, uint16_t blockCount, uint16_t blockSize)
      : capacity_(capacity), blockCount_(blockCount), blockSize_(blockSize) {}

  uint32_t capacity_;
  uint16_t blockCount_;
  uint16_t blockSize_;
};

}  // namespace zorad::card
