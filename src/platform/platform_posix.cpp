// POSIX services: monotonic ticks, gettid, pthread mutexes, the fork()
// child handler, an environment variable for the trace configuration and
// mkstemp for the trace file.
//
// The environment belongs to whoever starts the process. In a set-user-ID
// or set-group-ID program it must not decide whether and where the module
// writes files, so both variables are read with secure_getenv, which
// answers nothing in such a process.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zorad::platform {

const char kModuleFileName[] = "zorad_pkcs11.so";

static_assert(sizeof(pthread_mutex_t) <= 64, "mutex storage too small");

uint32_t TickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                      static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

uint32_t ThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

namespace {

std::atomic<uint32_t> g_forkCount{0};
pthread_mutex_t g_lifecycleLock = PTHREAD_MUTEX_INITIALIZER;

// Runs in the child, which has only the thread that called fork().
void OnForkChild() {
  g_forkCount.fetch_add(1, std::memory_order_relaxed);
  pthread_mutex_init(&g_lifecycleLock, nullptr);
}

}  // namespace

void WatchForks() {
  // Registered once; glibc unregisters the handler when the module is
  // unloaded.
  static const int registered = pthread_atfork(nullptr, nullptr, OnForkChild);
  (void)registered;
}

uint32_t ForkCount() { return g_forkCount.load(std::memory_order_relaxed); }

void LockLifecycle() { pthread_mutex_lock(&g_lifecycleLock); }
void UnlockLifecycle() { pthread_mutex_unlock(&g_lifecycleLock); }

void SleepMs(uint32_t milliseconds) {
  timespec wait{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

// ZORAD_PKCS11_TRACEMODE holds a 32-bit number in decimal or 0x hexadecimal.
// Anything else is ignored, as a registry value of the wrong type would be.
std::optional<uint32_t> ReadTraceMode() {
  const char* text = secure_getenv("ZORAD_PKCS11_TRACEMODE");
  if (text == nullptr || *text == '\0') return std::nullopt;
  int base = 10;
  const char* digits = text;
  if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits += 2;
  }
  if (*digits == '\0' || std::strlen(digits) > 10) return std::nullopt;
  uint64_t value = 0;
  for (const char* p = digits; *p != '\0'; ++p) {
    int digit;
    if (*p >= '0' && *p <= '9') {
      digit = *p - '0';
    } else if (base == 16 && *p >= 'a' && *p <= 'f') {
      digit = *p - 'a' + 10;
    } else if (base == 16 && *p >= 'A' && *p <= 'F') {
      digit = *p - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

void DebuggerMessage(const char* text) { std::fprintf(stderr, "%s\n", text); }

static pthread_mutex_t* AsPthread(unsigned char* storage) {
  return reinterpret_cast<pthread_mutex_t*>(storage);
}

void Mutex::Init() { pthread_mutex_init(AsPthread(storage_), nullptr); }
void Mutex::Destroy() { pthread_mutex_destroy(AsPthread(storage_)); }
void Mutex::Lock() { pthread_mutex_lock(AsPthread(storage_)); }
void Mutex::Unlock() { pthread_mutex_unlock(AsPthread(storage_)); }

bool TempFile::CreateUnique(const char* prefix, std::string* path, uint32_t* code) {
  path->clear();
  *code = 0;
  const char* dir = secure_getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  std::string name = std::string(dir) + "/" + prefix + "XXXXXX";
  const int fd = mkstemp(name.data());  // created with mode 0600
  if (fd < 0) {
    *code = static_cast<uint32_t>(errno);
    return false;
  }
  fchmod(fd, S_IRUSR | S_IWUSR);
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  handle_ = fd;
  *path = name;
  return true;
}

void TempFile::Write(const char* data, size_t length) {
  if (!IsOpen()) return;
  const int fd = static_cast<int>(handle_);
  while (length > 0) {
    const ssize_t written = ::write(fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // a failed trace write is ignored
    data += written;
    length -= static_cast<size_t>(written);
  }
}

void TempFile::Flush() {
  if (IsOpen()) fsync(static_cast<int>(handle_));
}

void TempFile::Close() {
  if (!IsOpen()) return;
  ::close(static_cast<int>(handle_));
  handle_ = kInvalid;
}

}  // namespace zorad::platform
