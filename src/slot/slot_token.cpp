#include "slot/slot_token.h"

#include <cstring>
#include <new>

#include "card/token_info.h"
#include "reader/reader.h"
#include "reader/transaction.h"
#include "slot/slot_sync.h"
#include "trace/trace.h"

namespace zorad::slot {
namespace {

unsigned TraceId(const void* pointer) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer));
}

// A token whose information could not be read must not pass for a valid
// token information file.
void SpoilInfoFile(card::Token& token) {
  std::memset(token.infoFile.data(), 0, 8);
  token.info.infoCrc = 0;
  token.info.formatMajor = 0;
  token.info.formatMinor = 0;
  token.info.manufacturer[0] = 0;
  token.info.manufacturer[1] = 0;
}

}  // namespace

CK_RV InsertToken(Slot& slot, bool readInfo) {
  ZORAD_TRACE(trace::kOperations, "InsertToken (%x)\n", readInfo ? 1u : 0u);
  FreeToken(slot.token);
  slot.token.reset(new (std::nothrow) card::Token);
  CK_RV rv = CKR_OK;
  if (!slot.token) {
    rv = CKR_HOST_MEMORY;
  } else if (!slot.reader ||
             reader::OpenReader(slot.readerName.c_str(), slot.reader.get()) != reader::RDR_OK) {
    rv = CKR_FUNCTION_FAILED;
  } else if (readInfo) {
    rv = card::ReadTokenInfo(slot);
    if (rv != CKR_OK) SpoilInfoFile(*slot.token);
  }
  ZORAD_TRACE(trace::kOperations, "InsertToken: %x\n", static_cast<unsigned>(rv));
  return rv;
}

CK_RV RemoveToken(Slot& slot) {
  ZORAD_TRACE(trace::kOperations, "RemoveToken (%x)\n", TraceId(&slot));
  CK_RV rv = CKR_OK;
  if (slot.reader && slot.reader->card != 0 &&
      reader::CloseReader(slot.reader.get()) != reader::RDR_OK) {
    rv = CKR_FUNCTION_FAILED;
  }
  FreeToken(slot.token);
  // The sessions were opened on this card: none of them may go on with the
  // next card in the reader (a digest or signature begun, an object written
  // to the wrong card).
  slot.pending |= card::kSessionsEnded;
  // The card that held the PIN verification is gone (disconnected, reset or
  // pulled): a login does not outlive it, or the next card in the reader
  // would be read as if its private area were open.
  card::EndLogin(slot);
  ZORAD_TRACE(trace::kOperations, "RemoveToken: %x\n", static_cast<unsigned>(rv));
  return rv;
}

void FreeToken(std::unique_ptr<card::Token>& token) {
  ZORAD_TRACE(trace::kOperations, "FreeToken (%x)\n", TraceId(token.get()));
  token.reset();
  ZORAD_TRACE(trace::kOperations, "FreeToken done\n");
}

CK_RV ClearSlot(Slot& slot) {
  ZORAD_TRACE(trace::kOperations, "_ClearSlot(%x)\n", slot.slotId);
  const CK_RV rv = RemoveToken(slot);
  slot.flags &= static_cast<uint8_t>(~kTokenPresent);
  slot.reportedFlags &= static_cast<uint8_t>(~kTokenPresent);
  return rv;
}

CK_RV AttachTokenForSession(Slot& slot) {
  reader::Reader* r = slot.reader.get();
  if (r == nullptr) return CKR_TOKEN_NOT_PRESENT;
  FollowCardRemoval(slot);
  const reader::ReaderResult state = RefreshReaderState(slot);
  if (state != reader::RDR_OK && state != reader::RDR_TIMEOUT) return CKR_FUNCTION_FAILED;
  const CardChange change = PendingCardChange(*r);
  if (change == CardChange::kRemoved || change == CardChange::kReplaced) RemoveToken(slot);
  if ((r->currentState & reader::kStatePresent) == 0) return CKR_TOKEN_NOT_PRESENT;
  if (r->card == 0 || !slot.token) return InsertToken(slot, true);
  return CKR_OK;
}

bool ConnectionStillUsable(Slot& slot) {
  reader::Reader* r = slot.reader.get();
  if (r == nullptr || r->card == 0) return false;
  if (reader::BeginReaderTransaction(r) != reader::RDR_OK) return false;
  return reader::EndReaderTransaction(r) == reader::RDR_OK;
}

void KeepTokenForSession(Slot& slot) {
  // The token a session is opened on is the slot's token: present from now
  // on, also when the first look at the card failed (another application
  // held it, a SELECT was refused), and the card's arrival counts as seen.
  slot.flags |= kTokenPresent;
  if (reader::Reader* r = slot.reader.get()) r->previousState = r->currentState;
}

}  // namespace zorad::slot
