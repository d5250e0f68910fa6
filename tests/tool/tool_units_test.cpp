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
#include "host_digest.h"
#include "public_key_pem.h"
#include "signed_structures.h"
#include "terminal_text.h"
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
}

// --subject as OpenSSL's -subj reads it; a refused value is named with the
// rule it breaks.
TEST(ToolCertificates, SubjectFollowsOpenSslSyntax) {
  const std::pair<const char*, const char*> good[] = {
      {"/CN=a+O=b/C=RU/", "CN = a + O = b, C = RU"},
      {"/CN=a\\+b\\/c\\\\d", "CN = \"a+b/c\\\\d\""},
  };
  for (const auto& [text, shown] : good) EXPECT_EQ(shown, NameText(ParseSubject(text).get()));
  const std::pair<std::string, const char*> bad[] = {
      {"CN=x", "is not of the form"},
      {"/CN", "is not FIELD=value"},
      {"/XX=y", "is no name field"},
      {"/CN=x//O=y", "is not FIELD=value"},
      {"/CN=x\\", "ends with the escape character"},
      {"/C=Russia",
       "'Russia' for C in --subject is refused: it has 6 characters, and the field "
       "takes 2 characters"},
      {"/CN=" + std::string(65, 'a'), "it has 65 characters, and the field takes 1 to 64"},
      {"/CN=\xff", "'\\xff' for CN in --subject is not valid UTF-8"},
  };
  for (const auto& [text, message] : bad) {
    try {
      ParseSubject(text);
      ADD_FAILURE() << text;
    } catch (const UsageError& error) {
      EXPECT_NE(std::string::npos, std::string(error.what()).find(message)) << error.what();
    }
  }
}

TEST(ToolTerminalText, ControlsAreEscaped) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain \xd0\xb8 \xc2\xa0", "plain \xd0\xb8 \xc2\xa0"},  // UTF-8 kept
      {"\x1b]0;t\x07\x1b[2J", "\\x1b]0;t\\x07\\x1b[2J"},
      {"a\nb\tc\x7f", "a\\x0ab\\x09c\\x7f"},
      {"\xc2\x9b\xc2\x80\xc2\x9f", "\\u009b\\u0080\\u009f"},  // C1 in UTF-8
      {"\x9b\xc0\x80\xed\xa0\x80\xe2\x82", "\\x9b\\xc0\\x80\\xed\\xa0\\x80\\xe2\\x82"},
  };
  for (const auto& [raw, shown] : cases) EXPECT_EQ(shown, Printable(raw));
}

// The hash computed here is the card's C_Digest of the same vectors.
TEST(ToolHostDigest, EqualsTheCardsDigest) {
  const std::pair<std::string, const char*> known[] = {
      {"", "981e5f3ca30c841487830f84fb433e13ac1101569b9c13584ac483234cd656c0"},
      {"abc", "b285056dbf18d7392d7677369524dd14747459ed8143997e163b2986f92fd42c"},
      {std::string(128, 'U'), "1c4ac7614691bbf427fa2316216be8f10d92edfd37cd1027514c1008f649c4e8"},
      {std::string(1000000, 'a'),
       "8693287aa62f9478f7cb312ec0866b6c4e4a0f11160441e8f4ffcd2715dd554f"},
  };
  for (const auto& [text, digest] : known) {
    EXPECT_EQ(digest, Hex(HashOnHost(Bytes(text.begin(), text.end())))) << text.substr(0, 8);
  }
}

// Lengths from 128 bytes on take the long form, here and in libcrypto.
TEST(ToolGostParams, LongParametersEncodeInFull) {
  const std::pair<size_t, Bytes> lengths[] = {
      {127, {0x04, 0x7F}}, {128, {0x04, 0x81, 0x80}}, {256, {0x04, 0x82, 0x01, 0x00}}};
  for (const auto& [size, header] : lengths) {
    const Bytes der = DerElement(0x04, Bytes(size));
    EXPECT_EQ(header, Bytes(der.begin(), der.end() - static_cast<long>(size))) << size;
  }
  std::string dotted = "1.2";
  for (int i = 0; i < 60; ++i) dotted += ".1000";  // with the digest set, over 127 bytes
  const Bytes longSet = *EncodeOid(dotted);
  const auto der = GostPublicKeyInfo(Bytes(64, 7), longSet, DefaultDigestParams());
  ASSERT_TRUE(der);
  const unsigned char* p = der->data();
  OpenSslPtr<X509_PUBKEY, X509_PUBKEY_free> info(
      d2i_X509_PUBKEY(nullptr, &p, static_cast<long>(der->size())));
  ASSERT_TRUE(info);
  EXPECT_EQ(Bytes(64, 7), GostPublicKeyValue(info.get()));
}

}  // namespace
}  // namespace zorad::tool
