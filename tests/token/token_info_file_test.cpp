// The token information file: big-endian decoding and the format and
// checksum checks that decide whether the file counts at all.
#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "card/token_info_file.h"
#include "sim/card/personalisation.h"
#include "store/crc32.h"

namespace zorad::test {
namespace {

using File = std::array<uint8_t, card::kTokenInfoFileSize>;

File FileOf(const sim::CardPersonalisation& p) {
  const std::vector<uint8_t> bytes = sim::BuildTokenInfo(p);
  File file{};
  std::copy(bytes.begin(), bytes.end(), file.begin());
  return file;
}

void Reseal(File& file) {
  const uint32_t crc = store::CRC32(std::span<const uint8_t>(file).subspan(4));
  for (int i = 0; i < 4; ++i) file[i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
}

TEST(TokenInfoFileTest, DecodesEveryFieldHighByteFirst) {
  sim::CardPersonalisation p;
  p.writeChunk = 0x0123;
  p.pinTryThreshold = 5;
  p.minPinLen = 6;
  p.maxPinLen = 12;
  p.publicArea = {0x00012345, 0, 0x0102, 0x0203};
  p.privateArea = {0x00A0B0C0, 0, 0x0304, 0x0405};
  p.gostParamSet = 3;
  p.privateKeyRefFirst = 2;
  p.privateKeyRefLast = 7;
  p.publicKeyRefFirst = 20;
  p.publicKeyRefLast = 30;
  const File file = FileOf(p);

  const card::TokenInfoFile info = card::DecodeTokenInfoFile(file);
  EXPECT_EQ(1, info.formatMajor);
  EXPECT_EQ(0, info.formatMinor);
  EXPECT_EQ(std::string(info.manufacturer.begin(), info.manufacturer.end()),
            "Corvantix" + std::string(23, ' '));
  EXPECT_EQ(0x0123, info.writeChunk);
  EXPECT_EQ(5, info.pinTryThreshold);
  EXPECT_EQ(6, info.minPinLen);
  EXPECT_EQ(12, info.maxPinLen);
  EXPECT_EQ(0x00012345u, info.publicArea.capacity);
  EXPECT_EQ(0x0102, info.publicArea.blockCount);
  EXPECT_EQ(0x0203, info.publicArea.blockSize);
  EXPECT_EQ(0x00A0B0C0u, info.privateArea.capacity);
  EXPECT_EQ(0x0304, info.privateArea.blockCount);
  EXPECT_EQ(0x0405, info.privateArea.blockSize);
  EXPECT_EQ(3, info.gostParamSet);
  EXPECT_EQ(2, info.privateKeyRefFirst);
  EXPECT_EQ(7, info.privateKeyRefLast);
  EXPECT_EQ(20, info.publicKeyRefFirst);
  EXPECT_EQ(30, info.publicKeyRefLast);
  EXPECT_EQ((uint32_t{file[0]} << 24) | (uint32_t{file[1]} << 16) | (uint32_t{file[2]} << 8) |
                file[3],
            info.infoCrc);
}

TEST(TokenInfoFileTest, OnlyFormatOneZeroWithItsChecksumIsValid) {
  struct Case {
    const char* what;
    std::function<void(File&)> change;
    bool valid;
  };
  const Case cases[] = {
      {"as personalised", [](File&) {}, true},
      {"format 2.0, resealed", [](File& f) { f[4] = 2; Reseal(f); }, false},
      {"format 1.1, resealed", [](File& f) { f[5] = 1; Reseal(f); }, false},
      {"format 0.0, resealed", [](File& f) { f[4] = 0; Reseal(f); }, false},
      {"one checksum bit flipped", [](File& f) { f[2] ^= 0x01; }, false},
      {"last byte changed", [](File& f) { f[71] ^= 0x80; }, false},
      {"last byte changed, resealed", [](File& f) { f[71] ^= 0x80; Reseal(f); }, true},
      {"all zero", [](File& f) { f.fill(0); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    File file = FileOf({});
    c.change(file);
    EXPECT_EQ(c.valid, card::IsValidTokenInfoFile(file));
  }
}

}  // namespace
}  // namespace zorad::test
