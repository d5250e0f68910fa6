// Exclusive use of the card: PC/SC transactions on a Reader, their recovery
// after another application reset the card, and a guard that ends a begun
// transaction on every path.
#pragma once

#include "reader/reader.h"

namespace zorad::reader {

// Begins a transaction. Inside one already begun on this reader it only
// counts the depth. Every failure is RDR_FAILED; the PC/SC value stays in
// lastError for RecoverReaderTransaction. Once the waits are cancelled
// (C_Finalize) no transaction is begun: SCARD_E_CANCELLED.
ReaderResult BeginReaderTransaction(Reader* reader);

// After a failed begin: when another application reset the card, reconnects
// (leaving the card) and begins again, retrying every 200 ms for up to
// 5500 ms, unless the waits are cancelled (C_Finalize). Any other cause is
// returned at once, mapped.
ReaderResult RecoverReaderTransaction(Reader* reader);

// Ends a transaction; the PC/SC transaction ends with the outermost one.
ReaderResult EndReaderTransaction(Reader* reader);

// While one lives, the outermost end of a transaction leaves the PC/SC
// transaction open (Reader::transactionHeld), and the next begin on the
// reader goes on in it; the hold ends them all when it goes. One entry
// point call then talks to each card in one transaction: nothing another
// application does falls between two of its steps, and what the card was
// told in the first step (the application selected) still holds in the
// next. Holds nest; the outermost one ends the transactions. Connecting,
// reconnecting and disconnecting end a held transaction first.
class TransactionHold {
 public:
  TransactionHold();
  ~TransactionHold();
  TransactionHold(const TransactionHold&) = delete;
  TransactionHold& operator=(const TransactionHold&) = delete;
};

// Ends the reader's held PC/SC transaction now, if it has one.
void ReleaseHeldTransaction(Reader& reader);

// True while the reader is inside a transaction that its conversation
// number still names: what the card was told in it still holds.
inline bool InTransaction(const Reader& reader, uint32_t conversation) {
  return reader.transactionDepth > 0 && reader.conversation == conversation;
}

// The reader's CardSelection, emptied first when its conversation is over.
inline CardSelection& SelectionOf(Reader& reader) {
  if (!InTransaction(reader, reader.selection.conversation)) {
    reader.selection = CardSelection{};
    reader.selection.conversation = reader.conversation;
  }
  return reader.selection;
}

inline constexpr uint32_t kRecoveryTimeMs = 5500;
inline constexpr uint32_t kRecoveryPauseMs = 200;

// One token operation's transaction. Begin() begins, recovering a reset
// card; the caller checks the card's identity when recovered() is true.
// Whatever path leaves the scope, a begun transaction is ended.
class ReaderTransaction {
 public:
  explicit ReaderTransaction(Reader* reader) : reader_(reader) {}
  ~ReaderTransaction() { End(); }
  ReaderTransaction(const ReaderTransaction&) = delete;
  ReaderTransaction& operator=(const ReaderTransaction&) = delete;

  ReaderResult Begin();
  // Ends the transaction now, for callers that need the result. RDR_OK when
  // nothing is open.
  ReaderResult End();

  bool active() const { return active_; }
  bool recovered() const { return recovered_; }

 private:
  Reader* reader_;
  bool active_ = false;
  bool recovered_ = false;
};

}  // namespace zorad::reader
