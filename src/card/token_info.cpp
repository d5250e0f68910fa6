#include "card/token_info.h"

#include <algorithm>
#include <cstring>

#include "card/apdu.h"
#include "card/area_layout.h"
#include "card/area_select.h"
#include "card/token_identity.h"
#include "card/token_info_file.h"
#include "card/token_pin_state.h"
#include "card/token_transaction.h"
#include "platform/text_field.h"
#include "reader/reader.h"
#include "trace/trace.h"

namespace zorad::card {
namespace {

using reader::RDR_BAD_STATUS;
using reader::RDR_OK;
using reader::ReaderResult;

constexpr uint16_t kDefaultWriteChunk = 255;

CK_RV Failed(ReaderResult last, CK_RV rv) {
  ZORAD_TRACE(trace::kOperations, "ReadTokenInfo: r:%x (rv: %x)\n", static_cast<unsigned>(last),
              static_cast<unsigned>(rv));
  return rv;
}

// A command refused with an unexpected status word means the card is not
// a token we understand; any other failure is the reader's.
CK_RV CommandFailure(ReaderResult result) {
  return result == RDR_BAD_STATUS ? CKR_TOKEN_NOT_RECOGNIZED : CKR_FUNCTION_FAILED;
}

// The identity part of the token as it stood before a new reading. A
// reading that fails half-way (a refused transaction, a card that stops
// answering) puts it back: the token keeps its serial number and area
// descriptors, so that reads, searches and the check after a card reset go
// on working until a reading succeeds.
struct IdentityBefore {
  explicit IdentityBefore(const Token& token)
      : infoFile(token.infoFile), info(token.info), label(token.label), model(token.model),
        serialNumber(token.serialNumber), tokenFlags(token.tokenFlags),
        freePublicMemory(token.freePublicMemory), freePrivateMemory(token.freePrivateMemory),
        infoRead(token.infoRead) {}

  void Restore(Token& token) const {
    token.infoFile = infoFile;
    token.info = info;
    token.label = label;
    token.model = model;
    token.serialNumber = serialNumber;
    token.tokenFlags = tokenFlags;
    token.freePublicMemory = freePublicMemory;
    token.freePrivateMemory = freePrivateMemory;
    token.infoRead = infoRead;
  }

  std::array<uint8_t, kTokenInfoFileSize> infoFile;
  TokenInfoFile info;
  std::array<uint8_t, kLabelSize> label;
  std::array<uint8_t, kModelSize> model;
  SerialNumberField serialNumber;
  CK_FLAGS tokenFlags;
  uint32_t freePublicMemory;
  uint32_t freePrivateMemory;
  bool infoRead;
};

void ClearIdentity(Token& token) {
  token.infoFile.fill(0);
  token.info = TokenInfoFile{};
  token.label.fill(0);
  token.model.fill(0);
  token.serialNumber.fill(0);
  token.tokenFlags = CKF_RNG | CKF_LOGIN_REQUIRED;
  token.freePublicMemory = 0;
  token.freePrivateMemory = 0;
  token.infoRead = false;
}

// A file of another format or with a wrong checksum reads as absent.
void AcceptInfoFile(Token& token, const std::array<uint8_t, kTokenInfoFileSize>& file) {
  if (!IsValidTokenInfoFile(file)) return;
  token.infoFile = file;
  token.info = DecodeTokenInfoFile(file);
}

// The application, the label and the token information file. A card that
// lacks any of them (6A82) is blank: `blank` is set and what was read so
// far stays.
CK_RV ReadTokenFiles(TokenTransaction& transaction, Token& token, bool& blank, ReaderResult& last) {
  reader::Reader* r = transaction.reader();
  std::array<uint8_t, kTokenInfoFileSize> file{};
  last = transaction.SelectApplication();
  if (last == RDR_OK) last = APDU_ReadBFBySFI(r, kLabelSfi, token.label.data(), kLabelSize);
  if (last == RDR_OK) last = APDU_ReadBFBySFI(r, kTokenInfoSfi, file.data(), file.size());
  if (last == RDR_BAD_STATUS && r->lastStatusWord == kSwFileNotFound) {
    blank = true;
    return CKR_OK;
  }
  if (last != RDR_OK) return CommandFailure(last);
  ZORAD_TRACE(trace::kDetail, "...APDU_xxxxxx ok\n");
  AcceptInfoFile(token, file);
  return CKR_OK;
}

CK_RV ReadSerialNumber(reader::Reader* r, Token& token, ReaderResult& last) {
  last = ReadCardSerial(*r, token.serialNumber);
  if (last != RDR_OK) {
    ZORAD_TRACE(trace::kDetail, "...APDU_ValidateSN error: %x\n", static_cast<unsigned>(last));
    return CommandFailure(last);
  }
  ZORAD_TRACE(trace::kDetail, "...APDU_ValidateSN ok\n");
  return CKR_OK;
}

// The free bytes of one area; an area whose table was never formatted
// leaves them 0 and clears `formatted`.
CK_RV ReadFreeMemory(CardSlot& slot, bool isPrivate, uint32_t& freeMemory, bool& formatted) {
  const CK_RV rv = SelectArea(slot, isPrivate);
  if (rv == CKR_TOKEN_NOT_RECOGNIZED) {
    formatted = false;
    return CKR_OK;
  }
  if (rv != CKR_OK) return rv;
  const auto& table = slot.token->objects.toat();
  if (!table) return CKR_GENERAL_ERROR;
  freeMemory = table->FreeSpace();
  return CKR_OK;
}

// Blocks that hold nothing after a record's header leave no room for any
// object's body: a reader of the record format would send an empty read for
// the first block of every object. Such a card is refused as a token this
// module does not understand rather than taking objects no search can show.
bool BlocksHoldBodies(const AreaDescriptor& area) {
  return area.blockCount == 0 || area.blockSize >= kMinBlockSize;
}

// A token counts as initialised when an area has blocks, unless the public
// area has blocks and its table was never formatted. The private area is
// only readable while the user is logged in.
CK_RV DecideInitialised(CardSlot& slot, Token& token) {
  const AreaDescriptor& publicArea = token.info.publicArea;
  const AreaDescriptor& privateArea = token.info.privateArea;
  if (!BlocksHoldBodies(publicArea) || !BlocksHoldBodies(privateArea)) {
    ZORAD_TRACE(trace::kDetail, "...area blocks leave no room for a body\n");
    return CKR_TOKEN_NOT_RECOGNIZED;
  }
  CK_FLAGS initialised = CKF_TOKEN_INITIALIZED;
  if (publicArea.blockCount > 0) {
    bool formatted = true;
    const CK_RV rv = ReadFreeMemory(slot, false, token.freePublicMemory, formatted);
    if (rv != CKR_OK) return rv;
    if (!formatted) initialised = 0;
  }
  if (slot.loginState == kUser && privateArea.blockCount > 0) {
    bool formatted = true;
    const CK_RV rv = ReadFreeMemory(slot, true, token.freePrivateMemory, formatted);
    if (rv != CKR_OK) return rv;
  }
  if (publicArea.blockCount == 0 && privateArea.blockCount == 0) initialised = 0;
  token.tokenFlags |= initialised;
  ZORAD_TRACE(trace::kDetail, "initialized\n");
  return CKR_OK;
}

// Everything ReadTokenInfo asks of the card inside its transaction.
CK_RV ReadFromCard(CardSlot& slot, TokenTransaction& transaction, TokenInfoUse use,
                   ReaderResult& last) {
  Token& token = *slot.token;
  bool blank = false;
  CK_RV rv = ReadTokenFiles(transaction, token, blank, last);
  if (rv != CKR_OK) return rv;
  platform::CopyBlankPadded(token.model.data(), token.model.size(), kTokenModel);
  if (token.info.writeChunk == 0) token.info.writeChunk = kDefaultWriteChunk;
  rv = ReadSerialNumber(transaction.reader(), token, last);
  if (rv != CKR_OK) return rv;
  // Initialisation rewrites the tables: a table that a torn write left
  // failing its checksum must not stop the only repair there is.
  if (use == TokenInfoUse::kInitialisation) return CKR_OK;
  rv = DecideInitialised(slot, token);
  if (rv != CKR_OK) return rv;
  if ((token.tokenFlags & CKF_TOKEN_INITIALIZED) == 0) return CKR_OK;
  return QueryPinStates(transaction.reader(), token.info.pinTryThreshold, token.tokenFlags, last);
}

}  // namespace

CK_RV ReadTokenInfo(CardSlot& slot, TokenInfoUse use) {
  ZORAD_TRACE(trace::kOperations, "ReadTokenInfo (pcti=%x)\n",
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(slot.token.get())));
  if (!slot.token || !slot.reader) return Failed(reader::RDR_BAD_ARGUMENTS, CKR_FUNCTION_FAILED);
  Token& token = *slot.token;
  // After a recovery from a card reset the card must still be the token
  // this record described, not the cleared record's blank serial number.
  const IdentityBefore before(token);
  reader::Reader* r = slot.reader.get();
  if (r->card == 0) {
    const ReaderResult opened = reader::OpenReader(slot.readerName.c_str(), r);
    if (opened != RDR_OK) return Failed(opened, CKR_FUNCTION_FAILED);
  }
  ZORAD_TRACE(trace::kSteps, "...OpenReader\n");
  TokenTransaction transaction(slot);
  if (transaction.Begin(before.serialNumber) != CKR_OK) {
    return Failed(reader::RDR_FAILED, CKR_FUNCTION_FAILED);
  }
  ZORAD_TRACE(trace::kOperations, "IsTokenRead: %x\n", 0u);
  ClearIdentity(token);
  ReaderResult last = RDR_OK;
  CK_RV rv = ReadFromCard(slot, transaction, use, last);
  if (transaction.End() != CKR_OK && rv == CKR_OK) rv = CKR_FUNCTION_FAILED;
  if (rv != CKR_OK) {
    before.Restore(token);
    return Failed(last, rv);
  }
  token.infoRead = true;
  token.identityCurrent = true;
  token.pinStatesCurrent = true;
  token.objects.objectsStale = (token.tokenFlags & CKF_TOKEN_INITIALIZED) == 0;
  ZORAD_TRACE(trace::kOperations, "ReadTokenInfo: 0\n");
  return CKR_OK;
}

CK_RV UpdateTokenInfo(CardSlot& slot) {
  ZORAD_TRACE(trace::kOperations, "UpdateTokenInfo\n");
  Token* token = slot.token.get();
  const bool standing = token != nullptr && slot.reader && slot.reader->card != 0 &&
                        token->infoRead && token->identityCurrent &&
                        (token->tokenFlags & CKF_TOKEN_INITIALIZED) != 0;
  if (!standing) return ReadTokenInfo(slot);
  const bool privateMemoryUnknown = slot.loginState == kUser &&
                                    token->info.privateArea.blockCount > 0 &&
                                    !token->objects.tables[static_cast<size_t>(Area::kPrivate)];
  // A card taken out (and perhaps put back) since the last call fails here;
  // a reset leaves nothing of the token standing.
  if (NoticeCardEvents(slot) != CKR_OK) return CKR_FUNCTION_FAILED;
  if (!token->identityCurrent) return ReadTokenInfo(slot);
  if (token->pinStatesCurrent && !privateMemoryUnknown) return CKR_OK;
  TokenTransaction transaction(slot);
  if (transaction.BeginAndSelect(CKR_FUNCTION_FAILED) != CKR_OK) return CKR_FUNCTION_FAILED;
  CK_RV rv = CKR_OK;
  if (privateMemoryUnknown) {
    bool formatted = true;
    rv = ReadFreeMemory(slot, true, token->freePrivateMemory, formatted);
  }
  CK_FLAGS flags = token->tokenFlags & ~kPinStateFlags;
  ReaderResult last = RDR_OK;
  if (rv == CKR_OK)
    rv = QueryPinStates(transaction.reader(), token->info.pinTryThreshold, flags, last);
  if (transaction.End() != CKR_OK && rv == CKR_OK) rv = CKR_FUNCTION_FAILED;
  if (rv != CKR_OK) return Failed(last, rv);
  token->tokenFlags = flags;
  token->pinStatesCurrent = true;
  return CKR_OK;
}

void FillTokenInfo(CK_TOKEN_INFO& info, const Token& token) {
  static_assert(sizeof info.label == kLabelSize);
  static_assert(sizeof info.manufacturerID == sizeof token.info.manufacturer);
  static_assert(sizeof info.model == kModelSize);
  static_assert(sizeof info.serialNumber == kSerialFieldSize);
  std::memset(&info, 0, sizeof info);
  std::memcpy(info.label, token.label.data(), sizeof info.label);
  std::memcpy(info.manufacturerID, token.info.manufacturer.data(), sizeof info.manufacturerID);
  std::memcpy(info.model, token.model.data(), sizeof info.model);
  std::memcpy(info.serialNumber, token.serialNumber.data(), sizeof info.serialNumber);
  info.flags = token.tokenFlags;
  // Constants: the module does not count sessions per token.
  info.ulMaxSessionCount = 0;
  info.ulSessionCount = 1;
  info.ulMaxRwSessionCount = 0;
  info.ulRwSessionCount = 1;
  info.ulMaxPinLen = token.info.maxPinLen;
  info.ulMinPinLen = token.info.minPinLen;
  info.ulTotalPublicMemory = token.info.publicArea.capacity;
  info.ulFreePublicMemory = token.freePublicMemory;
  info.ulTotalPrivateMemory = token.info.privateArea.capacity;
  info.ulFreePrivateMemory = token.freePrivateMemory;
  info.hardwareVersion = {0, 0};
  info.firmwareVersion = {token.info.formatMajor, token.info.formatMinor};
}

}  // namespace zorad::card
