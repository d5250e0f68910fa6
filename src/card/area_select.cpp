#include "card/area_select.h"

#include <algorithm>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "card/apdu.h"
#include "card/area.h"
#include "card/token.h"
#include "reader/reader.h"
#include "reader/transaction.h"
#include "trace/trace.h"

namespace zorad::card {
namespace {

constexpr size_t kTableReadChunk = 256;

bool HasCard(const CardSlot& slot) { return slot.reader && slot.token; }

CK_RV ReadTable(CardSlot& slot, AllocationTable& table) {
  const AreaLayout& layout = table.Layout();
  if (layout.BlockCount() == 0) return CKR_OK;  // nothing to read; checksum bytes stay zero
  auto bytes = table.Bytes();
  if (APDU_ReadBF(slot.reader.get(), layout.TableOffset(), bytes.data(), bytes.size(),
                  kTableReadChunk) != reader::RDR_OK) {
    return CKR_DEVICE_ERROR;
  }
  if (table.ComputedChecksum() == table.StoredChecksum()) return CKR_OK;
  return table.IsUnformatted() ? CKR_TOKEN_NOT_RECOGNIZED : CKR_DEVICE_ERROR;
}

CK_RV SelectAreaFailed(ObjectCache& cache, CK_RV rv) {
  cache.objectsStale = true;
  cache.proven = false;
  if (cache.toat()) cache.toat()->Poison();
  return rv;
}

// The free memory the token reports follows every table read or written;
// the PIN states are asked again at the next token information request.
void NoteFreeMemory(Token& token) {
  const auto& table = token.objects.toat();
  if (!table || !token.objects.currentArea) return;
  const bool isPrivate = *token.objects.currentArea == Area::kPrivate;
  (isPrivate ? token.freePrivateMemory : token.freePublicMemory) = table->FreeSpace();
  token.pinStatesCurrent = false;
}

}  // namespace

CK_RV EnsureAreaFile(CardSlot& slot) {
  if (!slot.token || !slot.token->objects.currentArea) return CKR_FUNCTION_FAILED;
  return SelectAreaFile(slot, *slot.token->objects.currentArea == Area::kPrivate);
}

CK_RV SelectAreaFile(CardSlot& slot, bool isPrivate) {
  if (!slot.reader) return CKR_FUNCTION_FAILED;
  const uint16_t fileId = InfoOf(AreaOf(isPrivate)).fileId;
  if (reader::SelectionOf(*slot.reader).file == fileId) return CKR_OK;  // current already
  const auto rdr = APDU_SelectFile(slot.reader.get(), fileId);
  return rdr == reader::RDR_OK ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV SwitchArea(CardSlot& slot, bool isPrivate) {
  ZORAD_TRACE(trace::kOperations, "_SelectArea\n");
  if (!HasCard(slot)) return CKR_FUNCTION_FAILED;
  ObjectCache& cache = slot.token->objects;
  const Area area = AreaOf(isPrivate);
  cache.currentArea = area;
  cache.toat().reset();
  const auto layout = LayoutOf(*slot.token, area);
  if (!layout) {
    ZORAD_TRACE(trace::kSteps, "_SelectArea: unusable %s area descriptor\n", InfoOf(area).name);
    return CKR_DEVICE_ERROR;
  }
  if (SelectAreaFile(slot, isPrivate) != CKR_OK) return CKR_FUNCTION_FAILED;
  try {
    cache.toat().emplace(*layout);
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  }
  return CKR_OK;
}

CK_RV SelectArea(CardSlot& slot, bool isPrivate, bool* changed) {
  ZORAD_TRACE(trace::kOperations, "SelectArea %s\n", isPrivate ? "private" : "public");
  if (!slot.token) return CKR_FUNCTION_FAILED;
  Token& token = *slot.token;
  ObjectCache& cache = token.objects;
  // The table held before, as bytes (an optional table here trips GCC's
  // maybe-uninitialized check at -O3).
  const auto& held = cache.tables[static_cast<size_t>(AreaOf(isPrivate))];
  const bool hadTable = held.has_value();
  std::vector<uint8_t> previous;
  if (hadTable) {
    const auto bytes = held->Bytes();
    previous.assign(bytes.begin(), bytes.end());
  }
  CK_RV rv = SwitchArea(slot, isPrivate);
  if (rv == CKR_OK) rv = ReadTable(slot, *cache.toat());
  if (rv != CKR_OK) return SelectAreaFailed(cache, rv);
  const auto now = cache.toat()->Bytes();
  const bool differs =
      hadTable && !std::equal(previous.begin(), previous.end(), now.begin(), now.end());
  if (changed) *changed = differs;
  // The table this module wrote or read last changed under it: another
  // process wrote the area, or initialised the token anew.
  if (differs) token.identityCurrent = false;
  NoteFreeMemory(token);
  return CKR_OK;
}

CK_RV UpdateTOAT(CardSlot& slot) {
  ZORAD_TRACE(trace::kOperations, "UpdateTOAT\n");
  if (!HasCard(slot) || !slot.token->objects.toat()) return CKR_GENERAL_ERROR;
  AllocationTable& table = *slot.token->objects.toat();
  // The checksum always matches what is written: a table written with a
  // stale checksum would make the whole area unreadable.
  table.StoreChecksum();
  if (EnsureAreaFile(slot) != CKR_OK) return CKR_DEVICE_ERROR;
  const auto bytes = table.Bytes();
  const auto rdr = APDU_UpdateBF(slot.reader.get(), table.Layout().TableOffset(), bytes.data(),
                                 bytes.size(), slot.token->info.writeChunk);
  if (rdr != reader::RDR_OK) return CKR_DEVICE_ERROR;
  NoteFreeMemory(*slot.token);
  return CKR_OK;
}

CK_RV ClearBlocksByTOAT(CardSlot& slot, const AllocationTable& previous) {
  ZORAD_TRACE(trace::kOperations, "ClearBlocksByTOAT\n");
  if (!HasCard(slot) || !slot.token->objects.toat()) return CKR_GENERAL_ERROR;
  const AllocationTable& table = *slot.token->objects.toat();
  const auto now = table.Entries();
  const auto before = previous.Entries();
  if (before.size() != now.size()) return CKR_GENERAL_ERROR;  // a copy of another area
  const AreaLayout& layout = table.Layout();
  if (EnsureAreaFile(slot) != CKR_OK) return CKR_DEVICE_ERROR;
  for (size_t i = 0; i < now.size(); ++i) {
    if (before[i] == 0 || now[i] != 0) continue;
    const auto rdr = APDU_EraseBF(slot.reader.get(), layout.BlockOffset(uint32_t(i)),
                                  layout.BlockSize(), slot.token->info.writeChunk);
    if (rdr != reader::RDR_OK) return CKR_DEVICE_ERROR;
  }
  return CKR_OK;
}

}  // namespace zorad::card
