// One APDU through the reader: the status-word rules and their failures.
#include "reader/reader_fixture.h"
#include "reader/transmit.h"

namespace zorad::test {
namespace {

using namespace reader;
namespace pcsc = sim::pcsc;

class TransmitTest : public ReaderTest {
 protected:
  void SetUp() override {
    ReaderTest::SetUp();
    Connect();
  }
  // Sends `command` with a buffer of `capacity`; the length comes back in
  // `length_`, the data in `out_`.
  ReaderResult Send(const Bytes& command, size_t capacity = 256) {
    out_.assign(300, 0xEE);
    length_ = capacity;
    return TransmitApdu(command.data(), command.size(), out_.data(), &length_, reader_.get());
  }
  Bytes Out() const { return Bytes(out_.begin(), out_.begin() + length_); }

  Bytes out_;
  size_t length_ = 0;
  const Bytes kRead = Hex("00 B0 00 00 20");
};

TEST_F(TransmitTest, SuccessCopiesTheDataAndKeepsTheStatusWord) {
  card_->Answer(WithSw(Pattern(32), 0x9000));
  ASSERT_EQ(RDR_OK, Send(kRead));
  EXPECT_EQ(Pattern(32), Out());
  EXPECT_EQ(0x9000, reader_->lastStatusWord);
  EXPECT_EQ(std::vector<Bytes>{kRead}, card_->commands);
}

TEST_F(TransmitTest, GetResponseAsksForTheSmallerOfAvailableAndCapacity) {
  struct Case {
    uint16_t sw;
    size_t capacity;
    uint8_t le;
  };
  for (const Case c : {Case{0x6110, 256, 0x10}, Case{0x6110, 8, 0x08}, Case{0x6100, 256, 0x00},
                       Case{0x6100, 40, 0x28}}) {
    card_->commands.clear();
    card_->Answer(WithSw({}, c.sw));
    card_->Answer(WithSw(Pattern(c.le), 0x9000));
    EXPECT_EQ(RDR_OK, Send(kRead, c.capacity)) << std::hex << c.sw;
    ASSERT_EQ(2u, card_->commands.size());
    EXPECT_EQ((Bytes{0x00, 0xC0, 0x00, 0x00, c.le}), card_->commands[1]);
    EXPECT_EQ(c.le, length_);
  }
}

TEST_F(TransmitTest, WithoutResponseBufferGetResponseAsksForAllAndDropsIt) {
  card_->Answer(WithSw({}, 0x6104));
  card_->Answer(WithSw(Hex("01 02 03 04"), 0x9000));
  const Bytes update = Hex("00 D6 00 00 01 AA");
  ASSERT_EQ(RDR_OK, TransmitApdu(update.data(), update.size(), nullptr, nullptr, reader_.get()));
  EXPECT_EQ(Hex("00 C0 00 00 04"), card_->commands.at(1));
}

TEST_F(TransmitTest, GetResponseEndsAtItsOwnAnswer) {
  // 61xx again counts as success and is not followed up; anything else fails.
  card_->Answer(WithSw({}, 0x6120));
  card_->Answer(WithSw(Pattern(16), 0x6110));
  EXPECT_EQ(RDR_OK, Send(kRead));
  EXPECT_EQ(Pattern(16), Out());
  EXPECT_EQ(2u, card_->commands.size());

  card_->Answer(WithSw({}, 0x6120));
  card_->Answer(WithSw({}, 0x6A82));
  EXPECT_EQ(RDR_BAD_STATUS, Send(kRead));
  EXPECT_EQ(0x6A82, reader_->lastStatusWord);
}

TEST_F(TransmitTest, OtherStatusWordsAreBadStatusAndNothingIsResent) {
  for (const Bytes& answer : {WithSw({}, 0x6C10), WithSw(Pattern(4), 0x6110),
                              WithSw({}, 0x6982), WithSw(Pattern(2), 0x6283)}) {
    card_->commands.clear();
    card_->Answer(answer);
    EXPECT_EQ(RDR_BAD_STATUS, Send(kRead));
    EXPECT_EQ(answer[answer.size() - 2] << 8 | answer.back(), reader_->lastStatusWord);
    EXPECT_EQ(1u, card_->commands.size());
  }
}

TEST_F(TransmitTest, DataLongerThanTheCapacityIsRefusedWithLengthUnchanged) {
  card_->Answer(WithSw(Pattern(32), 0x9000));
  EXPECT_EQ(RDR_BAD_ARGUMENTS, Send(kRead, 31));
  EXPECT_EQ(31u, length_);
  EXPECT_EQ(0xEE, out_[0]);
}

TEST_F(TransmitTest, AnswerWithoutStatusWordFails) {
  for (const Bytes& answer : {Bytes{}, Bytes{0x90}}) {
    card_->Answer(answer);
    EXPECT_EQ(RDR_FAILED, Send(kRead));
    EXPECT_EQ(0u, reader_->lastError);
  }
}

TEST_F(TransmitTest, PcscFailuresAreMappedAndKept) {
  pcsc::FailNext(pcsc::Call::kTransmit, pcsc::kNoService);
  EXPECT_EQ(RDR_NO_SERVICE, Send(kRead));
  EXPECT_EQ(pcsc::kNoService, reader_->lastError);
}

TEST_F(TransmitTest, CardRemovedBetweenTwoCommands) {
  card_->Answer(WithSw({}, 0x9000));
  EXPECT_EQ(RDR_OK, Send(kRead));
  ASSERT_TRUE(pcsc::RemoveCard(kReaderName));
  EXPECT_EQ(RDR_FAILED, Send(kRead));
  EXPECT_EQ(pcsc::kRemovedCard, reader_->lastError);
}

TEST_F(TransmitTest, BadCallsSendNothing) {
  const Bytes tooLong(kMaxCommandLength + 1, 0);
  EXPECT_EQ(RDR_BAD_ARGUMENTS, TransmitApdu(kRead.data(), 3, nullptr, nullptr, reader_.get()));
  EXPECT_EQ(RDR_BAD_ARGUMENTS,
            TransmitApdu(tooLong.data(), tooLong.size(), nullptr, nullptr, reader_.get()));
  Reader unconnected;
  EXPECT_EQ(RDR_NOT_CONNECTED, TransmitApdu(kRead.data(), 5, nullptr, nullptr, &unconnected));
  EXPECT_TRUE(card_->commands.empty());
}

}  // namespace
}  // namespace zorad::test
