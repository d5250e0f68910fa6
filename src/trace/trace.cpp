#include "trace/trace.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace zorad::trace {

Mask g_mask = {0, 0xFFFFFFFFu};

namespace {

// The trace file and the lock that keeps lines whole; both live as long as
// the loaded module, and the file is closed when the module is unloaded.
struct TraceSink {
  platform::StaticMutex lock;
  platform::TempFile file;
};

TraceSink& Sink() {
  static TraceSink sink;
  return sink;
}

// Created during load so that the sink exists before any thread traces.
[[maybe_unused]] TraceSink& g_sinkAtLoad = Sink();

void WriteRaw(const char* data, size_t length) {
  TraceSink& sink = Sink();
  sink.lock.Lock();
  sink.file.Write(data, length);
  sink.lock.Unlock();
}

}  // namespace

void Configure() {
  if (const auto mode = platform::ReadTraceMode()) SetMask(*mode);
}

void SetMask(uint32_t mask) {
  g_mask.value.store(mask, std::memory_order_relaxed);
  g_mask.check.store(~mask, std::memory_order_relaxed);
}

bool AnyEnabled() { return ValidMask() != 0; }

void OpenFile() {
  TraceSink& sink = Sink();
  sink.lock.Lock();
  const bool alreadyOpen = sink.file.IsOpen();
  std::string path;
  uint32_t code = 0;
  bool attempted = false;
  if (!alreadyOpen) {
    attempted = true;
    sink.file.CreateUnique("zor", &path, &code);
  }
  sink.lock.Unlock();
  if (!attempted) return;
  char message[512];
  std::snprintf(message, sizeof message, "%s: trace file %s opening code: %x",
                platform::kModuleFileName, path.c_str(), code);
  platform::DebuggerMessage(message);
}

void FlushFile() {
  TraceSink& sink = Sink();
  sink.lock.Lock();
  sink.file.Flush();
  sink.lock.Unlock();
}

void CloseFile() {
  TraceSink& sink = Sink();
  sink.lock.Lock();
  sink.file.Close();
  sink.lock.Unlock();
}

void LeaveParentsFile() {
  TraceSink& sink = Sink();
  sink.lock.Renew();
  sink.file.Close();
}

bool FileOpen() {
  TraceSink& sink = Sink();
  sink.lock.Lock();
  const bool open = sink.file.IsOpen();
  sink.lock.Unlock();
  return open;
}

void DebugPrintf(const char* format, ...) {
  try {
    char line[kLineBufferSize];
    int prefix = std::snprintf(line, sizeof line, "%x [%x] ", platform::TickCount(),
                               platform::ThreadId());
    if (prefix < 0) prefix = 0;
    size_t used = static_cast<size_t>(prefix);
    va_list args;
    va_start(args, format);
    const int message = std::vsnprintf(line + used, sizeof line - used, format, args);
    va_end(args);
    if (message > 0) {
      // vsnprintf truncates an over-long message at the end of the buffer.
      used += std::min(static_cast<size_t>(message), sizeof line - used - 1);
    }
    WriteRaw(line, used);
  } catch (...) {
    static const char kFailure[] = "Unhandled exception in DebugPrintf()\n";
    WriteRaw(kFailure, sizeof kFailure - 1);
  }
}

}  // namespace zorad::trace
