// The daemon's APDU log: one line per command and its answer, in hex.
// PIN-carrying command data (VERIFY, CHANGE REFERENCE DATA) and the random
// bytes GET CHALLENGE answers are masked, as the module's own card command
// trace masks them, so no PIN or challenge ever reaches the file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace zorad::vcard {

// "00 20 00 69 08 ** ** ** ** ** ** ** ** => 90 00": the command, then the
// answer (data + SW). Masked bytes show as "**" so their count stays visible.
std::string FormatExchange(std::span<const uint8_t> command, std::span<const uint8_t> answer);

class ApduLog {
 public:
  ApduLog() = default;
  ApduLog(const ApduLog&) = delete;
  ApduLog& operator=(const ApduLog&) = delete;
  ~ApduLog();

  // Appends to the file (created 0600); false with the reason in *error.
  bool Open(const std::string& path, std::string* error);
  bool IsOpen() const { return file_ != nullptr; }
  // Writes and flushes one exchange line; a no-op when not open.
  void Write(std::span<const uint8_t> command, std::span<const uint8_t> answer);
  // A "# ..." line for card events (inserted, pulled, power).
  void Note(const std::string& text);

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace zorad::vcard
