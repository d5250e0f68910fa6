// The form in which every PIN goes to the card: a PIN shorter than 8 bytes
// is padded with 0x31 ('1') to 8 bytes, a longer one is sent whole (a card
// may be personalised with PINs up to its token information's maximum
// length). The block wipes itself when it goes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "card/secure_buffer.h"
#include "card/token.h"

namespace zorad::card {

inline constexpr size_t kPinBlockSize = 8;       // the padded length
inline constexpr size_t kMaxPinBlockSize = 255;  // one VERIFY carries at most this
inline constexpr uint8_t kPinPadding = 0x31;

class PinBlock {
 public:
  PinBlock() { bytes_.fill(kPinPadding); }
  ~PinBlock() { SecureWipe(bytes_.data(), bytes_.size()); }
  PinBlock(const PinBlock&) = delete;
  PinBlock& operator=(const PinBlock&) = delete;

  // Fills the block from a PIN of at most 255 bytes (null with length 0 is
  // the empty PIN). False, with the block left padding only, when the PIN
  // does not fit or is missing.
  bool Assign(const uint8_t* pin, size_t length);

  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return size_; }

 private:
  std::array<uint8_t, kMaxPinBlockSize> bytes_;
  size_t size_ = kPinBlockSize;
};

// The longest PIN the token's card can hold: any PIN of up to 8 bytes fits
// the padded block, longer ones up to the token's maximum PIN length.
inline size_t LongestPin(const TokenInfoFile& info) {
  return info.maxPinLen > kPinBlockSize ? info.maxPinLen : kPinBlockSize;
}

// Whether a PIN of this length may be set on the token: within its minimum
// and maximum PIN length, both included.
inline bool WithinPinLimits(const TokenInfoFile& info, size_t length) {
  return length >= info.minPinLen && length <= info.maxPinLen;
}

}  // namespace zorad::card
