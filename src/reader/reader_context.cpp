#include "reader/reader_context.h"

#include <atomic>

#include "trace/trace.h"

namespace zorad::reader {

namespace {
// Read without the library lock by C_Finalize's cancel step, hence atomic.
std::atomic<SCARDCONTEXT> g_context{0};
}  // namespace

SCARDCONTEXT ReaderContext() { return g_context.load(); }

LONG OpenReaderContext() {
  ZORAD_TRACE(trace::kOperations, "OpenReaderContext\n");
  SCARDCONTEXT context = 0;
  const LONG rc = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
  g_context.store(rc == SCARD_S_SUCCESS ? context : 0);
  return rc;
}

void CloseReaderContext() {
  ZORAD_TRACE(trace::kOperations, "CloseReaderContext\n");
  const SCARDCONTEXT context = g_context.exchange(0);
  if (context != 0) SCardReleaseContext(context);
}

void CancelReaderContext() {
  const SCARDCONTEXT context = g_context.load();
  if (context != 0) SCardCancel(context);
}

}  // namespace zorad::reader
