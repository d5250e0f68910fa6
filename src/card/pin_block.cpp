#include "card/pin_block.h"

#include <cstring>

namespace zorad::card {

bool PinBlock::Assign(const uint8_t* pin, size_t length) {
  bytes_.fill(kPinPadding);
  size_ = kPinBlockSize;
  if (length > kMaxPinBlockSize || (pin == nullptr && length != 0)) return false;
  if (length != 0) std::memcpy(bytes_.data(), pin, length);
  if (length > kPinBlockSize) size_ = length;
  return true;
}

}  // namespace zorad::card
