#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "card/crc32.h"

namespace zorad::card {
namespace {

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(Crc32Test, KnownVectors) {
  struct Case {
    std::vector<uint8_t> input;
    uint32_t crc;
  };
  const Case cases[] = {
      {{}, 0xFFFFFFFF},
      {std::vector<uint8_t>(13, 0), 0xFFFFFFFF},  // a register starting at 0 ignores zeros
      {Bytes("abc"), 0x359A672F},
      {{0x00, 0x61, 0x62, 0x63}, 0x359A672F},
      // Differs from the common CRC-32 of "123456789" (0xCBF43926).
      {Bytes("123456789"), 0xD202D277},
  };
  for (const auto& c : cases) EXPECT_EQ(c.crc, CRC32(c.input)) << c.input.size() << " bytes";
}

}  // namespace
}  // namespace zorad::card
