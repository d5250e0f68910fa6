#include "slot/slot_sync.h"

#include <vector>

#include "card/token_identity.h"
#include "reader/reader.h"
#include "reader/reader_context.h"
#include "slot/slot_table.h"
#include "slot/slot_token.h"
#include "platform/platform.h"
#include "trace/trace.h"

namespace zorad::slot {
namespace {

using reader::ReaderResult;

constexpr uint32_t kPresentBit = reader::kStatePresent;

// Results of the state query that leave the table usable.
bool IsHarmlessStateResult(ReaderResult result) {
  switch (result) {
    case reader::RDR_OK:
    case reader::RDR_TIMEOUT:
    case reader::RDR_UNKNOWN_READER:
    case reader::RDR_NO_READERS:
    case reader::RDR_NO_SERVICE:
      return true;
    default:
      return false;
  }
}

// A card appeared: attach it when it is a token of the family.
CK_RV AttachInsertedCard(Slot& slot, bool& present) {
  ZORAD_TRACE(trace::kSteps, "...insert\n");
  slot.flags &= static_cast<uint8_t>(~kTokenPresent);
  present = false;
  bool inSlot = false;
  if (card::IsTokenInSlot(slot, inSlot) != CKR_OK) return CKR_TOKEN_NOT_RECOGNIZED;
  if (!inSlot) return CKR_OK;
  const CK_RV inserted = InsertToken(slot, true);
  if (inserted != CKR_OK) {
    return inserted == CKR_FUNCTION_FAILED ? CKR_TOKEN_NOT_RECOGNIZED : inserted;
  }
  slot.flags |= kTokenPresent;
  present = true;
  return CKR_OK;
}

const char* PresentText(const bool* present) {
  if (present == nullptr) return "null";
  return *present ? "1" : "0";
}

}  // namespace

CK_RV SyncSlotsState(uint32_t timeoutMs) {
  ZORAD_TRACE(trace::kOperations, "SyncSlotsState\n");
  SlotMap& slots = Slots();
  if (slots.empty()) {
    if (timeoutMs != 0) platform::SleepMs(timeoutMs);
    ZORAD_TRACE(trace::kOperations, "SyncSlotsState: %x\n", 0u);
    return CKR_OK;
  }
  // A reader whose presence change is still pending (an unplugged reader,
  // whose state the reader list cleared) is not asked again: the answer
  // would overwrite the presence it had, and the removal of its card would
  // never be seen. SyncSlotFlags handles the change first.
  std::vector<reader::Reader*> readers;
  readers.reserve(slots.size());
  for (auto& entry : slots) {
    reader::Reader* r = entry.second->reader.get();
    if (r != nullptr && ((r->currentState ^ r->previousState) & kPresentBit) == 0) {
      readers.push_back(r);
    }
  }
  if (readers.empty()) {
    if (timeoutMs != 0) platform::SleepMs(timeoutMs);
    ZORAD_TRACE(trace::kOperations, "SyncSlotsState: %x\n", 0u);
    return CKR_OK;
  }
  const ReaderResult result = reader::CheckReaderState(readers.data(), readers.size(), timeoutMs);
  const CK_RV rv = IsHarmlessStateResult(result) ? CKR_OK : CKR_FUNCTION_FAILED;
  RecoverFromReaderError(result);
  // A service that is down answers at once. The wait it did not make keeps
  // a caller that polls until the service is back from spinning.
  if (result == reader::RDR_NO_SERVICE && timeoutMs != 0) platform::SleepMs(timeoutMs);
  ZORAD_TRACE(trace::kOperations, "SyncSlotsState: %x\n", static_cast<unsigned>(rv));
  return rv;
}

CK_RV SyncSlotFlags(Slot& slot, bool* present) {
  ZORAD_TRACE(trace::kOperations, "SyncSlotFlags %s\n", "");
  CK_RV rv = CKR_OK;
  bool isPresent = false;
  reader::Reader* r = slot.reader.get();
  if (r != nullptr && ((r->currentState ^ r->previousState) & kPresentBit) != 0) {
    ZORAD_TRACE(trace::kSteps, "presence changed\n");
    // The edge is handled once, whatever comes of it.
    r->previousState = (r->previousState & ~kPresentBit) | (r->currentState & kPresentBit);
    if ((r->currentState & kPresentBit) != 0) {
      rv = AttachInsertedCard(slot, isPresent);
    } else {
      ZORAD_TRACE(trace::kSteps, "...remove\n");
      RemoveToken(slot);
      slot.flags &= static_cast<uint8_t>(~kTokenPresent);
    }
  } else {
    ZORAD_TRACE(trace::kSteps, "presence not changed\n");
    isPresent = (slot.flags & kTokenPresent) != 0;
  }
  if (present != nullptr) *present = isPresent;
  ZORAD_TRACE(trace::kOperations, "SyncSlotFlags: %x, present=%s\n", static_cast<unsigned>(rv),
              PresentText(present));
  return rv;
}

void RecoverFromReaderError(ReaderResult result) {
  if (result != reader::RDR_NO_SERVICE && result != reader::RDR_NO_READERS) return;
  if (result == reader::RDR_NO_SERVICE) reader::ReopenReaderContext();
  for (auto& entry : Slots()) {
    Slot& slot = *entry.second;
    slot.pending |= kSessionsEnded;
    RemoveToken(slot);
    slot.flags &= static_cast<uint8_t>(~(kReaderPresent | kTokenPresent));
    if (slot.reader) {
      slot.reader->previousState = 0;
      slot.reader->currentState = 0;
    }
  }
}

}  // namespace zorad::slot
