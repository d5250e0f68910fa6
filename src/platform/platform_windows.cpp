// Windows services: GetTickCount, critical sections, a slim reader/writer
// lock for the life cycle, the registry value "TraceMode" and
// GetTempFileNameA for the trace file.
#include "platform/platform.h"

#include <windows.h>

namespace zorad::platform {

const char kModuleFileName[] = "zorad_pkcs11.dll";

static_assert(sizeof(CRITICAL_SECTION) <= 64, "mutex storage too small");

uint32_t TickCount() { return GetTickCount(); }
uint32_t ThreadId() { return GetCurrentThreadId(); }

void WatchForks() {}
uint32_t ForkCount() { return 0; }

namespace {
SRWLOCK g_lifecycleLock = SRWLOCK_INIT;  // needs neither set-up nor release
}  // namespace

void LockLifecycle() { AcquireSRWLockExclusive(&g_lifecycleLock); }
void UnlockLifecycle() { ReleaseSRWLockExclusive(&g_lifecycleLock); }
void SleepMs(uint32_t milliseconds) { Sleep(milliseconds); }

// HKLM\SOFTWARE\Corvantix\zorad_pkcs11, value "TraceMode" of subkey "Config":
// a REG_DWORD or a REG_BINARY of exactly 4 bytes.
std::optional<uint32_t> ReadTraceMode() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corvantix\\zorad_pkcs11", 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  DWORD value = 0;
  DWORD size = sizeof(value);
  const LONG rc = RegGetValueA(key, "Config", "TraceMode",
                               RRF_RT_REG_DWORD | RRF_RT_REG_BINARY, nullptr,
                               &value, &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || size != sizeof(value)) return std::nullopt;
  return static_cast<uint32_t>(value);
}

void DebuggerMessage(const char* text) { OutputDebugStringA(text); }

static CRITICAL_SECTION* AsSection(unsigned char* storage) {
  return reinterpret_cast<CRITICAL_SECTION*>(storage);
}

void Mutex::Init() { InitializeCriticalSection(AsSection(storage_)); }
void Mutex::Destroy() { DeleteCriticalSection(AsSection(storage_)); }
void Mutex::Lock() { EnterCriticalSection(AsSection(storage_)); }
void Mutex::Unlock() { LeaveCriticalSection(AsSection(storage_)); }

bool TempFile::CreateUnique(const char* prefix, std::string* path, uint32_t* code) {
  path->clear();
  *code = 0;
  char dir[247 + 1] = {};
  const DWORD dirLength = GetTempPathA(247, dir);
  if (dirLength == 0 || dirLength > 247) return false;
  char name[MAX_PATH + 1] = {};
  if (GetTempFileNameA(dir, prefix, 0, name) == 0) return false;
  *path = name;
  HANDLE file = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  *code = GetLastError();
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(file);
  return true;
}

void TempFile::Write(const char* data, size_t length) {
  if (!IsOpen()) return;
  DWORD written = 0;
  WriteFile(reinterpret_cast<HANDLE>(handle_), data, static_cast<DWORD>(length),
            &written, nullptr);
}

void TempFile::Flush() {
  if (IsOpen()) FlushFileBuffers(reinterpret_cast<HANDLE>(handle_));
}

void TempFile::Close() {
  if (!IsOpen()) return;
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kInvalid;
}

}  // namespace zorad::platform
