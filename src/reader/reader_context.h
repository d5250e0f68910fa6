// The process-wide PC/SC context.
#pragma once

#include <cstdint>

#include "platform/pcsc.h"
#include "reader/reader_result.h"

namespace zorad::reader {

// The context handle; 0 when there is none.
SCARDCONTEXT ReaderContext();

// Establishes the context with user scope. Returns the PC/SC result.
LONG OpenReaderContext();
// Releases the context (if any) and sets it to 0.
void CloseReaderContext();
// Cancels outstanding blocking calls on the context (wakes a slot-event
// waiter). Safe to call without the library lock.
void CancelReaderContext();
// Releases the context and establishes a new one, after the service
// stopped. The new context is established even when the release fails (a
// restarted service has forgotten the old one). RDR_FAILED when no new
// context could be established; there is then no context.
ReaderResult ReopenReaderContext();

}  // namespace zorad::reader
