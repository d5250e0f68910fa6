// vpcd framing: messages cut anywhere in the byte stream or run together
// come out whole and in order; the 16-bit length is the only limit.
#include <gtest/gtest.h>

#include "sim/vcard/vpcd_frame.h"
#include "vcard_test_support.h"

namespace zorad::vcard {
namespace {

using testing::Bytes;

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<Bytes> DrainAll(FrameDecoder& decoder) {
  std::vector<Bytes> out;
  while (auto message = decoder.Next()) out.push_back(*message);
  return out;
}

TEST(VpcdFrame, EncodesBigEndianLengthUpTo64K) {
  EXPECT_EQ(*EncodeFrame(Bytes{0x04}), (Bytes{0x00, 0x01, 0x04}));
  const auto largest = EncodeFrame(Bytes(0xFFFF, 0xAB));
  ASSERT_TRUE(largest);
  EXPECT_EQ((*largest)[0], 0xFF);
  EXPECT_EQ((*largest)[1], 0xFF);
  EXPECT_EQ(largest->size(), 0x10001u);
  EXPECT_FALSE(EncodeFrame(Bytes(0x10000, 0)));
}

TEST(VpcdFrame, MessagesSurviveEveryCutOfTheStream) {
  const std::vector<Bytes> messages = {
      {0x01}, {}, {0x00, 0xA4, 0x04, 0x0C, 0x02, 0x3F, 0x00}, Bytes(300, 0x5A), {0x04}};
  std::vector<Bytes> frames;
  for (const Bytes& m : messages) frames.push_back(*EncodeFrame(m));
  const Bytes stream = Concat(frames);
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    FrameDecoder decoder;
    decoder.Feed(std::span<const uint8_t>(stream).first(cut));
    std::vector<Bytes> got = DrainAll(decoder);
    decoder.Feed(std::span<const uint8_t>(stream).subspan(cut));
    for (Bytes& m : DrainAll(decoder)) got.push_back(std::move(m));
    EXPECT_EQ(got, messages) << "cut at " << cut;
    EXPECT_FALSE(decoder.HasPartial());
  }
}

TEST(VpcdFrame, ByteByByteAndPartialFrames) {
  const Bytes frame = *EncodeFrame(Bytes(0xFFFF, 0x11));
  FrameDecoder decoder;
  for (size_t i = 0; i + 1 < frame.size(); ++i) {
    decoder.Feed(std::span<const uint8_t>(&frame[i], 1));
    ASSERT_FALSE(decoder.Next()) << "at byte " << i;
  }
  EXPECT_TRUE(decoder.HasPartial());
  decoder.Feed(std::span<const uint8_t>(&frame.back(), 1));
  const auto message = decoder.Next();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->size(), 0xFFFFu);
  EXPECT_FALSE(decoder.HasPartial());
}

}  // namespace
}  // namespace zorad::vcard
