// Module-wide state of the initialisation life cycle.
#pragma once

#include <atomic>
#include <cstdint>

namespace zorad::api {

struct ModuleState {
  // Successful C_Initialize calls not yet matched by C_Finalize. Changed
  // only under the lifecycle lock, by the calls of independent users of the
  // module on any thread; read without a lock by every entry point.
  std::atomic<uint32_t> initCounter{0};
  // Set by the C_Finalize that brings initCounter to 0; the slot-event wait
  // polls it from another thread.
  std::atomic<uint8_t> finalizing{0};
  // Threads inside the slot-event wait, counted in and out by the waiters
  // themselves (see module_release.h); C_Finalize reads it without the lock.
  std::atomic<int32_t> waitCounter{0};
  // The process's fork count (platform::ForkCount) when the module was
  // initialised; a child of fork() finds a smaller one here.
  std::atomic<uint32_t> ownerForkCount{0};
};

// True between a successful C_Initialize and the C_Finalize that matches
// it: outside that time every function but C_GetFunctionList and
// C_Initialize answers CKR_CRYPTOKI_NOT_INITIALIZED.
bool Initialized();

ModuleState& State();

// True in a child of fork() whose state, PC/SC handles and sessions
// included, is a copy of its parent's: the child must neither use nor
// release any of it. Never true where there is no fork(). Costs two loads,
// no system call: every locking entry point asks.
bool InheritedFromParent();

}  // namespace zorad::api
