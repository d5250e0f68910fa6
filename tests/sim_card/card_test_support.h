// Helpers for talking to the simulated card in tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/card/simulated_card.h"

namespace zorad::sim::testing {

inline std::vector<uint8_t> Hex(std::string_view text) {
  std::vector<uint8_t> out;
  int nibbles = 0;
  uint8_t cur = 0;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else continue;
    cur = static_cast<uint8_t>((cur << 4) | v);
    if (++nibbles % 2 == 0) out.push_back(cur);
  }
  return out;
}

inline std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Answer {
  std::vector<uint8_t> data;
  uint16_t sw = 0;
  bool removed = false;
};

inline Answer Send(SimulatedCard& card, const std::vector<uint8_t>& command) {
  CardAnswer raw = card.Transmit(command);
  Answer a;
  a.removed = raw.cardRemoved;
  if (raw.bytes.size() >= 2) {
    a.sw = static_cast<uint16_t>((raw.bytes[raw.bytes.size() - 2] << 8) | raw.bytes.back());
    a.data.assign(raw.bytes.begin(), raw.bytes.end() - 2);
  }
  return a;
}

inline Answer Send(SimulatedCard& card, std::string_view hex) { return Send(card, Hex(hex)); }

inline const char* kSelectApp = "00 A4 04 0C 0C 5A4F5241445F504B43533131";  // "ZORAD_PKCS11"

// VERIFY with the 8-byte PIN block of `pin`.
inline std::vector<uint8_t> VerifyCommand(uint8_t ref, const std::string& pin) {
  std::vector<uint8_t> cmd{0x00, 0x20, 0x00, ref};
  std::vector<uint8_t> block = PinBlock(pin);
  cmd.push_back(static_cast<uint8_t>(block.size()));
  return Cat(cmd, block);
}

inline void LoginUser(SimulatedCard& card, const std::string& pin = "12345678") {
  Send(card, kSelectApp);
  Send(card, VerifyCommand(kUserPinRef, pin));
}

}  // namespace zorad::sim::testing
