// The 8-byte form in which every PIN goes to the card: the PIN's bytes, then
// 0x31 ('1') up to 8 bytes. The block wipes itself when it goes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "card/secure_buffer.h"

namespace zorad::card {

inline constexpr size_t kPinBlockSize = 8;
inline constexpr uint8_t kPinPadding = 0x31;

class PinBlock {
 public:
  PinBlock() { bytes_.fill(kPinPadding); }
  ~PinBlock() { SecureWipe(bytes_.data(), bytes_.size()); }
  PinBlock(const PinBlock&) = delete;
  PinBlock& operator=(const PinBlock&) = delete;

  // Fills the block from a PIN of at most 8 bytes (null with length 0 is the
  // empty PIN). False, with the block left padding only, when the PIN does
  // not fit or is missing.
  bool Assign(const uint8_t* pin, size_t length);

  const uint8_t* data() const { return bytes_.data(); }
  static constexpr size_t size() { return kPinBlockSize; }

 private:
  std::array<uint8_t, kPinBlockSize> bytes_;
};

}  // namespace zorad::card
