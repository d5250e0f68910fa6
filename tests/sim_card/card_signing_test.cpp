// Key slots and signatures: generation, public key read-out, the security
// environment, chained PSO HASH, COMPUTE and VERIFY SIGNATURE, key import in
// the forms the module sends, and T=0 delivery through GET RESPONSE.
#include <gtest/gtest.h>

#include <algorithm>

#include "card_test_support.h"

namespace zorad::sim {
namespace {

using testing::Cat;
using testing::Hex;
using testing::Send;

std::vector<uint8_t> Reversed(std::vector<uint8_t> v) {
  std::reverse(v.begin(), v.end());
  return v;
}

std::vector<uint8_t> Message(size_t n) {
  std::vector<uint8_t> m(n);
  for (size_t i = 0; i < n; ++i) m[i] = static_cast<uint8_t>(i * 13 + 5);
  return m;
}

class CardSigning : public ::testing::Test {
 protected:
  explicit CardSigning(CardPersonalisation p = {}) : card_(p) {}

  void SetUp() override { testing::LoginUser(card_); }

  void SetEnvironment(bool signing, uint8_t keyRef) {
    ASSERT_EQ(Send(card_, "00 22 F3 00 00").sw, 0x9000);
    ASSERT_EQ(Send(card_, "00 22 C1 AA 03 800111").sw, 0x9000);
    std::vector<uint8_t> key = signing ? Hex("00 22 41 B6 03 84 01") : Hex("00 22 81 B6 03 83 01");
    key.push_back(keyRef);
    ASSERT_EQ(Send(card_, key).sw, 0x9000);
  }

  // PSO HASH in chunks of 240 bytes, CLA 10 on all but the last.
  testing::Answer HashOnCard(const std::vector<uint8_t>& data) {
    testing::Answer last;
    for (size_t pos = 0; pos < data.size(); pos += 240) {
      const size_t n = std::min<size_t>(240, data.size() - pos);
      const bool final = pos + n == data.size();
      std::vector<uint8_t> cmd{static_cast<uint8_t>(final ? 0x00 : 0x10), 0x2A, 0x90, 0x80,
                               static_cast<uint8_t>(n)};
      cmd.insert(cmd.end(), data.begin() + pos, data.begin() + pos + n);
      last = Send(card_, cmd);
      if (!final) {
        EXPECT_EQ(last.sw, 0x9000);
      }
    }
    return last;
  }

  testing::Answer Sign(const std::vector<uint8_t>& hash) {
    return Send(card_, Cat(Hex("00 2A 9E 9A 20"), hash));
  }

  testing::Answer VerifyOnCard(const std::vector<uint8_t>& hash, const std::vector<uint8_t>& sig) {
    return Send(card_, Cat(Cat(Cat(Hex("00 2A 00 A8 64 9A 20"), hash), Hex("9E 40")), sig));
  }

  SimulatedCard card_;
};

TEST_F(CardSigning, GeneratedKeySignsAndBothSidesVerify) {
  ASSERT_EQ(Send(card_, "00 46 02 03 00").sw, 0x9000);
  auto pub = Send(card_, "00 46 01 03 00");
  ASSERT_EQ(pub.sw, 0x9000);
  ASSERT_EQ(pub.data.size(), 64u);

  SetEnvironment(true, 3);
  const auto message = Message(500);
  auto hash = HashOnCard(message);
  ASSERT_EQ(hash.sw, 0x9000);
  GostHash expected = GostR341194Hash(message);
  EXPECT_EQ(hash.data, std::vector<uint8_t>(expected.begin(), expected.end()));
  auto sig = Sign(hash.data);
  ASSERT_EQ(sig.sw, 0x9000);
  ASSERT_EQ(sig.data.size(), 64u);

  // The module hands the application each half of the read-out reversed.
  EXPECT_TRUE(VerifyPkcs11GostSignature(2, SwapPublicKeyHalves(pub.data), hash.data, sig.data));

  SetEnvironment(false, 3);
  EXPECT_EQ(VerifyOnCard(hash.data, sig.data).sw, 0x9000);
  auto bad = sig.data;
  bad[10] ^= 0x40;
  EXPECT_EQ(VerifyOnCard(hash.data, bad).sw, 0x6300);
  EXPECT_EQ(Send(card_, Cat(Hex("00 2A 00 A8 64 9A 20"), std::vector<uint8_t>(98, 0))).sw, 0x6A80);
}

TEST_F(CardSigning, RegenerationReplacesTheKey) {
  ASSERT_EQ(Send(card_, "00 46 02 01 00").sw, 0x9000);
  auto before = Send(card_, "00 46 01 01 00").data;
  ASSERT_EQ(Send(card_, "00 46 02 01 00").sw, 0x9000);
  EXPECT_NE(Send(card_, "00 46 01 01 00").data, before);
}

TEST_F(CardSigning, RefusalsOfKeyAndSignatureCommands) {
  struct Case {
    const char* name;
    const char* command;
    uint16_t sw;
  };
  const Case cases[] = {
      {"generate outside private range", "00 46 02 09 00", 0x6A88},
      {"read empty slot", "00 46 01 05 00", 0x6A88},
      {"read with wrong Le", "00 46 01 05 20", 0x6C40},
      {"unknown key operation", "00 46 03 01 00", 0x6A86},
      {"sign without environment", "00 2A 9E 9A 20 0000000000000000000000000000000000000000000000000000000000000000", 0x6985},
      {"hash without algorithm", "00 2A 90 80 03 616263", 0x6985},
      {"unknown algorithm", "00 22 C1 AA 03 800112", 0x6A80},
      {"private key tag for verifying", "00 22 81 B6 03 840101", 0x6A80},
      {"element length not 1", "00 22 41 B6 04 84020101", 0x6A80},
      {"unknown environment template", "00 22 41 A4 03 840101", 0x6A86},
      {"unknown PSO", "00 2A 9E 9B 20 0000000000000000000000000000000000000000000000000000000000000000", 0x6A86},
  };
  for (const Case& c : cases) EXPECT_EQ(Send(card_, c.command).sw, c.sw) << c.name;

  ASSERT_EQ(Send(card_, "00 46 02 01 00").sw, 0x9000);
  SetEnvironment(true, 1);
  EXPECT_EQ(Send(card_, "00 2A 9E 9A 03 010203").sw, 0x6700);  // hash must be 32 bytes
  SetEnvironment(true, 2);
  EXPECT_EQ(Sign(std::vector<uint8_t>(32, 1)).sw, 0x6A88);  // empty slot
}

TEST_F(CardSigning, SigningAndGenerationNeedTheUserPin) {
  ASSERT_EQ(Send(card_, "00 46 02 01 00").sw, 0x9000);
  card_.Reset();
  Send(card_, testing::kSelectApp);
  EXPECT_EQ(Send(card_, "00 46 02 01 00").sw, 0x6982);
  EXPECT_EQ(Send(card_, "00 46 01 01 00").sw, 0x9000);  // public half stays readable
  SetEnvironment(true, 1);
  EXPECT_EQ(Sign(std::vector<uint8_t>(32, 1)).sw, 0x6982);
}

TEST_F(CardSigning, AnyOtherCommandBreaksTheHashChain) {
  SetEnvironment(true, 1);
  ASSERT_EQ(Send(card_, "10 2A 90 80 03 414243").sw, 0x9000);
  Send(card_, "00 84 00 00 08");
  auto hash = Send(card_, "00 2A 90 80 03 616263");
  GostHash abc = GostR341194Hash(std::vector<uint8_t>{'a', 'b', 'c'});
  EXPECT_EQ(hash.data, std::vector<uint8_t>(abc.begin(), abc.end()));
  // A restore of the environment also forgets the algorithm.
  Send(card_, "00 22 F3 00 00");
  EXPECT_EQ(Send(card_, "00 2A 90 80 03 616263").sw, 0x6985);
}

// A card with the test parameter set, so that the published example of the
// standard can go through the module's import path: the module sends the
// private CKA_VALUE reversed whole, the public one with each half reversed.
class CardKeyImport : public CardSigning {
 protected:
  static CardPersonalisation TestParamSet() {
    CardPersonalisation p;
    p.gostParamSet = 4;
    return p;
  }
  CardKeyImport() : CardSigning(TestParamSet()) {}

  const std::vector<uint8_t> x_ = Hex("7f2b49e270db6d90d8595bec458b50c58585ba1d4e9b788f6689dbd8e56fd80b");
  const std::vector<uint8_t> y_ = Hex("26f1b489d6701dd185c8413a977b3cbbaf64d1c593d26627dffb101a87ff77da");
  const std::vector<uint8_t> d_ = Hex("7a929ade789bb9be10ed359dd39a72c11b60961f49397eee1d19ce9891ec3b28");
  const std::vector<uint8_t> e_ = Hex("2dfbc1b372d89a1188c09c52e0eec61fce52032ab1022e8e67ece6672b043ee5");
  const std::vector<uint8_t> r_ = Hex("41aa28d2f1ab148280cd9ed56feda41974053554a42767b83ad043fd39dc0493");
  const std::vector<uint8_t> s_ = Hex("01456c64ba4642a1653c235a98a60249bcd6d3f746b631df928014f6c5bf9c40");

  std::vector<uint8_t> PublicValueLe() const { return Cat(Reversed(x_), Reversed(y_)); }
  std::vector<uint8_t> PrivateValueLe() const { return Reversed(d_); }
  std::vector<uint8_t> Digest() const { return Reversed(e_); }
};

TEST_F(CardKeyImport, ImportedPrivateKeySignsForThePublishedPublicKey) {
  const std::vector<uint8_t> sent = Reversed(PrivateValueLe());  // what the module sends
  ASSERT_EQ(Send(card_, Cat(Hex("00 24 01 02 20"), sent)).sw, 0x9000);
  auto pub = Send(card_, "00 46 01 02 00");
  EXPECT_EQ(pub.data, Cat(x_, y_));
  const GostPublicKey asApplicationSeesIt = SwapPublicKeyHalves(pub.data);
  EXPECT_EQ(std::vector<uint8_t>(asApplicationSeesIt.begin(), asApplicationSeesIt.end()), PublicValueLe());
  SetEnvironment(true, 2);
  auto sig = Sign(Digest());
  ASSERT_EQ(sig.sw, 0x9000);
  EXPECT_TRUE(VerifyPkcs11GostSignature(4, PublicValueLe(), Digest(), sig.data));
}

TEST_F(CardKeyImport, ImportedPublicKeyVerifiesThePublishedSignature) {
  const auto value = PublicValueLe();
  const auto sent = SwapPublicKeyHalves(value);  // each half reversed by the module
  ASSERT_EQ(Send(card_, Cat(Hex("00 24 01 0A 40"), std::vector(sent.begin(), sent.end()))).sw, 0x9000);
  EXPECT_EQ(Send(card_, "00 46 01 0A 00").data, Cat(x_, y_));
  SetEnvironment(false, 0x0A);
  EXPECT_EQ(VerifyOnCard(Digest(), Cat(s_, r_)).sw, 0x9000);
  EXPECT_EQ(VerifyOnCard(e_, Cat(s_, r_)).sw, 0x6300);
  // A public key slot cannot sign.
  SetEnvironment(true, 0x0A);
  EXPECT_EQ(Sign(Digest()).sw, 0x6A88);
}

TEST_F(CardKeyImport, ImportRefusals) {
  struct Case {
    const char* name;
    std::vector<uint8_t> command;
    uint16_t sw;
  };
  const Case cases[] = {
      {"private value in public range", Cat(Hex("00 24 01 0A 20"), d_), 0x6700},
      {"public value in private range", Cat(Hex("00 24 01 02 40"), Cat(x_, y_)), 0x6700},
      {"reference outside both ranges", Cat(Hex("00 24 01 30 20"), d_), 0x6A88},
      {"point off the curve", Cat(Hex("00 24 01 0A 40"), Cat(x_, x_)), 0x6A80},
      {"zero private key", Cat(Hex("00 24 01 02 20"), std::vector<uint8_t>(32, 0)), 0x6A80},
  };
  for (const Case& c : cases) EXPECT_EQ(Send(card_, c.command).sw, c.sw) << c.name;
  card_.Reset();
  Send(card_, testing::kSelectApp);
  EXPECT_EQ(Send(card_, Cat(Hex("00 24 01 02 20"), d_)).sw, 0x6982);
  EXPECT_EQ(Send(card_, Cat(Hex("00 24 01 0A 40"), Cat(x_, y_))).sw, 0x9000);  // public: no PIN
}

// Under T=0 data of commands that carried data, and fixed-length data asked
// for with P3 00, come through GET RESPONSE.
TEST_F(CardSigning, TransportT0UsesGetResponse) {
  ASSERT_EQ(Send(card_, "00 46 02 01 00").sw, 0x9000);
  const auto pubT1 = Send(card_, "00 46 01 01 00").data;
  card_.SetProtocol(Protocol::kT0);

  EXPECT_EQ(Send(card_, "80 FE 06 00 00").sw, 0x6107);
  EXPECT_EQ(Send(card_, "00 C0 00 00 07").data, Hex("0123456789ABCD"));
  EXPECT_EQ(Send(card_, "80 FE 06 00 07").sw, 0x9000);  // exact Le: data at once

  EXPECT_EQ(Send(card_, "00 46 01 01 00").sw, 0x6140);
  auto part = Send(card_, "00 C0 00 00 20");
  EXPECT_EQ(part.sw, 0x6120);
  auto rest = Send(card_, "00 C0 00 00 20");
  EXPECT_EQ(rest.sw, 0x9000);
  EXPECT_EQ(Cat(part.data, rest.data), pubT1);

  SetEnvironment(true, 1);
  EXPECT_EQ(HashOnCard(Message(300)).sw, 0x6120);
  auto hash = Send(card_, "00 C0 00 00 20");
  ASSERT_EQ(hash.data.size(), 32u);
  EXPECT_EQ(Sign(hash.data).sw, 0x6140);
  EXPECT_EQ(Send(card_, "00 C0 00 00 41").sw, 0x6C40);
  auto sig = Send(card_, "00 C0 00 00 40");
  EXPECT_TRUE(VerifyPkcs11GostSignature(2, SwapPublicKeyHalves(pubT1), hash.data, sig.data));

  // Pending data does not survive another command.
  EXPECT_EQ(Send(card_, "00 46 01 01 00").sw, 0x6140);
  Send(card_, "00 84 00 00 08");
  EXPECT_EQ(Send(card_, "00 C0 00 00 40").sw, 0x6985);
}

}  // namespace
}  // namespace zorad::sim
