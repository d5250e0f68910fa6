#include "slot/slot_init.h"

#include "card/token_identity.h"
#include "card/token_init.h"
#include "reader/reader.h"
#include "slot/slot_sync.h"
#include "slot/slot_table.h"
#include "slot/slot_token.h"
#include "trace/trace.h"

namespace zorad::slot {

CK_RV InitializeCardInSlot(Slot& slot, const uint8_t* pin, size_t pinLength, const uint8_t* label) {
  if (!slot.reader || InsertToken(slot, false) != CKR_OK) {
    RemoveToken(slot);
    return CKR_FUNCTION_FAILED;
  }
  const card::InitOutcome outcome = card::InitializeToken(slot, pin, pinLength, label);
  if (outcome.keepToken) return outcome.rv;
  const CK_RV removed = RemoveToken(slot);
  if (outcome.rv != CKR_OK) return outcome.rv;
  slot.reader->previousState = 0;
  return removed == CKR_OK ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV InitTokenInSlot(CK_SLOT_ID slotId, const uint8_t* pin, size_t pinLength,
                      const uint8_t* label) {
  ZORAD_TRACE(trace::kOperations, "InitTokenInSlot\n");
  Slot* slot = FindSlot(slotId);
  if (slot == nullptr) return CKR_SLOT_ID_INVALID;
  bool inSlot = false;
  const CK_RV present = card::IsTokenInSlot(*slot, inSlot);
  if (present != CKR_OK) return present;
  if (inSlot) ClearSlot(*slot);
  const CK_RV rv = InitializeCardInSlot(*slot, pin, pinLength, label);
  // The slot was cleared above: whatever came of the initialisation, the
  // card is read again as if just inserted, or the token would be missing
  // from its slot until the card is taken out. A card that is intact
  // (initialised, or refused before anything was written) is read at once;
  // after any other failure the next synchronisation reads what the card
  // now holds.
  const bool intact =
      rv == CKR_OK || rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED || rv == CKR_PIN_LEN_RANGE;
  if (!intact) ClearSlot(*slot);
  if (slot->reader) slot->reader->previousState = 0;
  if (intact) SyncSlotFlags(*slot, nullptr);
  return rv;
}

}  // namespace zorad::slot
