// Connecting, resetting and disconnecting a reader; the reader states; the
// context.
#include "reader/reader_context.h"
#include "reader/reader_fixture.h"

namespace zorad::test {
namespace {

using namespace reader;
namespace pcsc = sim::pcsc;

class ConnectionTest : public ReaderTest {};

TEST_F(ConnectionTest, OpenReaderTakesProtocolAndAtr) {
  for (const auto protocol : {pcsc::ReaderProtocol::kT0, pcsc::ReaderProtocol::kT1}) {
    pcsc::Reset();
    ASSERT_EQ(SCARD_S_SUCCESS, OpenReaderContext());
    Connect({.protocol = protocol});
    const bool t0 = protocol == pcsc::ReaderProtocol::kT0;
    EXPECT_EQ(t0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1, reader_->activeProtocol);
    EXPECT_EQ(t0 ? SCARD_PCI_T0 : SCARD_PCI_T1, reader_->sendPci);
    EXPECT_EQ(card_->atr, Bytes(reader_->atr, reader_->atr + reader_->atrLength));
    EXPECT_EQ(static_cast<uint32_t>(SCARD_SHARE_SHARED), reader_->shareMode);
  }
}

TEST_F(ConnectionTest, AtrComesFromTheStatusWhenTheAttributeIsUnsupported) {
  for (const auto answer : {pcsc::AttributeAnswer::kUnsupportedFeature,
                            pcsc::AttributeAnswer::kNotSupported}) {
    pcsc::Reset();
    ASSERT_EQ(SCARD_S_SUCCESS, OpenReaderContext());
    Connect({.atrAnswer = answer});
    EXPECT_EQ(card_->atr, Bytes(reader_->atr, reader_->atr + reader_->atrLength));
    EXPECT_EQ(1u, pcsc::CallCount(pcsc::Call::kStatus));
  }
}

TEST_F(ConnectionTest, FailedAtrReadLeavesTheReaderDisconnected) {
  AddReader();
  pcsc::FailNext(pcsc::Call::kGetAttrib, pcsc::kNoService);
  EXPECT_EQ(RDR_NO_SERVICE, OpenReader(kReaderName, reader_.get()));
  EXPECT_EQ(0u, reader_->card);
  EXPECT_EQ(pcsc::kNoService, reader_->lastError);
  EXPECT_EQ(0u, pcsc::OpenConnections());
}

// Another application, while the connection is made, resets the card (the
// connection is taken up again as the card now is, without resetting it once
// more, which would log the other application out in turn) or is inside a
// transaction (its end is waited for with one of our own). The card is there
// all the same; only one that keeps failing is given up.
TEST_F(ConnectionTest, OtherApplicationsWhileConnecting) {
  struct Case {
    pcsc::Code answer;
    pcsc::Call recovery;
  };
  for (const Case c :
       {Case{static_cast<pcsc::Code>(SCARD_W_RESET_CARD), pcsc::Call::kReconnect},
        Case{static_cast<pcsc::Code>(SCARD_E_SHARING_VIOLATION), pcsc::Call::kBeginTransaction}}) {
    SCOPED_TRACE(c.answer);
    pcsc::Reset();
    ASSERT_EQ(SCARD_S_SUCCESS, OpenReaderContext());
    AddReader();
    pcsc::FailNext(pcsc::Call::kGetAttrib, c.answer);
    ASSERT_EQ(RDR_OK, OpenReader(kReaderName, reader_.get()));
    EXPECT_NE(0u, reader_->card);
    EXPECT_EQ(card_->atr, Bytes(reader_->atr, reader_->atr + reader_->atrLength));
    EXPECT_EQ(1u, pcsc::CallCount(c.recovery));
    EXPECT_EQ(0u, pcsc::CallCount(pcsc::Call::kDisconnect));
    EXPECT_EQ(0u, pcsc::OpenTransactions());
    pcsc::FailNext(pcsc::Call::kGetAttrib, c.answer, 10);
    EXPECT_EQ(RDR_FAILED, OpenReader(kReaderName, reader_.get()));
    EXPECT_EQ(0u, reader_->card);
  }
}

TEST_F(ConnectionTest, ConnectFailuresAreMapped) {
  AddReader({}, /*withCard=*/false);
  EXPECT_EQ(RDR_FAILED, OpenReader(kReaderName, reader_.get()));
  EXPECT_EQ(RDR_UNKNOWN_READER, OpenReader("No Such Reader", reader_.get()));
  EXPECT_EQ(RDR_BAD_ARGUMENTS, OpenReader("", nullptr));
  EXPECT_EQ(RDR_BAD_ARGUMENTS, OpenReader("", NewReader("").get()));
  CloseReaderContext();
  EXPECT_EQ(RDR_NOT_CONNECTED, OpenReader(kReaderName, reader_.get()));
}

TEST_F(ConnectionTest, ReopeningLeavesTheHeldConnectionFirst) {
  Connect();
  ASSERT_EQ(RDR_OK, OpenReader("", reader_.get()));  // keeps its own name
  EXPECT_EQ(kReaderName, reader_->name);
  EXPECT_EQ(1u, pcsc::OpenConnections());
  EXPECT_EQ(0, card_->resets + card_->powerOffs);
}

TEST_F(ConnectionTest, ResetModesAndClose) {
  Connect();
  EXPECT_EQ(RDR_OK, ResetReader(reader_.get(), 0));
  EXPECT_EQ(0, card_->resets + card_->powerOffs);
  EXPECT_EQ(RDR_OK, ResetReader(reader_.get(), 1));
  EXPECT_EQ(1, card_->resets);
  EXPECT_EQ(RDR_OK, ResetReader(reader_.get(), 2));
  EXPECT_EQ(1, card_->powerOffs);
  EXPECT_NE(0u, reader_->card);

  // Closing resets the card only when a PIN was verified on it here.
  // The state keeps its event count: a card swapped meanwhile shows by it.
  reader_->currentState = 0x00050022;
  EXPECT_EQ(RDR_OK, CloseReader(reader_.get()));
  EXPECT_EQ(0u, reader_->card);
  EXPECT_EQ(0x00050022u, reader_->currentState);
  EXPECT_EQ(1, card_->resets);
  ASSERT_EQ(RDR_OK, OpenReader(kReaderName, reader_.get()));
  reader_->pinVerified = true;
  EXPECT_EQ(RDR_OK, CloseReader(reader_.get()));
  EXPECT_EQ(2, card_->resets);
  EXPECT_EQ(RDR_OK, CloseReader(reader_.get()));
  EXPECT_EQ(RDR_NOT_CONNECTED, ResetReader(reader_.get(), 1));
}

TEST_F(ConnectionTest, CheckReaderStateKeepsStatesOnTimeout) {
  AddReader();
  Reader* readers[] = {reader_.get()};
  ASSERT_EQ(RDR_OK, CheckReaderState(readers, 1, 0));
  const uint32_t state = reader_->currentState;
  EXPECT_NE(0u, state & kStatePresent);
  EXPECT_EQ(0u, state & SCARD_STATE_IGNORE);
  reader_->previousState = 0x1234;
  EXPECT_EQ(RDR_TIMEOUT, CheckReaderState(readers, 1, 50));
  EXPECT_EQ(state, reader_->currentState);
  EXPECT_EQ(0x1234u, reader_->previousState);

  ASSERT_TRUE(pcsc::RemoveCard(kReaderName));
  ASSERT_EQ(RDR_OK, CheckReaderState(readers, 1, 0));
  EXPECT_EQ(state, reader_->previousState);
  EXPECT_EQ(0u, reader_->currentState & kStatePresent);

  Reader* holes[] = {reader_.get(), nullptr};
  EXPECT_EQ(RDR_BAD_ARGUMENTS, CheckReaderState(holes, 2, 0));
  EXPECT_EQ(RDR_BAD_ARGUMENTS, CheckReaderState(readers, 0, 0));
}

TEST_F(ConnectionTest, ReopenContextAfterTheServiceReturns) {
  pcsc::StopService();
  EXPECT_EQ(RDR_FAILED, ReopenReaderContext());
  EXPECT_EQ(0u, ReaderContext());
  EXPECT_EQ(RDR_FAILED, ReopenReaderContext());
  pcsc::StartService();
  EXPECT_EQ(RDR_OK, ReopenReaderContext());
  EXPECT_NE(0u, ReaderContext());
}

}  // namespace
}  // namespace zorad::test
