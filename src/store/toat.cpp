#include "store/toat.h"

#include <algorithm>
#include <bitset>

#include "trace/trace.h"

namespace zorad::store {
namespace {

constexpr uint32_t kNoBlock = 0xFFFFFFFF;  // how "no first block" is traced

card::AllocationTable* TableOf(card::Token& token) {
  auto& toat = token.objects.toat();
  return toat ? &*toat : nullptr;
}

uint32_t Consume(uint32_t remaining, uint16_t blockSize) {
  return remaining - std::min<uint32_t>(remaining, blockSize);
}

// Gives `ni` the lowest free entries until `size` bytes are covered; sets
// `first` only on success.
CK_RV Allocate(card::AllocationTable& table, uint32_t size, uint8_t ni,
               std::optional<uint16_t>& first) {
  auto entries = table.Entries();
  const uint16_t blockSize = table.Layout().BlockSize();
  uint32_t remaining = std::max<uint32_t>(size, 1);  // a record always has its header block
  std::optional<uint16_t> lowest;
  for (size_t i = 0; i < entries.size() && remaining > 0; ++i) {
    if (entries[i] != 0) continue;
    entries[i] = ni;
    if (!lowest) lowest = static_cast<uint16_t>(i);
    remaining = Consume(remaining, blockSize);
  }
  if (remaining > 0) return CKR_DEVICE_MEMORY;
  ZORAD_TRACE(trace::kOperations, "AllocObjectInTOAT: ni=%x i=%x\n", ni, unsigned{*lowest});
  first = lowest;
  return CKR_OK;
}

void Release(card::AllocationTable& table, uint8_t ni) {
  auto entries = table.Entries();
  std::replace(entries.begin(), entries.end(), ni, uint8_t{0});
}

// The lowest object number from 1 to 255 that no entry carries.
std::optional<uint8_t> FreeObjectNumber(const card::AllocationTable& table) {
  std::bitset<256> used;
  used.set(0);
  for (uint8_t e : table.Entries()) used.set(e);
  for (size_t n = 1; n < used.size(); ++n) {
    if (!used.test(n)) return static_cast<uint8_t>(n);
  }
  return std::nullopt;
}

// Grows the object into the free entries from `from` on; false when the
// table ends first.
bool GrowInPlace(card::AllocationTable& table, size_t from, uint8_t ni, uint32_t remaining) {
  auto entries = table.Entries();
  const uint16_t blockSize = table.Layout().BlockSize();
  for (size_t i = from; i < entries.size() && remaining > 0; ++i) {
    if (entries[i] != 0) continue;
    entries[i] = ni;
    remaining = Consume(remaining, blockSize);
  }
  return remaining == 0;
}

}  // namespace

CK_RV AllocObjectInTOAT(card::Token& token, uint32_t size, uint8_t ni, uint16_t& first) {
  card::AllocationTable* table = TableOf(token);
  if (!table || ni == 0) return CKR_GENERAL_ERROR;
  std::optional<uint16_t> found;
  const CK_RV rv = Allocate(*table, size, ni, found);
  if (rv == CKR_OK) first = *found;
  return rv;
}

CK_RV CreateObjectInTOAT(card::Token& token, uint32_t size, uint8_t& ni, uint16_t& first) {
  ZORAD_TRACE(trace::kOperations, "CreateObjectInTOAT: size=%d\n", static_cast<int>(size));
  card::AllocationTable* table = TableOf(token);
  if (!table) return CKR_GENERAL_ERROR;
  const auto number = FreeObjectNumber(*table);
  if (!number) return CKR_DEVICE_MEMORY;
  ZORAD_TRACE(trace::kSteps, "CreateObjectInTOAT: new ni=%d\n", int{*number});
  ni = *number;
  return AllocObjectInTOAT(token, size, ni, first);
}

CK_RV RecreateObjectInTOAT(card::Token& token, uint32_t size, uint8_t ni,
                           std::optional<uint16_t>& first, bool& changed) {
  ZORAD_TRACE(trace::kOperations, "RecreateObjectInTOAT: ni=%x i=%x\n", ni,
              first ? unsigned{*first} : kNoBlock);
  card::AllocationTable* table = TableOf(token);
  if (!table || ni == 0) return CKR_GENERAL_ERROR;
  changed = false;
  auto entries = table->Entries();
  const uint16_t blockSize = table->Layout().BlockSize();
  uint32_t remaining = std::max<uint32_t>(size, 1);
  // The first free entry after the object's last block so far; a plain
  // index with a sentinel (an optional here trips GCC's maybe-uninitialized
  // check at -O3 once GrowInPlace is inlined).
  constexpr size_t kNoGrowthPoint = SIZE_MAX;
  std::optional<size_t> lastBlock;
  size_t growthPoint = kNoGrowthPoint;
  size_t i = 0;
  for (; i < entries.size() && remaining > 0; ++i) {
    if (entries[i] == ni) {
      remaining = Consume(remaining, blockSize);
      lastBlock = i;
      growthPoint = kNoGrowthPoint;
    } else if (entries[i] == 0 && lastBlock && growthPoint == kNoGrowthPoint) {
      growthPoint = i;
    }
  }
  if (remaining == 0) {  // the blocks it has suffice: free the ones beyond
    for (; i < entries.size(); ++i) {
      if (entries[i] != ni) continue;
      entries[i] = 0;
      changed = true;
    }
    return CKR_OK;
  }
  if (growthPoint != kNoGrowthPoint && GrowInPlace(*table, growthPoint, ni, remaining)) {
    changed = true;
    return CKR_OK;
  }
  ZORAD_TRACE(trace::kOperations, "DeleteObjectFromTOAT: ni=%x\n", ni);
  Release(*table, ni);
  const CK_RV rv = Allocate(*table, size, ni, first);
  if (rv == CKR_OK) changed = true;
  return rv;
}

CK_RV DeleteObjectFromTOAT(card::Token& token, uint8_t ni) {
  ZORAD_TRACE(trace::kOperations, "DeleteObjectFromTOAT: ni=%x\n", ni);
  card::AllocationTable* table = TableOf(token);
  if (!table || ni == 0) return CKR_GENERAL_ERROR;
  Release(*table, ni);
  return CKR_OK;
}

CK_RV FreeSpaceInTOAT(const card::Token& token, uint32_t& freeBytes) {
  const auto& toat = token.objects.toat();
  if (!toat) return CKR_GENERAL_ERROR;
  freeBytes = toat->FreeSpace();
  return CKR_OK;
}

CK_RV StoreTOATChecksum(card::Token& token) {
  card::AllocationTable* table = TableOf(token);
  if (!table) return CKR_GENERAL_ERROR;
  table->StoreChecksum();
  return CKR_OK;
}

}  // namespace zorad::store
