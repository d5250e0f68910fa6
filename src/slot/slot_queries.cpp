#include "slot/slot_queries.h"

#include <algorithm>
#include <vector>

#include "card/token_info.h"
#include "reader/reader.h"
#include "slot/slot_sync.h"
#include "slot/slot_table.h"
#include "slot/slot_token.h"
#include "trace/trace.h"

namespace zorad::slot {
namespace {

// The IDs found by the last count query, in slot ID order.
std::vector<uint32_t> g_listedSlots;
// Whether a count query has built g_listedSlots since the slots were last
// released. Applications that pass a buffer at once (without asking for the
// count first) get the list built for them rather than an empty one.
bool g_slotListBuilt = false;

CK_RV CopyListedSlots(CK_SLOT_ID* list, CK_ULONG* count) {
  const CK_ULONG listed = static_cast<CK_ULONG>(g_listedSlots.size());
  if (*count < listed) {
    *count = listed;
    return CKR_BUFFER_TOO_SMALL;
  }
  std::copy(g_listedSlots.begin(), g_listedSlots.end(), list);
  *count = listed;
  return CKR_OK;
}

void MarkReported(Slot& slot) { slot.reportedFlags = slot.flags; }

CK_RV ReadTokenInfoOnce(Slot& slot, CK_TOKEN_INFO* info) {
  bool present = false;
  const CK_RV synced = SyncSlotFlags(slot, &present);
  if (synced != CKR_OK) return synced;
  MarkReported(slot);
  if (!present || !slot.token) {
    ClearSlot(slot);
    return CKR_TOKEN_NOT_PRESENT;
  }
  const CK_RV rv = card::UpdateTokenInfo(slot);
  if (rv == CKR_OK) {
    card::FillTokenInfo(*info, *slot.token);
  } else if (rv == CKR_TOKEN_NOT_RECOGNIZED) {
    ClearSlot(slot);
  }
  return rv;
}

// A card pulled and put back before the module looked shows only as a
// connection that answers that its card was removed: the reading goes on
// with the card in the reader now, taken up as newly inserted.
CK_RV ReadTokenInfoOf(Slot& slot, CK_TOKEN_INFO* info) {
  const CK_RV rv = ReadTokenInfoOnce(slot, info);
  if (rv == CKR_OK || !reader::CardRemovalRecorded(slot.reader.get())) return rv;
  return ReadTokenInfoOnce(slot, info);
}

CK_RV BuildSlotList(CK_BBOOL tokenPresent) {
  CK_RV rv = SyncSlots();
  if (rv == CKR_OK) rv = SyncSlotsState();
  if (rv != CKR_OK) return rv;
  g_listedSlots.clear();
  for (auto& [slotId, slot] : Slots()) {
    bool present = false;
    const CK_RV synced = SyncSlotFlags(*slot, &present);
    if (synced == CKR_SLOT_ID_INVALID) continue;
    if (tokenPresent != CK_FALSE && (synced != CKR_OK || !present)) continue;
    g_listedSlots.push_back(slotId);
    MarkReported(*slot);
  }
  g_slotListBuilt = true;
  return CKR_OK;
}

}  // namespace

CK_RV ListSlots(CK_BBOOL tokenPresent, CK_SLOT_ID* list, CK_ULONG* count) {
  if (list == nullptr || !g_slotListBuilt) {
    const CK_RV rv = BuildSlotList(tokenPresent);
    if (rv != CKR_OK) return rv;
  }
  if (list != nullptr) return CopyListedSlots(list, count);
  *count = static_cast<CK_ULONG>(g_listedSlots.size());
  return CKR_OK;
}

void ForgetSlotList() {
  g_listedSlots.clear();
  g_slotListBuilt = false;
}

CK_RV GetSlotInfo(CK_SLOT_ID slotId, CK_SLOT_INFO* info) {
  Slot* slot = FindSlot(slotId);
  if (slot == nullptr) return CKR_SLOT_ID_INVALID;
  if (reader::Reader* r = slot->reader.get()) {
    const reader::ReaderResult state = RefreshReaderState(*slot);
    if (state != reader::RDR_OK && state != reader::RDR_TIMEOUT) r->currentState = 0;
  }
  bool present = false;
  const CK_RV synced = SyncSlotFlags(*slot, &present);
  MarkReported(*slot);
  slot->info.flags &= ~static_cast<CK_FLAGS>(CKF_TOKEN_PRESENT);
  if (synced == CKR_OK && present) slot->info.flags |= CKF_TOKEN_PRESENT;
  *info = slot->info;
  return CKR_OK;
}

CK_RV GetTokenInfo(CK_SLOT_ID slotId, CK_TOKEN_INFO* info) {
  ZORAD_TRACE(trace::kOperations, "GetTokenInfo\n");
  Slot* slot = FindSlot(slotId);
  const CK_RV rv = slot == nullptr ? CKR_SLOT_ID_INVALID : ReadTokenInfoOf(*slot, info);
  ZORAD_TRACE(trace::kOperations, "GetTokenInfo: %x\n", static_cast<unsigned>(rv));
  return rv;
}

}  // namespace zorad::slot
