// Diagnostic trace: a mask of categories, a trace file in the temporary
// directory, the line writer and the hex dump.
//
// Tracing is off unless configured. A category is enabled only when the mask
// and its check word agree (check == ~mask) and the category's bit is set,
// so a disabled category costs one comparison and one bit test. Callers use
// ZORAD_TRACE so that arguments are not even evaluated when it is off.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zorad::trace {

// Categories (bits of the trace mask).
enum Category : uint32_t {
  kEntryExit = 0x01,  // entry and exit line of every implemented C_* function
  kOperations = 0x02, // reader, slot, token and store operations
  kSteps = 0x04,      // lock steps, inner steps, PC/SC error codes
  kDetail = 0x08,     // attribute bytes, offsets
};

// The two words are read by every thread that traces while a nested
// C_Initialize on another thread may write them; each is atomic, and a pair
// read half old, half new fails the check and traces nothing.
struct Mask {
  std::atomic<uint32_t> value;
  std::atomic<uint32_t> check;
};

// Mask words; written only by Configure() (inside C_Initialize).
extern Mask g_mask;

// The mask when it agrees with its check word, else 0.
inline uint32_t ValidMask() {
  const uint32_t value = g_mask.value.load(std::memory_order_relaxed);
  return value == ~g_mask.check.load(std::memory_order_relaxed) ? value : 0u;
}

inline bool Enabled(uint32_t category) { return (ValidMask() & category) != 0; }

// APDU trace level 0..3: (mask >> 4) & 3 when the mask is valid.
inline unsigned ApduLevel() { return (ValidMask() >> 4) & 3u; }

// Reads the trace configuration; a missing or malformed setting leaves the
// mask as it was.
void Configure();
// Sets the mask directly (tests and tools).
void SetMask(uint32_t mask);
// True when the mask is valid and has any bit set.
bool AnyEnabled();

// Opens a new trace file unless one is open; announces it to the debugger.
void OpenFile();
void FlushFile();
void CloseFile();
bool FileOpen();
// In a child of fork(): the write lock is made anew (a thread of the parent
// may have held it) and the child's copy of the parent's file descriptor is
// closed unwritten. A later OpenFile gives the child a file of its own.
void LeaveParentsFile();

// Writes one line: "<tick> [<thread>] " and the formatted message. Only
// tests whether the file is open; callers test the category.
void DebugPrintf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Hex dump in lines of 16 bytes: "<prefix><hex 48>   <text 16>". The last
// partial line carries no prefix. Masked dumps write nothing.
void DebugDump(const char* prefix, const uint8_t* data, size_t length, bool masked);

// Size of the line buffer; longer lines are truncated.
inline constexpr size_t kLineBufferSize = 16384;

}  // namespace zorad::trace

#define ZORAD_TRACE(category, ...)                              \
  do {                                                          \
    if (::zorad::trace::Enabled(category)) {                    \
      ::zorad::trace::DebugPrintf(__VA_ARGS__);                 \
    }                                                           \
  } while (0)
