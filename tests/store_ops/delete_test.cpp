// Deleting token objects: table then blocks, private keys with their key
// slot and public partner, objects another process changed.
#include <gtest/gtest.h>

#include "store/attribute_access.h"
#include "store/object_delete.h"
#include "store/object_search.h"
#include "store_ops_fixture.h"
#include "support/ckr_names.h"

namespace zorad::test {
namespace {

using store::DeleteTokenObject;

class DeleteTest : public StoreOpsTest {};

TEST_F(DeleteTest, TableFirstThenTheFreedBlocks) {
  const store::ObjectKey before = Fill(kPrivate, 1, "before")[0];
  const store::ObjectKey id = Create(CertificateTemplate("cert"));  // blocks 1-3
  ClearLog();
  uint32_t partner = 0xDEAD;
  ASSERT_CKR(CKR_OK, DeleteTokenObject(slot_, id, &partner));
  EXPECT_EQ(0xDEADu, partner);  // not a private key
  // Application, identity, area, table, header (the class is known from
  // creation), the table, then the three blocks erased.
  const auto c = Commands();
  ASSERT_EQ(9u, c.size());
  EXPECT_EQ((Bytes{0x00, 0xD6, 0x04, 0x80}), Bytes(c[5].begin(), c[5].begin() + 4));
  EXPECT_EQ(Bytes(64, 0), Bytes(c[8].begin() + 5, c[8].end()));
  EXPECT_EQ((Bytes{1, 0, 0, 0}), TableEntries(kPrivate, 4));
  EXPECT_TRUE(BlockErased(kPrivate, 3));
  EXPECT_EQ(nullptr, Object(id));
  ASSERT_CKR(CKR_OK, Reinsert());
  EXPECT_EQ("before0", Label(before));
}

TEST_F(DeleteTest, PrivateKeyNeverReadUnlinksItsPartnerAndRegeneratesItsSlot) {
  const auto [priv, pub] = GenerateKeyPair("k");
  const auto oldKey = card_->State().keys.at(1).privateKey;
  ASSERT_CKR(CKR_OK, Reinsert());  // the maps hold headers only now
  ClearLog();
  uint32_t partner = 0;
  ASSERT_CKR(CKR_OK, DeleteTokenObject(slot_, priv, &partner));
  EXPECT_EQ(pub.id, partner);
  EXPECT_EQ(1u, Count(kKeyPair));
  EXPECT_NE(oldKey, card_->State().keys.at(1).privateKey);
  // The public key stays, unlinked: no key reference, no value.
  EXPECT_EQ(0u, Object(pub)->toh.keyRef);
  EXPECT_EQ(PublicKeyTemplate("k"), Read(pub));
  ASSERT_CKR(CKR_OK, Reinsert());
  EXPECT_EQ(0u, Object(pub)->toh.keyRef);
  EXPECT_EQ(1u, Object(GenerateKeyPair("again").first)->toh.keyRef);  // free again
}

// The partner relabelled (and moved) by another process since this one
// read the area: unlinking it must not write its header from the old copy.
TEST_F(DeleteTest, PartnerAnotherProcessChangedIsReadAgainFirst) {
  const auto [priv, pub] = GenerateKeyPair("k");
  ASSERT_CKR(CKR_OK,
             store::SetTokenAttributeValues(AnotherProcess(), pub, {{CKA_LABEL, Bytes(100, 'r')}}));
  ASSERT_CKR(CKR_OK, DeleteTokenObject(slot_, priv));
  ASSERT_CKR(CKR_OK, Reinsert());
  EXPECT_EQ(std::string(100, 'r'), Label(pub));
  EXPECT_EQ(0u, Object(pub)->toh.keyRef);
}

TEST_F(DeleteTest, ObjectAnotherProcessRewroteIsReadAgainFirst) {
  const store::ObjectKey id = Fill(kPrivate, 1, "x")[0];
  ASSERT_CKR(CKR_OK,
             store::SetTokenAttributeValues(AnotherProcess(), id, {{CKA_LABEL, Text("o")}}));
  ASSERT_CKR(CKR_OK, DeleteTokenObject(slot_, id));
  ASSERT_CKR(CKR_OK, Reinsert());
  EXPECT_EQ(nullptr, Object(id));
}

TEST_F(DeleteTest, RefusalsAndFailures) {
  const store::ObjectKey priv = Fill(kPrivate, 1)[0];
  const store::ObjectKey pub = Fill(kPublic, 1)[0];
  ClearLog();
  EXPECT_CKR(CKR_OBJECT_HANDLE_INVALID, DeleteTokenObject(slot_, store::PublicObject(priv.id + pub.id + 1)));
  cache().objectsStale = true;
  EXPECT_CKR(CKR_DEVICE_ERROR, DeleteTokenObject(slot_, pub));
  EXPECT_TRUE(Commands().empty());
  // A card failure marks the cache stale until the next refresh.
  ASSERT_CKR(CKR_OK, store::SeekTokenObjectInit(slot_));
  card_->AnswerMatching({std::nullopt, kUpdate}, 0x6581);
  EXPECT_CKR(CKR_DEVICE_ERROR, DeleteTokenObject(slot_, pub));
  card_->ClearFaults();
  EXPECT_CKR(CKR_DEVICE_ERROR, DeleteTokenObject(slot_, pub));
  // Private objects are out of reach while the user is not logged in.
  ASSERT_CKR(CKR_OK, Attach(slot_, false));
  EXPECT_CKR(CKR_OBJECT_HANDLE_INVALID, DeleteTokenObject(slot_, priv));
  EXPECT_CKR(CKR_OK, DeleteTokenObject(slot_, pub));
}

}  // namespace
}  // namespace zorad::test
