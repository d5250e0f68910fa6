// Reading and changing token object attributes on the card: in place,
// grown, shrunk, moved, refused; and changes made by another process.
#include <gtest/gtest.h>

#include "store/attribute_access.h"
#include "store/object_create.h"
#include "store/object_delete.h"
#include "store/object_search.h"
#include "store_ops_fixture.h"
#include "support/ckr_names.h"

namespace zorad::test {
namespace {

using store::GetTokenAttributeValues;
using store::SetTokenAttributeValues;

uint32_t BlockOffset(unsigned i) { return 64 + 64 * i; }

AttributeList NewLabel(const std::string& text) { return {{CKA_LABEL, Text(text)}}; }

bool BlockErased(const Bytes& area, unsigned i) {
  const auto at = area.begin() + BlockOffset(i);
  return std::all_of(at, at + 64, [](uint8_t b) { return b == 0; });
}

class AttributeTest : public StoreOpsTest {
 protected:
  // A one-block data object whose label can grow by `extra` bytes (one
  // more block per 64).
  uint32_t Grower(const std::string& label) {
    AttributeList object = DataTemplate(label, true);
    object.erase(CKA_VALUE);
    return Create(object);
  }
};

TEST_F(AttributeTest, SameSizeRewritesInPlace) {
  const uint32_t id = Create(CertificateTemplate("cert", true));  // three blocks
  const store::TokenObject before = *Object(id);
  ClearLog();
  ASSERT_CKR(CKR_OK, SetTokenAttributeValues(slot_, id, NewLabel("CERT")));
  // Selection, identity, table, header, body (3 blocks), record (3 blocks).
  EXPECT_EQ(11u, Commands().size());
  EXPECT_EQ(3u, Count(ins::kUpdate));  // the table is not written
  EXPECT_EQ(before.offs, Object(id)->offs);
  EXPECT_EQ(before.toh.updateCount + 1, Object(id)->toh.updateCount);
  AttributeList expected = CertificateTemplate("cert", true);
  expected[CKA_LABEL] = Text("CERT");
  EXPECT_EQ(expected, Read(id));
}

TEST_F(AttributeTest, LongerValueGrowsIntoTheBlocksAfterIt) {
  const uint32_t id = Grower("x");
  Fill(kPrivate, 1);  // block 1
  ClearLog();
  ASSERT_CKR(CKR_OK, SetTokenAttributeValues(slot_, id, NewLabel(std::string(60, 'x'))));
  // Two record blocks (0 and the first free one after it, 2), the table.
  EXPECT_EQ(3u, Count(ins::kUpdate));
  EXPECT_EQ(BlockOffset(0), Object(id)->offs);
  EXPECT_EQ((Bytes{1, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), TableEntries(kPrivate));
  EXPECT_EQ(std::string(60, 'x'), Label(id));
}

TEST_F(AttributeTest, ShorterValueFreesAndErasesBlocksAfterTheTable) {
  const uint32_t id = Create(CertificateTemplate("cert", true));  // blocks 0-2
  const uint32_t after = Fill(kPrivate, 1)[0];                   // block 3
  ClearLog();
  ASSERT_CKR(CKR_OK, SetTokenAttributeValues(slot_, id, {{CKA_VALUE, Bytes(10, 0x30)}}));
  const auto commands = Commands();
  // Record (two blocks), table, then the freed block erased: the table never
  // lists an erased block.
  ASSERT_EQ(4u, Count(ins::kUpdate));
  const size_t n = commands.size();
  EXPECT_EQ(Bytes({0x00, 0xD6, 0x04, 0x80}), Bytes(commands[n - 2].begin(), commands[n - 2].begin() + 4));
  EXPECT_EQ(Bytes({0x00, 0xD6, 0x00, 0xC0}), Bytes(commands[n - 1].begin(), commands[n - 1].begin() + 4));
  EXPECT_EQ((Bytes{1, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), TableEntries(kPrivate));
  EXPECT_TRUE(BlockErased(AreaFile(kPrivate), 2));
  ASSERT_CKR(CKR_OK, Reinsert(true));
  EXPECT_EQ(Bytes(10, 0x30), Read(id).at(CKA_VALUE));
  EXPECT_EQ("f0", Label(after));
}

TEST_F(AttributeTest, ValueThatFitsOnlyElsewhereMovesTheObject) {
  const std::vector<uint32_t> before = Fill(kPrivate, 2, "b");  // blocks 0, 1
  const uint32_t id = Grower("x");                               // block 2
  Fill(kPrivate, 13);                                            // blocks 3-15
  for (uint32_t b : before) ASSERT_CKR(CKR_OK, store::DeleteTokenObject(slot_, b));
  ClearLog();
  ASSERT_CKR(CKR_OK, SetTokenAttributeValues(slot_, id, NewLabel(std::string(60, 'x'))));
  EXPECT_EQ(BlockOffset(0), Object(id)->offs);
  const Bytes table = TableEntries(kPrivate);
  EXPECT_EQ(table[0], table[1]);
  EXPECT_EQ(0, table[2]);
  EXPECT_TRUE(BlockErased(AreaFile(kPrivate), 2));
  ASSERT_CKR(CKR_OK, Reinsert(true));
  EXPECT_EQ(std::string(60, 'x'), Label(id));
}

TEST_F(AttributeTest, MoveKeepsTheOldRecordWholeUntilTheTableIsWritten) {
  // The object holds blocks 1 and 5, blocks 2-4 are free, nothing is free
  // after it: first fit would reuse block 1 and overwrite the old header
  // before the table changes; the move takes blocks 2-4 instead.
  Fill(kPrivate, 1, "a");                          // block 0
  const uint32_t gap = Fill(kPrivate, 1, "g")[0];  // block 1
  const std::vector<uint32_t> middle = Fill(kPrivate, 3, "m");  // blocks 2-4
  ASSERT_CKR(CKR_OK, store::DeleteTokenObject(slot_, gap));
  const uint32_t id = Grower(std::string(30, 'x'));  // two blocks: 1 and 5
  Fill(kPrivate, 10);                                // blocks 6-15
  for (uint32_t m : middle) ASSERT_CKR(CKR_OK, store::DeleteTokenObject(slot_, m));
  const uint8_t ni = TableEntries(kPrivate)[1];
  ASSERT_EQ(ni, TableEntries(kPrivate)[5]);
  ClearLog();
  ASSERT_CKR(CKR_OK, SetTokenAttributeValues(slot_, id, NewLabel(std::string(120, 'y'))));
  EXPECT_EQ(BlockOffset(2), Object(id)->offs);
  const Bytes table = TableEntries(kPrivate);
  EXPECT_EQ((Bytes{0, ni, ni, ni, 0}), Bytes(table.begin() + 1, table.begin() + 6));
  EXPECT_TRUE(BlockErased(AreaFile(kPrivate), 1));
  EXPECT_TRUE(BlockErased(AreaFile(kPrivate), 5));
  ASSERT_CKR(CKR_OK, Reinsert(true));
  EXPECT_EQ(std::string(120, 'y'), Label(id));
}

TEST_F(AttributeTest, ValueNoArrangementHolds) {
  const uint32_t id = Grower("x");
  Fill(kPrivate, 14);  // one block left
  const Bytes area = AreaFile(kPrivate);
  ClearLog();
  EXPECT_CKR(CKR_DEVICE_MEMORY, SetTokenAttributeValues(slot_, id, NewLabel(std::string(200, 'x'))));
  EXPECT_EQ(0u, Count(ins::kUpdate));
  EXPECT_EQ(area, AreaFile(kPrivate));
  EXPECT_TRUE(cache().objectsStale);
  EXPECT_EQ(Text("x"), Object(id)->attributes.at(CKA_LABEL));  // put back
  // A new search refreshes the maps; the object is as before.
  ASSERT_CKR(CKR_OK, store::SeekTokenObjectInit(slot_));
  EXPECT_EQ("x", Label(id));
  EXPECT_CKR(CKR_OK, SetTokenAttributeValues(slot_, id, NewLabel("z")));
}

TEST_F(AttributeTest, RefusedBeforeTheCard) {
  const uint32_t id = Grower("x");
  ClearLog();
  EXPECT_CKR(CKR_ATTRIBUTE_TYPE_INVALID, SetTokenAttributeValues(slot_, id, {{0x10003, {1}}}));
  EXPECT_CKR(CKR_ATTRIBUTE_VALUE_INVALID,
             SetTokenAttributeValues(slot_, id, {{CKA_LABEL, Bytes(0x10000, 'x')}}));
  cache().objectsStale = true;
  EXPECT_CKR(CKR_DEVICE_ERROR, SetTokenAttributeValues(slot_, id, NewLabel("y")));
  EXPECT_TRUE(Commands().empty());
  cache().objectsStale = false;
  // Unknown ids are refused without a card command too.
  EXPECT_CKR(CKR_FUNCTION_FAILED, SetTokenAttributeValues(slot_, id + 1, NewLabel("y")));
  AttributeList out{{CKA_LABEL, {}}};
  EXPECT_CKR(CKR_FUNCTION_FAILED, GetTokenAttributeValues(slot_, id + 1, out));
  EXPECT_TRUE(Commands().empty());
}

TEST_F(AttributeTest, KeyValueIsReadOnly) {
  const auto [priv, pub] = GenerateKeyPair("k");
  const Bytes area = AreaFile(kPrivate);
  const AttributeList before = Read(pub);
  for (uint32_t id : {priv, pub}) {
    ClearLog();
    EXPECT_CKR(CKR_ATTRIBUTE_READ_ONLY,
               SetTokenAttributeValues(slot_, id, {{CKA_LABEL, Text("new")}, {CKA_VALUE, Bytes(64, 1)}}));
    EXPECT_EQ(0u, Count(ins::kUpdate));
  }
  EXPECT_EQ(area, AreaFile(kPrivate));
  EXPECT_FALSE(cache().objectsStale);
  EXPECT_EQ(before, Read(pub));
  EXPECT_EQ(PrivateKeyTemplate("k"), Read(priv));
}

TEST_F(AttributeTest, ChangesByAnotherProcessAreDetected) {
  const uint32_t id = Grower("x");
  const uint32_t neighbour = Grower("n");
  slot::Slot& other = AnotherProcess();
  ASSERT_CKR(CKR_OK, SetTokenAttributeValues(other, id, NewLabel("other")));
  // The object's header changed on the card: refused, never served stale.
  AttributeList out;
  EXPECT_CKR(CKR_FUNCTION_FAILED, GetTokenAttributeValues(slot_, id, out));
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(cache().objectsStale);
  EXPECT_CKR(CKR_DEVICE_ERROR, SetTokenAttributeValues(slot_, id, NewLabel("mine")));
  ASSERT_CKR(CKR_OK, store::SeekTokenObjectInit(slot_));
  EXPECT_EQ("other", Label(id));

  // A table another process changed: refused for every object of the area.
  ASSERT_CKR(CKR_OK, SetTokenAttributeValues(other, neighbour, NewLabel(std::string(80, 'n'))));
  EXPECT_CKR(CKR_FUNCTION_FAILED, GetTokenAttributeValues(slot_, id, out));
  ASSERT_CKR(CKR_OK, store::SeekTokenObjectInit(slot_));
  EXPECT_CKR(CKR_OK, SetTokenAttributeValues(slot_, id, NewLabel("mine")));
  EXPECT_EQ(std::string(80, 'n'), Label(neighbour));
}

}  // namespace
}  // namespace zorad::test
