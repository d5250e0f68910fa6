// The Reader record: one slot's connection to the card in one PC/SC reader,
// and the operations that connect, reset, query and disconnect it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/pcsc.h"
#include "reader/reader_result.h"

namespace zorad::reader {

inline constexpr size_t kMaxAtrLength = 32;

// Reader state bits kept in currentState (the low 16 bits; the service's
// event count sits in the high 16 bits).
inline constexpr uint32_t kStatePresent = SCARD_STATE_PRESENT;

// Bits of Reader::cardEvents: what happened to the connected card that the
// layers above have yet to act on. The reader only records them.
inline constexpr uint8_t kCardWasReset = 0x01;    // another application reset or powered it down
inline constexpr uint8_t kCardWasRemoved = 0x02;  // the connection answered that its card went

// What the module told the card in one conversation (Reader::conversation):
// kept so that a selection the card already has is not sent again. Only the
// card layer reads and writes it; it is forgotten with its conversation.
struct CardSelection {
  uint32_t conversation = 0;         // the conversation it belongs to
  bool application = false;          // the card application is selected
  uint16_t file = 0;                 // the current file; 0 when not known
  bool serialKnown = false;          // `serial` was read from the card
  std::array<uint8_t, 16> serial{};  // its serial number, as the token reports it
};

struct Reader {
  Reader() = default;
  ~Reader();  // a held transaction forgets the reader
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  std::string name;                    // PC/SC reader name
  uint8_t atr[kMaxAtrLength] = {};     // answer-to-reset of the connected card
  uint32_t atrLength = 0;              // valid bytes in atr
  SCARDHANDLE card = 0;                // 0: no connection
  uint32_t activeProtocol = 0;         // SCARD_PROTOCOL_T0 or _T1
  const SCARD_IO_REQUEST* sendPci = nullptr;
  uint16_t lastStatusWord = 0;         // SW1 in the high byte
  uint32_t lastError = 0;              // last PC/SC result on this reader
  uint32_t previousState = 0;          // currentState before the last query
  uint32_t currentState = 0;           // state bits | event count << 16
  uint32_t shareMode = 0;              // share mode for connects and reconnects
  // Begun transactions not yet ended. Only the outermost begin and end reach
  // PC/SC, so a token operation may run inside another one's transaction.
  uint32_t transactionDepth = 0;
  // The PC/SC transaction stays open after its outermost end while a
  // TransactionHold lives (one entry point call): the next begin reuses it.
  bool transactionHeld = false;
  // Counts the PC/SC transactions begun and the connections made: what the
  // card was told in one (the application selected, the file current) holds
  // only while this number stays the same and a transaction is open.
  uint32_t conversation = 0;
  CardSelection selection;
  // A PIN was proven to the card through this reader since the module last
  // powered the card down or reset it (set when the card accepts a VERIFY).
  // Only then does closing the connection reset the card: other
  // applications' cards, and their PIN verifications, are left alone.
  bool pinVerified = false;
  // kCardWasReset, kCardWasRemoved: set here, cleared by whoever acts on them.
  uint8_t cardEvents = 0;
};

// True when a call on the connection answered that its card was removed
// and nobody has acted on it yet.
inline bool CardRemovalRecorded(const Reader* reader) {
  return reader != nullptr && (reader->cardEvents & kCardWasRemoved) != 0;
}

// Keeps the result of a PC/SC call on the card handle in lastError and
// notes a removal it reports: the handle can never reach a card again, the
// one put back included.
inline void RecordCardResult(Reader& reader, LONG rc) {
  reader.lastError = ScardCode(rc);
  if (rc == SCARD_W_REMOVED_CARD) reader.cardEvents |= kCardWasRemoved;
}

// A reader without connection, holding a copy of `name`. Null only when the
// copy cannot be made.
std::unique_ptr<Reader> NewReader(const char* name);

// Connects shared (T=0 or T=1) and reads the card's ATR. An existing
// connection is left (SCARD_LEAVE_CARD) first. An empty name keeps the
// reader's own name.
ReaderResult OpenReader(const char* name, Reader* reader);

// Disconnects. The card is reset when a PIN was verified on it
// (pinVerified), so that no verification outlives the module's use of it;
// any other card is left as it is. RDR_OK at once when not connected.
ReaderResult CloseReader(Reader* reader);

enum class ResetMode : uint32_t { kLeave = 0, kReset = 1, kUnpower = 2 };
// Re-establishes the connection: mode 2 powers the card down and connects
// again, mode 1 reconnects with a card reset, any other mode reconnects
// leaving the card as it is.
ReaderResult ResetReader(Reader* reader, uint32_t mode);

// The reader's vendor name and interface-device version (0xMMmmbbbb).
// Uses the reader's card connection when it has one, otherwise a temporary
// shared connection, or a direct one when no card is present. `vendorLength`
// holds the capacity on entry and the bytes stored on return; a driver that
// does not know the attributes leaves the vendor name as it was and gives
// version 0.
ReaderResult GetVersion(Reader* reader, const char* name, uint8_t* vendor,
                        size_t* vendorLength, uint32_t* version);

// Queries the state of `count` readers, waiting up to `timeoutMs` for a
// change from their currentState. On success each reader's previousState
// takes its currentState and currentState the new state; on failure
// (RDR_TIMEOUT included) both stay as they were.
ReaderResult CheckReaderState(Reader* const* readers, size_t count, uint32_t timeoutMs);

}  // namespace zorad::reader
