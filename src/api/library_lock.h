// The library lock: one mutex for the whole module, built on the
// application's mutex callbacks, on a built-in critical section, or absent
// when C_Initialize was given no arguments.
#pragma once

#include "platform/cryptoki.h"

namespace zorad::api {

// Chooses the callback set from the C_Initialize arguments (null: no
// locking) and creates the mutex. Only called under the lifecycle lock while
// initCounter is 0. Keeps an existing mutex from an earlier, half-successful
// C_Initialize.
CK_RV ChooseLockAndCreateMutex(const CK_C_INITIALIZE_ARGS* args);

// Destroys the mutex (C_Finalize): CKR_MUTEX_BAD when a set is chosen but
// no mutex was created. The set itself stays chosen.
CK_RV DestroyLibraryMutex();

// In a child of fork(): lets go of the parent's mutex without destroying it
// (a thread of the parent may hold it); the next C_Initialize makes one.
void AbandonLibraryMutex();

// The lock steps with their trace lines.
CK_RV LockMutex();
CK_RV UnlockMutex();

// Holds the library lock for a scope, as every locking entry point does.
// Check ok() before using the scope.
class LibraryLock {
 public:
  LibraryLock() : rv_(Acquire()) {}
  ~LibraryLock() {
    if (rv_ == CKR_OK) UnlockMutex();
  }
  LibraryLock(const LibraryLock&) = delete;
  LibraryLock& operator=(const LibraryLock&) = delete;

  bool ok() const { return rv_ == CKR_OK; }
  CK_RV result() const { return rv_; }

 private:
  static CK_RV Acquire();
  CK_RV rv_;
};

}  // namespace zorad::api
