#include "card/token_init.h"

#include "card/apdu.h"
#include "card/area.h"
#include "card/area_layout.h"
#include "card/area_select.h"
#include "card/pin_block.h"
#include "card/secure_buffer.h"
#include "card/token.h"
#include "card/token_info.h"
#include "card/token_login.h"
#include "card/token_transaction.h"
#include "reader/reader.h"
#include "trace/trace.h"

namespace zorad::card {
namespace {

using reader::RDR_OK;
using reader::ReaderResult;

size_t WriteChunkOf(const Token& token) {
  const uint16_t chunk = token.info.writeChunk;
  return chunk == 0 || chunk > kWriteChunk ? kWriteChunk : chunk;
}

// The erase range of an area runs from offset 0 to its table. Transfers are
// cut so that every chunk starts at an addressable offset, so the range
// may end up to one chunk beyond the highest start offset.
bool EraseRangeFits(uint32_t capacity, size_t chunk) {
  const uint64_t end = uint64_t{capacity} + kAreaTableGap;
  return end <= kMaxCardEnd && end <= kMaxCardOffset + uint64_t{chunk};
}

// Checked before the first command that changes the card, so that a token
// whose areas cannot be formatted keeps its user PIN and its objects.
bool AreasAddressable(const Token& token) {
  for (const Area area : {Area::kPrivate, Area::kPublic}) {
    const auto layout = LayoutOf(token, area);
    if (!layout || !EraseRangeFits(layout->Capacity(), WriteChunkOf(token))) {
      ZORAD_TRACE(trace::kSteps, "...%s area not addressable\n", InfoOf(area).name);
      return false;
    }
  }
  return true;
}

// VERIFY of the SO PIN in its PIN block: padded with '1' to 8 bytes, a
// longer PIN whole, as login and PIN changes send it.
InitOutcome ProveSoPin(reader::Reader* r, const uint8_t* pin, size_t pinLength) {
  PinBlock block;
  if (!block.Assign(pin, pinLength)) return {CKR_PIN_LEN_RANGE};
  const ReaderResult result = APDU_Verify(r, kSoPinReference, block.data(), block.size());
  if (result == RDR_OK) return {};
  // A wrong or blocked PIN leaves the token as it was.
  const CK_RV rv = VerifyRefusal(*r, result);
  return {rv, rv != CKR_FUNCTION_FAILED};
}

// Sets the random user PIN, proves it once (so that the card accepts it as
// the PIN now in force) and leaves the user PIN file deactivated.
CK_RV ReplaceUserPin(reader::Reader* r, const SecureBuffer& userPin) {
  if (!ActivationDone(APDU_ActivateFile(r, kUserPinFile), *r)) return CKR_FUNCTION_FAILED;
  if (APDU_ChangeRefData(r, kUserPinReference, userPin.data(), userPin.size()) != RDR_OK ||
      APDU_Verify(r, kUserPinReference, userPin.data(), userPin.size()) != RDR_OK) {
    return CKR_FUNCTION_FAILED;
  }
  return ActivationDone(APDU_DeactivateFile(r, kUserPinFile), *r) ? CKR_OK : CKR_FUNCTION_FAILED;
}

// Erases an area's object space and writes an empty table after it.
CK_RV FormatArea(CardSlot& slot, bool isPrivate) {
  const CK_RV switched = SwitchArea(slot, isPrivate);
  if (switched != CKR_OK) return switched;
  const uint32_t capacity = DescriptorOf(*slot.token, AreaOf(isPrivate)).capacity;
  if (APDU_EraseBF(slot.reader.get(), 0, capacity + kAreaTableGap, WriteChunkOf(*slot.token)) !=
      RDR_OK) {
    return CKR_DEVICE_ERROR;
  }
  return UpdateTOAT(slot);  // the checksum of the zero entries goes with it
}

CK_RV WriteLabel(CardSlot& slot, const uint8_t* label) {
  reader::Reader* r = slot.reader.get();
  if (APDU_SelectFile(r, kLabelFile) != RDR_OK ||
      APDU_UpdateBF(r, 0, label, kLabelSize, WriteChunkOf(*slot.token)) != RDR_OK) {
    return CKR_DEVICE_ERROR;
  }
  return CKR_OK;
}

// Everything inside the transaction, from reading the token information to
// the label.
InitOutcome InitializeOnCard(CardSlot& slot, const uint8_t* pin, size_t pinLength,
                             const uint8_t* label) {
  CK_RV rv = ReadTokenInfo(slot, TokenInfoUse::kInitialisation);
  if (rv != CKR_OK) return {rv};
  const Token& token = *slot.token;
  if (!WithinPinLimits(token.info, pinLength)) return {CKR_PIN_LEN_RANGE};
  if (!AreasAddressable(token)) return {CKR_DEVICE_ERROR};
  reader::Reader* r = slot.reader.get();
  SecureBuffer userPin(kRandomUserPinLength, 0);
  if (APDU_GetChallenge(r, userPin.data(), userPin.size()) != RDR_OK) {
    return {CKR_FUNCTION_FAILED};
  }
  const InitOutcome proven = ProveSoPin(r, pin, pinLength);
  if (proven.rv != CKR_OK) return proven;
  rv = ReplaceUserPin(r, userPin);
  if (rv == CKR_OK) rv = FormatArea(slot, true);
  if (rv == CKR_OK) rv = FormatArea(slot, false);
  if (rv == CKR_OK) rv = WriteLabel(slot, label);
  return {rv};
}

InitOutcome Finished(InitOutcome outcome) {
  ZORAD_TRACE(trace::kOperations, "InitializeToken: %x\n", static_cast<unsigned>(outcome.rv));
  return outcome;
}

}  // namespace

InitOutcome InitializeToken(CardSlot& slot, const uint8_t* pin, size_t pinLength,
                            const uint8_t* label) {
  ZORAD_TRACE(trace::kOperations, "InitializeToken\n");
  if (label == nullptr || (pin == nullptr && pinLength != 0)) return {CKR_ARGUMENTS_BAD};
  if (!slot.reader || !slot.token) return Finished({CKR_FUNCTION_FAILED});
  TokenTransaction transaction(slot);
  if (transaction.Begin() != CKR_OK) return Finished({CKR_FUNCTION_FAILED});
  const InitOutcome outcome = InitializeOnCard(slot, pin, pinLength, label);
  // Label, PINs and tables are new, or half new after a failure.
  slot.token->identityCurrent = false;
  slot.token->objects.proven = false;
  // Every card write is done when ending fails here; the token is read
  // afresh from the card either way, so the result stands.
  transaction.End();
  return Finished(outcome);
}

}  // namespace zorad::card
