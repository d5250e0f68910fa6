// Slot and token information entry points. Each follows the readers and
// cards; the entry frame lets the sessions follow what happened to them.
#include "api/entry_frame.h"
#include "slot/slot_queries.h"

using namespace zorad::api;
using namespace zorad;

extern "C" {

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
  EntryFrame frame(EntryPoint::kGetSlotList);
  if (pulCount == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked(
      [&] { return slot::ListSlots(tokenPresent, pSlotList, pulCount); });
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
  EntryFrame frame(EntryPoint::kGetSlotInfo, TraceValue(slotID));
  if (pInfo == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return slot::GetSlotInfo(slotID, pInfo); });
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
  EntryFrame frame(EntryPoint::kGetTokenInfo, TraceValue(slotID));
  if (pInfo == nullptr) return frame.Return(CKR_ARGUMENTS_BAD);
  return frame.Locked([&] { return slot::GetTokenInfo(slotID, pInfo); });
}

}  // extern "C"
