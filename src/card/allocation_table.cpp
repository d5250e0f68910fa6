#include "card/allocation_table.h"

#include <algorithm>

#include "card/byte_order.h"
#include "card/crc32.h"

namespace zorad::card {

AllocationTable::AllocationTable(const AreaLayout& layout)
    : layout_(layout), bytes_(layout.TableLength(), 0) {}

uint32_t AllocationTable::StoredChecksum() const { return LoadBE32(bytes_.data()); }

uint32_t AllocationTable::ComputedChecksum() const { return CRC32(Entries()); }

void AllocationTable::StoreChecksum() { StoreBE32(bytes_.data(), ComputedChecksum()); }

bool AllocationTable::IsUnformatted() const {
  return std::all_of(bytes_.begin(), bytes_.end(), [](uint8_t b) { return b == 0; });
}

void AllocationTable::Poison() { std::fill(bytes_.begin(), bytes_.end(), uint8_t{0xFF}); }

std::optional<std::vector<uint16_t>> AllocationTable::BlocksOf(uint32_t offs) const {
  const auto first = layout_.BlockAt(offs);
  if (!first) return std::nullopt;
  const auto entries = Entries();
  const uint8_t ni = entries[*first];
  if (ni == 0) return std::nullopt;
  if (std::find(entries.begin(), entries.begin() + *first, ni) != entries.begin() + *first) {
    return std::nullopt;
  }
  std::vector<uint16_t> blocks;
  for (size_t i = *first; i < entries.size(); ++i) {
    if (entries[i] == ni) blocks.push_back(static_cast<uint16_t>(i));
  }
  return blocks;
}

uint32_t AllocationTable::FreeSpace() const {
  const auto entries = Entries();
  const auto freeBlocks = std::count(entries.begin(), entries.end(), uint8_t{0});
  return static_cast<uint32_t>(freeBlocks) * layout_.BlockSize();
}

}  // namespace zorad::card
