// Integer attribute values: 4 bytes little-endian on the card on every
// platform, CK_ULONG-sized at the application boundary.
#include <gtest/gtest.h>

#include "api/integer_attributes.h"
#include "session/object_table.h"
#include "slot/slot_table.h"
#include "store/attribute_access.h"
#include "store/object_create.h"
#include "support/token_fixture.h"

namespace zorad::test {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr bool kWide = sizeof(CK_ULONG) == 8;

Bytes Native(CK_ULONG value) {
  Bytes bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}
Bytes Wide(uint64_t value) {
  Bytes bytes(8);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}
Bytes Card(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

TEST(IntegerAttributesTest, NarrowingAndWidening) {
  if (!kWide) GTEST_SKIP() << "CK_ULONG is the card's size: both directions are the identity";
  struct Case {
    uint32_t type;
    Bytes given;
    Bytes narrowed;  // empty: refused
    Bytes widened;
  };
  const Case cases[] = {
      {CKA_CLASS, Wide(CKO_PRIVATE_KEY), Card(CKO_PRIVATE_KEY), Wide(CKO_PRIVATE_KEY)},
      {CKA_KEY_TYPE, Wide(0xFFFFFFFFu), Card(0xFFFFFFFFu), Wide(0xFFFFFFFFu)},
      {CKA_JAVA_MIDP_SECURITY_DOMAIN, Wide(1), Card(1), Wide(1)},
      {CKA_VALUE_LEN, Wide(0x100000000ull), {}, {}},
      {CKA_CLASS, Card(3), Card(3), Wide(3)},     // already in the card's form
      {CKA_CLASS, Bytes{3}, Bytes{3}, Bytes{3}},  // odd sizes pass as they are
      {CKA_LABEL, Wide(7), Wide(7), Wide(7)},     // not an integer attribute
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    store::AttributeList list{{c.type, c.given}, {CKA_ID, Bytes{1, 2}}};
    if (c.narrowed.empty()) {
      EXPECT_CKR(CKR_ATTRIBUTE_VALUE_INVALID, api::NarrowIntegerAttributes(list));
      EXPECT_EQ(c.given, list[c.type]);
      continue;
    }
    ASSERT_CKR(CKR_OK, api::NarrowIntegerAttributes(list));
    EXPECT_EQ(c.narrowed, list[c.type]);
    api::WidenIntegerAttributes(list);
    EXPECT_EQ(c.widened, list[c.type]);
    EXPECT_EQ((Bytes{1, 2}), list[CKA_ID]);
  }
}

class IntegerAttributesOnCardTest : public UserSessionTest {
 protected:
  // A key pair as the card generates it: class and key type in the card's
  // 4-byte form, written by the store itself.
  uint32_t GenerateKeyPair() {
    slot::Slot* slot = slot::FindSlot(slotId_);
    EXPECT_NE(nullptr, slot);
    if (slot == nullptr) return 0;
    const Bytes paramSetA{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
    store::AttributeList privateKey{{CKA_CLASS, Card(CKO_PRIVATE_KEY)},
                                    {CKA_KEY_TYPE, Card(CKK_GOSTR3410)},
                                    {CKA_TOKEN, {1}},
                                    {CKA_PRIVATE, {1}},
                                    {CKA_SIGN, {1}}};
    store::AttributeList publicKey{{CKA_CLASS, Card(CKO_PUBLIC_KEY)},
                                   {CKA_KEY_TYPE, Card(CKK_GOSTR3410)},
                                   {CKA_TOKEN, {1}},
                                   {CKA_GOSTR3410_PARAMS, paramSetA}};
    store::ObjectKey privateId, publicId;
    EXPECT_CKR(CKR_OK,
               store::CreateTokenObject(*slot, &privateId, privateKey, &publicId, &publicKey));
    return privateId.id;
  }
};

TEST_F(IntegerAttributesOnCardTest, SearchByClassFindsACardGeneratedKey) {
  ASSERT_NE(0u, GenerateKeyPair());
  Template privateKeys;
  privateKeys.Ulong(CKA_CLASS, CKO_PRIVATE_KEY);
  const std::vector<CK_OBJECT_HANDLE> found = FindAll(session_, privateKeys);
  ASSERT_EQ(1u, found.size());

  CK_ULONG keyClass = 0;
  CK_ATTRIBUTE attribute{CKA_CLASS, &keyClass, sizeof keyClass};
  ASSERT_CKR(CKR_OK, C_GetAttributeValue(session_, found[0], &attribute, 1));
  EXPECT_EQ(sizeof(CK_ULONG), attribute.ulValueLen);
  EXPECT_EQ(static_cast<CK_ULONG>(CKO_PRIVATE_KEY), keyClass);
}

TEST_F(IntegerAttributesOnCardTest, CreatedObjectsKeepTheCardsForm) {
  const CK_OBJECT_HANDLE onCard = CreateData("card", true);
  const CK_OBJECT_HANDLE inMemory = CreateData("memory", false);

  const session::ObjectEntry* entry = session::FindObjectEntry(onCard);
  ASSERT_NE(nullptr, entry);
  store::AttributeList stored;
  ASSERT_CKR(CKR_OK, store::GetTokenAttributeValues(*slot::FindSlot(slotId_), entry->tokenObject,
                                                    stored));
  EXPECT_EQ(Card(CKO_DATA), stored[CKA_CLASS]);
  EXPECT_EQ(Card(CKO_DATA), session::FindObjectEntry(inMemory)->attributes.at(CKA_CLASS));

  Template data;
  data.Ulong(CKA_CLASS, CKO_DATA);
  EXPECT_EQ((std::vector<CK_OBJECT_HANDLE>{onCard, inMemory}), FindAll(session_, data));
  EXPECT_EQ(Native(CKO_DATA), ReadAttribute(session_, onCard, CKA_CLASS));

  Template length;
  length.Ulong(CKA_VALUE_LEN, 32);
  ASSERT_CKR(CKR_OK, C_SetAttributeValue(session_, inMemory, length.data(), length.size()));
  EXPECT_EQ(Card(32), session::FindObjectEntry(inMemory)->attributes.at(CKA_VALUE_LEN));
  EXPECT_EQ(Native(32), ReadAttribute(session_, inMemory, CKA_VALUE_LEN));
}

TEST_F(IntegerAttributesOnCardTest, ValuesBeyondTheCardsRangeAreRefused) {
  if (!kWide) GTEST_SKIP() << "a 4-byte CK_ULONG always fits";
  Template object;
  object.Bytes(CKA_CLASS, Wide(0x100000000ull)).Bool(CKA_TOKEN, true);
  const size_t entriesBefore = session::Objects().size();
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  EXPECT_CKR(CKR_ATTRIBUTE_VALUE_INVALID,
             C_CreateObject(session_, object.data(), object.size(), &handle));
  EXPECT_EQ(entriesBefore, session::Objects().size());
  EXPECT_CKR(CKR_ATTRIBUTE_VALUE_INVALID, C_FindObjectsInit(session_, object.data(), 1));
}

}  // namespace
}  // namespace zorad::test
