#include <cstdio>
#include <cstring>

#include "trace/trace.h"

namespace zorad::trace {

void DebugDump(const char* prefix, const uint8_t* data, size_t length, bool masked) {
  if (masked || data == nullptr) return;
  if (prefix == nullptr) prefix = "";
  char hex[16 * 3 + 1];
  char text[16 + 1];
  size_t inGroup = 0;
  for (size_t i = 0; i < length; ++i) {
    const uint8_t byte = data[i];
    std::snprintf(hex + inGroup * 3, 4, "%02X ", byte);
    text[inGroup] = (byte >= 0x20 && byte <= 0x7F) ? static_cast<char>(byte) : '.';
    ++inGroup;
    if (inGroup == 16) {
      text[16] = '\0';
      DebugPrintf("%s%s   %s\n", prefix, hex, text);
      inGroup = 0;
    }
  }
  if (inGroup != 0) {
    std::memset(hex + inGroup * 3, ' ', (16 - inGroup) * 3);
    hex[48] = '\0';
    text[inGroup] = '\0';
    DebugPrintf("%s   %s\n", hex, text);
  }
}

}  // namespace zorad::trace
