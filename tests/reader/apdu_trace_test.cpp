// The APDU trace: levels, and the secrets it must never show.
#include <algorithm>

#include "reader/reader_fixture.h"
#include "reader/transmit.h"

namespace zorad::test {
namespace {

using namespace reader;

class ApduTraceTest : public ReaderTest {
 protected:
  ReaderResult Send(const Bytes& command) {
    uint8_t out[256];
    size_t length = sizeof out;
    return TransmitApdu(command.data(), command.size(), out, &length, reader_.get());
  }
  // A dump line of fewer than 16 bytes: hex column padded to 48, 3 blanks, text.
  static std::string DumpLine(const std::string& hex, const std::string& text) {
    return hex + std::string(48 - hex.size(), ' ') + "   " + text;
  }
  static bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  const Bytes kVerify = Hex("00 20 00 69 08 31 32 33 34 35 36 37 38");
};

TEST_F(ApduTraceTest, LevelOneShowsHeaderAndStatusOnly) {
  TraceCapture capture(0x10);
  Connect();
  card_->Answer(WithSw(Hex("41 42"), 0x9000));
  ASSERT_EQ(RDR_OK, Send(Hex("00 B0 00 10 02")));
  const std::vector<std::string> expected = {
      "", "ATR:", DumpLine("3B 8A 80 01 5A 4F 52 ", ";...ZOR"),
      kReaderName, "CLA=00 INS=B0 P1=00 P2=10 P3=02...", "SW=9000"};
  EXPECT_EQ(expected, capture.Lines());
}

TEST_F(ApduTraceTest, LevelTwoDumpsDataButNeverThePin) {
  Connect();
  TraceCapture capture(0x20);
  ASSERT_EQ(RDR_OK, Send(kVerify));
  card_->Answer(WithSw(Hex("41 42"), 0x9000));
  ASSERT_EQ(RDR_OK, Send(Hex("00 B0 00 00 02")));
  const std::vector<std::string> lines = capture.Lines();
  ASSERT_LE(8u, lines.size());
  const std::vector<std::string> verify(lines.begin(), lines.begin() + 8);
  EXPECT_EQ((std::vector<std::string>{kReaderName, std::string(44, '='),
                                      "CLA=00 INS=20 P1=00 P2=69 P3=08...", "Data In:", "",
                                      "Data Out:", DumpLine("90 00 ", ".."), "SW=9000"}),
            verify);
  EXPECT_TRUE(Contains(lines, DumpLine("41 42 90 00 ", "AB..")));
  EXPECT_EQ(std::string::npos, capture.Text().find("31 32"));
  EXPECT_EQ(std::string::npos, capture.Text().find("1234"));
}

TEST_F(ApduTraceTest, ChallengeBytesNeverReachTheTrace) {
  Connect();
  TraceCapture capture(0x30);
  // Directly, and fetched by GET RESPONSE.
  card_->Answer(WithSw(Hex("C1 C2 C3 C4"), 0x9000));
  ASSERT_EQ(RDR_OK, Send(Hex("00 84 00 00 04")));
  card_->Answer(WithSw({}, 0x6104));
  card_->Answer(WithSw(Hex("D1 D2 D3 D4"), 0x9000));
  ASSERT_EQ(RDR_OK, Send(Hex("00 84 00 00 04")));
  const std::string text = capture.Text();
  EXPECT_NE(std::string::npos, text.find("CLA=00 INS=C0 P1=00 P2=00 P3=04..."));
  EXPECT_NE(std::string::npos, text.find("Data Out:"));
  EXPECT_EQ(std::string::npos, text.find("C1"));
  EXPECT_EQ(std::string::npos, text.find("D1"));
}

TEST_F(ApduTraceTest, TransportErrorsAreWrittenWhateverTheCategories) {
  Connect();
  TraceCapture capture(0x01);
  card_->Answer(Hex("90"));
  EXPECT_EQ(RDR_FAILED, Send(Hex("00 B0 00 00 02")));
  EXPECT_EQ(std::vector<std::string>{"SCard error: 00000000"}, capture.Lines());
}

}  // namespace
}  // namespace zorad::test
