// Connecting, dispositions, resets by other applications and transactions.
#include "tests/sim_pcsc/pcsc_test_support.h"

namespace zorad::sim::pcsc::testing {
namespace {

using PcscConnectionTest = PcscTest;

struct ProtocolCase {
  ReaderProtocol readerProtocol;
  DWORD preferred;
  LONG expected;
  DWORD active;
};

TEST_F(PcscConnectionTest, SharedConnectNegotiatesTheReadersProtocol) {
  const ProtocolCase cases[] = {
      {ReaderProtocol::kT0, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_S_SUCCESS,
       SCARD_PROTOCOL_T0},
      {ReaderProtocol::kT1, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_S_SUCCESS,
       SCARD_PROTOCOL_T1},
      {ReaderProtocol::kT0, SCARD_PROTOCOL_T1, SCARD_E_PROTO_MISMATCH, 0},
  };
  for (const auto& c : cases) {
    Reset();
    ASSERT_SCARD(SCARD_S_SUCCESS, SCardEstablishContext(SCARD_SCOPE_USER, nullptr,
                                                        nullptr, &context_));
    ReaderOptions options;
    options.protocol = c.readerProtocol;
    auto card = ReaderWithCard("Alpha", options);
    SCARDHANDLE handle = 0;
    DWORD active = 0;
    EXPECT_SCARD(c.expected, SCardConnect(context_, "Alpha", SCARD_SHARE_SHARED,
                                          c.preferred, &handle, &active));
    EXPECT_EQ(c.active, active);
    EXPECT_EQ(c.expected == SCARD_S_SUCCESS ? 1 : 0, card->powerOns);
  }
}

TEST_F(PcscConnectionTest, ConnectRefusals) {
  ASSERT_TRUE(AddReader("Empty"));
  SCARDHANDLE handle = 0;
  DWORD active = 0;
  const DWORD any = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  EXPECT_SCARD(SCARD_E_NO_SMARTCARD, SCardConnect(context_, "Empty", SCARD_SHARE_SHARED,
                                                  any, &handle, &active));
  EXPECT_SCARD(SCARD_E_UNKNOWN_READER, SCardConnect(context_, "Nowhere",
                                                    SCARD_SHARE_SHARED, any,
                                                    &handle, &active));
  EXPECT_SCARD(SCARD_E_INVALID_PARAMETER,
               SCardConnect(context_, nullptr, SCARD_SHARE_SHARED, any, &handle, &active));
  EXPECT_SCARD(SCARD_E_INVALID_PARAMETER,
               SCardConnect(context_, "Empty", SCARD_SHARE_SHARED, any, nullptr, &active));
  EXPECT_SCARD(SCARD_E_INVALID_VALUE,
               SCardConnect(context_, "Empty", 7, any, &handle, &active));
  EXPECT_EQ(0u, OpenConnections());

  // The reader itself is reachable without a card.
  const SCARDHANDLE direct = ConnectDirect("Empty");
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardDisconnect(direct, SCARD_LEAVE_CARD));
  EXPECT_SCARD(SCARD_E_INVALID_HANDLE, SCardDisconnect(direct, SCARD_LEAVE_CARD));
}

TEST_F(PcscConnectionTest, ExclusiveConnectionKeepsOthersOut) {
  ReaderWithCard("Alpha");
  SCARDHANDLE exclusive = 0;
  SCARDHANDLE shared = 0;
  DWORD active = 0;
  ASSERT_SCARD(SCARD_S_SUCCESS, SCardConnect(context_, "Alpha", SCARD_SHARE_EXCLUSIVE,
                                             SCARD_PROTOCOL_T1, &exclusive, &active));
  EXPECT_SCARD(SCARD_E_SHARING_VIOLATION,
               SCardConnect(context_, "Alpha", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1,
                            &shared, &active));
  ConnectDirect("Alpha");  // the reader, not the card
}

struct DispositionCase {
  DWORD disposition;
  int resets;
  int powerOffs;
  int powerOnsAfterReconnect;
};

TEST_F(PcscConnectionTest, DisconnectDispositionsReachTheCard) {
  const DispositionCase cases[] = {
      {SCARD_LEAVE_CARD, 0, 0, 1},
      {SCARD_RESET_CARD, 1, 0, 1},
      {SCARD_UNPOWER_CARD, 0, 1, 2},
  };
  for (const auto& c : cases) {
    Reset();
    ASSERT_SCARD(SCARD_S_SUCCESS, SCardEstablishContext(SCARD_SCOPE_USER, nullptr,
                                                        nullptr, &context_));
    auto card = ReaderWithCard("Alpha");
    EXPECT_SCARD(SCARD_S_SUCCESS, SCardDisconnect(Connect("Alpha"), c.disposition));
    EXPECT_EQ(c.resets, card->resets);
    EXPECT_EQ(c.powerOffs, card->powerOffs);
    Connect("Alpha");
    EXPECT_EQ(c.powerOnsAfterReconnect, card->powerOns) << c.disposition;
  }
}

TEST_F(PcscConnectionTest, ResetByAnotherApplicationUntilReconnect) {
  auto card = ReaderWithCard("Alpha");
  const SCARDHANDLE handle = Connect("Alpha");
  ASSERT_TRUE(ResetByOtherApplication("Alpha"));
  EXPECT_EQ(1, card->resets);
  EXPECT_SCARD(SCARD_W_RESET_CARD, SCardBeginTransaction(handle));
  EXPECT_SCARD(SCARD_W_RESET_CARD, SCardBeginTransaction(handle));
  EXPECT_EQ(0u, OpenTransactions());

  DWORD active = 0;
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardReconnect(handle, SCARD_SHARE_SHARED,
                                               SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                                               SCARD_LEAVE_CARD, &active));
  EXPECT_EQ(SCARD_PROTOCOL_T1, active);
  EXPECT_EQ(1, card->resets);  // leaving the card as it is
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardBeginTransaction(handle));
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardEndTransaction(handle, SCARD_LEAVE_CARD));

  // The card reporting the reset by itself has the same effect.
  card->externalResetPending = true;
  EXPECT_SCARD(SCARD_W_RESET_CARD, SCardBeginTransaction(handle));
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardReconnect(handle, SCARD_SHARE_SHARED,
                                               SCARD_PROTOCOL_T1, SCARD_RESET_CARD,
                                               &active));
  EXPECT_EQ(2, card->resets);
}

TEST_F(PcscConnectionTest, OneHandlesResetMakesTheOthersReconnect) {
  auto card = ReaderWithCard("Alpha");
  const SCARDHANDLE first = Connect("Alpha");
  const SCARDHANDLE second = Connect("Alpha");
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardDisconnect(first, SCARD_RESET_CARD));
  EXPECT_SCARD(SCARD_W_RESET_CARD, SCardBeginTransaction(second));
  DWORD active = 0;
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardReconnect(second, SCARD_SHARE_SHARED,
                                               SCARD_PROTOCOL_T1, SCARD_UNPOWER_CARD,
                                               &active));
  EXPECT_EQ(1, card->powerOffs);
  EXPECT_EQ(2, card->powerOns);
}

TEST_F(PcscConnectionTest, TransactionsNestPerHandleAndExcludeOtherHandles) {
  ReaderWithCard("Alpha");
  const SCARDHANDLE first = Connect("Alpha");
  const SCARDHANDLE second = Connect("Alpha");
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardBeginTransaction(first));
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardBeginTransaction(first));
  EXPECT_EQ(2u, OpenTransactions());
  EXPECT_SCARD(SCARD_E_SHARING_VIOLATION, SCardBeginTransaction(second));
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardEndTransaction(first, SCARD_LEAVE_CARD));
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardEndTransaction(first, SCARD_LEAVE_CARD));
  EXPECT_SCARD(SCARD_E_NOT_TRANSACTED, SCardEndTransaction(first, SCARD_LEAVE_CARD));
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardBeginTransaction(second));
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardEndTransaction(second, SCARD_LEAVE_CARD));
  EXPECT_SCARD(SCARD_E_INVALID_HANDLE, SCardBeginTransaction(0));
}

TEST_F(PcscConnectionTest, TransactionLeftOpenIsCountedAsLeaked) {
  ReaderWithCard("Alpha");
  const SCARDHANDLE handle = Connect("Alpha");
  ASSERT_SCARD(SCARD_S_SUCCESS, SCardBeginTransaction(handle));
  EXPECT_EQ(1u, LeakedTransactions());
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardDisconnect(handle, SCARD_LEAVE_CARD));
  EXPECT_EQ(0u, OpenTransactions());
  EXPECT_EQ(1u, LeakedTransactions());  // disconnecting does not end it
  Reset();
}

TEST_F(PcscConnectionTest, EndingATransactionOnARemovedCardClosesIt) {
  ReaderWithCard("Alpha");
  const SCARDHANDLE handle = Connect("Alpha");
  ASSERT_SCARD(SCARD_S_SUCCESS, SCardBeginTransaction(handle));
  ASSERT_TRUE(RemoveCard("Alpha"));
  EXPECT_SCARD(SCARD_W_REMOVED_CARD, SCardEndTransaction(handle, SCARD_LEAVE_CARD));
  EXPECT_EQ(0u, LeakedTransactions());
  DWORD active = 0;
  EXPECT_SCARD(SCARD_W_REMOVED_CARD,
               SCardReconnect(handle, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1,
                              SCARD_LEAVE_CARD, &active));
}

}  // namespace
}  // namespace zorad::sim::pcsc::testing
