// Connecting, resetting and disconnecting a Reader.
#include <new>

#include "reader/apdu_trace.h"
#include "reader/reader.h"
#include "reader/reader_context.h"
#include "reader/transaction.h"
#include "trace/trace.h"

namespace zorad::reader {
namespace {

constexpr DWORD kProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
// Further ATR reads when another application gets in the way (below).
constexpr int kSharedCardAttempts = 4;

const SCARD_IO_REQUEST* PciFor(uint32_t protocol) {
  return protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
}

// Forgets the card handle; transactions die with the connection.
void DropConnection(Reader& reader) {
  ReleaseHeldTransaction(reader);
  reader.card = 0;
  reader.transactionDepth = 0;
  ++reader.conversation;
}

LONG Connect(Reader& reader, DWORD shareMode) {
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  const LONG rc = platform::ScardConnect(ReaderContext(), reader.name.c_str(), shareMode,
                                         kProtocols, &card, &protocol);
  reader.lastError = ScardCode(rc);
  if (rc != SCARD_S_SUCCESS) return rc;
  reader.card = card;
  reader.activeProtocol = static_cast<uint32_t>(protocol);
  reader.sendPci = PciFor(reader.activeProtocol);
  return rc;
}

LONG Reconnect(Reader& reader, DWORD initialization) {
  ReleaseHeldTransaction(reader);
  ++reader.conversation;
  DWORD protocol = 0;
  const LONG rc = SCardReconnect(reader.card, reader.shareMode, kProtocols,
                                 initialization, &protocol);
  RecordCardResult(reader, rc);
  if (rc != SCARD_S_SUCCESS) return rc;
  reader.activeProtocol = static_cast<uint32_t>(protocol);
  reader.sendPci = PciFor(reader.activeProtocol);
  return rc;
}

// The ATR from the reader attribute, or from the connection status when the
// driver does not serve the attribute.
LONG ReadAtr(Reader& reader) {
  DWORD length = kMaxAtrLength;
  LONG rc = SCardGetAttrib(reader.card, SCARD_ATTR_ATR_STRING, reader.atr, &length);
  if (IsUnsupportedAttribute(ScardCode(rc))) {
    length = kMaxAtrLength;
    DWORD nameLength = 0;
    DWORD state = 0;
    DWORD protocol = 0;
    rc = platform::ScardStatus(reader.card, nullptr, &nameLength, &state, &protocol,
                               reader.atr, &length);
  }
  reader.lastError = ScardCode(rc);
  reader.atrLength = rc == SCARD_S_SUCCESS && length <= kMaxAtrLength
                         ? static_cast<uint32_t>(length) : 0;
  return rc;
}

// The ATR right after connecting to a card that other applications share.
// One of them may be inside a transaction, and pcsc-lite refuses the read
// with SCARD_E_SHARING_VIOLATION: wait for it by taking a transaction of our
// own. One may have reset the card (every disconnection does), and the
// handle answers SCARD_W_RESET_CARD until it is reconnected: take the card
// up again as it now is, leaving it so; closing here would reset it for the
// others once more. Either way the card is in the reader and must not be
// reported absent.
LONG ReadAtrOfSharedCard(Reader& reader) {
  LONG rc = ReadAtr(reader);
  for (int attempt = 0; attempt < kSharedCardAttempts && !WaitsCancelled(); ++attempt) {
    if (rc == SCARD_W_RESET_CARD) {
      rc = Reconnect(reader, SCARD_LEAVE_CARD);
      if (rc == SCARD_S_SUCCESS) rc = ReadAtr(reader);
    } else if (rc == SCARD_E_SHARING_VIOLATION) {
      rc = SCardBeginTransaction(reader.card);
      reader.lastError = ScardCode(rc);
      if (rc != SCARD_S_SUCCESS) continue;
      rc = ReadAtr(reader);
      SCardEndTransaction(reader.card, SCARD_LEAVE_CARD);
    } else {
      break;
    }
  }
  return rc;
}

}  // namespace

std::unique_ptr<Reader> NewReader(const char* name) {
  std::unique_ptr<Reader> reader(new (std::nothrow) Reader);
  if (!reader) return nullptr;
  try {
    reader->name = name != nullptr ? name : "";
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return reader;
}

ReaderResult OpenReader(const char* name, Reader* reader) {
  ZORAD_TRACE(trace::kOperations, "OpenReader %s\n", name != nullptr ? name : "");
  const bool named = name != nullptr && name[0] != '\0';
  if (reader == nullptr || (!named && reader->name.empty())) return RDR_BAD_ARGUMENTS;
  if (ReaderContext() == 0) return RDR_NOT_CONNECTED;
  if (reader->card != 0) {
    ReleaseHeldTransaction(*reader);
    SCardDisconnect(reader->card, SCARD_LEAVE_CARD);
    DropConnection(*reader);
  }
  if (named) {
    try {
      reader->name = name;
    } catch (const std::bad_alloc&) {
      return RDR_NO_MEMORY;
    }
  }
  reader->shareMode = SCARD_SHARE_SHARED;
  const LONG rc = Connect(*reader, SCARD_SHARE_SHARED);
  if (rc != SCARD_S_SUCCESS) return MapSCardError(rc);
  const LONG atrRc = ReadAtrOfSharedCard(*reader);
  if (atrRc != SCARD_S_SUCCESS) {
    CloseReader(reader);
    reader->lastError = ScardCode(atrRc);
    return MapSCardError(atrRc);
  }
  TraceAtr(*reader);
  ZORAD_TRACE(trace::kOperations, "OpenReader: 0\n");
  return RDR_OK;
}

ReaderResult CloseReader(Reader* reader) {
  ZORAD_TRACE(trace::kOperations, "CloseReader %s\n",
              reader != nullptr ? reader->name.c_str() : "");
  if (reader == nullptr) return RDR_BAD_ARGUMENTS;
  if (reader->card == 0) return RDR_OK;
  ReleaseHeldTransaction(*reader);
  const LONG rc =
      SCardDisconnect(reader->card, reader->pinVerified ? SCARD_RESET_CARD : SCARD_LEAVE_CARD);
  reader->pinVerified = false;
  // The state keeps its event count: the slot layer tells a card swapped
  // while the module held no connection by it.
  DropConnection(*reader);
  reader->lastError = ScardCode(rc);
  return MapSCardError(rc);
}

ReaderResult ResetReader(Reader* reader, uint32_t mode) {
  ZORAD_TRACE(trace::kOperations, "ResetReader %s\n",
              reader != nullptr ? reader->name.c_str() : "");
  if (reader == nullptr) return RDR_BAD_ARGUMENTS;
  if (reader->card == 0) return RDR_NOT_CONNECTED;
  LONG rc = SCARD_S_SUCCESS;
  if (mode == static_cast<uint32_t>(ResetMode::kUnpower)) {
    ReleaseHeldTransaction(*reader);
    rc = SCardDisconnect(reader->card, SCARD_UNPOWER_CARD);
    DropConnection(*reader);
    reader->pinVerified = false;
    reader->lastError = ScardCode(rc);
    if (rc != SCARD_S_SUCCESS) return MapSCardError(rc);
    rc = Connect(*reader, reader->shareMode);
    // The card the connection had is out of the reader.
    if (rc == SCARD_E_NO_SMARTCARD || rc == SCARD_W_REMOVED_CARD) {
      reader->cardEvents |= kCardWasRemoved;
    }
  } else {
    const bool reset = mode == static_cast<uint32_t>(ResetMode::kReset);
    rc = Reconnect(*reader, reset ? SCARD_RESET_CARD : SCARD_LEAVE_CARD);
    if (reset && rc == SCARD_S_SUCCESS) reader->pinVerified = false;
  }
  if (rc != SCARD_S_SUCCESS) return MapSCardError(rc);
  ZORAD_TRACE(trace::kOperations, "ResetReader: 0\n");
  return RDR_OK;
}

}  // namespace zorad::reader
