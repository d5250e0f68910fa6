// Creating data objects, certificates, imported keys and generated key
// pairs on the card.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/card/gost_crypto.h"
#include "store/attribute_access.h"
#include "store/object_create.h"
#include "store/object_search.h"
#include "store_ops_fixture.h"
#include "support/ckr_names.h"

namespace zorad::test {
namespace {

using store::CreateTokenObject;

const Bytes kSelectApp{0x00, 0xA4, 0x04, 0x0C, 0x0C, 'Z', 'O', 'R', 'A', 'D', '_',
                       'P',  'K',  'C',  'S',  '1',  '1'};
const Bytes kSerial{0x80, 0xFE, 0x06, 0x00, 0x07};
const Bytes kSelectPublic{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x00, 0x09};
const Bytes kSelectPrivate{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x00, 0x01};
const Bytes kChallenge{0x00, 0x84, 0x00, 0x00, 0x20};

// READ BINARY of `n` bytes at `offset`; UPDATE BINARY's first 5 bytes.
Bytes ReadAt(uint16_t offset, uint8_t n) {
  return {0x00, 0xB0, uint8_t(offset >> 8), uint8_t(offset), n};
}
Bytes UpdateHead(uint16_t offset, uint8_t n) {
  return {0x00, 0xD6, uint8_t(offset >> 8), uint8_t(offset), n};
}
Bytes Head(const Bytes& command) { return Bytes(command.begin(), command.begin() + 5); }

constexpr uint16_t kTable = 1024 + 128;  // both areas: table offset
constexpr uint8_t kTableLength = 4 + 16;
uint16_t Block(unsigned i) { return uint16_t(64 + 64 * i); }

class CreateTest : public StoreOpsTest {};

TEST_F(CreateTest, DataObjectCommandSequence) {
  uint32_t id = 0;
  ASSERT_CKR(CKR_OK, CreateTokenObject(slot_, &id, DataTemplate("pub", false)));
  const auto commands = Commands();
  ASSERT_EQ(7u, commands.size());
  EXPECT_EQ(kSerial, commands[0]);
  EXPECT_EQ(kSelectApp, commands[1]);
  EXPECT_EQ(kSelectPublic, commands[2]);
  EXPECT_EQ(ReadAt(kTable, kTableLength), commands[3]);
  EXPECT_EQ(kChallenge, commands[4]);
  EXPECT_EQ(UpdateHead(Block(0), 64), Head(commands[5]));  // one whole block
  EXPECT_EQ(UpdateHead(kTable, kTableLength), Head(commands[6]));
  // The object is in the public map with the template as its attributes.
  bool isPrivate = true;
  store::TokenObject* object = store::FindTokenObject(slot_, id, &isPrivate);
  ASSERT_NE(nullptr, object);
  EXPECT_FALSE(isPrivate);
  EXPECT_EQ(DataTemplate("pub", false), object->attributes);
  EXPECT_EQ(1u, object->toh.updateCount);
  EXPECT_EQ(0u, object->toh.keyRef);
}

TEST_F(CreateTest, ObjectsGoToTheAreaTheirPrivateFlagNames) {
  const uint32_t pub = Create(DataTemplate("public data", false));
  AttributeList noFlag = DataTemplate("no flag", false);
  noFlag.erase(CKA_PRIVATE);
  const uint32_t unflagged = Create(noFlag);
  const uint32_t priv = Create(DataTemplate("private data", true));
  const uint32_t cert = Create(CertificateTemplate("cert", true));
  EXPECT_EQ(1u, cache().publicObjects.count(pub));
  EXPECT_EQ(1u, cache().publicObjects.count(unflagged));
  EXPECT_EQ(1u, cache().privateObjects.count(priv));
  EXPECT_EQ(1u, cache().privateObjects.count(cert));
  // Read back fresh from the card: every attribute as given. The
  // certificate takes three blocks of the private area.
  EXPECT_EQ(CertificateTemplate("cert", true), Read(cert));
  EXPECT_EQ(DataTemplate("private data", true), Read(priv));
  EXPECT_EQ((Bytes{1, 1, 2, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), TableEntries(kPrivate));
  EXPECT_EQ((Bytes{1, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), TableEntries(kPublic));
  // A new reader of the card sees the same.
  ASSERT_CKR(CKR_OK, Reinsert(true));
  EXPECT_EQ("cert", Label(cert));
  EXPECT_EQ("no flag", Label(unflagged));
}

TEST_F(CreateTest, TemplateChecksBeforeTheCard) {
  AttributeList certWithSign = CertificateTemplate("c", false);
  certWithSign[CKA_SIGN] = {1};
  AttributeList dataWithKeyType = DataTemplate("d", false);
  dataWithKeyType[CKA_KEY_TYPE] = U32(CKK_GOSTR3410);
  const AttributeList unknownClass{{CKA_CLASS, U32(CKO_SECRET_KEY)}, {CKA_LABEL, Text("s")}};
  const AttributeList unknownClassWithId{{CKA_CLASS, U32(CKO_SECRET_KEY)}, {CKA_ID, {1}}};
  AttributeList hugeValue = DataTemplate("d", false);
  hugeValue[CKA_VALUE] = Bytes(0x10000, 1);
  const AttributeList pubKey{{CKA_CLASS, U32(CKO_PUBLIC_KEY)},
                             {CKA_KEY_TYPE, U32(CKK_GOSTR3410)},
                             {CKA_VALUE, Bytes(64, 1)}};
  AttributeList pubNoValue = pubKey;
  pubNoValue.erase(CKA_VALUE);
  AttributeList pubRsa = pubKey;
  pubRsa[CKA_KEY_TYPE] = U32(CKK_RSA);
  AttributeList pubOddValue = pubKey;
  pubOddValue[CKA_VALUE] = Bytes(63, 1);
  AttributeList pubOtherSet = pubKey;
  pubOtherSet[CKA_GOSTR3410_PARAMS] = ParamSetOid(2);
  AttributeList privImport = PrivateKeyTemplate("k");
  privImport[CKA_VALUE] = Bytes(32, 1);
  AttributeList privImportRsa = privImport;
  privImportRsa[CKA_KEY_TYPE] = U32(CKK_RSA);
  AttributeList privImportLong = privImport;
  privImportLong[CKA_VALUE] = Bytes(256, 1);
  const AttributeList gen = PrivateKeyTemplate("k");
  AttributeList genWithParams = gen;
  genWithParams[CKA_GOSTR3410_PARAMS] = ParamSetOid(1);
  const AttributeList pubTemplate = PublicKeyTemplate("k");
  AttributeList secondPrivate = pubTemplate;
  secondPrivate[CKA_CLASS] = U32(CKO_PRIVATE_KEY);
  AttributeList secondNoType = pubTemplate;
  secondNoType.erase(CKA_KEY_TYPE);
  AttributeList secondWithValue = pubTemplate;
  secondWithValue[CKA_VALUE] = Bytes(64, 1);
  AttributeList secondWithSign = pubTemplate;
  secondWithSign[CKA_SIGN] = {1};
  AttributeList secondOtherSet = pubTemplate;
  secondOtherSet[CKA_GOSTR3410_PARAMS] = ParamSetOid(2);
  AttributeList secondNoSet = pubTemplate;
  secondNoSet.erase(CKA_GOSTR3410_PARAMS);

  struct Case {
    const char* what;
    const AttributeList& first;
    const AttributeList* second;  // a key pair request when set
    CK_RV rv;
  };
  const Case cases[] = {
      {"certificate with CKA_SIGN", certWithSign, nullptr, CKR_ATTRIBUTE_VALUE_INVALID},
      {"data with CKA_KEY_TYPE", dataWithKeyType, nullptr, CKR_ATTRIBUTE_VALUE_INVALID},
      {"secret key class", unknownClass, nullptr, CKR_FUNCTION_FAILED},
      {"secret key with CKA_ID", unknownClassWithId, nullptr, CKR_ATTRIBUTE_VALUE_INVALID},
      {"value over 65535 bytes", hugeValue, nullptr, CKR_ATTRIBUTE_VALUE_INVALID},
      {"data object as key pair", DataTemplate("d", false), &pubTemplate, CKR_GENERAL_ERROR},
      {"public key import as key pair", pubKey, &pubTemplate, CKR_GENERAL_ERROR},
      {"public key without value", pubNoValue, nullptr, CKR_ATTRIBUTE_VALUE_INVALID},
      {"public key of another type", pubRsa, nullptr, CKR_ATTRIBUTE_VALUE_INVALID},
      {"public key of odd length", pubOddValue, nullptr, CKR_ATTRIBUTE_VALUE_INVALID},
      {"public key of another set", pubOtherSet, nullptr, CKR_DOMAIN_PARAMS_INVALID},
      {"private key import as key pair", privImport, &pubTemplate, CKR_GENERAL_ERROR},
      {"private key of another type", privImportRsa, nullptr, CKR_ATTRIBUTE_VALUE_INVALID},
      {"private key over 255 bytes", privImportLong, nullptr, CKR_ATTRIBUTE_VALUE_INVALID},
      {"generation without a second template", gen, nullptr, CKR_GENERAL_ERROR},
      {"second template a private key", gen, &secondPrivate, CKR_ATTRIBUTE_VALUE_INVALID},
      {"second template without key type", gen, &secondNoType, CKR_ATTRIBUTE_VALUE_INVALID},
      {"second template with a value", gen, &secondWithValue, CKR_ATTRIBUTE_VALUE_INVALID},
      {"second template with CKA_SIGN", gen, &secondWithSign, CKR_ATTRIBUTE_VALUE_INVALID},
      {"private template with a set", genWithParams, &pubTemplate, CKR_ATTRIBUTE_TYPE_INVALID},
      {"public template of another set", gen, &secondOtherSet, CKR_DOMAIN_PARAMS_INVALID},
      {"public template without a set", gen, &secondNoSet, CKR_DOMAIN_PARAMS_INVALID},
  };
  for (const auto& c : cases) {
    uint32_t first = 0, second = 0;
    EXPECT_CKR(c.rv, CreateTokenObject(slot_, &first, c.first, c.second ? &second : nullptr,
                                       c.second))
        << c.what;
    EXPECT_EQ(0u, first) << c.what;
    EXPECT_TRUE(Commands().empty()) << c.what;
  }
  uint32_t id = 0;
  const AttributeList data = DataTemplate("d", false);
  EXPECT_CKR(CKR_GENERAL_ERROR, CreateTokenObject(slot_, nullptr, data));
  EXPECT_CKR(CKR_GENERAL_ERROR, CreateTokenObject(slot_, &id, data, &id, nullptr));
  cache().objectsStale = true;
  EXPECT_CKR(CKR_DEVICE_ERROR, CreateTokenObject(slot_, &id, data));
  EXPECT_TRUE(Commands().empty());
}

TEST_F(CreateTest, KeyPairGenerationCommandSequence) {
  Create(DataTemplate("pub", false));  // one block each
  Create(DataTemplate("prv", true));
  ClearLog();
  const auto [priv, pub] = GenerateKeyPair("pair");
  const auto commands = Commands();
  // Key references are card-wide: the public area's objects count too.
  const std::vector<Bytes> expected{
      kSerial, kSelectApp,
      kSelectPublic, ReadAt(kTable, kTableLength), ReadAt(Block(0), 17),
      kSelectPrivate, ReadAt(kTable, kTableLength), kChallenge, ReadAt(Block(0), 17),
      {0x00, 0x46, 0x02, 0x01, 0x00},  // the lowest free private key reference
      kSelectPrivate};
  ASSERT_EQ(expected.size() + 4, commands.size());
  EXPECT_EQ(expected, std::vector<Bytes>(commands.begin(), commands.begin() + expected.size()));
  // The private key's record (one block), the public key's (two), the table.
  EXPECT_EQ(UpdateHead(Block(1), 64), Head(commands[11]));
  EXPECT_EQ(UpdateHead(Block(2), 64), Head(commands[12]));
  EXPECT_EQ(UpdateHead(Block(3), 64), Head(commands[13]));
  EXPECT_EQ(UpdateHead(kTable, kTableLength), Head(commands[14]));
  EXPECT_EQ((Bytes{1, 2, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), TableEntries(kPrivate));

  EXPECT_EQ(1u, Object(priv)->toh.keyRef);
  EXPECT_EQ(1u, Object(pub)->toh.keyRef);
  // The public key reads back from the key slot the card generated.
  const sim::CardState state = card_->State();
  ASSERT_TRUE(state.keys.at(1).publicKey && state.keys.at(1).privateKey);
  const AttributeList publicKey = Read(pub);
  ASSERT_EQ(1u, publicKey.count(CKA_VALUE));
  const auto expectedValue = sim::SwapPublicKeyHalves(*state.keys.at(1).publicKey);
  EXPECT_EQ(Bytes(expectedValue.begin(), expectedValue.end()), publicKey.at(CKA_VALUE));
  EXPECT_EQ(PublicKeyTemplate("pair"), [&] {
    AttributeList withoutValue = publicKey;
    withoutValue.erase(CKA_VALUE);
    return withoutValue;
  }());
  // The private key never has a value.
  EXPECT_EQ(PrivateKeyTemplate("pair"), Read(priv));
}

TEST_F(CreateTest, ImportedKeyValuesAreReversedForTheCard) {
  const auto pair = sim::GenerateGostKeyPair(sim::GostCurveForParamSet(2));
  ASSERT_TRUE(pair);
  AttributeList privateKey = PrivateKeyTemplate("imported");
  privateKey[CKA_VALUE] = Bytes(pair->privateKey.rbegin(), pair->privateKey.rend());
  const uint32_t priv = Create(privateKey);
  // The whole value reversed, in one CHANGE REFERENCE DATA to reference 1.
  Bytes sent{0x00, 0x24, 0x01, 0x01, 0x20};
  sent.insert(sent.end(), pair->privateKey.begin(), pair->privateKey.end());
  const auto commands = Commands();
  EXPECT_EQ(1, std::count(commands.begin(), commands.end(), sent));
  EXPECT_EQ(pair->privateKey, card_->State().keys.at(1).privateKey);
  EXPECT_EQ(0u, Object(priv)->attributes.count(CKA_VALUE));  // not kept in memory
  EXPECT_EQ(0u, Read(priv).count(CKA_VALUE));

  AttributeList publicKey = PublicKeyTemplate("imported");
  publicKey[CKA_PRIVATE] = {0};
  const auto value = sim::SwapPublicKeyHalves(pair->publicKey);  // X, Y little-endian
  publicKey[CKA_VALUE] = Bytes(value.begin(), value.end());
  ClearLog();
  const uint32_t pub = Create(publicKey);
  // Each half reversed: bytes 31..0 then 63..32 of the value, to the first
  // public key reference.
  Bytes sentPublic{0x00, 0x24, 0x01, 0x09, 0x40};
  sentPublic.insert(sentPublic.end(), value.rbegin() + 32, value.rend());
  sentPublic.insert(sentPublic.end(), value.rbegin(), value.rbegin() + 32);
  const auto publicCommands = Commands();
  EXPECT_EQ(1, std::count(publicCommands.begin(), publicCommands.end(), sentPublic));
  EXPECT_EQ(pair->publicKey, card_->State().keys.at(9).publicKey);
  EXPECT_EQ(9u, Object(pub)->toh.keyRef);
  EXPECT_EQ(publicKey, Read(pub));
}

TEST_F(CreateTest, KeyReferencesInUseAnywhereAreSkipped) {
  // A private key in the private area holds reference 1; a private key
  // imported into the public area must not take it.
  GenerateKeyPair("a");
  const auto pair = sim::GenerateGostKeyPair(sim::GostCurveForParamSet(2));
  ASSERT_TRUE(pair);
  AttributeList publicAreaKey = PrivateKeyTemplate("in public area");
  publicAreaKey[CKA_PRIVATE] = {0};
  publicAreaKey[CKA_VALUE] = Bytes(pair->privateKey.rbegin(), pair->privateKey.rend());
  const uint32_t imported = Create(publicAreaKey);
  EXPECT_EQ(2u, Object(imported)->toh.keyRef);
  const auto [third, thirdPublic] = GenerateKeyPair("c");
  EXPECT_EQ(3u, Object(third)->toh.keyRef);
  GenerateKeyPair("d");
  // References 1 to 4 all taken: nothing reaches a key slot or a block.
  ClearLog();
  uint32_t priv = 0, pub = 0;
  const AttributeList privateKey = PrivateKeyTemplate("e");
  const AttributeList publicKey = PublicKeyTemplate("e");
  EXPECT_CKR(CKR_DEVICE_MEMORY, CreateTokenObject(slot_, &priv, privateKey, &pub, &publicKey));
  EXPECT_EQ(0u, Count(ins::kKeyPair));
  EXPECT_EQ(0u, Count(ins::kUpdate));
  EXPECT_EQ(0u, priv);
  // The failed creation's allocations do not outlive it.
  EXPECT_EQ("c", Label(thirdPublic));
}

TEST_F(CreateTest, NotEnoughFreeSpace) {
  // 13 of 16 blocks used by four certificates and a data object.
  for (int i = 0; i < 4; ++i) Create(CertificateTemplate("c" + std::to_string(i), true));
  Create(DataTemplate("d", true));
  ClearLog();
  AttributeList big = DataTemplate("big", true);
  big[CKA_VALUE] = Bytes(200, 7);  // 17 + 229 bytes: four blocks, three are free
  uint32_t id = 0;
  EXPECT_CKR(CKR_DEVICE_MEMORY, CreateTokenObject(slot_, &id, big));
  EXPECT_EQ(0u, Count(ins::kUpdate));
  // A key pair whose records need more blocks than are left, though its
  // bytes would fit: refused before the card generates anything.
  ClearLog();
  uint32_t priv = 0, pub = 0;
  AttributeList privateKey = PrivateKeyTemplate("k");
  privateKey[CKA_ID] = Bytes(60, 1);
  const AttributeList publicKey = PublicKeyTemplate("k");
  EXPECT_CKR(CKR_DEVICE_MEMORY, CreateTokenObject(slot_, &priv, privateKey, &pub, &publicKey));
  EXPECT_EQ(0u, Count(ins::kKeyPair));
  EXPECT_EQ(0u, Count(ins::kUpdate));
}

TEST_F(CreateTest, AnotherCardInTheReader) {
  sim::CardPersonalisation other = Personalisation();
  other.serialNumber[6] = 0xEE;
  card_->ReplaceState(sim::Personalise(other));
  uint32_t id = 0;
  EXPECT_CKR(CKR_TOKEN_NOT_RECOGNIZED,
             CreateTokenObject(slot_, &id, DataTemplate("d", false)));
  EXPECT_EQ(0u, Count(ins::kUpdate));
}

}  // namespace
}  // namespace zorad::test
