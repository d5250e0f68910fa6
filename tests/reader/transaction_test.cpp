// Transactions: nesting, the guard, and recovery after a reset by another
// application.
#include <chrono>

#include "platform/platform.h"
#include "reader/reader_fixture.h"
#include "reader/transaction.h"

namespace zorad::test {
namespace {

using namespace reader;
namespace pcsc = sim::pcsc;

class TransactionTest : public ReaderTest {
 protected:
  void SetUp() override {
    ReaderTest::SetUp();
    Connect();
  }
};

TEST_F(TransactionTest, InnerTransactionsNestWithoutPcsc) {
  ASSERT_EQ(RDR_OK, BeginReaderTransaction(reader_.get()));
  ASSERT_EQ(RDR_OK, BeginReaderTransaction(reader_.get()));
  EXPECT_EQ(1u, pcsc::CallCount(pcsc::Call::kBeginTransaction));
  EXPECT_EQ(2u, reader_->transactionDepth);
  EXPECT_EQ(RDR_OK, EndReaderTransaction(reader_.get()));
  EXPECT_EQ(0u, pcsc::CallCount(pcsc::Call::kEndTransaction));
  EXPECT_EQ(1u, pcsc::OpenTransactions());
  EXPECT_EQ(RDR_OK, EndReaderTransaction(reader_.get()));
  EXPECT_EQ(1u, pcsc::CallCount(pcsc::Call::kEndTransaction));
  EXPECT_EQ(0u, pcsc::OpenTransactions());
}

TEST_F(TransactionTest, GuardEndsOnEveryPathAndOnlyOnce) {
  auto failingOperation = [&] {
    ReaderTransaction transaction(reader_.get());
    if (transaction.Begin() != RDR_OK) return RDR_FAILED;
    EXPECT_EQ(1u, pcsc::OpenTransactions());
    return RDR_BAD_STATUS;  // an early return in the middle of the commands
  };
  EXPECT_EQ(RDR_BAD_STATUS, failingOperation());
  EXPECT_EQ(0u, pcsc::OpenTransactions());
  {
    ReaderTransaction transaction(reader_.get());
    ASSERT_EQ(RDR_OK, transaction.Begin());
    EXPECT_EQ(RDR_OK, transaction.End());
  }
  EXPECT_EQ(2u, pcsc::CallCount(pcsc::Call::kEndTransaction));
}

TEST_F(TransactionTest, ResetByAnotherApplicationIsRecovered) {
  ASSERT_TRUE(pcsc::ResetByOtherApplication(kReaderName));
  EXPECT_EQ(RDR_FAILED, BeginReaderTransaction(reader_.get()));
  EXPECT_EQ(static_cast<uint32_t>(pcsc::kResetCard), reader_->lastError);
  EXPECT_EQ(RDR_OK, RecoverReaderTransaction(reader_.get()));
  EXPECT_EQ(1u, pcsc::OpenTransactions());
  EXPECT_EQ(RDR_OK, EndReaderTransaction(reader_.get()));

  ASSERT_TRUE(pcsc::ResetByOtherApplication(kReaderName));
  ReaderTransaction transaction(reader_.get());
  EXPECT_EQ(RDR_OK, transaction.Begin());
  EXPECT_TRUE(transaction.recovered());
}

TEST_F(TransactionTest, RemovedCardFailsAtOnce) {
  ASSERT_TRUE(pcsc::RemoveCard(kReaderName));
  ReaderTransaction transaction(reader_.get());
  const uint32_t start = platform::TickCount();
  EXPECT_EQ(RDR_FAILED, transaction.Begin());
  EXPECT_LT(platform::TickCount() - start, 1000u);
  EXPECT_EQ(0u, pcsc::CallCount(pcsc::Call::kReconnect));
  EXPECT_FALSE(transaction.active());
}

TEST_F(TransactionTest, RecoveryGivesUpAfterItsTimeLimit) {
  ASSERT_TRUE(pcsc::ResetByOtherApplication(kReaderName));
  pcsc::FailNext(pcsc::Call::kReconnect, pcsc::kNoSmartcard, 1000);
  ASSERT_EQ(RDR_FAILED, BeginReaderTransaction(reader_.get()));
  const uint32_t start = platform::TickCount();
  EXPECT_EQ(RDR_FAILED, RecoverReaderTransaction(reader_.get()));
  const uint32_t elapsed = platform::TickCount() - start;
  EXPECT_GE(elapsed, kRecoveryTimeMs);
  EXPECT_LT(elapsed, kRecoveryTimeMs + 1000);
  // One attempt every 200 ms.
  EXPECT_NEAR(28.0, static_cast<double>(pcsc::CallCount(pcsc::Call::kReconnect)), 3.0);
}

}  // namespace
}  // namespace zorad::test
