// The tool's own parsers and encoders: command-line forms, hexadecimal,
// object identifiers and parameter sets, certificate requests, against known
// encodings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "certificate_text.h"
#include "cli_options.h"
#include "gost_params.h"
#include "hex_text.h"
#include "signed_structures.h"
#include "tool_error.h"

namespace zorad::tool {
namespace {

ParsedArgs Parse(std::vector<const char*> words) {
  words.insert(words.begin(), "zorad-tool");
  return ParseArguments(static_cast<int>(words.size()), words.data());
}

TEST(ToolCommandLine, OptionFormsAndErrors) {
  const ParsedArgs args = Parse({"--slot=2", "sign", "--key", "k", "--pem", "-h", "--in=a=b"});
  EXPECT_EQ("sign", args.command);
  EXPECT_EQ("2", args.Value("slot"));
  EXPECT_EQ("k", args.Value("key"));
  EXPECT_EQ("a=b", args.Value("in"));
  EXPECT_TRUE(args.Has("pem"));
  EXPECT_TRUE(args.Has("help"));

  const std::vector<std::vector<const char*>> bad = {
      {"sign", "--key"}, {"--pem=yes", "list"}, {"list", "--slot", "1", "--slot", "2"},
      {"list", "info"},  {"-x", "list"},        {"list", "--nothing"},
  };
  for (const auto& words : bad) EXPECT_THROW(Parse(words), UsageError) << words.back();
}

TEST(ToolCommandLine, Numbers) {
  EXPECT_EQ(65536ul, ParseNumber("65536", 1, 65536));
  for (const char* text : {"", "0", "65537", "-1", "1x", "99999999999"}) {
    EXPECT_FALSE(ParseNumber(text, 1, 65536)) << text;
  }
}

TEST(ToolHex, ParsesCommonFormsOnly) {
  EXPECT_EQ(Bytes({0x0A, 0xBC}), ParseHex("0aBC"));
  EXPECT_EQ(Bytes({0x0A, 0xBC}), ParseHex("0x0a:bc"));
  EXPECT_EQ(Bytes({0x0A, 0xBC}), ParseHex("0a bc"));
  for (const char* text : {"", "0x", "abc", "0g", "a:bc", "0a-bc"}) {
    EXPECT_FALSE(ParseHex(text)) << text;
  }
  EXPECT_EQ("00ff10", Hex(Bytes{0x00, 0xFF, 0x10}));
}

TEST(ToolGostParams, ObjectIdentifiersEncodeAndDecode) {
  struct Case {
    const char* dotted;
    Bytes der;
  };
  const Case cases[] = {
      {"1.2.643.2.2.35.1", {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01}},
      {"1.2.643.2.2.36.1", {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x01}},
      {"1.2.643.2.2.30.1", {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01}},
      {"2.999.16384", {0x06, 0x05, 0x88, 0x37, 0x81, 0x80, 0x00}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.der, EncodeOid(c.dotted)) << c.dotted;
    EXPECT_EQ(c.dotted, DecodeOid(c.der));
  }
  for (const char* text : {"", "1", "1..2", "1.2.", "3.1", "1.40", "1.2.x"}) {
    EXPECT_FALSE(EncodeOid(text)) << text;
  }
  for (const Bytes& der : {Bytes{0x06, 0x01}, Bytes{0x04, 0x01, 0x2A}, Bytes{0x06, 0x02, 0x2A},
                           Bytes{0x06, 0x02, 0x2A, 0x85}}) {
    EXPECT_FALSE(DecodeOid(der));
  }
}

TEST(ToolGostParams, NamesAndDescriptions) {
  EXPECT_EQ(EncodeOid("1.2.643.2.2.35.2"), ParseParamSet("b"));
  EXPECT_EQ(EncodeOid("1.2.643.2.2.36.0"), ParseParamSet("XA"));
  EXPECT_EQ(EncodeOid("1.2.643.2.2.35.0"), ParseParamSet("1.2.643.2.2.35.0"));
  EXPECT_FALSE(ParseParamSet("D"));
  EXPECT_EQ("CryptoPro-C (1.2.643.2.2.35.3)", DescribeParamSet(*EncodeOid("1.2.643.2.2.35.3")));
  EXPECT_EQ("1.2.3", DescribeParamSet(*EncodeOid("1.2.3")));
  EXPECT_EQ("0102", DescribeParamSet(Bytes{0x01, 0x02}));
}

// The request carries the card's signature as it came (s || r, no unused
// bits even when its last byte is 0) over exactly the bytes the card was
// given, and the key value as the token holds it (little-endian halves).
TEST(ToolCertificates, RequestCarriesTheCardsSignatureAsItCame) {
  GostPublicKey key{Bytes(64), *EncodeOid("1.2.643.2.2.35.1"), DefaultDigestParams()};
  for (size_t i = 0; i < key.value.size(); ++i) key.value[i] = static_cast<uint8_t>(i + 1);
  Bytes signature(64, 0x5A);
  signature.front() = 0x01;
  signature.back() = 0x00;
  Bytes signedBytes;
  const X509NamePtr subject = ParseSubject("/CN=Unit\\/Test/O=Zorad");
  const Bytes der = CertificateRequest(key, subject.get(), [&](std::span<const uint8_t> tbs) {
    signedBytes.assign(tbs.begin(), tbs.end());
    return signature;
  });
  EXPECT_EQ(Bytes({0x03, 0x41, 0x00}), Bytes(der.end() - 67, der.end() - 64));
  EXPECT_EQ(signature, Bytes(der.end() - 64, der.end()));
  const unsigned char* p = der.data();
  X509ReqPtr request(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
  ASSERT_TRUE(request);
  EXPECT_EQ(
      signedBytes,
      Encoded([&](unsigned char** out) { return i2d_re_X509_REQ_tbs(request.get(), out); }, "tbs"));
  EXPECT_EQ(key.value, GostPublicKeyValue(X509_REQ_get_X509_PUBKEY(request.get())));
  EXPECT_EQ("CN = Unit/Test, O = Zorad", NameText(X509_REQ_get_subject_name(request.get())));
  for (const char* bad : {"CN=x", "/CN", "/XX=y", "/CN=x//O=y"}) {
    EXPECT_THROW(ParseSubject(bad), UsageError) << bad;
  }
}

}  // namespace
}  // namespace zorad::tool
