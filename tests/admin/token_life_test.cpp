// A token's whole life through the function list, with everything traced:
// initialised, PINs set, key pairs generated, signatures made and checked,
// PINs changed, random bytes drawn. No PIN, and not the random user PIN the
// initialisation drew, may show in the trace file.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "signing/card_slot_fixture.h"
#include "sim/card/gost_crypto.h"
#include "support/token_fixture.h"
#include "support/trace_directory.h"

namespace zorad::test {
namespace {

const std::string kFirstSoPin = "S0-Pin!9";
const std::string kSecondSoPin = "S0-New#7";
const std::string kFirstUserPin = "Us3r-Old";
const std::string kSecondUserPin = "N3w-User";
const std::string kThirdUserPin = "Chg-Usr2";
const Bytes kCryptoProA = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

class TokenLifeTest : public CardInReaderTest {
 protected:
  void SetUp() override {
    trace_.emplace("0xFFFFFFFF");
    ASSERT_TRUE(trace_->ok());
    CardInReaderTest::SetUp();
  }
  void TearDown() override {
    CardInReaderTest::TearDown();
    trace_.reset();
  }
  sim::CardPersonalisation Personalisation() const override {
    sim::CardPersonalisation p;
    p.soPin = kFirstSoPin;
    p.userPin = kFirstUserPin;
    return p;
  }

  static CK_RV LoginWith(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, CK_USER_TYPE user,
                         const std::string& pin) {
    Bytes bytes = ToBytes(pin);
    return f->C_Login(s, user, bytes.data(), bytes.size());
  }
  static CK_RV SetPin(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, const std::string& oldPin,
                      const std::string& newPin) {
    Bytes o = ToBytes(oldPin);
    Bytes n = ToBytes(newPin);
    return f->C_SetPIN(s, o.data(), o.size(), n.data(), n.size());
  }

  // The user changes the user PIN, then the security officer his own; the
  // old PINs are refused afterwards.
  static void ChangePins(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s) {
    ASSERT_CKR(CKR_OK, SetPin(f, s, kSecondUserPin, kThirdUserPin));
    ASSERT_CKR(CKR_OK, f->C_Logout(s));
    EXPECT_CKR(CKR_PIN_INCORRECT, LoginWith(f, s, CKU_USER, kSecondUserPin));
    ASSERT_CKR(CKR_OK, LoginWith(f, s, CKU_USER, kThirdUserPin));
    EXPECT_EQ(2u, FindAll(s).size());  // the key pair survived
    ASSERT_CKR(CKR_OK, f->C_Logout(s));
    ASSERT_CKR(CKR_OK, LoginWith(f, s, CKU_SO, kFirstSoPin));
    ASSERT_CKR(CKR_OK, SetPin(f, s, kFirstSoPin, kSecondSoPin));
    ASSERT_CKR(CKR_OK, f->C_Logout(s));
    EXPECT_CKR(CKR_PIN_INCORRECT, LoginWith(f, s, CKU_SO, kFirstSoPin));
    ASSERT_CKR(CKR_OK, LoginWith(f, s, CKU_SO, kSecondSoPin));
    ASSERT_CKR(CKR_OK, f->C_Logout(s));
  }

  std::optional<TraceDirectory> trace_;
};

// Signs with both mechanisms; each signature is checked by the card, by
// the module's C_Verify, and outside the module against CKA_VALUE.
void SignAndVerify(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE privateKey,
                   CK_OBJECT_HANDLE publicKey) {
  Bytes message(300);
  for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i);
  const auto digest = sim::GostR341194Hash(message);
  Bytes hash(digest.begin(), digest.end());
  const Bytes value = ReadAttribute(s, publicKey, CKA_VALUE);
  ASSERT_EQ(64u, value.size());
  for (CK_MECHANISM_TYPE type : {CKM_GOSTR3410, CKM_GOSTR3410_WITH_GOSTR3411}) {
    SCOPED_TRACE(type);
    Bytes data = type == CKM_GOSTR3410 ? hash : message;
    CK_MECHANISM mechanism{type, nullptr, 0};
    ASSERT_CKR(CKR_OK, f->C_SignInit(s, &mechanism, privateKey));
    Bytes signature(64);
    CK_ULONG length = signature.size();
    ASSERT_CKR(CKR_OK, f->C_Sign(s, data.data(), data.size(), signature.data(), &length));
    ASSERT_EQ(64u, length);
    EXPECT_TRUE(sim::VerifyPkcs11GostSignature(2, value, hash, signature));
    ASSERT_CKR(CKR_OK, f->C_VerifyInit(s, &mechanism, publicKey));
    EXPECT_CKR(CKR_OK, f->C_Verify(s, data.data(), data.size(), signature.data(), 64));
    signature[0] ^= 0x01;
    ASSERT_CKR(CKR_OK, f->C_VerifyInit(s, &mechanism, publicKey));
    EXPECT_CKR(CKR_SIGNATURE_INVALID,
               f->C_Verify(s, data.data(), data.size(), signature.data(), 64));
  }
}

TEST_F(TokenLifeTest, WholeLifeWithoutSecretsInTheTrace) {
  CK_FUNCTION_LIST_PTR f = nullptr;
  ASSERT_CKR(CKR_OK, C_GetFunctionList(&f));

  Bytes soPin = ToBytes(kFirstSoPin);
  std::string label = "Life token";
  label.resize(32, ' ');
  ASSERT_CKR(CKR_OK, f->C_InitToken(slotId_, soPin.data(), soPin.size(),
                                    reinterpret_cast<CK_UTF8CHAR*>(label.data())));
  const Bytes randomUserPin = card_->State().pins.at(0x69).value;
  CK_TOKEN_INFO info{};
  ASSERT_CKR(CKR_OK, f->C_GetTokenInfo(slotId_, &info));
  EXPECT_EQ(label, std::string(reinterpret_cast<const char*>(info.label), sizeof info.label));
  EXPECT_NE(0u, info.flags & CKF_TOKEN_INITIALIZED);

  CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
  ASSERT_CKR(CKR_OK, f->C_OpenSession(slotId_, kReadWrite, nullptr, nullptr, &s));
  // No user PIN is usable until the security officer sets one.
  EXPECT_CKR(CKR_FUNCTION_FAILED, LoginWith(f, s, CKU_USER, kFirstUserPin));
  ASSERT_CKR(CKR_OK, LoginWith(f, s, CKU_SO, kFirstSoPin));
  Bytes userPin = ToBytes(kSecondUserPin);
  ASSERT_CKR(CKR_OK, f->C_InitPIN(s, userPin.data(), userPin.size()));
  ASSERT_CKR(CKR_OK, f->C_Logout(s));
  ASSERT_CKR(CKR_OK, LoginWith(f, s, CKU_USER, kSecondUserPin));

  Template publicKey;
  publicKey.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_VERIFY, true);
  Template privateKey;
  privateKey.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true);
  CK_MECHANISM generate{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE pub = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE priv = CK_INVALID_HANDLE;
  // The card's parameter set must be named.
  EXPECT_CKR(CKR_DOMAIN_PARAMS_INVALID,
             f->C_GenerateKeyPair(s, &generate, publicKey.data(), publicKey.size(),
                                  privateKey.data(), privateKey.size(), &pub, &priv));
  publicKey.Bytes(CKA_GOSTR3410_PARAMS, kCryptoProA);
  ASSERT_CKR(CKR_OK, f->C_GenerateKeyPair(s, &generate, publicKey.data(), publicKey.size(),
                                          privateKey.data(), privateKey.size(), &pub, &priv));
  SignAndVerify(f, s, priv, pub);

  ChangePins(f, s);

  // 100 random bytes come in four GET CHALLENGE commands.
  card_->ClearLog();
  Bytes random(100);
  ASSERT_CKR(CKR_OK, f->C_GenerateRandom(s, random.data(), random.size()));
  EXPECT_EQ(4u, card_->CountCommands({std::nullopt, 0x84}));
  ASSERT_CKR(CKR_OK, f->C_CloseSession(s));

  // Initialising again is refused while a session is open, untouched.
  ASSERT_CKR(CKR_OK, f->C_OpenSession(slotId_, kReadOnly, nullptr, nullptr, &s));
  card_->ClearLog();
  Bytes newSoPin = ToBytes(kSecondSoPin);
  EXPECT_CKR(CKR_SESSION_EXISTS, f->C_InitToken(slotId_, newSoPin.data(), newSoPin.size(),
                                                reinterpret_cast<CK_UTF8CHAR*>(label.data())));
  EXPECT_TRUE(card_->Commands().empty());

  ASSERT_CKR(CKR_OK, f->C_Finalize(nullptr));
  const std::string trace = trace_->Contents();
  ASSERT_NE(std::string::npos, trace.find("C_InitToken"));
  ASSERT_NE(std::string::npos, trace.find("INS=20"));  // the PIN commands were traced
  ExpectAbsentFromTrace(trace, ToBytes(kFirstSoPin), "first SO PIN");
  ExpectAbsentFromTrace(trace, ToBytes(kSecondSoPin), "second SO PIN");
  ExpectAbsentFromTrace(trace, ToBytes(kFirstUserPin), "first user PIN");
  ExpectAbsentFromTrace(trace, ToBytes(kSecondUserPin), "second user PIN");
  ExpectAbsentFromTrace(trace, ToBytes(kThirdUserPin), "third user PIN");
  ExpectAbsentFromTrace(trace, randomUserPin, "random user PIN");
  ExpectAbsentFromTrace(trace, Bytes(random.begin(), random.begin() + 8), "random bytes");
}

}  // namespace
}  // namespace zorad::test
