// Finding token objects by id and enumerating them, private ones first,
// each read fresh from the card.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/card/card_state.h"
#include "store/attribute_access.h"
#include "store/object_delete.h"
#include "store/object_search.h"
#include "store_ops_fixture.h"
#include "support/ckr_names.h"

namespace zorad::test {
namespace {

using store::SeekTokenObject;
using store::SeekTokenObjectInit;

class SearchTest : public StoreOpsTest {
 protected:
  std::vector<uint32_t> Enumerate() {
    std::vector<uint32_t> ids;
    EXPECT_CKR(CKR_OK, SeekTokenObjectInit(slot_));
    const AttributeList* attributes = nullptr;
    for (uint32_t id = 0; ids.size() < 64;) {
      EXPECT_CKR(CKR_OK, SeekTokenObject(slot_, id, &attributes, &id));
      if (id == 0) break;
      EXPECT_EQ('f', attributes->at(CKA_LABEL)[0]);
      ids.push_back(id);
    }
    EXPECT_EQ(nullptr, attributes);
    return ids;
  }
};

TEST_F(SearchTest, PrivateObjectsFirstEachAreaInIdOrder) {
  EXPECT_TRUE(Enumerate().empty());
  std::vector<uint32_t> priv = Fill(kPrivate, 2), pub = Fill(kPublic, 2);
  std::ranges::sort(priv);
  std::ranges::sort(pub);
  std::vector<uint32_t> expected = priv;
  expected.insert(expected.end(), pub.begin(), pub.end());
  EXPECT_EQ(expected, Enumerate());
  // One object per call: application, identity, area, table, header, body.
  const AttributeList* attributes = nullptr;
  uint32_t next = 0;
  ClearLog();
  ASSERT_CKR(CKR_OK, SeekTokenObject(slot_, pub[0], &attributes, &next));
  EXPECT_EQ(6u, Commands().size());
  // Not logged in: only the public objects; private ids are unknown.
  ASSERT_CKR(CKR_OK, Attach(slot_, false));
  EXPECT_EQ(pub, Enumerate());
  EXPECT_EQ(nullptr, store::FindTokenObject(slot_, priv[0]));
}

TEST_F(SearchTest, FindPrefersThePrivateObjectWhileLoggedIn) {
  const uint32_t id = Fill(kPrivate, 1)[0];
  maps().publicObjects[id] = store::TokenObject{};  // the same id in both areas
  bool isPrivate = false;
  EXPECT_EQ(&maps().privateObjects.at(id), store::FindTokenObject(slot_, id, &isPrivate));
  EXPECT_TRUE(isPrivate);
  slot_.loginState = card::kNobody;
  EXPECT_EQ(&maps().publicObjects.at(id), store::FindTokenObject(slot_, id, &isPrivate));
  EXPECT_FALSE(isPrivate);
}

TEST_F(SearchTest, PositionLostOrObjectChanged) {
  std::vector<uint32_t> ids = Fill(kPublic, 2);
  std::ranges::sort(ids);
  ASSERT_CKR(CKR_OK, SeekTokenObjectInit(slot_));
  // Another process rewrites the next object: its header no longer matches.
  ASSERT_CKR(CKR_OK,
             store::SetTokenAttributeValues(AnotherProcess(), ids[1], {{CKA_LABEL, Text("x")}}));
  const AttributeList* attributes = nullptr;
  uint32_t next = 0;
  EXPECT_CKR(CKR_FUNCTION_FAILED, SeekTokenObject(slot_, ids[0], &attributes, &next));
  EXPECT_EQ(0u, next);
  // The previous object deleted between two calls.
  ASSERT_CKR(CKR_OK, SeekTokenObjectInit(slot_));
  ASSERT_CKR(CKR_OK, store::DeleteTokenObject(slot_, ids[0]));
  EXPECT_CKR(CKR_FUNCTION_FAILED, SeekTokenObject(slot_, ids[0], &attributes, &next));
  EXPECT_CKR(CKR_FUNCTION_FAILED, SeekTokenObject(slot_, 0, nullptr, &next));
}

// The module never writes id 0: a record carrying it (here with a damaged
// body too) is passed over and never ends the enumeration.
TEST_F(SearchTest, RecordWithIdZeroIsPassedOver) {
  std::vector<uint32_t> ids = Fill(kPublic, 3);
  std::ranges::sort(ids);
  store::TokenObjectHeader zero = Object(ids[0])->toh;
  zero.id = 0;
  zero.crc ^= 1;
  zero.Seal();
  card_->WriteFile(sim::kPublicAreaFid, Object(ids[0])->offs, zero.Encode());
  EXPECT_EQ((std::vector<uint32_t>{ids[1], ids[2]}), Enumerate());
}

TEST_F(SearchTest, InitRefreshesOnlyTheSameToken) {
  const uint32_t id = Fill(kPublic, 1)[0];
  cache().objectsStale = true;
  ASSERT_CKR(CKR_OK, SeekTokenObjectInit(slot_));
  EXPECT_FALSE(cache().objectsStale);
  sim::CardState other = card_->State();
  other.settings.serialNumber[6] = 0xEE;
  card_->ReplaceState(other);
  EXPECT_CKR(CKR_TOKEN_NOT_RECOGNIZED, SeekTokenObjectInit(slot_));
  EXPECT_EQ(1u, maps().publicObjects.count(id));
}

}  // namespace
}  // namespace zorad::test
