// The vpcd socket framing: every message is a 2-byte big-endian length
// followed by that many bytes. A 1-byte message from the reader is a control
// code; anything longer is a command APDU. The card answers an APDU with
// data + SW and the ATR request with the ATR, framed the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zorad::vcard {

inline constexpr uint16_t kDefaultVpcdPort = 35963;
inline constexpr size_t kMaxFramePayload = 0xFFFF;

// Control codes the reader sends as 1-byte messages.
enum class VpcdControl : uint8_t {
  kPowerOff = 0,
  kPowerOn = 1,
  kReset = 2,
  kAtr = 4,  // the only control code that is answered (with the ATR)
};

// Length prefix + payload; nullopt when the payload does not fit the prefix.
std::optional<std::vector<uint8_t>> EncodeFrame(std::span<const uint8_t> payload);

// Reassembles whole messages from a byte stream that arrives in arbitrary
// pieces. A caller that drains Next() after every Feed() keeps at most one
// unfinished message (up to 64 KiB + 2) and one read buffered.
class FrameDecoder {
 public:
  void Feed(std::span<const uint8_t> bytes);
  // The next whole message, in arrival order; nullopt while incomplete.
  std::optional<std::vector<uint8_t>> Next();
  // Bytes of an unfinished message are buffered (a peer that closes now
  // cut a message short).
  bool HasPartial() const { return !pending_.empty(); }

 private:
  std::vector<uint8_t> pending_;
  size_t consumed_ = 0;
};

}  // namespace zorad::vcard
