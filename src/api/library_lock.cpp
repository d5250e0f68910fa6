#include "api/library_lock.h"

#include "api/module_state.h"
#include "platform/platform.h"
#include "trace/trace.h"

namespace zorad::api {

namespace {

struct CallbackSet {
  CK_CREATEMUTEX create;
  CK_DESTROYMUTEX destroy;
  CK_LOCKMUTEX lock;
  CK_UNLOCKMUTEX unlock;
};

// The built-in set: one critical section for the whole module, handed out
// by every CreateMutex call.
platform::Mutex g_builtinSection;

CK_RV BuiltinCreate(CK_VOID_PTR_PTR mutex) {
  g_builtinSection.Init();
  *mutex = &g_builtinSection;
  return CKR_OK;
}
CK_RV BuiltinDestroy(CK_VOID_PTR) {
  g_builtinSection.Destroy();
  return CKR_OK;
}
CK_RV BuiltinLock(CK_VOID_PTR) {
  g_builtinSection.Lock();
  return CKR_OK;
}
CK_RV BuiltinUnlock(CK_VOID_PTR) {
  g_builtinSection.Unlock();
  return CKR_OK;
}

constexpr CallbackSet kBuiltinSet = {BuiltinCreate, BuiltinDestroy, BuiltinLock,
                                     BuiltinUnlock};

// The chosen set (none at load; kept after C_Finalize) and its mutex. The
// mutex is the application's value, handed back to its callbacks as it
// came: null is a mutex like any other, so whether one was created is a
// state of its own.
bool g_haveSet = false;
CallbackSet g_set = {};
bool g_mutexCreated = false;
void* g_mutex = nullptr;

template <typename Callback>
CK_RV RunLockStep(const char* name, Callback CallbackSet::*step) {
  ZORAD_TRACE(trace::kSteps, "%s\n", name);
  CK_RV rv = CKR_OK;
  if (g_haveSet) {
    rv = g_mutexCreated ? (g_set.*step)(g_mutex) : CKR_MUTEX_BAD;
  }
  ZORAD_TRACE(trace::kSteps, "%s: %x\n", name, static_cast<unsigned>(rv));
  return rv;
}

}  // namespace

CK_RV ChooseLockAndCreateMutex(const CK_C_INITIALIZE_ARGS* args) {
  if (g_mutexCreated) return CKR_OK;
  if (args == nullptr) {
    g_haveSet = false;
    return CKR_OK;
  }
  if (args->pReserved != nullptr) return CKR_ARGUMENTS_BAD;
  CallbackSet chosen;
  if (args->CreateMutex != nullptr) {
    if (args->DestroyMutex == nullptr || args->LockMutex == nullptr ||
        args->UnlockMutex == nullptr) {
      return CKR_ARGUMENTS_BAD;
    }
    chosen = {args->CreateMutex, args->DestroyMutex, args->LockMutex, args->UnlockMutex};
  } else {
    if (args->DestroyMutex != nullptr || args->LockMutex != nullptr ||
        args->UnlockMutex != nullptr) {
      return CKR_ARGUMENTS_BAD;
    }
    chosen = kBuiltinSet;
  }
  g_set = chosen;
  g_haveSet = true;
  void* mutex = nullptr;
  const CK_RV rv = g_set.create(&mutex);
  g_mutexCreated = rv == CKR_OK;
  g_mutex = g_mutexCreated ? mutex : nullptr;
  return rv;
}

CK_RV DestroyLibraryMutex() {
  ZORAD_TRACE(trace::kSteps, "DeleteMutex\n");
  CK_RV rv = CKR_OK;
  if (g_haveSet) {
    rv = g_mutexCreated ? g_set.destroy(g_mutex) : CKR_MUTEX_BAD;
    g_mutexCreated = false;
    g_mutex = nullptr;
  }
  ZORAD_TRACE(trace::kSteps, "DeleteMutex %x\n", static_cast<unsigned>(rv));
  return rv;
}

void AbandonLibraryMutex() {
  g_mutexCreated = false;
  g_mutex = nullptr;
}

CK_RV LockMutex() { return RunLockStep("LockMutex", &CallbackSet::lock); }

CK_RV UnlockMutex() { return RunLockStep("UnlockMutex", &CallbackSet::unlock); }

CK_RV LibraryLock::Acquire() {
  // Before the first C_Initialize and after the last C_Finalize there is no
  // reader context, and perhaps no mutex: refuse rather than run a body on
  // nothing. So does a child of fork() until its own C_Initialize: the
  // state is its parent's, and a thread of the parent may hold the lock.
  if (!Initialized() || InheritedFromParent()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  return LockMutex();
}

}  // namespace zorad::api
