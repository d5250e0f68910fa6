// Reader attributes as different drivers answer them, and SCardStatus.
#include <reader.h>

#include <string>
#include <vector>

#include "tests/sim_pcsc/pcsc_test_support.h"

namespace zorad::sim::pcsc::testing {
namespace {

using PcscAttributeTest = PcscTest;

std::vector<BYTE> ReadAttribute(SCARDHANDLE handle, DWORD attribute, LONG* rv) {
  DWORD length = 0;
  *rv = SCardGetAttrib(handle, attribute, nullptr, &length);
  if (*rv != SCARD_S_SUCCESS) return {};
  std::vector<BYTE> value(length);
  *rv = SCardGetAttrib(handle, attribute, value.data(), &length);
  value.resize(*rv == SCARD_S_SUCCESS ? length : 0);
  return value;
}

struct AttributeCase {
  const char* what;
  DWORD attribute;
  AttributeAnswer answer;
  LONG expected;
};

TEST_F(PcscAttributeTest, EachAttributeAnswersAsTheReaderIsSetUp) {
  const AttributeCase cases[] = {
      {"atr", SCARD_ATTR_ATR_STRING, AttributeAnswer::kServed, SCARD_S_SUCCESS},
      {"atr/vpcd", SCARD_ATTR_ATR_STRING, AttributeAnswer::kUnsupportedFeature,
       SCARD_E_UNSUPPORTED_FEATURE},
      {"atr/windows", SCARD_ATTR_ATR_STRING, AttributeAnswer::kNotSupported, 50},
      {"vendor", SCARD_ATTR_VENDOR_NAME, AttributeAnswer::kServed, SCARD_S_SUCCESS},
      {"vendor/feature", SCARD_ATTR_VENDOR_NAME, AttributeAnswer::kUnsupportedFeature,
       SCARD_E_UNSUPPORTED_FEATURE},
      {"vendor/windows", SCARD_ATTR_VENDOR_NAME, AttributeAnswer::kNotSupported, 50},
      {"version", SCARD_ATTR_VENDOR_IFD_VERSION, AttributeAnswer::kServed, SCARD_S_SUCCESS},
      {"version/windows", SCARD_ATTR_VENDOR_IFD_VERSION, AttributeAnswer::kNotSupported, 50},
  };
  const std::vector<BYTE> served[] = {
      {0x3B, 0x02, 0x14, 0x50},
      {'S', 'i', 'm', 0},
      {0x03, 0x00, 0x02, 0x01},
  };
  for (const auto& c : cases) {
    Reset();
    ASSERT_SCARD(SCARD_S_SUCCESS, SCardEstablishContext(SCARD_SCOPE_USER, nullptr,
                                                        nullptr, &context_));
    ReaderOptions options;
    options.vendorName = "Sim";
    options.atrAnswer = options.vendorNameAnswer = options.ifdVersionAnswer = c.answer;
    ReaderWithCard("Alpha", options);
    LONG rv = 0;
    const auto value = ReadAttribute(Connect("Alpha"), c.attribute, &rv);
    EXPECT_SCARD(c.expected, rv) << c.what;
    if (c.expected == SCARD_S_SUCCESS) {
      const size_t kind = c.attribute == SCARD_ATTR_ATR_STRING    ? 0
                          : c.attribute == SCARD_ATTR_VENDOR_NAME ? 1
                                                                  : 2;
      EXPECT_EQ(served[kind], value) << c.what;
    }
  }
}

TEST_F(PcscAttributeTest, BufferTooSmallReportsTheSizeNeeded) {
  ReaderWithCard("Alpha");
  const SCARDHANDLE handle = Connect("Alpha");
  BYTE buffer[4] = {};
  DWORD length = 3;
  EXPECT_SCARD(SCARD_E_INSUFFICIENT_BUFFER,
               SCardGetAttrib(handle, SCARD_ATTR_VENDOR_IFD_VERSION, buffer, &length));
  EXPECT_EQ(4u, length);
  EXPECT_SCARD(SCARD_E_INVALID_PARAMETER,
               SCardGetAttrib(handle, SCARD_ATTR_VENDOR_NAME, buffer, nullptr));
  EXPECT_SCARD(SCARD_E_UNSUPPORTED_FEATURE,
               SCardGetAttrib(handle, SCARD_ATTR_CHANNEL_ID, buffer, &length));
}

TEST_F(PcscAttributeTest, VendorNameWithoutSizeQueryStillReadsIntoABuffer) {
  ReaderOptions options;
  options.vendorSizeQueryResult = SCARD_E_INSUFFICIENT_BUFFER;
  options.vendorNameWithNul = false;
  options.vendorName = "Plain Vendor";
  ASSERT_TRUE(AddReader("Empty", options));
  const SCARDHANDLE direct = ConnectDirect("Empty");
  DWORD length = 0;
  EXPECT_SCARD(SCARD_E_INSUFFICIENT_BUFFER,
               SCardGetAttrib(direct, SCARD_ATTR_VENDOR_NAME, nullptr, &length));
  BYTE buffer[256];
  length = sizeof buffer;
  ASSERT_SCARD(SCARD_S_SUCCESS,
               SCardGetAttrib(direct, SCARD_ATTR_VENDOR_NAME, buffer, &length));
  EXPECT_EQ("Plain Vendor", std::string(reinterpret_cast<char*>(buffer), length));
  // No card: the reader has no ATR to give.
  EXPECT_SCARD(SCARD_E_NO_SMARTCARD,
               SCardGetAttrib(direct, SCARD_ATTR_ATR_STRING, buffer, &length));
}

TEST_F(PcscAttributeTest, StatusReportsReaderStateProtocolAndAtr) {
  ReaderWithCard("Alpha");
  const SCARDHANDLE handle = Connect("Alpha");
  DWORD nameLength = 0;
  DWORD atrLength = 0;
  DWORD state = 0;
  DWORD protocol = 0;
  ASSERT_SCARD(SCARD_S_SUCCESS, SCardStatus(handle, nullptr, &nameLength, &state,
                                            &protocol, nullptr, &atrLength));
  EXPECT_EQ(6u, nameLength);
  EXPECT_EQ(4u, atrLength);
  EXPECT_EQ(DWORD{SCARD_PRESENT | SCARD_POWERED | SCARD_SPECIFIC}, state);
  EXPECT_EQ(DWORD{SCARD_PROTOCOL_T1}, protocol);

  char name[16];
  BYTE atr[32];
  nameLength = 5;
  atrLength = sizeof atr;
  EXPECT_SCARD(SCARD_E_INSUFFICIENT_BUFFER,
               SCardStatus(handle, name, &nameLength, nullptr, nullptr, atr, &atrLength));
  EXPECT_EQ(6u, nameLength);
  nameLength = sizeof name;
  ASSERT_SCARD(SCARD_S_SUCCESS,
               SCardStatus(handle, name, &nameLength, nullptr, nullptr, atr, &atrLength));
  EXPECT_STREQ("Alpha", name);
  EXPECT_EQ((std::vector<BYTE>{0x3B, 0x02, 0x14, 0x50}),
            std::vector<BYTE>(atr, atr + atrLength));
  EXPECT_SCARD(SCARD_E_INVALID_PARAMETER,
               SCardStatus(handle, name, nullptr, nullptr, nullptr, nullptr, nullptr));

  ASSERT_TRUE(ResetByOtherApplication("Alpha"));
  EXPECT_SCARD(SCARD_W_RESET_CARD, SCardStatus(handle, nullptr, &nameLength, nullptr,
                                               nullptr, nullptr, nullptr));
}

}  // namespace
}  // namespace zorad::sim::pcsc::testing
