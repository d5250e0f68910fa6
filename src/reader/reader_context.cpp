#include "reader/reader_context.h"

#include <atomic>

#include "trace/trace.h"

namespace zorad::reader {

namespace {
// Read without the library lock by C_Finalize's cancel step, hence atomic.
std::atomic<SCARDCONTEXT> g_context{0};
// Whether the module holds a context (between C_Initialize and C_Finalize).
std::atomic<bool> g_held{false};
// Set by C_Finalize for the waiters it must see leave; cleared by the next
// C_Initialize.
std::atomic<bool> g_cancelled{false};
}  // namespace

SCARDCONTEXT ReaderContext() { return g_context.load(); }

namespace {

LONG Establish() {
  ZORAD_TRACE(trace::kOperations, "OpenReaderContext\n");
  SCARDCONTEXT context = 0;
  const LONG rc = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
  g_context.store(rc == SCARD_S_SUCCESS ? context : 0);
  return rc;
}

}  // namespace

LONG OpenReaderContext() {
  const LONG rc = Establish();
  if (rc == SCARD_S_SUCCESS) {
    g_cancelled.store(false);
    g_held.store(true);
  }
  return rc;
}

void CloseReaderContext() {
  ZORAD_TRACE(trace::kOperations, "CloseReaderContext\n");
  g_held.store(false);
  const SCARDCONTEXT context = g_context.exchange(0);
  if (context != 0) SCardReleaseContext(context);
}

void CancelReaderContext() {
  g_cancelled.store(true);
  const SCARDCONTEXT context = g_context.load();
  if (context != 0) SCardCancel(context);
}

bool WaitsCancelled() { return g_cancelled.load(); }

ReaderResult ReopenReaderContext() {
  ZORAD_TRACE(trace::kOperations, "ReopenReaderContext\n");
  if (!g_held.load()) return RDR_NOT_CONNECTED;
  ZORAD_TRACE(trace::kOperations, "CloseReaderContext\n");
  // A service that stopped and came back no longer knows the old context
  // and refuses to release it (SCARD_E_NO_SERVICE). The old handle is
  // dropped all the same and a new context established; otherwise the
  // module could never reach the service again.
  const SCARDCONTEXT old = g_context.exchange(0);
  if (old != 0) SCardReleaseContext(old);
  return Establish() == SCARD_S_SUCCESS ? RDR_OK : RDR_FAILED;
}

ReaderResult MissingContext() { return g_held.load() ? RDR_NO_SERVICE : RDR_NOT_CONNECTED; }

void AbandonReaderContext() {
  g_held.store(false);
  g_cancelled.store(false);
  g_context.store(0);
}

}  // namespace zorad::reader
