// Known-answer tests for the card's checksum and GOST primitives, and the
// PKCS#11 byte conventions of the verification helper.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "card_test_support.h"
#include "sim/card/crc32.h"
#include "sim/card/gost_crypto.h"

namespace zorad::sim {
namespace {

using testing::Hex;

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> Reversed(std::vector<uint8_t> v) {
  std::reverse(v.begin(), v.end());
  return v;
}

TEST(CardCrc32, KnownValues) {
  EXPECT_EQ(CardCrc32(Bytes("abc")), 0x359A672Fu);
  EXPECT_EQ(CardCrc32({}), 0xFFFFFFFFu);
  // The register starts at 0, so zero bytes leave it there.
  std::vector<uint8_t> zeros(68, 0);
  EXPECT_EQ(CardCrc32(zeros), 0xFFFFFFFFu);
}

struct HashVector {
  std::string message;
  const char* digest;
};

TEST(GostR341194, CryptoProVectors) {
  const HashVector vectors[] = {
      {"", "981e5f3ca30c841487830f84fb433e13ac1101569b9c13584ac483234cd656c0"},
      {"The quick brown fox jumps over the lazy dog",
       "9004294a361a508c586fe53d1f1b02746765e71b765472786e4770d565830a76"},
      {"abc", "b285056dbf18d7392d7677369524dd14747459ed8143997e163b2986f92fd42c"},
      {"message digest", "bc6041dd2aa401ebfa6e9886734174febdb4729aa972d60f549ac39b29721ba0"},
  };
  for (const auto& v : vectors) {
    GostHash h = GostR341194Hash(Bytes(v.message));
    EXPECT_EQ(std::vector<uint8_t>(h.begin(), h.end()), Hex(v.digest)) << '"' << v.message << '"';
  }
}

TEST(GostR341194, StreamEqualsOneShotAcrossChunkBoundaries) {
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  GostHashStream stream;
  for (size_t pos = 0; pos < data.size(); pos += 240) {
    stream.Update(std::span(data).subspan(pos, std::min<size_t>(240, data.size() - pos)));
  }
  EXPECT_EQ(stream.Finish(), GostR341194Hash(data));
  // Finish starts the stream over.
  EXPECT_EQ(stream.Finish(), GostR341194Hash({}));
}

// The example of the published GOST R 34.10-2001 standard (test parameter
// set), as a PKCS#11 application would hold it: public key X || Y
// little-endian, digest whose little-endian value is e, signature s || r.
struct StandardExample {
  std::vector<uint8_t> x = Hex("7f2b49e270db6d90d8595bec458b50c58585ba1d4e9b788f6689dbd8e56fd80b");
  std::vector<uint8_t> y = Hex("26f1b489d6701dd185c8413a977b3cbbaf64d1c593d26627dffb101a87ff77da");
  std::vector<uint8_t> e = Hex("2dfbc1b372d89a1188c09c52e0eec61fce52032ab1022e8e67ece6672b043ee5");
  std::vector<uint8_t> r = Hex("41aa28d2f1ab148280cd9ed56feda41974053554a42767b83ad043fd39dc0493");
  std::vector<uint8_t> s = Hex("01456c64ba4642a1653c235a98a60249bcd6d3f746b631df928014f6c5bf9c40");
  std::vector<uint8_t> d = Hex("7a929ade789bb9be10ed359dd39a72c11b60961f49397eee1d19ce9891ec3b28");

  std::vector<uint8_t> PublicKeyLe() const { return testing::Cat(Reversed(x), Reversed(y)); }
  std::vector<uint8_t> Digest() const { return Reversed(e); }
  std::vector<uint8_t> Signature() const { return testing::Cat(s, r); }
};

constexpr uint8_t kTestParamSet = 4;

TEST(GostR341001, PublishedExampleVerifies) {
  StandardExample ex;
  EXPECT_TRUE(VerifyPkcs11GostSignature(kTestParamSet, ex.PublicKeyLe(), ex.Digest(), ex.Signature()));
}

TEST(GostR341001, PublishedExampleRejectsAnyChange) {
  StandardExample ex;
  auto flip = [](std::vector<uint8_t> v, size_t i) {
    v[i] ^= 0x01;
    return v;
  };
  EXPECT_FALSE(VerifyPkcs11GostSignature(kTestParamSet, ex.PublicKeyLe(), flip(ex.Digest(), 0), ex.Signature()));
  EXPECT_FALSE(VerifyPkcs11GostSignature(kTestParamSet, ex.PublicKeyLe(), ex.Digest(), flip(ex.Signature(), 63)));
  // The same bytes in the wrong conventions must not pass either.
  EXPECT_FALSE(VerifyPkcs11GostSignature(kTestParamSet, ex.PublicKeyLe(), ex.e, ex.Signature()));
  EXPECT_FALSE(VerifyPkcs11GostSignature(kTestParamSet, ex.PublicKeyLe(), ex.Digest(), testing::Cat(ex.r, ex.s)));
  EXPECT_FALSE(VerifyPkcs11GostSignature(kTestParamSet, testing::Cat(ex.x, ex.y), ex.Digest(), ex.Signature()));
  EXPECT_FALSE(VerifyPkcs11GostSignature(2, ex.PublicKeyLe(), ex.Digest(), ex.Signature()));
}

TEST(GostR341001, PublishedPrivateKeyGivesPublishedPublicKey) {
  StandardExample ex;
  auto q = DeriveGostPublicKey(GostCurveForParamSet(kTestParamSet), ex.d);
  ASSERT_TRUE(q);
  EXPECT_EQ(std::vector<uint8_t>(q->begin(), q->end()), testing::Cat(ex.x, ex.y));
}

TEST(GostR341001, SignVerifyOnEveryParameterSet) {
  for (uint8_t code : {1, 2, 3, 4}) {
    const char* curve = GostCurveForParamSet(code);
    ASSERT_NE(curve, nullptr);
    auto pair = GenerateGostKeyPair(curve);
    ASSERT_TRUE(pair) << curve;
    EXPECT_TRUE(IsGostPublicKeyValid(curve, pair->publicKey));
    GostHash h = GostR341194Hash(Bytes("card data"));
    auto sig = GostSign(curve, pair->privateKey, h);
    ASSERT_TRUE(sig) << curve;
    EXPECT_TRUE(GostVerify(curve, pair->publicKey, h, *sig)) << curve;
    EXPECT_TRUE(VerifyPkcs11GostSignature(code, SwapPublicKeyHalves(pair->publicKey), h, *sig));
  }
  EXPECT_EQ(GostCurveForParamSet(0), nullptr);
  EXPECT_EQ(GostCurveForParamSet(5), nullptr);
}

TEST(GostR341001, RejectsBadKeys) {
  const char* curve = GostCurveForParamSet(2);
  std::vector<uint8_t> zero(32, 0);
  std::vector<uint8_t> ff(32, 0xFF);  // above the group order
  EXPECT_FALSE(DeriveGostPublicKey(curve, zero));
  EXPECT_FALSE(DeriveGostPublicKey(curve, ff));
  std::vector<uint8_t> notOnCurve(64, 0x01);
  EXPECT_FALSE(IsGostPublicKeyValid(curve, notOnCurve));
  EXPECT_FALSE(IsGostPublicKeyValid(curve, std::vector<uint8_t>(63, 0)));
  EXPECT_FALSE(GostVerify(curve, notOnCurve, std::vector<uint8_t>(32, 0), std::vector<uint8_t>(64, 1)));
}

}  // namespace
}  // namespace zorad::sim
