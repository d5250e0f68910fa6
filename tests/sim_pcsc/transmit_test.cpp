// APDU exchange: round trip, buffers, protocol checks and a card that leaves
// the reader during a session.
#include <vector>

#include "tests/sim_pcsc/pcsc_test_support.h"

namespace zorad::sim::pcsc::testing {
namespace {

class PcscTransmitTest : public PcscTest {
 protected:
  void SetUp() override {
    PcscTest::SetUp();
    card_ = ReaderWithCard("Alpha");
    handle_ = Connect("Alpha");
  }

  LONG Send(const SCARD_IO_REQUEST* pci, std::vector<BYTE> command,
            std::vector<BYTE>* answer, DWORD capacity = 258) {
    answer->assign(capacity, 0xEE);
    DWORD length = capacity;
    const LONG rv = SCardTransmit(handle_, pci, command.data(), command.size(),
                                  nullptr, answer->data(), &length);
    answer->resize(rv == SCARD_S_SUCCESS ? length : 0);
    lastLength_ = length;
    return rv;
  }

  std::shared_ptr<ScriptedCard> card_;
  SCARDHANDLE handle_ = 0;
  DWORD lastLength_ = 0;
};

TEST_F(PcscTransmitTest, CommandReachesTheCardAndTheAnswerComesBack) {
  card_->QueueAnswer({0x01, 0x02, 0x03, 0x90, 0x00});
  std::vector<BYTE> answer;
  SCARD_IO_REQUEST receivePci{};
  BYTE command[] = {0x00, 0xB0, 0x00, 0x00, 0x03};
  BYTE buffer[16];
  DWORD length = sizeof buffer;
  ASSERT_SCARD(SCARD_S_SUCCESS, SCardTransmit(handle_, SCARD_PCI_T1, command,
                                              sizeof command, &receivePci,
                                              buffer, &length));
  EXPECT_EQ((std::vector<BYTE>{0x01, 0x02, 0x03, 0x90, 0x00}),
            std::vector<BYTE>(buffer, buffer + length));
  EXPECT_EQ(SCARD_PROTOCOL_T1, receivePci.dwProtocol);
  ASSERT_EQ(1u, card_->commands.size());
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0xB0, 0x00, 0x00, 0x03}), card_->commands[0]);
}

TEST_F(PcscTransmitTest, AnswerLargerThanTheBufferIsLostButReported) {
  card_->QueueAnswer({0x01, 0x02, 0x03, 0x90, 0x00});
  std::vector<BYTE> answer;
  EXPECT_SCARD(SCARD_E_INSUFFICIENT_BUFFER,
               Send(SCARD_PCI_T1, {0x00, 0xB0, 0x00, 0x00, 0x03}, &answer, 4));
  EXPECT_EQ(5u, lastLength_);
  EXPECT_EQ(1u, card_->commands.size());  // the card did execute it
  EXPECT_SCARD(SCARD_S_SUCCESS, Send(SCARD_PCI_T1, {0x00, 0xA4, 0x00, 0x00}, &answer, 2));
  EXPECT_EQ((std::vector<BYTE>{0x90, 0x00}), answer);
}

TEST_F(PcscTransmitTest, RefusedBeforeReachingTheCard) {
  std::vector<BYTE> answer;
  BYTE command[] = {0x00, 0xA4, 0x00, 0x00};
  DWORD length = 16;
  EXPECT_SCARD(SCARD_E_PROTO_MISMATCH, Send(SCARD_PCI_T0, {0x00, 0xA4, 0x00, 0x00}, &answer));
  EXPECT_SCARD(SCARD_E_PROTO_MISMATCH, Send(SCARD_PCI_RAW, {0x00, 0xA4, 0x00, 0x00}, &answer));
  EXPECT_SCARD(SCARD_E_INVALID_PARAMETER, Send(nullptr, {0x00, 0xA4, 0x00, 0x00}, &answer));
  EXPECT_SCARD(SCARD_E_INVALID_PARAMETER, Send(SCARD_PCI_T1, {}, &answer));
  EXPECT_SCARD(SCARD_E_INVALID_PARAMETER,
               SCardTransmit(handle_, SCARD_PCI_T1, command, sizeof command, nullptr,
                             nullptr, &length));
  EXPECT_SCARD(SCARD_E_INVALID_HANDLE,
               SCardTransmit(handle_ + 999, SCARD_PCI_T1, command, sizeof command,
                             nullptr, command, &length));
  // A direct connection to an empty reader has no card to talk to.
  ASSERT_TRUE(AddReader("Empty"));
  const SCARDHANDLE direct = ConnectDirect("Empty");
  EXPECT_SCARD(SCARD_E_NO_SMARTCARD,
               SCardTransmit(direct, SCARD_PCI_T1, command, sizeof command, nullptr,
                             command, &length));
  EXPECT_TRUE(card_->commands.empty());
}

TEST_F(PcscTransmitTest, CardLeavingDuringACommandEmptiesTheReader) {
  const uint32_t eventsBefore = ReaderEventCount("Alpha");
  card_->QueueAnswer({}, /*cardRemoved=*/true);
  std::vector<BYTE> answer;
  EXPECT_SCARD(SCARD_W_REMOVED_CARD, Send(SCARD_PCI_T1, {0x00, 0xA4, 0x00, 0x00}, &answer));
  EXPECT_SCARD(SCARD_W_REMOVED_CARD, Send(SCARD_PCI_T1, {0x00, 0xA4, 0x00, 0x00}, &answer));
  EXPECT_SCARD(SCARD_W_REMOVED_CARD, SCardBeginTransaction(handle_));
  EXPECT_EQ(eventsBefore + 1, ReaderEventCount("Alpha"));
  EXPECT_EQ(1u, card_->commands.size());

  SCARDHANDLE another = 0;
  DWORD active = 0;
  EXPECT_SCARD(SCARD_E_NO_SMARTCARD,
               SCardConnect(context_, "Alpha", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1,
                            &another, &active));
  // A new card: new connections work, the old handle stays stale.
  ASSERT_TRUE(InsertCard("Alpha", std::make_shared<ScriptedCard>()));
  Connect("Alpha");
  EXPECT_SCARD(SCARD_W_REMOVED_CARD, Send(SCARD_PCI_T1, {0x00, 0xA4, 0x00, 0x00}, &answer));
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardDisconnect(handle_, SCARD_LEAVE_CARD));
}

TEST_F(PcscTransmitTest, UnpluggedReaderMakesItsHandlesUnavailable) {
  ASSERT_TRUE(RemoveReader("Alpha"));
  std::vector<BYTE> answer;
  EXPECT_SCARD(SCARD_E_READER_UNAVAILABLE,
               Send(SCARD_PCI_T1, {0x00, 0xA4, 0x00, 0x00}, &answer));
  ASSERT_TRUE(AddReader("Alpha"));  // the same name again is a new reader
  EXPECT_SCARD(SCARD_E_READER_UNAVAILABLE,
               Send(SCARD_PCI_T1, {0x00, 0xA4, 0x00, 0x00}, &answer));
}

TEST_F(PcscTransmitTest, AnotherHandlesTransactionBlocksTheExchange) {
  const SCARDHANDLE other = Connect("Alpha");
  ASSERT_SCARD(SCARD_S_SUCCESS, SCardBeginTransaction(other));
  std::vector<BYTE> answer;
  EXPECT_SCARD(SCARD_E_SHARING_VIOLATION,
               Send(SCARD_PCI_T1, {0x00, 0xA4, 0x00, 0x00}, &answer));
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardEndTransaction(other, SCARD_LEAVE_CARD));
  EXPECT_SCARD(SCARD_S_SUCCESS, Send(SCARD_PCI_T1, {0x00, 0xA4, 0x00, 0x00}, &answer));
}

TEST_F(PcscTransmitTest, InjectedTransmitFaultsLeaveTheCardAlone) {
  FailNext(Call::kTransmit, SCARD_E_COMM_DATA_LOST, 1, 1);
  std::vector<BYTE> answer;
  EXPECT_SCARD(SCARD_S_SUCCESS, Send(SCARD_PCI_T1, {0x00, 0x01, 0x00, 0x00}, &answer));
  EXPECT_SCARD(SCARD_E_COMM_DATA_LOST, Send(SCARD_PCI_T1, {0x00, 0x02, 0x00, 0x00}, &answer));
  EXPECT_SCARD(SCARD_S_SUCCESS, Send(SCARD_PCI_T1, {0x00, 0x03, 0x00, 0x00}, &answer));
  ASSERT_EQ(2u, card_->commands.size());
  EXPECT_EQ(0x03, card_->commands[1][1]);
  EXPECT_EQ("Alpha", CallLog().back().reader);
}

}  // namespace
}  // namespace zorad::sim::pcsc::testing
