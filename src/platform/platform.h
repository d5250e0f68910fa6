// The operating-system services the module needs, behind one small interface.
// This directory is the only place in the module that knows which system it
// runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace zorad::platform {

// File name of the module as the system loads it; used in the message that
// announces a new trace file.
extern const char kModuleFileName[];

// Milliseconds since an arbitrary start, wrapping at 2^32.
uint32_t TickCount();
// Identifier of the calling thread.
uint32_t ThreadId();
void SleepMs(uint32_t milliseconds);

// A child of fork() starts with a copy of its parent's module state, PC/SC
// handles included, which it must neither use nor release. WatchForks()
// registers, once per process, a handler that runs in the child of every
// later fork(): it counts the fork and makes the lifecycle lock anew (a
// thread of the parent may have held it). ForkCount() reads that count
// without a system call, so every entry point can afford to compare it
// with the count seen at C_Initialize. Windows has no fork(): there
// kProcessesFork is false and the count stays 0.
#ifdef _WIN32
inline constexpr bool kProcessesFork = false;
#else
inline constexpr bool kProcessesFork = true;
#endif
void WatchForks();
uint32_t ForkCount();

// The process-wide lock of the module's life cycle: held by C_Initialize
// and C_Finalize across the initialisation count and what the first and
// the last of them set up and release. It needs no set-up, lives as long
// as the process and is never destroyed, so that it is there for a
// C_Finalize at any time, also while the module is being unloaded.
void LockLifecycle();
void UnlockLifecycle();

// The trace mask configured for this machine or process, if a valid value
// is present; nothing when the setting is missing or malformed. A process
// that runs with more rights than the user who started it (set-user-ID,
// set-group-ID) takes no setting from its environment.
std::optional<uint32_t> ReadTraceMode();

// One line for a debugger or the console, announcing the trace file.
void DebuggerMessage(const char* text);

// A plain mutex whose life is managed explicitly (Init/Destroy), so it can
// live in static storage and be re-created by the module's lock callbacks.
class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Init();
  void Destroy();
  void Lock();
  void Unlock();

 private:
  // Storage large enough for a CRITICAL_SECTION or a pthread_mutex_t.
  alignas(16) unsigned char storage_[64] = {};
};

// A mutex that exists for the whole life of the loaded module.
class StaticMutex {
 public:
  StaticMutex() { mutex_.Init(); }
  ~StaticMutex() { mutex_.Destroy(); }
  void Lock() { mutex_.Lock(); }
  void Unlock() { mutex_.Unlock(); }
  // In a child of fork(): the copy may be held by a thread that does not
  // exist here, so it is made anew.
  void Renew() { mutex_.Init(); }

 private:
  Mutex mutex_;
};

// A new, uniquely named file in the user's temporary directory, open for
// writing from its start.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { Close(); }

  // Creates the file with the given name prefix. `path` receives the full
  // path (empty when no name could be made), `code` the system's error code
  // after the open (for the announcement line).
  bool CreateUnique(const char* prefix, std::string* path, uint32_t* code);
  bool IsOpen() const { return handle_ != kInvalid; }
  void Write(const char* data, size_t length);
  void Flush();
  void Close();

 private:
  static constexpr intptr_t kInvalid = -1;
  intptr_t handle_ = kInvalid;
};

}  // namespace zorad::platform
