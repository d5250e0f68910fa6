// The process-wide PC/SC context.
//
// The module holds a context from C_Initialize to C_Finalize. While it
// does, a context lost to a stopped service is established again; outside
// that time none is ever made, so a context can neither outlive the module's
// use nor exist without one.
#pragma once

#include <cstdint>

#include "platform/pcsc.h"
#include "reader/reader_result.h"

namespace zorad::reader {

// The context handle; 0 when there is none.
SCARDCONTEXT ReaderContext();

// Establishes the context with user scope (C_Initialize). On success the
// module holds it, and waits are no longer cancelled. Returns the PC/SC
// result.
LONG OpenReaderContext();
// Releases the context (if any) and sets it to 0; the module holds none
// from now on (C_Finalize).
void CloseReaderContext();
// Cancels outstanding blocking calls on the context (wakes a slot-event
// waiter) and every wait of this layer from now on: a transaction is not
// begun, the recovery of a reset card and the wait for another
// application's transaction give up. Safe to call without the library lock.
void CancelReaderContext();
bool WaitsCancelled();
// Releases the context and establishes a new one, after the service
// stopped. The new context is established even when the release fails (a
// restarted service has forgotten the old one). RDR_FAILED when no new
// context could be established; there is then no context. RDR_NOT_CONNECTED,
// with nothing done, while the module holds no context.
ReaderResult ReopenReaderContext();
// What a call that needs the context answers without one: RDR_NO_SERVICE
// while the module holds a context it has lost (the service could not be
// reached again), RDR_NOT_CONNECTED when it holds none.
ReaderResult MissingContext();
// In a child of fork(): forgets the parent's context without releasing it
// (the parent goes on using it); the module holds none.
void AbandonReaderContext();

}  // namespace zorad::reader
