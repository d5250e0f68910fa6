// The token object allocation table (TOAT) of the current area, as read
// from the card: 4 checksum bytes in card order, then one entry per block.
// Entry 0 is a free block; 1 to 255 is the number (ni) of the object that
// owns the block. An object's blocks, in ascending order, carry its record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "card/area_layout.h"

namespace zorad::card {

class AllocationTable {
 public:
  // A zero-filled table for the area.
  explicit AllocationTable(const AreaLayout& layout);

  const AreaLayout& Layout() const { return layout_; }

  // All blockCount + 4 bytes, as they lie on the card.
  std::span<uint8_t> Bytes() { return bytes_; }
  std::span<const uint8_t> Bytes() const { return bytes_; }
  std::span<uint8_t> Entries() { return std::span(bytes_).subspan(kTableChecksumSize); }
  std::span<const uint8_t> Entries() const {
    return std::span(bytes_).subspan(kTableChecksumSize);
  }

  uint32_t StoredChecksum() const;
  uint32_t ComputedChecksum() const;
  // Writes the checksum of the entries into the first 4 bytes.
  void StoreChecksum();
  // Checksum bytes and entries all zero: an area that was never formatted.
  bool IsUnformatted() const;
  // Every byte 0xFF: after a failed selection no block reads as free.
  void Poison();

  // The blocks of the object whose record starts at `offs`, ascending: its
  // header block first, then every later block with the same number.
  // nullopt when no block starts at `offs`, the block is free, or a lower
  // block carries the same number (the header would not start the record).
  std::optional<std::vector<uint16_t>> BlocksOf(uint32_t offs) const;

  // Free bytes: free entries times the block size.
  uint32_t FreeSpace() const;

  bool operator==(const AllocationTable& other) const { return bytes_ == other.bytes_; }

 private:
  AreaLayout layout_;
  std::vector<uint8_t> bytes_;
};

}  // namespace zorad::card
