#include "tests/sim_pcsc/pcsc_test_support.h"

#include <cstdio>

namespace zorad::sim::pcsc::testing {

std::string ScardName(LONG rv) {
  struct Named {
    LONG value;
    const char* name;
  };
  static const Named kNames[] = {
      {SCARD_S_SUCCESS, "SCARD_S_SUCCESS"},
      {SCARD_E_CANCELLED, "SCARD_E_CANCELLED"},
      {SCARD_E_INVALID_HANDLE, "SCARD_E_INVALID_HANDLE"},
      {SCARD_E_INVALID_PARAMETER, "SCARD_E_INVALID_PARAMETER"},
      {SCARD_E_INSUFFICIENT_BUFFER, "SCARD_E_INSUFFICIENT_BUFFER"},
      {SCARD_E_UNKNOWN_READER, "SCARD_E_UNKNOWN_READER"},
      {SCARD_E_TIMEOUT, "SCARD_E_TIMEOUT"},
      {SCARD_E_SHARING_VIOLATION, "SCARD_E_SHARING_VIOLATION"},
      {SCARD_E_NO_SMARTCARD, "SCARD_E_NO_SMARTCARD"},
      {SCARD_E_PROTO_MISMATCH, "SCARD_E_PROTO_MISMATCH"},
      {SCARD_E_INVALID_VALUE, "SCARD_E_INVALID_VALUE"},
      {SCARD_E_NOT_TRANSACTED, "SCARD_E_NOT_TRANSACTED"},
      {SCARD_E_READER_UNAVAILABLE, "SCARD_E_READER_UNAVAILABLE"},
      {SCARD_E_NO_SERVICE, "SCARD_E_NO_SERVICE"},
      {SCARD_E_UNSUPPORTED_FEATURE, "SCARD_E_UNSUPPORTED_FEATURE"},
      {SCARD_E_NO_READERS_AVAILABLE, "SCARD_E_NO_READERS_AVAILABLE"},
      {SCARD_E_COMM_DATA_LOST, "SCARD_E_COMM_DATA_LOST"},
      {SCARD_W_RESET_CARD, "SCARD_W_RESET_CARD"},
      {SCARD_W_REMOVED_CARD, "SCARD_W_REMOVED_CARD"},
      {50, "ERROR_NOT_SUPPORTED"},
  };
  for (const auto& named : kNames) {
    if (named.value == rv) return named.name;
  }
  char text[32];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(rv));
  return text;
}

void PcscTest::SetUp() {
  Reset();
  ASSERT_SCARD(SCARD_S_SUCCESS, SCardEstablishContext(SCARD_SCOPE_USER, nullptr,
                                                      nullptr, &context_));
}

void PcscTest::TearDown() { EXPECT_EQ(0u, LeakedTransactions()); }

std::shared_ptr<ScriptedCard> PcscTest::ReaderWithCard(
    const std::string& reader, const ReaderOptions& options) {
  auto card = std::make_shared<ScriptedCard>();
  EXPECT_TRUE(AddReader(reader, options));
  EXPECT_TRUE(InsertCard(reader, card));
  return card;
}

SCARDHANDLE PcscTest::Connect(const std::string& reader, DWORD* protocol) {
  SCARDHANDLE card = 0;
  DWORD active = 0;
  EXPECT_SCARD(SCARD_S_SUCCESS,
               SCardConnect(context_, reader.c_str(), SCARD_SHARE_SHARED,
                            SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                            &active));
  if (protocol != nullptr) *protocol = active;
  return card;
}

SCARDHANDLE PcscTest::ConnectDirect(const std::string& reader) {
  SCARDHANDLE card = 0;
  DWORD active = 99;
  EXPECT_SCARD(SCARD_S_SUCCESS,
               SCardConnect(context_, reader.c_str(), SCARD_SHARE_DIRECT, 0,
                            &card, &active));
  EXPECT_EQ(0u, active);
  return card;
}

}  // namespace zorad::sim::pcsc::testing
