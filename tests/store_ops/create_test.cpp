// Creating data objects, certificates, imported keys and generated key
// pairs on the card.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/card/gost_crypto.h"
#include "store/creation_context.h"
#include "store/object_create.h"
#include "store/object_delete.h"
#include "store/object_search.h"
#include "store_ops_fixture.h"
#include "support/ckr_names.h"

namespace zorad::test {
namespace {

using store::CreateTokenObject;

const Bytes kSerial{0x80, 0xFE, 0x06, 0x00, 0x07};
const Bytes kSelectApp{0x00, 0xA4, 0x04, 0x0C, 0x0C, 'Z', 'O', 'R', 'A',
                       'D',  '_',  'P',  'K',  'C',  'S', '1', '1'};
const Bytes kSelectPublic{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x00, 0x09};
const Bytes kSelectPrivate{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x00, 0x01};
const Bytes kChallenge{0x00, 0x84, 0x00, 0x00, 0x20};
const Bytes kReadTable{0x00, 0xB0, 0x04, 0x80, 20};  // 4 + 16 bytes at 1152
const Bytes kReadHeader0{0x00, 0xB0, 0x00, 0x40, 17};

// The first four bytes of an UPDATE BINARY: where it writes.
Bytes WriteAt(uint16_t offset) { return {0x00, 0xD6, uint8_t(offset >> 8), uint8_t(offset)}; }
Bytes Head(const Bytes& command) { return Bytes(command.begin(), command.begin() + 4); }
Bytes Reversed(std::span<const uint8_t> v) { return Bytes(v.rbegin(), v.rend()); }

class CreateTest : public StoreOpsTest {};

TEST_F(CreateTest, DataObjectsAndCertificates) {
  store::ObjectKey id;
  ASSERT_CKR(CKR_OK, CreateTokenObject(slot_, &id, DataTemplate("pub", false)));
  // Identity, application, area and table, identifiers, one record block,
  // the table.
  const auto c = Commands();
  ASSERT_EQ(7u, c.size());
  EXPECT_EQ((std::vector<Bytes>{kSerial, kSelectApp, kSelectPublic, kReadTable, kChallenge}),
            std::vector<Bytes>(c.begin(), c.begin() + 5));
  EXPECT_EQ(WriteAt(64), Head(c[5]));
  EXPECT_EQ(WriteAt(1152), Head(c[6]));
  EXPECT_EQ(card::Area::kPublic, id.area);
  ASSERT_NE(nullptr, store::FindTokenObject(slot_, id));
  EXPECT_EQ(1u, Object(id)->toh.updateCount);

  const store::ObjectKey unflagged = Create(Without(DataTemplate("no flag", true), CKA_PRIVATE));
  const store::ObjectKey cert = Create(CertificateTemplate("cert"));
  EXPECT_EQ(card::Area::kPublic, unflagged.area);
  EXPECT_EQ((Bytes{1, 1, 1, 0}), TableEntries(kPrivate, 4));
  ASSERT_CKR(CKR_OK, Reinsert());
  EXPECT_EQ(CertificateTemplate("cert"), Read(cert));
  EXPECT_EQ(DataTemplate("pub", false), Read(id));
}

TEST_F(CreateTest, TemplateChecksBeforeTheCard) {
  const AttributeList cert = CertificateTemplate("c"), data = DataTemplate("d", false);
  const AttributeList pubKey{{CKA_CLASS, U32(CKO_PUBLIC_KEY)},
                             {CKA_KEY_TYPE, U32(CKK_GOSTR3410)},
                             {CKA_VALUE, Bytes(64, 1)}};
  const AttributeList privKey = With(PrivateKeyTemplate("k"), CKA_VALUE, Bytes(32, 1));
  const AttributeList gen = PrivateKeyTemplate("k"), pub = PublicKeyTemplate("k");
  const AttributeList secret{{CKA_CLASS, U32(CKO_SECRET_KEY)}, {CKA_LABEL, Text("s")}};
  struct Case {
    AttributeList first;
    std::optional<AttributeList> second;  // a key pair request
    CK_RV rv;
  };
  const Case cases[] = {
      {With(cert, CKA_SIGN, {1}), {}, CKR_ATTRIBUTE_VALUE_INVALID},
      {With(data, CKA_KEY_TYPE, U32(CKK_GOSTR3410)), {}, CKR_ATTRIBUTE_VALUE_INVALID},
      {secret, {}, CKR_FUNCTION_FAILED},
      {With(secret, CKA_ID, {1}), {}, CKR_ATTRIBUTE_VALUE_INVALID},
      {With(data, CKA_VALUE, Bytes(0x10000, 1)), {}, CKR_ATTRIBUTE_VALUE_INVALID},
      {data, pub, CKR_GENERAL_ERROR},
      {pubKey, pub, CKR_GENERAL_ERROR},
      {Without(pubKey, CKA_VALUE), {}, CKR_ATTRIBUTE_VALUE_INVALID},
      {With(pubKey, CKA_KEY_TYPE, U32(CKK_RSA)), {}, CKR_ATTRIBUTE_VALUE_INVALID},
      {With(pubKey, CKA_VALUE, Bytes(63, 1)), {}, CKR_ATTRIBUTE_VALUE_INVALID},
      {With(pubKey, CKA_GOSTR3410_PARAMS, ParamSetOid(2)), {}, CKR_DOMAIN_PARAMS_INVALID},
      {privKey, pub, CKR_GENERAL_ERROR},
      {With(privKey, CKA_KEY_TYPE, U32(CKK_RSA)), {}, CKR_ATTRIBUTE_VALUE_INVALID},
      {With(privKey, CKA_VALUE, Bytes(256, 1)), {}, CKR_ATTRIBUTE_VALUE_INVALID},
      {gen, {}, CKR_GENERAL_ERROR},
      {gen, With(pub, CKA_CLASS, U32(CKO_PRIVATE_KEY)), CKR_ATTRIBUTE_VALUE_INVALID},
      {gen, Without(pub, CKA_KEY_TYPE), CKR_ATTRIBUTE_VALUE_INVALID},
      {gen, With(pub, CKA_VALUE, Bytes(64, 1)), CKR_ATTRIBUTE_VALUE_INVALID},
      {gen, With(pub, CKA_SIGN, {1}), CKR_ATTRIBUTE_VALUE_INVALID},
      {With(gen, CKA_GOSTR3410_PARAMS, ParamSetOid(1)), pub, CKR_ATTRIBUTE_TYPE_INVALID},
      {gen, With(pub, CKA_GOSTR3410_PARAMS, ParamSetOid(2)), CKR_DOMAIN_PARAMS_INVALID},
      {gen, Without(pub, CKA_GOSTR3410_PARAMS), CKR_DOMAIN_PARAMS_INVALID},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    store::ObjectKey first, second;
    EXPECT_CKR(c.rv, CreateTokenObject(slot_, &first, c.first, c.second ? &second : nullptr,
                                       c.second ? &*c.second : nullptr))
        << "case " << i;
  }
  store::ObjectKey id;
  EXPECT_CKR(CKR_GENERAL_ERROR, CreateTokenObject(slot_, nullptr, data));
  EXPECT_CKR(CKR_GENERAL_ERROR, CreateTokenObject(slot_, &id, data, &id, nullptr));
  cache().objectsStale = true;
  EXPECT_CKR(CKR_DEVICE_ERROR, CreateTokenObject(slot_, &id, data));
  EXPECT_TRUE(Commands().empty());
}

TEST_F(CreateTest, KeyPairGenerationCommandSequence) {
  Create(DataTemplate("pub", false));  // one block in each area
  Create(DataTemplate("prv", true));
  ClearLog();
  const auto [priv, pub] = GenerateKeyPair("pair");
  // Key references are card-wide: the public area's objects are read too.
  const std::vector<Bytes> expected{
      kSerial,        kSelectApp, kSelectPublic, kReadTable,   kReadHeader0,
      kSelectPrivate, kReadTable, kChallenge,    kReadHeader0, {0x00, 0x46, 0x02, 0x01, 0x00},
      kSelectPrivate};
  const auto c = Commands();
  ASSERT_EQ(expected.size() + 4, c.size());
  EXPECT_EQ(expected, std::vector<Bytes>(c.begin(), c.begin() + expected.size()));
  // The private key's record (one block), the public key's (two), the table.
  EXPECT_EQ((std::vector<Bytes>{WriteAt(128), WriteAt(192), WriteAt(256), WriteAt(1152)}),
            (std::vector<Bytes>{Head(c[11]), Head(c[12]), Head(c[13]), Head(c[14])}));
  EXPECT_EQ(1u, Object(priv)->toh.keyRef);
  EXPECT_EQ(1u, Object(pub)->toh.keyRef);
  // The public key reads back from the key slot the card generated; the
  // private key never has a value.
  const auto slotKey = sim::SwapPublicKeyHalves(*card_->State().keys.at(1).publicKey);
  EXPECT_EQ(With(PublicKeyTemplate("pair"), CKA_VALUE, Bytes(slotKey.begin(), slotKey.end())),
            Read(pub));
  EXPECT_EQ(PrivateKeyTemplate("pair"), Read(priv));
}

TEST_F(CreateTest, ImportedKeyValuesAreReversedForTheCard) {
  const auto pair = sim::GenerateGostKeyPair(sim::GostCurveForParamSet(2));
  ASSERT_TRUE(pair);
  const store::ObjectKey priv =
      Create(With(PrivateKeyTemplate("imported"), CKA_VALUE, Reversed(pair->privateKey)));
  // The whole value reversed, to reference 1; never kept in memory.
  Bytes sent{0x00, 0x24, 0x01, 0x01, 0x20};
  sent.insert(sent.end(), pair->privateKey.begin(), pair->privateKey.end());
  EXPECT_EQ(1u, std::ranges::count(Commands(), sent));
  EXPECT_EQ(pair->privateKey, card_->State().keys.at(1).privateKey);
  EXPECT_EQ(0u, Object(priv)->attributes.count(CKA_VALUE));

  // A public key: each half reversed, to the first public key reference.
  const auto value = sim::SwapPublicKeyHalves(pair->publicKey);
  const AttributeList publicKey = With(With(PublicKeyTemplate("imported"), CKA_PRIVATE, {0}),
                                       CKA_VALUE, Bytes(value.begin(), value.end()));
  ClearLog();
  const store::ObjectKey pub = Create(publicKey);
  Bytes sentPublic{0x00, 0x24, 0x01, 0x09, 0x40};
  sentPublic.insert(sentPublic.end(), pair->publicKey.begin(), pair->publicKey.end());
  EXPECT_EQ(1u, std::ranges::count(Commands(), sentPublic));
  EXPECT_EQ(9u, Object(pub)->toh.keyRef);
  EXPECT_EQ(publicKey, Read(pub));
}

TEST_F(CreateTest, KeyReferencesAndSpace) {
  // Reference 1 is held in the private area; a private key imported into
  // the public area must not take it, and without the user's login (the
  // private area's references unknown) no key is created at all.
  GenerateKeyPair("a");
  const AttributeList publicKey0 =
      With(With(PublicKeyTemplate("x"), CKA_PRIVATE, {0}), CKA_VALUE, Bytes(64, 1));
  ASSERT_CKR(CKR_OK, Attach(slot_, false));
  ClearLog();
  store::ObjectKey id;
  EXPECT_CKR(CKR_USER_NOT_LOGGED_IN, CreateTokenObject(slot_, &id, publicKey0));
  EXPECT_TRUE(Commands().empty());
  ASSERT_CKR(CKR_OK, Attach(slot_, true));
  const auto pair = sim::GenerateGostKeyPair(sim::GostCurveForParamSet(2));
  const AttributeList inPublicArea = With(PrivateKeyTemplate("b"), CKA_PRIVATE, {0});
  EXPECT_EQ(2u,
            Object(Create(With(inPublicArea, CKA_VALUE, Reversed(pair->privateKey))))->toh.keyRef);
  EXPECT_EQ(3u, Object(GenerateKeyPair("c").first)->toh.keyRef);
  const auto [lastPrivate, last] = GenerateKeyPair("d");
  // References 1-4 taken: refused before any key slot or block is written.
  store::ObjectKey priv, pub;
  const AttributeList publicKey = PublicKeyTemplate("e");
  AttributeList privateKey = PrivateKeyTemplate("e");
  ClearLog();
  EXPECT_CKR(CKR_DEVICE_MEMORY, CreateTokenObject(slot_, &priv, privateKey, &pub, &publicKey));
  EXPECT_EQ(0u, Count(kKeyPair) + Count(kUpdate));
  EXPECT_EQ("d", Label(last));  // the failed creation's allocations are gone

  // A free reference, 3 free blocks, a pair whose records need 4 (though
  // their bytes would fit): refused before the card generates anything.
  ASSERT_CKR(CKR_OK, store::DeleteTokenObject(slot_, lastPrivate));  // frees reference 4
  Fill(kPrivate, 5);
  privateKey[CKA_ID] = Bytes(60, 1);
  ClearLog();
  EXPECT_CKR(CKR_DEVICE_MEMORY, CreateTokenObject(slot_, &priv, privateKey, &pub, &publicKey));
  EXPECT_EQ(0u, Count(kKeyPair) + Count(kUpdate));
}

TEST(CreationContextTest, KeyReferencesAreOneTo127) {
  store::CreationContext context;
  context.keyRefsInUse.set(1).set(2);
  EXPECT_EQ(3, store::FreeKeyRef(context, 0, 4));  // 0 is never a reference
  for (unsigned ref = 120; ref < 127; ++ref) context.keyRefsInUse.set(ref);
  EXPECT_EQ(127, store::FreeKeyRef(context, 120, 255));
  context.keyRefsInUse.set(127);
  EXPECT_FALSE(store::FreeKeyRef(context, 120, 255));  // 128 and above are never used
  store::TokenObject object;
  object.toh.keyRef = 128;  // a header naming one stops the creation's refresh
  EXPECT_FALSE(store::NoteUsedIdAndKeyRef(object, context));
}

}  // namespace
}  // namespace zorad::test
