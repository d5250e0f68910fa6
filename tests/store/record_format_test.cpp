#include <gtest/gtest.h>

#include <vector>

#include "card/crc32.h"
#include "store/record_body.h"
#include "store/template_summary.h"
#include "store/token_object.h"
#include "support/ckr_names.h"

namespace zorad::store {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kParamsA{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};

TEST(TokenObjectHeaderTest, LayoutAndChecksum) {
  TokenObjectHeader h;
  h.crc = 0x11223344;
  h.keyRef = 5;
  h.id = 0xA1B2C3D4;
  h.updateCount = 0x0102;
  h.size = 0x0013;
  h.Seal();
  const HeaderBytes b = h.Encode();
  const Bytes tail{0x11, 0x22, 0x33, 0x44, 0x05, 0xA1, 0xB2, 0xC3, 0xD4, 0x01, 0x02, 0x00, 0x13};
  EXPECT_EQ(tail, Bytes(b.begin() + 4, b.end()));
  EXPECT_EQ(card::CRC32(tail), h.headerCrc);
  EXPECT_EQ(Bytes({uint8_t(h.headerCrc >> 24), uint8_t(h.headerCrc >> 16),
                   uint8_t(h.headerCrc >> 8), uint8_t(h.headerCrc)}),
            Bytes(b.begin(), b.begin() + 4));
  EXPECT_EQ(std::optional(h), TokenObjectHeader::Decode(b));
}

TEST(TokenObjectHeaderTest, AnyFlippedByteFailsTheChecksum) {
  TokenObjectHeader h;
  h.id = 7;
  h.Seal();
  for (size_t i = 0; i < kHeaderSize; ++i) {
    HeaderBytes b = h.Encode();
    b[i] ^= 0x01;
    EXPECT_EQ(std::nullopt, TokenObjectHeader::Decode(b)) << "byte " << i;
  }
}

TEST(RecordBodyTest, EncodesInAscendingTypeOrder) {
  struct Case {
    const char* what;
    AttributeList list;
    bool leaveOutValue;
    Bytes body;
  };
  const Case cases[] = {
      {"empty", {}, false, {}},
      {"label only", {{CKA_LABEL, {0x6B, 0x65, 0x79}}}, false,
       {0x00, 0x03, 0x00, 0x03, 0x6B, 0x65, 0x79}},
      {"data object",
       {{CKA_LABEL, {0x61, 0x62}}, {CKA_TOKEN, {0x01}}, {CKA_CLASS, {0, 0, 0, 0}}}, false,
       {0x00, 0x00, 0x00, 0x04, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x01, 0x01,
        0x00, 0x03, 0x00, 0x02, 0x61, 0x62}},
      {"vendor defined as 80 00", {{CKA_VENDOR_DEFINED, {0x09}}, {CKA_ID, {}}}, false,
       {0x01, 0x02, 0x00, 0x00, 0x80, 0x00, 0x00, 0x01, 0x09}},
      {"key value left out", {{CKA_VALUE, {1, 2}}, {CKA_ID, {3}}}, true,
       {0x01, 0x02, 0x00, 0x01, 0x03}},
  };
  for (const auto& c : cases) {
    EXPECT_CKR(CKR_OK, CheckRepresentable(c.list, c.leaveOutValue)) << c.what;
    EXPECT_EQ(c.body, EncodeBody(c.list, c.leaveOutValue)) << c.what;
    AttributeList back;
    EXPECT_CKR(CKR_OK, DecodeBody(c.body, back)) << c.what;
    if (!c.leaveOutValue) {
      EXPECT_EQ(c.list, back) << c.what;
    }
  }
}

TEST(RecordBodyTest, LaterRecordOfOneTypeWins) {
  const Bytes body{0x00, 0x03, 0x00, 0x01, 0x41, 0x00, 0x03, 0x00, 0x01, 0x42};
  AttributeList list;
  ASSERT_CKR(CKR_OK, DecodeBody(body, list));
  EXPECT_EQ((AttributeList{{CKA_LABEL, {0x42}}}), list);
}

TEST(RecordBodyTest, MalformedBodiesAreRefusedWithoutOverrun) {
  struct Case {
    const char* what;
    Bytes body;
  };
  const Case cases[] = {
      {"length runs past the end", {0x00, 0x03, 0x00, 0x05, 0x41, 0x42}},
      {"length 0xFFFF on a short body", {0x00, 0x03, 0xFF, 0xFF, 0x00}},
      {"truncated record head", {0x00, 0x03, 0x00, 0x01, 0x41, 0x00, 0x03}},
      {"single stray byte", {0x00}},
  };
  for (const auto& c : cases) {
    // A copy on the heap, exactly as long as the body, so that a read past
    // its end shows under the sanitizers.
    const std::vector<uint8_t> exact(c.body);
    AttributeList list{{CKA_ID, {1}}};
    EXPECT_CKR(CKR_DEVICE_ERROR, DecodeBody(exact, list)) << c.what;
    EXPECT_EQ((AttributeList{{CKA_ID, {1}}}), list) << c.what << ": left as it was";
  }
}

TEST(RecordBodyTest, UnrepresentableListsAreRefused) {
  struct Case {
    const char* what;
    AttributeList list;
    bool leaveOutValue;
    CK_RV rv;
  };
  const Bytes big(0x10000, 0xAA);
  const Bytes half(0x8000, 0xAA);
  const Case cases[] = {
      {"type above 0xFFFF", {{0x10000, {}}}, false, CKR_ATTRIBUTE_TYPE_INVALID},
      {"array attribute type", {{CKA_WRAP_TEMPLATE, {}}}, false, CKR_ATTRIBUTE_TYPE_INVALID},
      {"0x8000 would read back as vendor defined", {{0x8000, {}}}, false,
       CKR_ATTRIBUTE_TYPE_INVALID},
      {"value over 65535", {{CKA_VALUE, big}}, false, CKR_ATTRIBUTE_VALUE_INVALID},
      {"key value over 65535 too", {{CKA_VALUE, big}}, true, CKR_ATTRIBUTE_VALUE_INVALID},
      {"body over 65535", {{CKA_LABEL, half}, {CKA_SUBJECT, half}}, false,
       CKR_ATTRIBUTE_VALUE_INVALID},
      {"body of exactly 65535", {{CKA_LABEL, Bytes(0xFFFF - 4)}}, false, CKR_OK},
      {"key value not in the body", {{CKA_LABEL, half}, {CKA_VALUE, half}}, true, CKR_OK},
  };
  for (const auto& c : cases) {
    EXPECT_CKR(c.rv, CheckRepresentable(c.list, c.leaveOutValue)) << c.what;
  }
}

TEST(TemplateSummaryTest, Fields) {
  const AttributeList publicKey{{CKA_CLASS, {2, 0, 0, 0}},  {CKA_KEY_TYPE, {0x30, 0, 0, 0}},
                                {CKA_VALUE, Bytes(64, 7)},  {CKA_PRIVATE, {0}},
                                {CKA_GOSTR3410_PARAMS, kParamsA}};
  const auto s = SummarizeAttributes(publicKey);
  EXPECT_EQ(uint32_t{CKO_PUBLIC_KEY}, s.objectClass);
  EXPECT_EQ(uint32_t{CKK_GOSTR3410}, s.keyType);
  EXPECT_TRUE(s.isKey);
  EXPECT_FALSE(s.isPrivate);
  EXPECT_EQ(64u, s.value.size());
  EXPECT_EQ(8u + 8 + 5 + 13, s.bodySize);  // CKA_VALUE left out
  EXPECT_EQ(2, s.paramSet);

  const AttributeList data{{CKA_VALUE, Bytes(10)}, {CKA_PRIVATE, {1}}};
  const auto d = SummarizeAttributes(data);
  EXPECT_FALSE(d.isKey);
  EXPECT_TRUE(d.isPrivate);
  EXPECT_EQ(0u, d.objectClass);
  EXPECT_EQ(14u + 5, d.bodySize);
  EXPECT_EQ(kParamSetAbsent, d.paramSet);
}

TEST(TemplateSummaryTest, ShortAndEmptyIntegerValues) {
  struct Case {
    Bytes classValue;
    uint32_t objectClass;
    bool isKey;
  };
  const Case cases[] = {
      {{3}, 3, true},
      {{2, 0}, 2, true},
      {{}, 0, false},
      {{1, 0, 0, 0, 0, 0, 0, 0}, 1, false},  // only the first 4 bytes count
      {{3, 0, 0, 0, 1}, 3, true},
  };
  for (const auto& c : cases) {
    const auto s = SummarizeAttributes({{CKA_CLASS, c.classValue}, {CKA_PRIVATE, {}}});
    EXPECT_EQ(c.objectClass, s.objectClass) << c.classValue.size() << " bytes";
    EXPECT_EQ(c.isKey, s.isKey) << c.classValue.size() << " bytes";
    EXPECT_FALSE(s.isPrivate);
  }
}

TEST(TemplateSummaryTest, ParamSetCodes) {
  struct Case {
    Bytes der;
    uint8_t code;
  };
  const Bytes oid{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23};
  auto with = [&](uint8_t last) {
    Bytes b = oid;
    b.push_back(last);
    return b;
  };
  const Case cases[] = {
      {with(0x01), 2}, {with(0x02), 1}, {with(0x03), 3}, {with(0x00), 4},
      {with(0x04), 0xFF}, {oid, 0xFF}, {{}, 0xFF},
      {[&] { Bytes b = with(0x01); b.push_back(0); return b; }(), 0xFF},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.code, SummarizeAttributes({{CKA_GOSTR3410_PARAMS, c.der}}).paramSet)
        << c.der.size() << " bytes";
  }
}

}  // namespace
}  // namespace zorad::store
