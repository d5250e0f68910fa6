#include "reader/transaction.h"

#include <algorithm>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "reader/reader_context.h"
#include "trace/trace.h"

namespace zorad::reader {
namespace {

// Every entry point runs under the library lock, and so do these.
int g_holds = 0;
std::vector<Reader*> g_held;

void EndPcscTransaction(Reader& reader) {
  const LONG rc = SCardEndTransaction(reader.card, SCARD_LEAVE_CARD);
  RecordCardResult(reader, rc);
}

ReaderResult BeginFailed(ReaderResult result, uint32_t code) {
  ZORAD_TRACE(trace::kOperations, "BeginReaderTransaction: %x [%x]\n",
              static_cast<unsigned>(result), code);
  return result;
}

// One reconnect and begin; the result of whichever failed.
ReaderResult ReconnectAndBegin(Reader* reader) {
  const ReaderResult reset = ResetReader(reader, static_cast<uint32_t>(ResetMode::kLeave));
  return reset == RDR_OK ? BeginReaderTransaction(reader) : reset;
}

}  // namespace

ReaderResult BeginReaderTransaction(Reader* reader) {
  ZORAD_TRACE(trace::kOperations, "BeginReaderTransaction\n");
  if (reader == nullptr) return BeginFailed(RDR_BAD_ARGUMENTS, 0);
  if (reader->card == 0) return BeginFailed(RDR_NOT_CONNECTED, 0);
  if (reader->transactionDepth == 0 && reader->transactionHeld) {
    reader->transactionHeld = false;  // open still: it goes on
    std::erase(g_held, reader);
  } else if (reader->transactionDepth == 0) {
    // A begin may wait for another application's transaction; none is begun
    // once the module is being finalised.
    if (WaitsCancelled()) {
      reader->lastError = ScardCode(SCARD_E_CANCELLED);
      return BeginFailed(RDR_FAILED, reader->lastError);
    }
    const LONG rc = SCardBeginTransaction(reader->card);
    RecordCardResult(*reader, rc);
    if (rc != SCARD_S_SUCCESS) return BeginFailed(RDR_FAILED, reader->lastError);
    ++reader->conversation;
  }
  ++reader->transactionDepth;
  ZORAD_TRACE(trace::kOperations, "BeginReaderTransaction: 0\n");
  return RDR_OK;
}

ReaderResult RecoverReaderTransaction(Reader* reader) {
  if (reader == nullptr) return RDR_BAD_ARGUMENTS;
  if (reader->lastError != ScardCode(SCARD_W_RESET_CARD)) {
    return MapSCardError(reader->lastError);
  }
  // Unsigned differences of tick counts stay right across a wrap.
  const uint32_t start = platform::TickCount();
  ReaderResult result = RDR_FAILED;
  while (platform::TickCount() - start < kRecoveryTimeMs) {
    if (WaitsCancelled()) return RDR_FAILED;  // C_Finalize is waiting
    result = ReconnectAndBegin(reader);
    if (result == RDR_OK) {
      // The card forgot everything proven to it: the layers above act on it.
      reader->cardEvents |= kCardWasReset;
      break;
    }
    platform::SleepMs(kRecoveryPauseMs);
  }
  return result;
}

ReaderResult EndReaderTransaction(Reader* reader) {
  ZORAD_TRACE(trace::kOperations, "EndReaderTransaction\n");
  if (reader == nullptr) return RDR_BAD_ARGUMENTS;
  if (reader->card == 0) return RDR_NOT_CONNECTED;
  if (reader->transactionDepth > 1) {
    --reader->transactionDepth;
    ZORAD_TRACE(trace::kOperations, "EndReaderTransaction: 0\n");
    return RDR_OK;
  }
  reader->transactionDepth = 0;
  if (g_holds > 0) {
    // Stays open until the hold ends; a failure to hold it ends it now.
    try {
      g_held.push_back(reader);
      reader->transactionHeld = true;
      ZORAD_TRACE(trace::kOperations, "EndReaderTransaction: held\n");
      return RDR_OK;
    } catch (const std::bad_alloc&) {
    }
  }
  // The PC/SC transaction is over whatever the service answers.
  const LONG rc = SCardEndTransaction(reader->card, SCARD_LEAVE_CARD);
  RecordCardResult(*reader, rc);
  if (rc != SCARD_S_SUCCESS) {
    ZORAD_TRACE(trace::kOperations, "EndReaderTransaction: %X\n", reader->lastError);
    return MapSCardError(rc);
  }
  ZORAD_TRACE(trace::kOperations, "EndReaderTransaction: 0\n");
  return RDR_OK;
}

TransactionHold::TransactionHold() { ++g_holds; }

TransactionHold::~TransactionHold() {
  if (--g_holds > 0) return;
  const std::vector<Reader*> held = std::move(g_held);
  g_held.clear();
  for (Reader* reader : held) {
    reader->transactionHeld = false;
    if (reader->card != 0 && reader->transactionDepth == 0) EndPcscTransaction(*reader);
  }
}

void ReleaseHeldTransaction(Reader& reader) {
  if (!reader.transactionHeld) return;
  reader.transactionHeld = false;
  std::erase(g_held, &reader);
  if (reader.card != 0) EndPcscTransaction(reader);
}

Reader::~Reader() {
  if (transactionHeld) std::erase(g_held, this);
}

ReaderResult ReaderTransaction::Begin() {
  if (active_) return RDR_OK;
  ReaderResult result = BeginReaderTransaction(reader_);
  if (result != RDR_OK && reader_ != nullptr) {
    result = RecoverReaderTransaction(reader_);
    recovered_ = result == RDR_OK;
  }
  active_ = result == RDR_OK;
  return result;
}

ReaderResult ReaderTransaction::End() {
  if (!active_) return RDR_OK;
  active_ = false;
  return EndReaderTransaction(reader_);
}

}  // namespace zorad::reader
