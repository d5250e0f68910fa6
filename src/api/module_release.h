// The end of the module's life at the last C_Finalize, against threads that
// still wait in C_WaitForSlotEvent.
//
// A waiter counts itself in before it looks at the finalising flag and out
// after the last thing it touches; C_Finalize sets the flag before it reads
// the count. So either the waiter sees the flag and touches nothing, or
// C_Finalize sees the waiter and releases nothing under it. C_Finalize
// cancels the PC/SC wait and the reader layer's own waits and gives the
// waiters 3000 ms to leave. A waiter held up longer, inside a PC/SC call
// that no cancel ends (a transaction that another process holds), is left
// the release: the last waiter to leave carries it out. Until then the
// locking entry points answer CKR_CRYPTOKI_NOT_INITIALIZED, and
// C_Initialize waits for it.
#pragma once

#include "platform/cryptoki.h"

namespace zorad::api {

// What the last C_Finalize releases (slots, PC/SC context, library mutex),
// returning the first failure.
using ReleaseBody = CK_RV (*)();

// Sets the finalising flag, cancels the waits and runs `release` once no
// waiter is inside; its result. When a waiter is still inside after
// 3000 ms, the release is left to it and the result is CKR_OK.
CK_RV ReleaseAfterWaiters(ReleaseBody release);

// True while a release left to a waiter has not been carried out.
bool ReleasePending();

// Waits up to 3000 ms for a pending release; false when it is still pending.
bool AwaitPendingRelease();

// Counts a thread in C_WaitForSlotEvent for the whole of its stay.
class WaiterScope {
 public:
  WaiterScope();
  // The last waiter to leave carries out a release left to it.
  ~WaiterScope();
  WaiterScope(const WaiterScope&) = delete;
  WaiterScope& operator=(const WaiterScope&) = delete;

  // False when the module was being finalised already: the waiter must
  // touch nothing.
  bool admitted() const { return admitted_; }

 private:
  bool admitted_;
};

// In a child of fork(): the parent's waiters do not exist here.
void ForgetWaiters();

}  // namespace zorad::api
