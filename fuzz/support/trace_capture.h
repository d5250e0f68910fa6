// Tracing during a fuzz run: the module writes its trace files into a
// folder of the fuzz process's own; after the run every file is checked
// for PINs in the data it shows of the PIN commands, then removed.
#pragma once

#include <cstdint>

namespace zorad::fuzz {

// The bits of a trace mask that mean something: the categories and the
// APDU trace level.
inline constexpr uint8_t kTraceMaskBits = 0x3F;

class TraceCapture {
 public:
  // `mask` becomes ZORAD_PKCS11_TRACEMODE for the C_Initialize calls of the
  // run (0: tracing off).
  explicit TraceCapture(uint8_t mask);
  // Fails when a trace file shows a PIN of the module rig in the data of a
  // command (VERIFY and CHANGE REFERENCE DATA must be masked); removes the
  // files.
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;
};

}  // namespace zorad::fuzz
