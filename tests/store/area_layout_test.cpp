#include <gtest/gtest.h>

#include "card/area_layout.h"

namespace zorad::card {
namespace {

TEST(AreaLayoutTest, GeometryOfATypicalArea) {
  const auto layout = AreaLayout::Check(4096, 64, 64);
  ASSERT_TRUE(layout);
  EXPECT_EQ(64u, layout->BlockOffset(0));
  EXPECT_EQ(4096u, layout->BlockOffset(63));
  EXPECT_EQ(4224u, layout->TableOffset());
  EXPECT_EQ(68u, layout->TableLength());  // checksum 4224..4227, entries 4228..4291
  EXPECT_EQ(std::optional<uint16_t>(2), layout->BlockAt(64 + 2 * 64));
  EXPECT_EQ(std::nullopt, layout->BlockAt(64 + 2 * 64 + 1));  // not a block start
  EXPECT_EQ(std::nullopt, layout->BlockAt(64 + 64 * 64));     // past the last block
  EXPECT_EQ(std::nullopt, layout->BlockAt(0));
}

TEST(AreaLayoutTest, DescriptorChecks) {
  struct Case {
    const char* what;
    uint32_t capacity;
    uint16_t blockCount;
    uint16_t blockSize;
    bool usable;
  };
  const Case cases[] = {
      {"blocks fill the object space", 8192, 64, 128, true},
      {"no blocks, no block size", 0, 0, 0, true},
      {"smallest block holds a header and a body byte", 18 * 10, 10, 18, true},
      {"block holds a header and no body", 17 * 10, 10, 17, false},
      {"block too small for a header", 16 * 10, 10, 16, false},
      {"blocks overrun the object space", 4096, 65, 64, false},
      {"blocks overrun into the table", 100, 2, 64, false},
      {"table at the highest start offset", 0x7FFF - 128, 0, 0, true},
      {"table starts past 0x7FFF", 0x7FFF - 127, 0, 0, false},
      // Table at 0x7E00 + 4 + 0x2FE entries ends exactly at 0x80FE.
      {"table ends at the last address", 0x7E00 - 128, 0x2FA, 18, true},
      {"table ends past the last address", 0x7E00 - 128, 0x2FB, 18, false},
      {"capacity that wraps 32 bits", 0xFFFFFFC0, 1, 64, false},
      {"many blocks of the largest size", 0xFFFF * 0xFFFFu, 0xFFFF, 0xFFFF, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.usable, AreaLayout::Check(c.capacity, c.blockCount, c.blockSize).has_value())
        << c.what;
  }
}

}  // namespace
}  // namespace zorad::card
