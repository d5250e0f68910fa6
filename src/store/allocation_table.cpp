#include "store/allocation_table.h"

#include <algorithm>

#include "store/byte_order.h"
#include "store/crc32.h"

namespace zorad::store {

AllocationTable::AllocationTable(const AreaLayout& layout)
    : layout_(layout), bytes_(layout.TableLength(), 0) {}

uint32_t AllocationTable::StoredChecksum() const { return LoadBE32(bytes_.data()); }

uint32_t AllocationTable::ComputedChecksum() const { return CRC32(Entries()); }

void AllocationTable::StoreChecksum() { StoreBE32(bytes_.data(), ComputedChecksum()); }

bool AllocationTable::IsUnformatted() const {
  return std::all_of(bytes_.begin(), bytes_.end(), [](uint8_t b) { return b == 0; });
}

void AllocationTable::Poison() { std::fill(bytes_.begin(), bytes_.end(), uint8_t{0xFF}); }

uint32_t AllocationTable::FreeSpace() const {
  const auto entries = Entries();
  const auto freeBlocks = std::count(entries.begin(), entries.end(), uint8_t{0});
  return static_cast<uint32_t>(freeBlocks) * layout_.BlockSize();
}

}  // namespace zorad::store
