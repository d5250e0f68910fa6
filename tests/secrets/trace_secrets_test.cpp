// A token's whole life traced with every category and the APDU data level:
// the trace file is the user's alone, and it holds no PIN, no imported key
// value in either byte order, and nothing the card's GET CHALLENGE handed
// out: the random user PIN of the initialisation, the random bytes given
// to the application, and the identifier candidates drawn for new objects.
// An identifier that became an object's is card data (it is in the
// record's header, which any reader of the card sees) and may show.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>

#include "sim/card/gost_crypto.h"
#include "support/token_fixture.h"
#include "support/trace_directory.h"
#include "trace/trace.h"

namespace zorad::test {
namespace {

using Bytes = std::vector<uint8_t>;

const std::string kFirstSoPin = "So-Pin.1";
const std::string kSecondSoPin = "So-Pin.2";
const std::string kFirstUserPin = "Us-Pin.1";
const std::string kSecondUserPin = "Us-Pin.2";
const Bytes kCryptoProA = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
constexpr uint8_t kGetChallenge = 0x84;
constexpr uint8_t kUpdateBinary = 0xD6;

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A private key that looks like no other bytes of the run: d below the
// group order (its most significant byte is small), least significant
// byte first as PKCS#11 holds it.
Bytes ImportedKeyValue() {
  Bytes value = {0x9C, 0x3E, 0x71, 0xD4, 0x28, 0xB5, 0x6A, 0xF1, 0x0D, 0xE7, 0x52,
                 0x8B, 0xC9, 0x36, 0xA4, 0x5F, 0xE2, 0x17, 0x7D, 0xB8, 0x4C, 0x93,
                 0x2A, 0xD6, 0x61, 0xFB, 0x35, 0x8E, 0xC3, 0x4A, 0xB1, 0x1E};
  return value;
}

// Every 4-byte run of the value: a hex dump breaks lines every 16 bytes,
// so a longer value is looked for piecewise.
void ExpectNoPiece(const std::string& trace, const Bytes& secret, const std::string& what) {
  for (size_t i = 0; i + 4 <= secret.size(); ++i) {
    ExpectAbsentFromTrace(trace, Bytes(secret.begin() + i, secret.begin() + i + 4),
                          what + " bytes " + std::to_string(i));
  }
}

class TraceSecretsTest : public CardInReaderTest {
 protected:
  void SetUp() override {
    trace_.emplace("0xFFFFFFFF");
    ASSERT_TRUE(trace_->ok());
    CardInReaderTest::SetUp();
  }
  void TearDown() override {
    CardInReaderTest::TearDown();
    trace::SetMask(0);  // the mask outlives the module
    trace_.reset();
  }
  sim::CardPersonalisation Personalisation() const override {
    sim::CardPersonalisation p;
    p.soPin = kFirstSoPin;
    return p;
  }

  // Everything the card wrote to its files: identifiers that became
  // objects' are in there.
  std::set<Bytes> WrittenPieces() const {
    std::set<Bytes> pieces;
    for (const auto& command : card_->Commands()) {
      if (command.size() <= 5 || command[1] != kUpdateBinary) continue;
      for (size_t i = 5; i + 4 <= command.size(); ++i) {
        pieces.emplace(command.begin() + i, command.begin() + i + 4);
      }
    }
    return pieces;
  }

  void Life(CK_SESSION_HANDLE& s, Bytes& random);

  std::optional<TraceDirectory> trace_;
};

CK_RV Pin(CK_SESSION_HANDLE s, CK_USER_TYPE user, const std::string& pin) {
  return Login(s, user, pin);
}

CK_RV SetPin(CK_SESSION_HANDLE s, const std::string& oldPin, const std::string& newPin) {
  Bytes o = ToBytes(oldPin), n = ToBytes(newPin);
  return C_SetPIN(s, o.data(), o.size(), n.data(), n.size());
}

// Initialisation, the PINs set and changed by both users, a data object, an
// imported private key, a generated key pair, a signature and random bytes.
void TraceSecretsTest::Life(CK_SESSION_HANDLE& s, Bytes& random) {
  Bytes soPin = ToBytes(kFirstSoPin);
  std::string label(32, ' ');
  ASSERT_CKR(CKR_OK, C_InitToken(slotId_, soPin.data(), soPin.size(),
                                 reinterpret_cast<CK_UTF8CHAR*>(label.data())));
  ASSERT_CKR(CKR_OK, C_OpenSession(slotId_, kReadWrite, nullptr, nullptr, &s));
  ASSERT_CKR(CKR_OK, Pin(s, CKU_SO, kFirstSoPin));
  Bytes userPin = ToBytes(kFirstUserPin);
  ASSERT_CKR(CKR_OK, C_InitPIN(s, userPin.data(), userPin.size()));
  ASSERT_CKR(CKR_OK, C_Logout(s));
  ASSERT_CKR(CKR_OK, Pin(s, CKU_USER, kFirstUserPin));

  Template data;
  data.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true);
  data.Text(CKA_LABEL, "data").Text(CKA_VALUE, "not a secret");
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  ASSERT_CKR(CKR_OK, C_CreateObject(s, data.data(), data.size(), &handle));
  Template imported;
  imported.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Ulong(CKA_KEY_TYPE, CKK_GOSTR3410);
  imported.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true);
  imported.Text(CKA_LABEL, "imported").Bytes(CKA_VALUE, ImportedKeyValue());
  ASSERT_CKR(CKR_OK, C_CreateObject(s, imported.data(), imported.size(), &handle));

  Template pub, priv;
  pub.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_VERIFY, true);
  pub.Bytes(CKA_GOSTR3410_PARAMS, kCryptoProA);
  priv.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true);
  CK_MECHANISM generate{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE pubKey = 0, privKey = 0;
  ASSERT_CKR(CKR_OK, C_GenerateKeyPair(s, &generate, pub.data(), pub.size(), priv.data(),
                                       priv.size(), &pubKey, &privKey));
  for (CK_OBJECT_HANDLE key : {privKey, handle}) {
    CK_MECHANISM sign{CKM_GOSTR3410_WITH_GOSTR3411, nullptr, 0};
    Bytes message(100, 0x42), signature(64);
    CK_ULONG length = signature.size();
    ASSERT_CKR(CKR_OK, C_SignInit(s, &sign, key));
    ASSERT_CKR(CKR_OK, C_Sign(s, message.data(), message.size(), signature.data(), &length));
  }
  random.assign(100, 0);
  ASSERT_CKR(CKR_OK, C_GenerateRandom(s, random.data(), random.size()));

  ASSERT_CKR(CKR_OK, SetPin(s, kFirstUserPin, kSecondUserPin));
  ASSERT_CKR(CKR_OK, C_Logout(s));
  ASSERT_CKR(CKR_OK, Pin(s, CKU_SO, kFirstSoPin));
  ASSERT_CKR(CKR_OK, SetPin(s, kFirstSoPin, kSecondSoPin));
  ASSERT_CKR(CKR_OK, C_Logout(s));
}

TEST_F(TraceSecretsTest, WholeLifeLeavesNoSecretInAPrivateTraceFile) {
  CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
  Bytes random;
  ASSERT_NO_FATAL_FAILURE(Life(s, random));
  ASSERT_CKR(CKR_OK, C_Finalize(nullptr));

  const auto files = trace_->Files();
  ASSERT_EQ(1u, files.size());
  struct stat info {};
  ASSERT_EQ(0, ::stat(files.front().c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777u);
  std::ifstream in(files.front(), std::ios::binary);
  const std::string trace{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_NE(std::string::npos, trace.find("INS=84"));  // challenges were traced
  ASSERT_NE(std::string::npos, trace.find("INS=24"));  // and key and PIN changes
  // Data the trace may show is there in the form looked for.
  ASSERT_NE(std::string::npos, trace.find(TraceForms(ToBytes("not "))[1]));

  for (const std::string& pin : {kFirstSoPin, kSecondSoPin, kFirstUserPin, kSecondUserPin}) {
    ExpectAbsentFromTrace(trace, ToBytes(pin), "PIN " + pin);
  }
  Bytes cardOrder = ImportedKeyValue();
  std::reverse(cardOrder.begin(), cardOrder.end());
  const auto commands = card_->Commands();
  ASSERT_TRUE(std::any_of(commands.begin(), commands.end(), [&](const Bytes& c) {
    return c.size() == 5 + cardOrder.size() && c[1] == 0x24 &&
           Bytes(c.begin() + 5, c.end()) == cardOrder;
  })) << "the key went to the card in another form";
  ExpectNoPiece(trace, ImportedKeyValue(), "imported key");
  ExpectNoPiece(trace, cardOrder, "imported key as the card takes it");
  ExpectNoPiece(trace, random, "random bytes");

  // Each GET CHALLENGE answer, piece by piece, unless the piece went to the
  // card as an object's identifier.
  const std::set<Bytes> written = WrittenPieces();
  size_t challenges = 0;
  for (const sim::Exchange& e : card_->Log()) {
    if (e.command.size() < 2 || e.command[1] != kGetChallenge || e.answer.size() <= 2) continue;
    ++challenges;
    for (size_t i = 0; i + 4 <= e.answer.size() - 2; i += 4) {
      const Bytes piece(e.answer.begin() + i, e.answer.begin() + i + 4);
      if (!written.count(piece))
        ExpectAbsentFromTrace(trace, piece, "challenge " + std::to_string(challenges));
    }
  }
  // The user PIN drawn at initialisation, ids for three creations, and the
  // random bytes in 32-byte pieces.
  EXPECT_GE(challenges, 1u + 3u + 4u);
}

}  // namespace
}  // namespace zorad::test
