// Contexts, the reader list and the service stopping and coming back.
#include <string>

#include "tests/sim_pcsc/pcsc_test_support.h"

namespace zorad::sim::pcsc::testing {
namespace {

using PcscContextTest = PcscTest;

TEST_F(PcscContextTest, HandlesAreValidUntilReleased) {
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardIsValidContext(context_));
  EXPECT_SCARD(SCARD_E_INVALID_HANDLE, SCardIsValidContext(context_ + 12345));
  EXPECT_SCARD(SCARD_E_INVALID_PARAMETER,
               SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, nullptr));
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardReleaseContext(context_));
  EXPECT_SCARD(SCARD_E_INVALID_HANDLE, SCardIsValidContext(context_));
  EXPECT_SCARD(SCARD_E_INVALID_HANDLE, SCardReleaseContext(context_));
  DWORD length = 0;
  EXPECT_SCARD(SCARD_E_INVALID_HANDLE,
               SCardListReaders(context_, nullptr, nullptr, &length));
}

TEST_F(PcscContextTest, EstablishingCanBeMadeToFail) {
  FailNext(Call::kEstablishContext, SCARD_E_NO_SERVICE);
  SCARDCONTEXT other = 0;
  EXPECT_SCARD(SCARD_E_NO_SERVICE,
               SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &other));
  EXPECT_EQ(0, other);
  EXPECT_SCARD(SCARD_S_SUCCESS,
               SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &other));
  EXPECT_NE(other, context_);
  EXPECT_EQ(3u, CallCount(Call::kEstablishContext));  // SetUp's included
}

TEST_F(PcscContextTest, ListReadersUsesTheTwoCallProtocol) {
  DWORD length = 0;
  EXPECT_SCARD(SCARD_E_NO_READERS_AVAILABLE,
               SCardListReaders(context_, nullptr, nullptr, &length));
  ASSERT_TRUE(AddReader("Alpha"));
  ASSERT_TRUE(AddReader("Beta 1"));
  const std::string expected("Alpha\0Beta 1\0\0", 14);

  ASSERT_SCARD(SCARD_S_SUCCESS,
               SCardListReaders(context_, nullptr, nullptr, &length));
  EXPECT_EQ(expected.size(), length);

  std::string buffer(length, 'x');
  length = buffer.size() - 1;
  EXPECT_SCARD(SCARD_E_INSUFFICIENT_BUFFER,
               SCardListReaders(context_, nullptr, buffer.data(), &length));
  EXPECT_EQ(expected.size(), length);
  EXPECT_EQ(std::string(buffer.size(), 'x'), buffer);

  EXPECT_SCARD(SCARD_S_SUCCESS,
               SCardListReaders(context_, nullptr, buffer.data(), &length));
  EXPECT_EQ(expected, buffer);
  EXPECT_SCARD(SCARD_E_INVALID_PARAMETER,
               SCardListReaders(context_, nullptr, buffer.data(), nullptr));

  ASSERT_TRUE(RemoveReader("Alpha"));
  char* allocated = nullptr;
  length = SCARD_AUTOALLOCATE;
  ASSERT_SCARD(SCARD_S_SUCCESS,
               SCardListReaders(context_, nullptr,
                                reinterpret_cast<LPSTR>(&allocated), &length));
  EXPECT_EQ(std::string("Beta 1\0\0", 8), std::string(allocated, length));
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardFreeMemory(context_, allocated));
}

TEST_F(PcscContextTest, StoppedServiceAnswersNoServiceEverywhere) {
  auto card = ReaderWithCard("Alpha");
  const SCARDHANDLE handle = Connect("Alpha");
  ASSERT_SCARD(SCARD_S_SUCCESS, SCardBeginTransaction(handle));
  StopService();

  SCARDCONTEXT other = 0;
  DWORD length = 0;
  BYTE apdu[] = {0x00, 0xA4, 0x04, 0x00};
  BYTE answer[8];
  DWORD answerLength = sizeof answer;
  SCARD_READERSTATE state{};
  state.szReader = "Alpha";
  EXPECT_SCARD(SCARD_E_NO_SERVICE,
               SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &other));
  EXPECT_SCARD(SCARD_E_NO_SERVICE,
               SCardListReaders(context_, nullptr, nullptr, &length));
  EXPECT_SCARD(SCARD_E_NO_SERVICE, SCardGetStatusChange(context_, 0, &state, 1));
  EXPECT_SCARD(SCARD_E_NO_SERVICE,
               SCardTransmit(handle, SCARD_PCI_T1, apdu, sizeof apdu, nullptr,
                             answer, &answerLength));
  EXPECT_SCARD(SCARD_E_NO_SERVICE, SCardEndTransaction(handle, SCARD_LEAVE_CARD));
  EXPECT_TRUE(card->commands.empty());

  // Back again: what was made before the stop belongs to the old service.
  StartService();
  EXPECT_SCARD(SCARD_E_NO_SERVICE,
               SCardListReaders(context_, nullptr, nullptr, &length));
  EXPECT_SCARD(SCARD_E_NO_SERVICE,
               SCardTransmit(handle, SCARD_PCI_T1, apdu, sizeof apdu, nullptr,
                             answer, &answerLength));
  EXPECT_SCARD(SCARD_E_NO_SERVICE, SCardDisconnect(handle, SCARD_LEAVE_CARD));
  EXPECT_SCARD(SCARD_E_NO_SERVICE, SCardReleaseContext(context_));
  EXPECT_SCARD(SCARD_E_INVALID_HANDLE, SCardReleaseContext(context_));
  EXPECT_EQ(0u, OpenConnections());

  ASSERT_SCARD(SCARD_S_SUCCESS,
               SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_));
  EXPECT_SCARD(SCARD_S_SUCCESS,
               SCardListReaders(context_, nullptr, nullptr, &length));
  const SCARDHANDLE fresh = Connect("Alpha");
  EXPECT_SCARD(SCARD_S_SUCCESS,
               SCardTransmit(fresh, SCARD_PCI_T1, apdu, sizeof apdu, nullptr,
                             answer, &answerLength));
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardDisconnect(fresh, SCARD_LEAVE_CARD));
}

TEST_F(PcscContextTest, InjectedFaultsSkipCountAndLog) {
  ASSERT_TRUE(AddReader("Alpha"));
  FailNext(Call::kListReaders, SCARD_E_NO_READERS_AVAILABLE, 2, 1);
  DWORD length = 0;
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardListReaders(context_, nullptr, nullptr, &length));
  EXPECT_SCARD(SCARD_E_NO_READERS_AVAILABLE,
               SCardListReaders(context_, nullptr, nullptr, &length));
  EXPECT_SCARD(SCARD_E_NO_READERS_AVAILABLE,
               SCardListReaders(context_, nullptr, nullptr, &length));
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardListReaders(context_, nullptr, nullptr, &length));
  EXPECT_EQ(4u, CallCount(Call::kListReaders));
  const auto log = CallLog();
  ASSERT_EQ(5u, log.size());
  EXPECT_EQ(Call::kEstablishContext, log[0].call);
  EXPECT_EQ(static_cast<Code>(SCARD_E_NO_READERS_AVAILABLE), log[2].result);
  EXPECT_STREQ("SCardListReaders", CallName(log[4].call));
}

// Bad arguments of every kind are answered, never dereferenced.
TEST_F(PcscContextTest, BadArgumentsAreRefused) {
  ReaderWithCard("Alpha");
  const SCARDHANDLE handle = Connect("Alpha");
  DWORD value = 0;
  const struct {
    const char* what;
    LONG expected;
    LONG actual;
  } cases[] = {
      {"reconnect without protocol", SCARD_E_INVALID_PARAMETER,
       SCardReconnect(handle, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1,
                      SCARD_LEAVE_CARD, nullptr)},
      {"reconnect bad init", SCARD_E_INVALID_VALUE,
       SCardReconnect(handle, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, 9, &value)},
      {"end bad disposition", SCARD_E_INVALID_VALUE, SCardEndTransaction(handle, 9)},
      {"disconnect bad disposition", SCARD_E_INVALID_VALUE, SCardDisconnect(handle, 9)},
      {"status, nothing wanted", SCARD_S_SUCCESS,
       SCardStatus(handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)},
      {"attribute of no handle", SCARD_E_INVALID_HANDLE,
       SCardGetAttrib(0, 0x00010100, nullptr, &value)},
      {"status change, no entries", SCARD_E_TIMEOUT,
       SCardGetStatusChange(context_, 0, nullptr, 0)},
      {"free nothing", SCARD_S_SUCCESS, SCardFreeMemory(context_, nullptr)},
      {"list without length", SCARD_E_INVALID_PARAMETER,
       SCardListReaders(context_, nullptr, nullptr, nullptr)},
  };
  for (const auto& c : cases) EXPECT_SCARD(c.expected, c.actual) << c.what;
  EXPECT_SCARD(SCARD_S_SUCCESS, SCardDisconnect(handle, SCARD_LEAVE_CARD));
}

}  // namespace
}  // namespace zorad::sim::pcsc::testing
