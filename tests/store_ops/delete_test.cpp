// Deleting token objects: blocks and table, private keys with their key
// slot and public partner, and objects another process changed.
#include <gtest/gtest.h>

#include "store/attribute_access.h"
#include "store/object_delete.h"
#include "store/object_search.h"
#include "store_ops_fixture.h"
#include "support/ckr_names.h"

namespace zorad::test {
namespace {

using store::DeleteTokenObject;

const Bytes kGenerateKeyOne{0x00, 0x46, 0x02, 0x01, 0x00};

bool AllZero(const Bytes& area, size_t from, size_t length) {
  return std::all_of(area.begin() + from, area.begin() + from + length,
                     [](uint8_t b) { return b == 0; });
}

class DeleteTest : public StoreOpsTest {};

TEST_F(DeleteTest, DataObjectLeavesTableThenBlocks) {
  const uint32_t before = Fill(kPrivate, 1, "before")[0];
  const uint32_t after = Fill(kPrivate, 1, "after")[0];
  const uint32_t id = Create(CertificateTemplate("cert", true));  // blocks 2-4
  ClearLog();
  uint32_t partner = 0xDEAD;
  ASSERT_CKR(CKR_OK, DeleteTokenObject(slot_, id, &partner));
  EXPECT_EQ(0xDEADu, partner);  // not a private key: no partner
  const auto commands = Commands();
  // Application, identity, area, table, header; the class is known from
  // memory. Then the table, then the three freed blocks.
  ASSERT_EQ(9u, commands.size());
  EXPECT_EQ(Bytes({0x00, 0xD6, 0x04, 0x80}), Bytes(commands[5].begin(), commands[5].begin() + 4));
  EXPECT_EQ(Bytes({0x00, 0xD6, 0x00, 0xC0}), Bytes(commands[6].begin(), commands[6].begin() + 4));
  for (size_t i = 6; i < 9; ++i) {
    EXPECT_EQ(Bytes(64, 0), Bytes(commands[i].begin() + 5, commands[i].end()));
  }
  EXPECT_EQ((Bytes{1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), TableEntries(kPrivate));
  EXPECT_TRUE(AllZero(AreaFile(kPrivate), 64 + 2 * 64, 3 * 64));
  EXPECT_EQ(nullptr, Object(id));
  ASSERT_CKR(CKR_OK, Reinsert(true));
  EXPECT_EQ(2u, cache().privateObjects.size());
  // Attributes never loaded (the maps were just rebuilt): the class is read
  // from the card first, one more read per block of the record.
  ClearLog();
  ASSERT_CKR(CKR_OK, DeleteTokenObject(slot_, after));
  EXPECT_EQ(8u, Commands().size());
  EXPECT_EQ("before0", Label(before));
}

TEST_F(DeleteTest, PrivateKeyUnlinksItsPartnerAndRegeneratesItsSlot) {
  const auto [priv, pub] = GenerateKeyPair("k");
  const auto oldKey = card_->State().keys.at(1);
  ClearLog();
  uint32_t partner = 0;
  ASSERT_CKR(CKR_OK, DeleteTokenObject(slot_, priv, &partner));
  EXPECT_EQ(pub, partner);
  EXPECT_EQ(1u, Count(ins::kKeyPair));
  const auto commands = Commands();
  EXPECT_NE(commands.end(), std::find(commands.begin(), commands.end(), kGenerateKeyOne));
  const auto newKey = card_->State().keys.at(1);
  EXPECT_NE(oldKey.privateKey, newKey.privateKey);
  // The public key stays, unlinked: no key reference, no value.
  EXPECT_EQ(0u, Object(pub)->toh.keyRef);
  const AttributeList publicKey = Read(pub);
  EXPECT_EQ(Text("k"), publicKey.at(CKA_LABEL));
  EXPECT_EQ(0u, publicKey.count(CKA_VALUE));
  ASSERT_CKR(CKR_OK, Reinsert(true));
  EXPECT_EQ(0u, Object(pub)->toh.keyRef);
  EXPECT_EQ(nullptr, Object(priv));
  // The reference is free again.
  const auto [again, againPublic] = GenerateKeyPair("again");
  EXPECT_EQ(1u, Object(again)->toh.keyRef);
}

TEST_F(DeleteTest, PrivateKeyNeverReadInThisProcessIsStillRecognised) {
  const auto [priv, pub] = GenerateKeyPair("k");
  ASSERT_CKR(CKR_OK, Reinsert(true));  // maps hold headers only
  ASSERT_TRUE(Object(priv)->attributes.empty());
  const auto oldKey = card_->State().keys.at(1);
  uint32_t partner = 0;
  ASSERT_CKR(CKR_OK, DeleteTokenObject(slot_, priv, &partner));
  EXPECT_EQ(pub, partner);
  EXPECT_NE(oldKey.privateKey, card_->State().keys.at(1).privateKey);
}

TEST_F(DeleteTest, ObjectAnotherProcessRewroteIsReadAgainFirst) {
  const uint32_t id = Fill(kPrivate, 1, "x")[0];
  const uint32_t keep = Fill(kPrivate, 1, "keep")[0];
  slot::Slot& other = AnotherProcess();
  ASSERT_CKR(CKR_OK, store::SetTokenAttributeValues(other, id, {{CKA_LABEL, Text("other")}}));
  ASSERT_CKR(CKR_OK, DeleteTokenObject(slot_, id));
  ASSERT_CKR(CKR_OK, Reinsert(true));
  EXPECT_EQ(nullptr, Object(id));
  EXPECT_EQ("keep0", Label(keep));
}

TEST_F(DeleteTest, RefusedWithoutTheCard) {
  const uint32_t priv = Fill(kPrivate, 1)[0];
  const uint32_t pub = Fill(kPublic, 1)[0];
  ClearLog();
  EXPECT_CKR(CKR_OBJECT_HANDLE_INVALID, DeleteTokenObject(slot_, priv + pub + 1));
  cache().objectsStale = true;
  EXPECT_CKR(CKR_DEVICE_ERROR, DeleteTokenObject(slot_, pub));
  EXPECT_TRUE(Commands().empty());
  // Private objects are out of reach while the user is not logged in.
  ASSERT_CKR(CKR_OK, Attach(false));
  ClearLog();
  EXPECT_CKR(CKR_OBJECT_HANDLE_INVALID, DeleteTokenObject(slot_, priv));
  EXPECT_TRUE(Commands().empty());
  EXPECT_CKR(CKR_OK, DeleteTokenObject(slot_, pub));
}

TEST_F(DeleteTest, CardFailureMarksTheCacheStale) {
  const uint32_t id = Fill(kPrivate, 1)[0];
  card_->AnswerMatching({std::nullopt, ins::kUpdate}, 0x6581);
  EXPECT_CKR(CKR_DEVICE_ERROR, DeleteTokenObject(slot_, id));
  EXPECT_TRUE(cache().objectsStale);
  card_->ClearFaults();
  EXPECT_CKR(CKR_DEVICE_ERROR, DeleteTokenObject(slot_, id));  // until a refresh
  ASSERT_CKR(CKR_OK, store::SeekTokenObjectInit(slot_));
  EXPECT_CKR(CKR_OK, DeleteTokenObject(slot_, id));
}

}  // namespace
}  // namespace zorad::test
