#include "card/token_identity.h"

#include "card/apdu.h"
#include "card/token_transaction.h"
#include "reader/reader.h"
#include "reader/transaction.h"
#include "trace/trace.h"

namespace zorad::card {

reader::ReaderResult ReadCardSerial(reader::Reader& reader, SerialNumberField& serial) {
  reader::CardSelection& selection = reader::SelectionOf(reader);
  if (selection.serialKnown) {
    serial = selection.serial;
    return reader::RDR_OK;
  }
  serial.fill(' ');
  const reader::ReaderResult read =
      APDU_ValidateSN(&reader, reinterpret_cast<char*>(serial.data()));
  if (read != reader::RDR_OK) return read;
  // The card cannot change within the conversation: once is enough.
  selection.serial = serial;
  selection.serialKnown = true;
  return read;
}

CK_RV IsTheSameToken(CardSlot& slot) {
  if (!slot.token) return CKR_TOKEN_NOT_PRESENT;
  return IsTheSameToken(slot, slot.token->serialNumber);
}

CK_RV IsTheSameToken(CardSlot& slot, const SerialNumberField& expected) {
  if (!slot.reader || slot.reader->card == 0 || !slot.token) {
    ZORAD_TRACE(trace::kOperations, "IsTheSameToken: %x\n", 0u);
    return CKR_TOKEN_NOT_PRESENT;
  }
  SerialNumberField serial;
  const reader::ReaderResult read = ReadCardSerial(*slot.reader, serial);
  ZORAD_TRACE(trace::kOperations, "IsTheSameToken: %x\n", static_cast<unsigned>(read));
  if (read != reader::RDR_OK) return CKR_FUNCTION_FAILED;
  return serial == expected ? CKR_OK : CKR_TOKEN_NOT_RECOGNIZED;
}

bool IsTokenRead(const CardSlot& slot) { return slot.token && slot.token->infoRead; }

CK_RV IsTokenInSlot(CardSlot& slot, bool& inSlot) {
  ZORAD_TRACE(trace::kOperations, "IsTokenInSlot\n");
  inSlot = false;
  CK_RV rv = CKR_OK;
  if (!slot.reader) {
    rv = CKR_TOKEN_NOT_RECOGNIZED;
  } else if (slot.reader->card == 0 &&
             reader::OpenReader(slot.readerName.c_str(), slot.reader.get()) != reader::RDR_OK) {
    rv = CKR_TOKEN_NOT_RECOGNIZED;
  } else {
    TokenTransaction transaction(slot);
    if (transaction.Begin() != CKR_OK) {
      rv = CKR_FUNCTION_FAILED;
    } else {
      const bool read = IsTokenRead(slot);
      ZORAD_TRACE(trace::kOperations, "IsTokenRead: %x\n", read ? 1u : 0u);
      if (read) inSlot = IsTheSameToken(slot) == CKR_OK;
      // Any card that carries the application counts as a token.
      if (!inSlot) inSlot = transaction.SelectApplication() == reader::RDR_OK;
      rv = transaction.End();
    }
  }
  ZORAD_TRACE(trace::kOperations, "IsTokenInSlot: %x, inslot=%d\n", static_cast<unsigned>(rv),
              inSlot ? 1 : 0);
  return rv;
}

CK_RV GetTokenState(const CardSlot& slot, uint32_t* state) {
  ZORAD_TRACE(trace::kOperations, "GetTokenState\n");
  if (state == nullptr) return CKR_ARGUMENTS_BAD;
  if (!slot.token) return CKR_FUNCTION_FAILED;
  *state = 0;
  if (const reader::Reader* r = slot.reader.get()) {
    if (r->lastError != 0) {
      *state = r->lastError;
    } else if (r->lastStatusWord != 0) {
      *state = 0xFFFF0000u | r->lastStatusWord;
    }
  }
  return CKR_OK;
}

}  // namespace zorad::card
