// Key pairs generated on the card, signatures made and checked by it, and
// random bytes, through the Windows ABI. Signatures are also checked
// outside the module with the public key value it hands out.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "windows_fixture.h"

namespace zorad::wintest {
namespace {

const Bytes kCryptoProA = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
constexpr uint8_t kCardParamSet = 2;

Bytes Message(size_t length) {
  Bytes data(length);
  for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  return data;
}

Bytes HashOf(const Bytes& message) {
  Bytes hash(32);
  EXPECT_EQ(
      1, Sim().GostR341194Hash(message.data(), static_cast<uint32_t>(message.size()), hash.data()));
  return hash;
}

class CryptoTest : public UserSessionTest {
 protected:
  CK_RV GenerateKeyPair(CK_MECHANISM_TYPE type = CKM_GOSTR3410_KEY_PAIR_GEN) {
    Template publicKey;
    publicKey.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_VERIFY, true);
    publicKey.Add(CKA_GOSTR3410_PARAMS, kCryptoProA).Text(CKA_LABEL, "wine key");
    Template privateKey;
    privateKey.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true);
    privateKey.Text(CKA_LABEL, "wine key");
    CK_MECHANISM mechanism{type, nullptr, 0};
    return F().C_GenerateKeyPair(session_, &mechanism, publicKey.data(), publicKey.size(),
                                 privateKey.data(), privateKey.size(), &publicKey_, &privateKey_);
  }
  CK_RV SignInit(CK_MECHANISM_TYPE type) {
    CK_MECHANISM mechanism{type, nullptr, 0};
    return F().C_SignInit(session_, &mechanism, privateKey_);
  }
  CK_RV VerifyInit(CK_MECHANISM_TYPE type) {
    CK_MECHANISM mechanism{type, nullptr, 0};
    return F().C_VerifyInit(session_, &mechanism, publicKey_);
  }
  CK_RV Sign(Bytes data, Bytes& signature) {
    signature.assign(64, 0);
    CK_ULONG length = 64;
    const CK_RV rv = F().C_Sign(session_, data.data(), static_cast<CK_ULONG>(data.size()),
                                signature.data(), &length);
    signature.resize(std::min<CK_ULONG>(length, 64));
    return rv;
  }
  CK_RV Verify(Bytes data, Bytes signature) {
    return F().C_Verify(session_, data.data(), static_cast<CK_ULONG>(data.size()), signature.data(),
                        static_cast<CK_ULONG>(signature.size()));
  }
  bool VerifiesOutside(const Bytes& hash, const Bytes& signature) {
    const Bytes publicValue = ReadAttribute(session_, publicKey_, CKA_VALUE);
    return publicValue.size() == 64 && hash.size() == 32 && signature.size() == 64 &&
           Sim().VerifyPkcs11GostSignature(kCardParamSet, publicValue.data(), hash.data(),
                                           signature.data()) == 1;
  }

  CK_OBJECT_HANDLE publicKey_ = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE privateKey_ = CK_INVALID_HANDLE;
};

TEST_F(CryptoTest, KeyPairOnTheCard) {
  EXPECT_CKR(CKR_MECHANISM_INVALID, GenerateKeyPair(CKM_GOSTR3410));
  ASSERT_CKR(CKR_OK, GenerateKeyPair());
  EXPECT_EQ(CKO_PUBLIC_KEY, UlongOf(ReadAttribute(session_, publicKey_, CKA_CLASS)));
  EXPECT_EQ(CKO_PRIVATE_KEY, UlongOf(ReadAttribute(session_, privateKey_, CKA_CLASS)));
  EXPECT_EQ(CKK_GOSTR3410, UlongOf(ReadAttribute(session_, privateKey_, CKA_KEY_TYPE)));
  EXPECT_EQ(64u, ReadAttribute(session_, publicKey_, CKA_VALUE).size());
  EXPECT_TRUE(ReadAttribute(session_, privateKey_, CKA_VALUE).empty());
  Template privateKeys;
  privateKeys.Ulong(CKA_CLASS, CKO_PRIVATE_KEY);
  EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{privateKey_}, FindAll(session_, privateKeys));
}

TEST_F(CryptoTest, SignAndVerifyWithBothMechanisms) {
  ASSERT_CKR(CKR_OK, GenerateKeyPair());
  const Bytes message = Message(300);  // hashed by the card in two chained pieces
  Bytes signature;
  ASSERT_CKR(CKR_OK, SignInit(CKM_GOSTR3410_WITH_GOSTR3411));
  Sim().CardClearLog(kReader);
  ASSERT_CKR(CKR_OK, Sign(message, signature));
  EXPECT_EQ(1u, Sim().CardCountCommands(kReader, 0x10, 0x2A));  // PSO HASH, chained
  EXPECT_EQ(2u, Sim().CardCountCommands(kReader, 0x00, 0x2A));  // last PSO HASH, signature
  ASSERT_EQ(64u, signature.size());
  EXPECT_TRUE(VerifiesOutside(HashOf(message), signature));
  ASSERT_CKR(CKR_OK, VerifyInit(CKM_GOSTR3410_WITH_GOSTR3411));
  EXPECT_CKR(CKR_OK, Verify(message, signature));

  const Bytes hash = HashOf(Message(5));
  Bytes hashSignature;
  ASSERT_CKR(CKR_OK, SignInit(CKM_GOSTR3410));
  ASSERT_CKR(CKR_OK, Sign(hash, hashSignature));
  EXPECT_TRUE(VerifiesOutside(hash, hashSignature));
  ASSERT_CKR(CKR_OK, VerifyInit(CKM_GOSTR3410));
  EXPECT_CKR(CKR_OK, Verify(hash, hashSignature));

  // A changed signature is refused by the card: no card fault.
  hashSignature[10] ^= 0x01;
  ASSERT_CKR(CKR_OK, VerifyInit(CKM_GOSTR3410));
  EXPECT_CKR(CKR_SIGNATURE_INVALID, Verify(hash, hashSignature));
}

// CKM_GOSTR3410 signs a 32-byte hash and nothing else; the refusal comes
// inside the card transaction, which must still be ended.
TEST_F(CryptoTest, HashMechanismTakesExactly32Bytes) {
  ASSERT_CKR(CKR_OK, GenerateKeyPair());
  for (size_t length : {31u, 33u}) {
    SCOPED_TRACE(length);
    Bytes signature;
    ASSERT_CKR(CKR_OK, SignInit(CKM_GOSTR3410));
    EXPECT_CKR(CKR_DATA_LEN_RANGE, Sign(Message(length), signature));
    EXPECT_EQ(0u, Sim().OpenTransactions());
  }
}

TEST_F(CryptoTest, SignatureLengthQueries) {
  ASSERT_CKR(CKR_OK, GenerateKeyPair());
  ASSERT_CKR(CKR_OK, SignInit(CKM_GOSTR3410_WITH_GOSTR3411));
  Bytes message = Message(20);
  CK_ULONG length = 0;
  ASSERT_CKR(CKR_OK, F().C_Sign(session_, message.data(), 20, nullptr, &length));
  EXPECT_EQ(64u, length);
  uint8_t shortBuffer[63];
  length = sizeof shortBuffer;
  ASSERT_CKR(CKR_BUFFER_TOO_SMALL, F().C_Sign(session_, message.data(), 20, shortBuffer, &length));
  EXPECT_EQ(64u, length);
  Bytes signature;
  ASSERT_CKR(CKR_OK, Sign(message, signature));
  EXPECT_TRUE(VerifiesOutside(HashOf(message), signature));
  // The operation ended with the signature.
  EXPECT_CKR(CKR_OPERATION_NOT_INITIALIZED, Sign(message, signature));

  ASSERT_CKR(CKR_OK, VerifyInit(CKM_GOSTR3410_WITH_GOSTR3411));
  Bytes longSignature(65, 0);
  EXPECT_CKR(CKR_SIGNATURE_LEN_RANGE, Verify(message, longSignature));
}

// Signatures in parts and card digests through the 32-bit lengths: the
// parts reach the card only at the final call.
TEST_F(CryptoTest, SignInPartsAndDigest) {
  ASSERT_CKR(CKR_OK, GenerateKeyPair());
  Bytes message = Message(300);
  ASSERT_CKR(CKR_OK, SignInit(CKM_GOSTR3410_WITH_GOSTR3411));
  Sim().CardClearLog(kReader);
  ASSERT_CKR(CKR_OK, F().C_SignUpdate(session_, message.data(), 100));
  ASSERT_CKR(CKR_OK, F().C_SignUpdate(session_, message.data() + 100, 200));
  EXPECT_EQ(0u, Sim().CardCountCommands(kReader, -1, 0x2A));
  Bytes signature(64);
  CK_ULONG length = 64;
  ASSERT_CKR(CKR_OK, F().C_SignFinal(session_, signature.data(), &length));
  EXPECT_EQ(3u, Sim().CardCountCommands(kReader, -1, 0x2A));  // two hash pieces, signature
  EXPECT_TRUE(VerifiesOutside(HashOf(message), signature));

  CK_MECHANISM digest{CKM_GOSTR3411, nullptr, 0};
  Bytes abc = {'a', 'b', 'c'};
  Bytes value(32);
  length = 32;
  ASSERT_CKR(CKR_OK, F().C_DigestInit(session_, &digest));
  ASSERT_CKR(CKR_OK, F().C_Digest(session_, abc.data(), 3, value.data(), &length));
  EXPECT_EQ(HashOf(abc), value);
}

TEST_F(CryptoTest, RandomBytesInCardSizedPieces) {
  for (CK_ULONG length : {1u, 32u, 33u, 100u, 1000u}) {
    SCOPED_TRACE(length);
    Bytes first(length + 8, 0xEE);
    Bytes second(length, 0);
    const uint32_t before = Sim().CardCountCommands(kReader, -1, 0x84);
    ASSERT_CKR(CKR_OK, F().C_GenerateRandom(session_, first.data(), length));
    ASSERT_CKR(CKR_OK, F().C_GenerateRandom(session_, second.data(), length));
    // At most 32 bytes per GET CHALLENGE, and not one command more.
    EXPECT_EQ(before + 2 * ((length + 31) / 32), Sim().CardCountCommands(kReader, -1, 0x84));
    EXPECT_EQ(Bytes(8, 0xEE), Bytes(first.end() - 8, first.end()));
    if (length >= 8) {
      first.resize(length);
      EXPECT_NE(first, second);
      EXPECT_GT(std::set<uint8_t>(second.begin(), second.end()).size(), 1u);
    }
  }
}

}  // namespace
}  // namespace zorad::wintest
