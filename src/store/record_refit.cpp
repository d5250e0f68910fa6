#include "store/record_refit.h"

#include <optional>

#include "store/toat.h"
#include "trace/trace.h"

namespace zorad::store {
namespace {

// Whether the new blocks of object `ni` include any it had before.
bool ReusesOwnBlocks(const card::AllocationTable& before, const card::AllocationTable& now,
                     uint8_t ni) {
  const auto a = before.Entries();
  const auto b = now.Entries();
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (a[i] == ni && b[i] == ni) return true;
  }
  return false;
}

// Allocates the record afresh among the blocks free in `previous` and then
// frees the old ones. nullopt (and the table as it was) when they do not
// suffice.
std::optional<uint16_t> MoveToFreeBlocks(card::Token& token, const card::AllocationTable& previous,
                                         uint8_t ni, uint32_t recordSize) {
  card::AllocationTable& table = *token.objects.toat();
  const card::AllocationTable moved = table;
  table = previous;
  uint16_t first = 0;
  if (AllocObjectInTOAT(token, recordSize, ni, first) != CKR_OK) {
    table = moved;
    return std::nullopt;
  }
  auto entries = table.Entries();
  const auto old = previous.Entries();
  for (size_t i = 0; i < entries.size(); ++i) {
    if (old[i] == ni) entries[i] = 0;
  }
  return first;
}

}  // namespace

CK_RV RefitObjectBlocks(card::Token& token, TokenObject& object, uint32_t recordSize,
                        const card::AllocationTable& previous, bool& tableChanged) {
  tableChanged = false;
  if (!token.objects.toat()) return CKR_GENERAL_ERROR;
  const auto firstBlock = previous.Layout().BlockAt(object.offs);
  if (!firstBlock) return CKR_GENERAL_ERROR;
  const uint8_t ni = previous.Entries()[*firstBlock];
  if (ni == 0) return CKR_GENERAL_ERROR;
  std::optional<uint16_t> moved;
  CK_RV rv = RecreateObjectInTOAT(token, recordSize, ni, moved, tableChanged);
  if (rv != CKR_OK || !moved) return rv;
  if (ReusesOwnBlocks(previous, *token.objects.toat(), ni)) {
    if (auto elsewhere = MoveToFreeBlocks(token, previous, ni, recordSize)) moved = elsewhere;
  }
  const uint32_t offs = previous.Layout().BlockOffset(*moved);
  ZORAD_TRACE(trace::kDetail, "object moved from offset %u to %u\n",
              static_cast<unsigned>(object.offs), static_cast<unsigned>(offs));
  object.offs = offs;
  return CKR_OK;
}

}  // namespace zorad::store
