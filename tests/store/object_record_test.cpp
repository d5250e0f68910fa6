#include <gtest/gtest.h>

#include "card/apdu.h"
#include "card/area_select.h"
#include "card/crc32.h"
#include "store/object_record.h"
#include "store/object_refresh.h"
#include "store/record_body.h"
#include "store/template_summary.h"
#include "store/toat.h"
#include "store_card_fixture.h"
#include "support/ckr_names.h"

namespace zorad::test {
namespace {

using store::AttributeList;
using store::TokenObject;
using store::TokenObjectHeader;

constexpr bool kPublic = false;
constexpr bool kPrivate = true;

const AttributeList kDataObject{
    {CKA_CLASS, {0, 0, 0, 0}}, {CKA_TOKEN, {1}}, {CKA_LABEL, {0x61, 0x62}}};

TokenObjectHeader Header(uint32_t id, uint8_t keyRef = 0) {
  TokenObjectHeader h;
  h.id = id;
  h.keyRef = keyRef;
  return h;
}

Bytes Slice(const Bytes& b, size_t from, size_t length) {
  return Bytes(b.begin() + from, b.begin() + from + length);
}

class ObjectRecordTest : public StoreCardTest {
 protected:
  // A new object in the public area, written and listed on the card.
  TokenObject Create(uint32_t id, const AttributeList& attributes) {
    TokenObject object;
    uint8_t ni = 0;
    uint16_t first = 0;
    const auto size = store::SummarizeAttributes(attributes).bodySize + store::kHeaderSize;
    EXPECT_CKR(CKR_OK, store::CreateObjectInTOAT(*slot_.token, uint32_t(size), ni, first));
    object.offs = 64 + first * 64u;
    object.toh.id = id;
    object.attributes = attributes;
    EXPECT_CKR(CKR_OK, store::UpdateTokenObject(slot_, object));
    EXPECT_CKR(CKR_OK, card::UpdateTOAT(slot_));
    return object;
  }
};

TEST_F(ObjectRecordTest, DataObjectRecordByteForByte) {
  ASSERT_CKR(CKR_OK, card::SelectArea(slot_, kPublic));
  ClearLog();
  TokenObject object = Create(0x0A0B0C0D, kDataObject);
  const Bytes body{0x00, 0x00, 0x00, 0x04, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x01, 0x01,
                   0x00, 0x03, 0x00, 0x02, 0x61, 0x62};
  const Bytes file = AreaFile(kPublic);
  EXPECT_EQ((Bytes{0x00, 0x0A, 0x0B, 0x0C, 0x0D, 0x00, 0x01, 0x00, 0x13}), Slice(file, 72, 9));
  EXPECT_EQ(card::CRC32(body), object.toh.crc);
  const auto header = object.toh.Encode();
  EXPECT_EQ(Bytes(header.begin(), header.end()), Slice(file, 64, 17));
  EXPECT_EQ(body, Slice(file, 81, 19));
  EXPECT_EQ(Bytes(64 - 36, 0), Slice(file, 100, 28)) << "rest of the block zero";
  // One whole-block write, then the table.
  const auto commands = Commands();
  ASSERT_EQ(2u, commands.size());
  EXPECT_EQ((Bytes{0x00, 0xD6, 0x00, 0x40, 64}), Slice(commands[0], 0, 5));

  // Read back as another operation would.
  ASSERT_CKR(CKR_OK, card::SelectArea(slot_, kPublic));
  ASSERT_CKR(CKR_OK, store::RefreshTokenObjects(slot_));
  ASSERT_EQ(1u, maps().publicObjects.count(0x0A0B0C0D));
  TokenObject& read = maps().publicObjects.at(0x0A0B0C0D);
  EXPECT_EQ(object.toh, read.toh);
  ASSERT_CKR(CKR_OK, store::ReadTokenObjectAttributes(slot_, read));
  EXPECT_EQ(kDataObject, read.attributes);
}

TEST_F(ObjectRecordTest, RecordOverTwoBlocksAndUpdateCounts) {
  ASSERT_CKR(CKR_OK, card::SelectArea(slot_, kPublic));
  WriteArea(kPublic, 64, Bytes(128, 0xEE));  // leftovers that the write must clear
  ClearLog();
  TokenObject object = Create(7, {{CKA_LABEL, Bytes(96, 0x41)}});  // body 100 bytes
  EXPECT_EQ(1, object.toh.updateCount);
  const auto commands = Commands();
  ASSERT_EQ(3u, commands.size()) << "two whole blocks and the table";
  EXPECT_EQ((Bytes{0x00, 0xD6, 0x00, 0x40, 64}), Slice(commands[0], 0, 5));
  EXPECT_EQ((Bytes{0x00, 0xD6, 0x00, 0x80, 64}), Slice(commands[1], 0, 5));
  EXPECT_EQ(Bytes(11, 0), Slice(AreaFile(kPublic), 64 + 117, 11));

  ASSERT_CKR(CKR_OK, store::UpdateTokenObject(slot_, object));
  EXPECT_EQ(2, object.toh.updateCount);
  object.toh.keyRef = 9;
  ASSERT_CKR(CKR_OK, store::UpdateTokenObjectHeader(slot_, object));
  TokenObjectHeader onCard;
  ASSERT_CKR(CKR_OK, store::ReadTokenObjectHeader(slot_, 64, onCard));
  EXPECT_EQ(2, onCard.updateCount);
  EXPECT_EQ(9, onCard.keyRef);
  ASSERT_CKR(CKR_OK, store::ReadTokenObjectAttributes(slot_, object));
  EXPECT_EQ(Bytes(96, 0x41), object.attributes.at(CKA_LABEL));
}

TEST_F(ObjectRecordTest, EmptyBodyStillTakesABlock) {
  ASSERT_CKR(CKR_OK, card::SelectArea(slot_, kPublic));
  TokenObject object = Create(3, {});
  EXPECT_EQ(0xFFFFFFFFu, object.toh.crc);
  EXPECT_EQ(0, object.toh.size);
  EXPECT_EQ(uint8_t{1}, cache().toat()->Entries()[0]);
  ASSERT_CKR(CKR_OK, store::ReadTokenObjectAttributes(slot_, object));
  EXPECT_TRUE(object.attributes.empty());
}

TEST_F(ObjectRecordTest, WritesRefusedBeforeAnythingIsSent) {
  ASSERT_CKR(CKR_OK, card::SelectArea(slot_, kPublic));
  TokenObject object = Create(3, {{CKA_LABEL, {1}}});
  const TokenObjectHeader before = object.toh;
  ClearLog();
  struct Case {
    const char* what;
    AttributeList attributes;
    CK_RV rv;
  };
  const Case cases[] = {
      {"type beyond 16 bits", {{0x12345, {}}}, CKR_ATTRIBUTE_TYPE_INVALID},
      {"value beyond 65535 bytes", {{CKA_LABEL, Bytes(0x10000)}}, CKR_ATTRIBUTE_VALUE_INVALID},
      {"more than the object's one block", {{CKA_LABEL, Bytes(64)}}, CKR_DEVICE_ERROR},
  };
  for (const auto& c : cases) {
    object.attributes = c.attributes;
    EXPECT_CKR(c.rv, store::UpdateTokenObject(slot_, object)) << c.what;
  }
  EXPECT_TRUE(Commands().empty());
  EXPECT_EQ(before, object.toh) << "header untouched";
}

TEST_F(ObjectRecordTest, RefreshReadsOneHeaderPerObjectAndCountsFreeSpace) {
  LoginUser();
  WriteTable(kPrivate, {1, 1, 2, 0, 2});
  WriteRecord(kPrivate, 64, Header(0x11), Bytes(100, 0));
  WriteRecord(kPrivate, 264, Header(0x22), {});
  ASSERT_CKR(CKR_OK, card::SelectArea(slot_, kPrivate));
  ClearLog();
  uint32_t freeSpace = 0;
  std::vector<uint32_t> visited;
  ASSERT_CKR(CKR_OK, store::RefreshTokenObjects(slot_, &freeSpace, [&](const TokenObject& o) {
    visited.push_back(o.toh.id);
    return true;
  }));
  // Records first seen: each read brings the start of the body over the
  // first run of its blocks; known ones later: the header alone.
  EXPECT_EQ((std::vector<Bytes>{{0x00, 0xB0, 0x00, 0x40, 200}, {0x00, 0xB0, 0x01, 0x08, 100}}),
            Commands());
  ClearLog();
  ASSERT_CKR(CKR_OK, store::RefreshTokenObjects(slot_));
  EXPECT_EQ((std::vector<Bytes>{{0x00, 0xB0, 0x00, 0x40, 17}, {0x00, 0xB0, 0x01, 0x08, 17}}),
            Commands());
  EXPECT_EQ(100u, freeSpace);
  EXPECT_EQ((std::vector<uint32_t>{0x11, 0x22}), visited);
  ASSERT_EQ(2u, maps().privateObjects.size());
  EXPECT_EQ(264u, maps().privateObjects.at(0x22).offs);
  EXPECT_TRUE(maps().publicObjects.empty());
}

TEST_F(ObjectRecordTest, FailedRefreshKeepsTheOldMap) {
  struct Case {
    const char* what;
    uint32_t secondId;
    bool breakSecondHeader;
    bool visitorRefuses;
  };
  const Case cases[] = {
      {"duplicate id", 0x11, false, false},
      {"header checksum wrong", 0x22, true, false},
      {"visitor refuses", 0x22, false, true},
  };
  for (const auto& c : cases) {
    Start(DefaultPersonalisation());
    WriteTable(kPublic, {1, 2, 0, 0, 0, 0, 0, 0, 0, 0});
    WriteRecord(kPublic, 64, Header(0x11), {});
    WriteRecord(kPublic, 128, Header(c.secondId), {});
    if (c.breakSecondHeader) WriteArea(kPublic, 128 + 10, {0x99});
    maps().publicObjects[5].toh.id = 5;  // the map as an earlier refresh left it
    ASSERT_CKR(CKR_OK, card::SelectArea(slot_, kPublic));
    cache().objectsStale = false;
    uint32_t freeSpace = 1234;
    EXPECT_CKR(CKR_FUNCTION_FAILED,
               store::RefreshTokenObjects(slot_, &freeSpace,
                                          [&](const TokenObject&) { return !c.visitorRefuses; }))
        << c.what;
    EXPECT_TRUE(cache().objectsStale) << c.what;
    EXPECT_EQ(1u, maps().publicObjects.count(5)) << c.what;
    EXPECT_EQ(1u, maps().publicObjects.size()) << c.what;
    EXPECT_EQ(1234u, freeSpace) << c.what;
  }
}

TEST_F(ObjectRecordTest, UnsoundRecordsFailToRead) {
  struct Case {
    const char* what;
    Bytes entries;
    Bytes body;       // written with a matching crc
    int sizeDelta;    // added to the header's size after sealing the crc
    bool breakCrc;
  };
  const Bytes label{0x00, 0x03, 0x00, 0x02, 0x61, 0x62};
  const Case cases[] = {
      {"body checksum wrong", {1, 0}, label, 0, true},
      {"record length runs past the body", {1, 0}, {0x00, 0x03, 0x00, 0x09, 0x61, 0x62}, 0, false},
      {"record head cut short", {1, 0}, {0x00, 0x03, 0x00}, 0, false},
      {"size beyond the object's blocks", {1, 0}, label, 200, false},
      {"first block not listed", {0, 0}, label, 0, false},
      {"a lower block carries its number", {1, 1}, label, 0, false},
  };
  for (const auto& c : cases) {
    Start(DefaultPersonalisation());
    Bytes entries = c.entries;
    entries.resize(10, 0);
    WriteTable(kPublic, entries);
    TokenObject object;
    object.offs = c.what == std::string("a lower block carries its number") ? 128 : 64;
    object.toh.id = 1;
    WriteRecord(kPublic, object.offs, object.toh, c.body);
    ASSERT_CKR(CKR_OK, card::SelectArea(slot_, kPublic));
    ASSERT_CKR(CKR_OK, store::ReadTokenObjectHeader(slot_, object.offs, object.toh));
    object.toh.size = static_cast<uint16_t>(object.toh.size + c.sizeDelta);
    if (c.breakCrc) object.toh.crc ^= 1;
    cache().objectsStale = false;
    EXPECT_CKR(CKR_DEVICE_ERROR, store::ReadTokenObjectAttributes(slot_, object)) << c.what;
    EXPECT_TRUE(cache().objectsStale) << c.what;
    EXPECT_TRUE(object.attributes.empty()) << c.what;
  }
}

class PublicKeyTest : public ObjectRecordTest {
 protected:
  void SetUp() override {
    ObjectRecordTest::SetUp();
    auto state = card_->State();
    sim::GostPublicKey q{};
    for (size_t i = 0; i < q.size(); ++i) q[i] = static_cast<uint8_t>(i);
    state.keys[5] = sim::KeySlot{std::nullopt, q};
    card_->ReplaceState(state);
    ASSERT_EQ(reader::RDR_OK, card::APDU_SelectApp(slot_.reader.get()));
    ASSERT_CKR(CKR_OK, card::SelectArea(slot_, kPublic));
  }

  AttributeList ReadKey(uint32_t objectClass, uint8_t keyRef) {
    const AttributeList key{{CKA_CLASS, {uint8_t(objectClass), 0, 0, 0}},
                            {CKA_KEY_TYPE, {0x30, 0, 0, 0}},
                            {CKA_VALUE, Bytes(64, 0xCC)}};  // a value written by someone else
    WriteTable(kPublic, {1, 1, 0, 0, 0, 0, 0, 0, 0, 0});
    WriteRecord(kPublic, 64, Header(1, keyRef), store::EncodeBody(key, false));
    EXPECT_CKR(CKR_OK, card::SelectArea(slot_, kPublic));
    TokenObject object;
    object.offs = 64;
    EXPECT_CKR(CKR_OK, store::ReadTokenObjectHeader(slot_, 64, object.toh));
    ClearLog();
    EXPECT_CKR(CKR_OK, store::ReadTokenObjectAttributes(slot_, object));
    return object.attributes;
  }
};

TEST_F(PublicKeyTest, ValueComesFromTheKeySlotWithEachHalfReversed) {
  const AttributeList attributes = ReadKey(CKO_PUBLIC_KEY, 5);
  Bytes expected;
  for (int i = 31; i >= 0; --i) expected.push_back(uint8_t(i));
  for (int i = 63; i >= 32; --i) expected.push_back(uint8_t(i));
  EXPECT_EQ(expected, attributes.at(CKA_VALUE));
  const auto commands = Commands();
  ASSERT_EQ(2u, commands.size()) << "one read over both blocks, READ PUBLIC KEY";
  EXPECT_EQ((Bytes{0x00, 0x46, 0x01, 0x05, 0x00}), commands[1]);
  // The area file is selected again by the next command on the area only.
  ClearLog();
  store::TokenObjectHeader header;
  ASSERT_CKR(CKR_OK, store::ReadTokenObjectHeader(slot_, 64, header));
  EXPECT_EQ((Bytes{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x00, 0x09}), Commands().at(0));
}

TEST_F(PublicKeyTest, KeysWithoutKeySlotValueHaveNoValue) {
  EXPECT_EQ(0u, ReadKey(CKO_PUBLIC_KEY, 0).count(CKA_VALUE));
  EXPECT_EQ(1u, Commands().size()) << "the body only";
  EXPECT_EQ(0u, ReadKey(CKO_PRIVATE_KEY, 5).count(CKA_VALUE));
  EXPECT_EQ(1u, Commands().size()) << "the body only";
}

TEST_F(PublicKeyTest, KeySlotReadFailureIsADeviceError) {
  card_->AnswerMatching({0x00, 0x46}, 0x6A88);
  cache().objectsStale = false;
  WriteTable(kPublic, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  WriteRecord(kPublic, 64, Header(1, 6),
              store::EncodeBody({{CKA_CLASS, {2}}, {CKA_KEY_TYPE, {0x30}}}, false));
  ASSERT_CKR(CKR_OK, card::SelectArea(slot_, kPublic));
  TokenObject object;
  object.offs = 64;
  ASSERT_CKR(CKR_OK, store::ReadTokenObjectHeader(slot_, 64, object.toh));
  EXPECT_CKR(CKR_DEVICE_ERROR, store::ReadTokenObjectAttributes(slot_, object));
  EXPECT_TRUE(cache().objectsStale);
}

TEST_F(ObjectRecordTest, RereadNoticesARewriteByAnotherProcess) {
  ASSERT_CKR(CKR_OK, card::SelectArea(slot_, kPublic));
  TokenObject mine = Create(4, kDataObject);
  TokenObject theirs = mine;
  ASSERT_CKR(CKR_OK, store::UpdateTokenObject(slot_, theirs));  // same content, new count
  bool changed = false;
  ASSERT_CKR(CKR_OK, store::RereadTokenObjectHeader(slot_, mine, changed));
  EXPECT_TRUE(changed);
  EXPECT_EQ(theirs.toh, mine.toh);
  ASSERT_CKR(CKR_OK, store::RereadTokenObjectHeader(slot_, mine, changed));
  EXPECT_FALSE(changed);

  WriteArea(kPublic, 64 + 12, {0x55});  // header damaged
  EXPECT_CKR(CKR_TOKEN_NOT_RECOGNIZED, store::RereadTokenObjectHeader(slot_, mine, changed));
  EXPECT_EQ(TokenObjectHeader{}, mine.toh);
}

}  // namespace
}  // namespace zorad::test
