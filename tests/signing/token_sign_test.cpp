// Signing and verifying on the card with a key object's key reference.
#include <gtest/gtest.h>

#include "card/token.h"
#include "card/token_sign.h"
#include "reader/reader.h"
#include "signing/card_slot_fixture.h"
#include "sim/card/gost_crypto.h"
#include "sim/pcsc/pcsc_double.h"
#include "store/object_maps.h"
#include "store/object_sign.h"

namespace zorad::test {
namespace {

constexpr uint32_t kPrivateKeyId = 0x11223344;
constexpr uint32_t kPublicKeyId = 0x55667788;
const store::ObjectKey kPrivateKey = store::PrivateObject(kPrivateKeyId);
const store::ObjectKey kPublicKey = store::PublicObject(kPublicKeyId);
const store::ObjectKey kUnknownKey = store::PrivateObject(0x0BADF00D);
constexpr uint8_t kKeyRef = 1;
constexpr uint8_t kParamSet = 2;

const char* const kSelectApp = "00 A4 04 0C 0C 5A 4F 52 41 44 5F 50 4B 43 53 31 31";
const char* const kValidateSn = "80 FE 06 00 07";
// The private area's file, its table (68 bytes at 0x2080), the key's header.
const char* const kSelectPrivate = "00 A4 00 0C 02 00 01";
const char* const kReadPrivateTable = "00 B0 20 80 44";
const char* const kReadKeyHeader = "00 B0 00 40 11";
const char* const kRestoreSe = "00 22 F3 00 00";
const char* const kHashAlgorithm = "00 22 C1 AA 03 80 01 11";
const char* const kSigningKey = "00 22 41 B6 03 84 01 01";
const char* const kVerifyingKey = "00 22 81 B6 03 83 01 01";

Bytes Message(size_t length) {
  Bytes data(length);
  for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  return data;
}

Bytes HashOf(const Bytes& message) {
  const auto hash = sim::GostR341194Hash(message);
  return Bytes(hash.begin(), hash.end());
}

class TokenSignTest : public CardSlotTest {
 protected:
  void SetUp() override {
    CardSlotTest::SetUp();
    InsertCard(Personalisation());
    PutKeyPair(kKeyRef);
    WriteKeyObject(true, 0, 1, kPrivateKeyId, kKeyRef);
    WriteKeyObject(false, 0, 1, kPublicKeyId, kKeyRef);
    AttachToken();
    LoginUser();
    ClearLog();
  }
  virtual sim::CardPersonalisation Personalisation() const { return {}; }

  CK_RV Sign(CK_MECHANISM_TYPE mechanism, const Bytes& data, Bytes& signature,
             const store::ObjectKey& keyId = kPrivateKey) {
    signature.assign(card::kGostSignatureLength, 0);
    size_t length = signature.size();
    const CK_RV rv = store::TokenSign(slot_, keyId, mechanism, data.data(), data.size(),
                                      signature.data(), &length);
    signature.resize(length);
    return rv;
  }
  CK_RV Verify(CK_MECHANISM_TYPE mechanism, const Bytes& data, const Bytes& signature,
               const store::ObjectKey& keyId = kPublicKey) {
    return store::TokenVerify(slot_, keyId, mechanism, data.data(), data.size(), signature.data(),
                              signature.size());
  }
  // Checked outside the module against the card's public key.
  bool Verifies(const Bytes& hash, const Bytes& signature) const {
    return sim::VerifyPkcs11GostSignature(kParamSet, PublicKeyValue(kKeyRef), hash, signature);
  }
};

TEST_F(TokenSignTest, SignsAGivenHash) {
  const Bytes hash = HashOf(Message(100));
  Bytes signature;
  ASSERT_CKR(CKR_OK, Sign(CKM_GOSTR3410, hash, signature));
  ASSERT_EQ(64u, signature.size());
  EXPECT_TRUE(Verifies(hash, signature));
  const std::vector<std::string> expected = {
      kSelectApp,        kValidateSn,    kSelectPrivate,
      kReadPrivateTable, kReadKeyHeader, kRestoreSe,
      kHashAlgorithm,    kSigningKey,    "00 2A 9E 9A 20 " + HexText(hash)};
  EXPECT_EQ(expected, CommandTexts());
  EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
}

TEST_F(TokenSignTest, HashesTheMessageOnTheCardInChainedChunks) {
  struct Case {
    size_t length;
    std::vector<std::string> hashHeaders;
  };
  const Case cases[] = {
      {240, {"00 2A 90 80 F0"}},
      {300, {"10 2A 90 80 F0", "00 2A 90 80 3C"}},
      {1024,
       {"10 2A 90 80 F0", "10 2A 90 80 F0", "10 2A 90 80 F0", "10 2A 90 80 F0", "00 2A 90 80 40"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    ClearLog();
    const Bytes message = Message(c.length);
    Bytes signature;
    ASSERT_CKR(CKR_OK, Sign(CKM_GOSTR3410_WITH_GOSTR3411, message, signature));
    EXPECT_TRUE(Verifies(HashOf(message), signature));
    const std::vector<std::string> commands = CommandTexts();
    // Eight commands to reach the key, the hash chunks, the signature.
    ASSERT_EQ(8 + c.hashHeaders.size() + 1, commands.size());
    EXPECT_EQ(kSigningKey, commands[7]);
    for (size_t i = 0; i < c.hashHeaders.size(); ++i) {
      EXPECT_EQ(c.hashHeaders[i], commands[8 + i].substr(0, 14));
    }
    EXPECT_EQ("00 2A 9E 9A 20 " + HexText(HashOf(message)), commands.back());
  }
}

TEST_F(TokenSignTest, VerifiesWithThePublicKeyObject) {
  const Bytes message = Message(500);
  Bytes signature;
  ASSERT_CKR(CKR_OK, Sign(CKM_GOSTR3410_WITH_GOSTR3411, message, signature));
  const Bytes hash = HashOf(message);

  ClearLog();
  EXPECT_CKR(CKR_OK, Verify(CKM_GOSTR3410, hash, signature));
  const std::vector<std::string> expected = {
      kSelectApp,
      kValidateSn,
      "00 A4 00 0C 02 00 09",
      "00 B0 20 80 44",
      "00 B0 00 40 11",
      kRestoreSe,
      kHashAlgorithm,
      kVerifyingKey,
      "00 2A 00 A8 64 9A 20 " + HexText(hash) + " 9E 40 " + HexText(signature)};
  EXPECT_EQ(expected, CommandTexts());

  EXPECT_CKR(CKR_OK, Verify(CKM_GOSTR3410_WITH_GOSTR3411, message, signature));
  // A wrong signature is no card fault: the card's "verification failed".
  Bytes wrong = signature;
  wrong[10] ^= 0x01;
  EXPECT_CKR(CKR_SIGNATURE_INVALID, Verify(CKM_GOSTR3410, hash, wrong));
  Bytes otherMessage = message;
  otherMessage[0] ^= 0x80;
  EXPECT_CKR(CKR_SIGNATURE_INVALID, Verify(CKM_GOSTR3410_WITH_GOSTR3411, otherMessage, signature));
  EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
}

TEST_F(TokenSignTest, RequestsThatCannotSucceedNeverReachTheCard) {
  struct Case {
    const char* what;
    store::ObjectKey keyId;
    CK_MECHANISM_TYPE mechanism;
    size_t dataLength;
    CK_RV expected;
  };
  const Case cases[] = {
      {"hash of 31 bytes", kPrivateKey, CKM_GOSTR3410, 31, CKR_DATA_LEN_RANGE},
      {"hash of 33 bytes", kPrivateKey, CKM_GOSTR3410, 33, CKR_DATA_LEN_RANGE},
      {"no data", kPrivateKey, CKM_GOSTR3410_WITH_GOSTR3411, 0, CKR_ARGUMENTS_BAD},
      {"key already used", {}, CKM_GOSTR3410, 32, CKR_OPERATION_NOT_INITIALIZED},
      {"no signature mechanism", kPrivateKey, CKM_GOSTR3410_KEY_PAIR_GEN, 32,
       CKR_OPERATION_NOT_INITIALIZED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes data = Message(c.dataLength);
    Bytes signature;
    EXPECT_CKR(c.expected, Sign(c.mechanism, data, signature, c.keyId));
    EXPECT_CKR(c.expected,
               Verify(c.mechanism, data, Bytes(64, 1), c.keyId.id == 0 ? c.keyId : kPublicKey));
  }
  EXPECT_TRUE(Commands().empty());

  // Missing buffers.
  const Bytes hash(32, 5);
  size_t length = 64;
  EXPECT_CKR(CKR_ARGUMENTS_BAD, store::TokenSign(slot_, kPrivateKey, CKM_GOSTR3410, hash.data(),
                                                 hash.size(), nullptr, &length));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, store::TokenVerify(slot_, kPublicKey, CKM_GOSTR3410, hash.data(),
                                                   hash.size(), hash.data(), 0));
  EXPECT_TRUE(Commands().empty());

  // A stale object cache refuses until the lists are read again.
  slot_.token->objects.objectsStale = true;
  Bytes signature;
  EXPECT_CKR(CKR_DEVICE_ERROR, Sign(CKM_GOSTR3410, hash, signature));
  EXPECT_CKR(CKR_DEVICE_ERROR, Verify(CKM_GOSTR3410, hash, Bytes(64, 1)));
  EXPECT_TRUE(Commands().empty());
}

TEST_F(TokenSignTest, UnknownKeysAndOtherCards) {
  const Bytes hash(32, 9);
  Bytes signature;
  EXPECT_CKR(CKR_KEY_HANDLE_INVALID, Sign(CKM_GOSTR3410, hash, signature, kUnknownKey));
  EXPECT_CKR(CKR_KEY_HANDLE_INVALID, Verify(CKM_GOSTR3410, hash, Bytes(64, 1), kUnknownKey));

  // The private key is out of reach once nobody is logged in.
  slot_.loginState = card::kNobody;
  EXPECT_CKR(CKR_USER_NOT_LOGGED_IN, Sign(CKM_GOSTR3410, hash, signature));
  slot_.loginState = card::kUser;

  // A card with another serial number: the key is looked up first, then
  // the card is checked.
  slot_.token->serialNumber[0] = 'F';
  EXPECT_CKR(CKR_KEY_HANDLE_INVALID, Sign(CKM_GOSTR3410, hash, signature, kUnknownKey));
  EXPECT_CKR(CKR_TOKEN_NOT_RECOGNIZED, Verify(CKM_GOSTR3410, hash, Bytes(64, 1)));
  EXPECT_CKR(CKR_TOKEN_NOT_RECOGNIZED, Sign(CKM_GOSTR3410, hash, signature));
  EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
}

// Another process relabelled the key in place: the same key, it signs.
TEST_F(TokenSignTest, KeyRewrittenByAnotherProcessStillSigns) {
  WriteKeyObject(true, 0, 1, kPrivateKeyId, kKeyRef, 1);
  const Bytes hash = HashOf(Message(10));
  Bytes signature;
  ASSERT_CKR(CKR_OK, Sign(CKM_GOSTR3410, hash, signature));
  EXPECT_EQ(1u, store::MapsOf(*slot_.token).privateObjects.at(kPrivateKeyId).toh.updateCount);
  EXPECT_TRUE(Verifies(hash, signature));
}

// Another process deleted the key (its table entry went, the erase of its
// block failed) and generated a new pair elsewhere in the same key slot: the
// kept handle must not sign with that process's new key.
TEST_F(TokenSignTest, KeyDeletedByAnotherProcessNeverSignsWithItsSuccessor) {
  WriteKeyObject(true, 0, 0, kPrivateKeyId, kKeyRef);  // unlisted, header left
  WriteKeyObject(true, 1, 1, 0x0A0B0C0D, kKeyRef);
  Bytes signature;
  EXPECT_CKR(CKR_KEY_HANDLE_INVALID, Sign(CKM_GOSTR3410, HashOf(Message(10)), signature));
  for (const Bytes& command : Commands()) EXPECT_NE(0x2A, command[1]) << "no PSO sent";
}

TEST_F(TokenSignTest, CardRefusalsAreFunctionFailedAndEndTheTransaction) {
  const Bytes hash = HashOf(Message(10));
  struct Case {
    uint8_t ins;
    uint16_t sw;
  };
  // Security environment, PSO.
  for (const Case& c : {Case{0x22, 0x6A80}, Case{0x2A, 0x6982}}) {
    card_->AnswerMatching({std::nullopt, c.ins}, c.sw);
    Bytes signature;
    EXPECT_CKR(CKR_FUNCTION_FAILED, Sign(CKM_GOSTR3410_WITH_GOSTR3411, Message(50), signature));
    EXPECT_CKR(CKR_FUNCTION_FAILED, Verify(CKM_GOSTR3410, hash, Bytes(64, 1)));
    EXPECT_EQ(0u, sim::pcsc::OpenTransactions());
    card_->ClearFaults();
  }
}

class TokenSignT0Test : public TokenSignTest {
 protected:
  sim::CardPersonalisation Personalisation() const override {
    sim::CardPersonalisation p;
    p.protocol = sim::Protocol::kT0;
    return p;
  }
};

TEST_F(TokenSignT0Test, SignsAndVerifiesUnderT0) {
  const Bytes message = Message(700);
  Bytes signature;
  ASSERT_CKR(CKR_OK, Sign(CKM_GOSTR3410_WITH_GOSTR3411, message, signature));
  ASSERT_EQ(64u, signature.size());
  EXPECT_TRUE(Verifies(HashOf(message), signature));
  EXPECT_CKR(CKR_OK, Verify(CKM_GOSTR3410, HashOf(message), signature));
}

TEST_F(TokenSignTest, InitChecksWithoutTheCard) {
  struct Case {
    const char* what;
    store::ObjectKey keyId;
    CK_MECHANISM_TYPE mechanism;
    CK_RV expected;
  };
  const Case cases[] = {
      {"private key, hash given", kPrivateKey, CKM_GOSTR3410, CKR_OK},
      {"public key, hash on card", kPublicKey, CKM_GOSTR3410_WITH_GOSTR3411, CKR_OK},
      {"no key (a session object)", {}, CKM_GOSTR3410, CKR_ARGUMENTS_BAD},
      {"key pair mechanism", kPrivateKey, CKM_GOSTR3410_KEY_PAIR_GEN, CKR_MECHANISM_INVALID},
      {"unknown key", kUnknownKey, CKM_GOSTR3410, CKR_OBJECT_HANDLE_INVALID},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_CKR(c.expected, store::TokenSignInit(slot_, c.mechanism, c.keyId));
    EXPECT_CKR(c.expected, store::TokenVerifyInit(slot_, c.mechanism, c.keyId));
  }
  slot_.token->objects.objectsStale = true;
  EXPECT_CKR(CKR_DEVICE_ERROR, store::TokenSignInit(slot_, CKM_GOSTR3410, kPrivateKey));
  slot_.token.reset();
  EXPECT_CKR(CKR_FUNCTION_FAILED, store::TokenVerifyInit(slot_, CKM_GOSTR3410, kPublicKey));
  EXPECT_TRUE(Commands().empty());
}

}  // namespace
}  // namespace zorad::test
