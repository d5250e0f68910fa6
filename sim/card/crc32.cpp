#include "sim/card/crc32.h"

#include <array>

namespace zorad::sim {
namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

uint32_t CardCrc32(std::span<const uint8_t> data) {
  uint32_t reg = 0;
  for (uint8_t b : data) reg = kTable[(reg ^ b) & 0xFF] ^ (reg >> 8);
  return ~reg;
}

}  // namespace zorad::sim
