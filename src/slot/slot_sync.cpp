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

constexpr unsigned kEventCountShift = 16;

bool ChangePending(const reader::Reader& r) { return PendingCardChange(r) != CardChange::kNone; }

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
  // A reader whose card change is still pending (an unplugged reader, whose
  // state the reader list cleared, or a card swapped) is not asked again:
  // the answer would overwrite the state it had, and the change would never
  // be seen. SyncSlotFlags handles the change first.
  std::vector<reader::Reader*> readers;
  readers.reserve(slots.size());
  for (auto& entry : slots) {
    reader::Reader* r = entry.second->reader.get();
    if (r != nullptr && !ChangePending(*r)) readers.push_back(r);
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

CardChange PendingCardChange(const reader::Reader& r) {
  const bool was = (r.previousState & kPresentBit) != 0;
  const bool is = (r.currentState & kPresentBit) != 0;
  if (was != is) return is ? CardChange::kInserted : CardChange::kRemoved;
  // A count of 0 is unknown (a state cleared to have the card read anew).
  const uint32_t before = r.previousState >> kEventCountShift;
  const uint32_t now = r.currentState >> kEventCountShift;
  const bool counted = before != 0 && now != 0 && before != now;
  return is && counted ? CardChange::kReplaced : CardChange::kNone;
}

CK_RV SyncSlotFlags(Slot& slot, bool* present) {
  ZORAD_TRACE(trace::kOperations, "SyncSlotFlags %s\n", "");
  FollowCardRemoval(slot);
  CK_RV rv = CKR_OK;
  bool isPresent = false;
  reader::Reader* r = slot.reader.get();
  const CardChange change = r != nullptr ? PendingCardChange(*r) : CardChange::kNone;
  if (change != CardChange::kNone) {
    ZORAD_TRACE(trace::kSteps, "presence changed\n");
    // The change is handled once, whatever comes of it.
    r->previousState = r->currentState;
    // Whatever card comes now is another one: the old token and its
    // sessions go first, also when the module never saw the card leave.
    RemoveToken(slot);
    slot.flags &= static_cast<uint8_t>(~kTokenPresent);
    if (change != CardChange::kRemoved) {
      rv = AttachInsertedCard(slot, isPresent);
    } else {
      ZORAD_TRACE(trace::kSteps, "...remove\n");
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

reader::ReaderResult RefreshReaderState(Slot& slot) {
  reader::Reader* r = slot.reader.get();
  if (r == nullptr) return reader::RDR_BAD_ARGUMENTS;
  if (ChangePending(*r)) return reader::RDR_OK;
  const ReaderResult state = reader::CheckReaderState(&r, 1, 0);
  if (state != reader::RDR_OK) RecoverFromReaderError(state);
  return state;
}

void FollowCardRemoval(Slot& slot) {
  reader::Reader* r = slot.reader.get();
  if (r == nullptr || (r->cardEvents & reader::kCardWasRemoved) == 0) return;
  ZORAD_TRACE(trace::kSteps, "...card removed under its connection\n");
  r->cardEvents = 0;
  RemoveToken(slot);
  slot.flags &= static_cast<uint8_t>(~kTokenPresent);
  // Whatever card is in the reader now is a new one. A time-out means the
  // state the module holds is still the reader's.
  const ReaderResult state = reader::CheckReaderState(&r, 1, 0);
  if (state == reader::RDR_OK || state == reader::RDR_TIMEOUT) {
    r->previousState = r->currentState & ~kPresentBit;
  } else {
    RecoverFromReaderError(state);
  }
}

void RecoverFromReaderError(ReaderResult result) {
  if (result != reader::RDR_NO_SERVICE && result != reader::RDR_NO_READERS) return;
  if (result == reader::RDR_NO_SERVICE) reader::ReopenReaderContext();
  for (auto& entry : Slots()) {
    Slot& slot = *entry.second;
    RemoveToken(slot);
    slot.flags &= static_cast<uint8_t>(~(kReaderPresent | kTokenPresent));
    if (slot.reader) {
      slot.reader->previousState = 0;
      slot.reader->currentState = 0;
    }
  }
}

}  // namespace zorad::slot
