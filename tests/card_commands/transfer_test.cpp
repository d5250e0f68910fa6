// Commands cut into chunks: binary reads and writes, random bytes, hashing.
#include "card/apdu.h"
#include "card_commands/card_command_fixture.h"

namespace zorad::test {
namespace {

using namespace reader;
using namespace card;
using Strings = std::vector<std::string>;

class TransferTest : public CardCommandTest {};

TEST_F(TransferTest, ReadBinaryInChunksOf256) {
  card_->Answer(WithSw(Pattern(256), 0x9000));
  card_->Answer(WithSw(Pattern(44, 0x80), 0x9000));
  Bytes data(300);
  ASSERT_EQ(RDR_OK, APDU_ReadBF(rd(), 0x0100, data.data(), data.size(), 0));
  EXPECT_EQ((Strings{"00 B0 01 00 00", "00 B0 02 00 2C"}), Headers());
  EXPECT_EQ(Pattern(44, 0x80), Bytes(data.begin() + 256, data.end()));
}

TEST_F(TransferTest, ReadBinaryOfTheWholeAddressRange) {
  Bytes data(0x7FFF);
  for (int i = 0; i < 128; ++i) card_->Answer(WithSw(Pattern(i < 127 ? 256 : 255), 0x9000));
  ASSERT_EQ(RDR_OK, APDU_ReadBF(rd(), 0, data.data(), data.size(), 0));
  EXPECT_EQ(128u, card_->commands.size());
  EXPECT_EQ("00 B0 7F 00 FF", Headers().back());
}

TEST_F(TransferTest, ShortChunkIsFetchedThenFails) {
  card_->Answer(WithSw({}, 0x6110));
  card_->Answer(WithSw(Pattern(16, 1), 0x9000));
  Bytes data(0x20);
  EXPECT_EQ(RDR_FAILED, APDU_ReadBF(rd(), 0, data.data(), data.size(), 0x20));
  EXPECT_EQ((Strings{"00 B0 00 00 20", "00 C0 00 00 10"}), Headers());
  EXPECT_EQ(Pattern(16, 1), Bytes(data.begin(), data.begin() + 16));
}

TEST_F(TransferTest, NoChunkStartsBeyondTheAddressableOffsets) {
  // The chunk before 0x7FFF is cut short instead of letting the next one wrap
  // to the start of the file.
  card_->Answer(WithSw(Pattern(0xFE), 0x9000));
  card_->Answer(WithSw(Pattern(0xFF), 0x9000));
  Bytes data(0x1FD);
  EXPECT_EQ(RDR_OK, APDU_ReadBF(rd(), 0x7F01, data.data(), data.size(), 0));
  EXPECT_EQ(RDR_OK, APDU_UpdateBF(rd(), 0x7F01, data.data(), data.size(), 0));
  EXPECT_EQ((Strings{"00 B0 7F 01 FE", "00 B0 7F FF FF", "00 D6 7F 01 FE", "00 D6 7F FF FF"}),
            Headers());
  // A small chunk cannot reach the last bytes without wrapping: refused.
  card_->commands.clear();
  EXPECT_EQ(RDR_BAD_ARGUMENTS, APDU_UpdateBF(rd(), 0x7FF0, data.data(), 0x20, 0x10));
  EXPECT_EQ(RDR_BAD_ARGUMENTS, APDU_ReadBF(rd(), 0x7FFF, data.data(), 0x101, 0));
  EXPECT_TRUE(card_->commands.empty());
}

TEST_F(TransferTest, ReadBySfiContinuesWithPlainReads) {
  card_->Answer(WithSw(Pattern(256), 0x9000));
  card_->Answer(WithSw(Pattern(44), 0x9000));
  Bytes data(300);
  ASSERT_EQ(RDR_OK, APDU_ReadBFBySFI(rd(), kTokenInfoSfi, data.data(), data.size()));
  EXPECT_EQ((Strings{"00 B0 92 00 00", "00 B0 01 00 2C"}), Headers());

  card_->commands.clear();
  card_->Answer(WithSw(Pattern(40), 0x9000));
  EXPECT_EQ(RDR_FAILED, APDU_ReadBFBySFI(rd(), kTokenInfoSfi, data.data(), 72));
  EXPECT_EQ((Strings{"00 B0 92 00 48"}), Headers());
}

TEST_F(TransferTest, UpdateBinaryLimits) {
  const Bytes data = Pattern(600);
  EXPECT_EQ(RDR_OK, APDU_UpdateBF(rd(), 0x7FFF, data.data(), 0xFF, 0));
  EXPECT_EQ(RDR_BAD_ARGUMENTS, APDU_UpdateBF(rd(), 0x7FFF, data.data(), 0x100, 0));
  EXPECT_EQ(RDR_BAD_ARGUMENTS, APDU_UpdateBF(rd(), 0x8000, data.data(), 1, 0));
  EXPECT_EQ(RDR_BAD_ARGUMENTS, APDU_EraseBF(rd(), 0x7F00, 0x1FF, 0));
  EXPECT_EQ((Strings{"00 D6 7F FF FF"}), Headers());
}

TEST_F(TransferTest, UpdateBinaryChunks) {
  const Bytes data = Pattern(600);
  ASSERT_EQ(RDR_OK, APDU_UpdateBF(rd(), 0, data.data(), data.size(), 0));
  ASSERT_EQ(RDR_OK, APDU_UpdateBF(rd(), 0x10, data.data(), 300, 300));  // used as 255
  EXPECT_EQ((Strings{"00 D6 00 00 FF", "00 D6 00 FF FF", "00 D6 01 FE 5A", "00 D6 00 10 FF",
                     "00 D6 01 0F 2D"}),
            Headers());
  EXPECT_EQ(Bytes(data.begin() + 510, data.end()), DataOf(2));
}

TEST_F(TransferTest, WritesStopAtTheFirstFailingChunk) {
  card_->Answer(WithSw({}, 0x9000));
  card_->Answer(WithSw({}, 0x6581));
  EXPECT_EQ(RDR_BAD_STATUS, APDU_EraseBF(rd(), 0x20, 100, 40));
  EXPECT_EQ((Strings{"00 D6 00 20 28", "00 D6 00 48 28"}), Headers());
  EXPECT_EQ(Bytes(40, 0), DataOf(1));
  EXPECT_EQ(0x6581, reader_->lastStatusWord);
}

TEST_F(TransferTest, ChallengeInChunksOf32) {
  Bytes random(70);
  card_->Answer(WithSw(Pattern(8), 0x9000));
  ASSERT_EQ(RDR_OK, APDU_GetChallenge(rd(), random.data(), 8));
  for (size_t n : {32, 32, 6}) card_->Answer(WithSw(Pattern(n), 0x9000));
  ASSERT_EQ(RDR_OK, APDU_GetChallenge(rd(), random.data(), 70));
  EXPECT_EQ((Strings{"00 84 00 00 08", "00 84 00 00 20", "00 84 00 00 20", "00 84 00 00 06"}),
            Headers());
  card_->Answer(WithSw(Pattern(31), 0x9000));
  EXPECT_EQ(RDR_FAILED, APDU_GetChallenge(rd(), random.data(), 32));
}

TEST_F(TransferTest, HashChainsChunksOf240) {
  const Bytes data = Pattern(500);
  card_->Answer(WithSw({}, 0x9000));
  card_->Answer(WithSw({}, 0x9000));
  card_->Answer(WithSw(Pattern(32, 0xA0), 0x9000));
  Bytes hash(32);
  size_t hashLength = hash.size();
  ASSERT_EQ(RDR_OK, APDU_Hash(rd(), data.data(), data.size(), hash.data(), &hashLength));
  EXPECT_EQ((Strings{"10 2A 90 80 F0", "10 2A 90 80 F0", "00 2A 90 80 14"}), Headers());
  EXPECT_EQ(Bytes(data.begin() + 480, data.end()), DataOf(2));
  EXPECT_EQ(Pattern(32, 0xA0), hash);

  // A chained chunk's data is not taken for the hash.
  card_->commands.clear();
  card_->Answer(WithSw(Pattern(4), 0x9000));
  card_->Answer(WithSw({}, 0x6A80));
  EXPECT_EQ(RDR_BAD_STATUS, APDU_Hash(rd(), data.data(), 300, hash.data(), &hashLength));
  EXPECT_EQ(Pattern(32, 0xA0), hash);
}

}  // namespace
}  // namespace zorad::test
