#include "card/crc32.h"

#include <array>

namespace zorad::card {
namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

uint32_t CRC32(std::span<const uint8_t> data) {
  uint32_t reg = 0;
  for (uint8_t b : data) reg = kTable[(reg ^ b) & 0xFF] ^ (reg >> 8);
  return ~reg;
}

}  // namespace zorad::card
