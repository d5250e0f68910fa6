// Reading and changing token object attributes on the card: in place,
// grown, shrunk, moved, refused; and changes made by another process.
#include <gtest/gtest.h>

#include "store/attribute_access.h"
#include "store/object_delete.h"
#include "store/object_search.h"
#include "store_ops_fixture.h"
#include "support/ckr_names.h"

namespace zorad::test {
namespace {

using store::GetTokenAttributeValues;
using store::SetTokenAttributeValues;

AttributeList NewLabel(const std::string& text) { return {{CKA_LABEL, Text(text)}}; }
uint32_t Offset(unsigned block) { return 64 + 64 * block; }

class AttributeTest : public StoreOpsTest {};

TEST_F(AttributeTest, SameSizeInPlaceLongerGrowsShorterShrinks) {
  const store::ObjectKey cert = Create(CertificateTemplate("cert"));  // blocks 0-2
  const store::ObjectKey data = Fill(kPrivate, 1, "x")[0];            // block 3
  const store::ObjectKey neighbour = Fill(kPrivate, 1)[0];            // block 4
  const uint16_t count = Object(cert)->toh.updateCount;
  ClearLog();
  ASSERT_CKR(CKR_OK, SetTokenAttributeValues(slot_, cert, NewLabel("CERT")));
  // Application, identity, area, table, header, record (3 blocks): the
  // body read when it was written stands, and the table is not written.
  EXPECT_EQ(8u, Commands().size());
  EXPECT_EQ(3u, Count(kUpdate));
  EXPECT_EQ(Offset(0), Object(cert)->offs);
  EXPECT_EQ(count + 1, Object(cert)->toh.updateCount);

  // Longer: grows into the first free block after its last one.
  ASSERT_CKR(CKR_OK, SetTokenAttributeValues(slot_, data, NewLabel(std::string(60, 'x'))));
  EXPECT_EQ(Offset(3), Object(data)->offs);
  EXPECT_EQ((Bytes{1, 1, 1, 2, 3, 2, 0}), TableEntries(kPrivate, 7));

  // Shorter: the freed blocks are erased, after the table no longer lists them.
  ClearLog();
  ASSERT_CKR(CKR_OK, SetTokenAttributeValues(slot_, cert, {{CKA_VALUE, Bytes(4, 0x30)}}));
  const auto c = Commands();
  EXPECT_EQ((Bytes{0x00, 0xD6, 0x04, 0x80}),
            Bytes(c[c.size() - 2].begin(), c[c.size() - 2].begin() + 4));
  EXPECT_EQ((Bytes{0x00, 0xD6, 0x00, 0xC0}), Bytes(c.back().begin(), c.back().begin() + 4));
  EXPECT_EQ(0, TableEntries(kPrivate)[2]);
  EXPECT_TRUE(BlockErased(kPrivate, 2));

  ASSERT_CKR(CKR_OK, Reinsert());
  EXPECT_EQ(
      With(With(CertificateTemplate("cert"), CKA_LABEL, Text("CERT")), CKA_VALUE, Bytes(4, 0x30)),
      Read(cert));
  EXPECT_EQ(std::string(60, 'x'), Label(data));
  EXPECT_EQ("f0", Label(neighbour));
}

TEST_F(AttributeTest, MoveKeepsTheOldRecordWholeUntilTheTableIsWritten) {
  // The object holds blocks 1 and 5, blocks 2-4 are free, nothing is free
  // after it. First fit would reuse block 1, overwriting the old header
  // before the table changes; the move takes blocks 2-4 instead.
  Fill(kPrivate, 1, "a");
  const store::ObjectKey gap = Fill(kPrivate, 1, "g")[0];
  const std::vector<store::ObjectKey> middle = Fill(kPrivate, 3, "m");
  ASSERT_CKR(CKR_OK, store::DeleteTokenObject(slot_, gap));
  const store::ObjectKey id = Fill(kPrivate, 1, std::string(30, 'x'))[0];  // blocks 1 and 5
  Fill(kPrivate, 10);
  for (const store::ObjectKey& m : middle) ASSERT_CKR(CKR_OK, store::DeleteTokenObject(slot_, m));
  const uint8_t ni = TableEntries(kPrivate)[1];
  ASSERT_CKR(CKR_OK, SetTokenAttributeValues(slot_, id, NewLabel(std::string(120, 'y'))));
  EXPECT_EQ(Offset(2), Object(id)->offs);
  EXPECT_EQ((Bytes{1, 0, ni, ni, ni, 0}), TableEntries(kPrivate, 6));
  EXPECT_TRUE(BlockErased(kPrivate, 1) && BlockErased(kPrivate, 5));
  ASSERT_CKR(CKR_OK, Reinsert());
  EXPECT_EQ(std::string(120, 'y'), Label(id));
}

TEST_F(AttributeTest, RefusedChangesLeaveTheCardAlone) {
  const store::ObjectKey id = Fill(kPrivate, 1, "x")[0];
  const auto [priv, pub] = GenerateKeyPair("k");
  const AttributeList publicKey = Read(pub);
  Fill(kPrivate, 11);  // one block left
  const Bytes table = TableEntries(kPrivate);
  ClearLog();
  // Refused before the card: a type or a value no record can carry.
  EXPECT_CKR(CKR_ATTRIBUTE_TYPE_INVALID, SetTokenAttributeValues(slot_, id, {{0x10003, {1}}}));
  EXPECT_CKR(CKR_ATTRIBUTE_VALUE_INVALID,
             SetTokenAttributeValues(slot_, id, NewLabel(std::string(0x10000, 'x'))));
  EXPECT_CKR(CKR_OBJECT_HANDLE_INVALID, SetTokenAttributeValues(slot_, {}, NewLabel("y")));
  EXPECT_TRUE(Commands().empty());
  // A key's value is never in its record: read-only, nothing written.
  for (const store::ObjectKey& key : {priv, pub}) {
    EXPECT_CKR(CKR_ATTRIBUTE_READ_ONLY,
               SetTokenAttributeValues(slot_, key, With(NewLabel("new"), CKA_VALUE, Bytes(64, 1))));
  }
  EXPECT_EQ(publicKey, Read(pub));
  EXPECT_FALSE(cache().objectsStale);
  // No arrangement of free blocks holds the record.
  EXPECT_CKR(CKR_DEVICE_MEMORY,
             SetTokenAttributeValues(slot_, id, NewLabel(std::string(200, 'x'))));
  EXPECT_EQ(0u, Count(kUpdate));
  EXPECT_EQ(table, TableEntries(kPrivate));
  EXPECT_EQ(Text("x0"), Object(id)->attributes.at(CKA_LABEL));  // put back
  EXPECT_TRUE(cache().objectsStale);
  EXPECT_CKR(CKR_DEVICE_ERROR, SetTokenAttributeValues(slot_, id, NewLabel("z")));
  // A new search refreshes the maps.
  ASSERT_CKR(CKR_OK, store::SeekTokenObjectInit(slot_));
  EXPECT_CKR(CKR_OK, SetTokenAttributeValues(slot_, id, NewLabel("z")));
}

// What another process did shows at once: a rewrite in place and a move
// are read as the card now holds them, a deletion is refused (never served
// from memory), and nothing of it leaves the cache stale.
TEST_F(AttributeTest, ChangesByAnotherProcessAreFollowed) {
  const store::ObjectKey id = Fill(kPrivate, 1, "x")[0];
  const store::ObjectKey neighbour = Fill(kPrivate, 1, "n")[0];
  slot::Slot& other = AnotherProcess();
  ASSERT_CKR(CKR_OK, SetTokenAttributeValues(other, id, NewLabel("other")));
  EXPECT_EQ("other", Label(id));
  ASSERT_CKR(CKR_OK, SetTokenAttributeValues(other, id, NewLabel(std::string(80, 'm'))));
  EXPECT_EQ(std::string(80, 'm'), Label(id));
  EXPECT_CKR(CKR_OK, SetTokenAttributeValues(slot_, id, NewLabel("mine")));
  ASSERT_CKR(CKR_OK, store::DeleteTokenObject(other, neighbour));
  AttributeList out;
  EXPECT_CKR(CKR_OBJECT_HANDLE_INVALID, GetTokenAttributeValues(slot_, neighbour, out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(cache().objectsStale);
}

}  // namespace
}  // namespace zorad::test
