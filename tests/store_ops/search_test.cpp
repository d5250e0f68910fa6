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
  std::vector<store::ObjectKey> Enumerate() {
    std::vector<store::ObjectKey> ids;
    EXPECT_CKR(CKR_OK, SeekTokenObjectInit(slot_));
    const AttributeList* attributes = nullptr;
    for (store::ObjectKey id; ids.size() < 64;) {
      EXPECT_CKR(CKR_OK, SeekTokenObject(slot_, id, &attributes, &id));
      if (id.id == 0) break;
      EXPECT_EQ('f', attributes->at(CKA_LABEL)[0]);
      ids.push_back(id);
    }
    EXPECT_EQ(nullptr, attributes);
    return ids;
  }
};

TEST_F(SearchTest, PrivateObjectsFirstEachAreaInIdOrder) {
  EXPECT_TRUE(Enumerate().empty());
  std::vector<store::ObjectKey> priv = Fill(kPrivate, 2), pub = Fill(kPublic, 2);
  std::ranges::sort(priv);
  std::ranges::sort(pub);
  std::vector<store::ObjectKey> expected = priv;
  expected.insert(expected.end(), pub.begin(), pub.end());
  EXPECT_EQ(expected, Enumerate());
  // Each step answers from what the search's beginning read.
  const AttributeList* attributes = nullptr;
  store::ObjectKey next;
  ClearLog();
  ASSERT_CKR(CKR_OK, SeekTokenObject(slot_, pub[0], &attributes, &next));
  EXPECT_EQ(0u, Commands().size());
  // Not logged in: only the public objects; private ids are unknown.
  ASSERT_CKR(CKR_OK, Attach(slot_, false));
  EXPECT_EQ(pub, Enumerate());
  EXPECT_EQ(nullptr, store::FindTokenObject(slot_, priv[0]));
}

// Ids are unique within an area only: the same id in both areas names two
// objects, and the walk meets each once (it went back to the private one
// forever).
TEST_F(SearchTest, OneIdInBothAreasIsTwoObjects) {
  const store::ObjectKey priv = Fill(kPrivate, 1)[0];
  const store::ObjectKey pub = Fill(kPublic, 1)[0];
  store::TokenObjectHeader same = Object(pub)->toh;
  same.id = priv.id;
  same.Seal();
  card_->WriteFile(sim::kPublicAreaFid, Object(pub)->offs, same.Encode());
  EXPECT_EQ((std::vector<store::ObjectKey>{priv, store::PublicObject(priv.id)}), Enumerate());
  EXPECT_NE(store::FindTokenObject(slot_, priv), store::FindTokenObject(slot_, store::PublicObject(priv.id)));
}

// Another process rewrote the next object: the walk hands out what its
// beginning read, and the next search reads the object as it now is. The
// object handed out last was destroyed: the walk goes on after it.
TEST_F(SearchTest, ChangedAndDestroyedObjectsLeaveTheWalkGoingOn) {
  std::vector<store::ObjectKey> ids = Fill(kPublic, 3);
  std::ranges::sort(ids);
  ASSERT_CKR(CKR_OK, SeekTokenObjectInit(slot_));
  ASSERT_CKR(CKR_OK,
             store::SetTokenAttributeValues(AnotherProcess(), ids[1], {{CKA_LABEL, Text("x")}}));
  const AttributeList* attributes = nullptr;
  store::ObjectKey next;
  ASSERT_CKR(CKR_OK, SeekTokenObject(slot_, ids[0], &attributes, &next));
  EXPECT_EQ(ids[1], next);
  EXPECT_EQ('f', attributes->at(CKA_LABEL)[0]);
  ASSERT_CKR(CKR_OK, SeekTokenObjectInit(slot_));
  ASSERT_CKR(CKR_OK, SeekTokenObject(slot_, ids[0], &attributes, &next));
  EXPECT_EQ(Text("x"), attributes->at(CKA_LABEL));
  ASSERT_CKR(CKR_OK, store::DeleteTokenObject(slot_, ids[1]));
  ASSERT_CKR(CKR_OK, SeekTokenObject(slot_, ids[1], &attributes, &next));
  EXPECT_EQ(ids[2], next);
  EXPECT_CKR(CKR_FUNCTION_FAILED, SeekTokenObject(slot_, {}, nullptr, &next));
}

// The module never writes id 0: a record carrying it (here with a damaged
// body too) is passed over and never ends the enumeration.
TEST_F(SearchTest, RecordWithIdZeroIsPassedOver) {
  std::vector<store::ObjectKey> ids = Fill(kPublic, 3);
  std::ranges::sort(ids);
  store::TokenObjectHeader zero = Object(ids[0])->toh;
  zero.id = 0;
  zero.crc ^= 1;
  zero.Seal();
  card_->WriteFile(sim::kPublicAreaFid, Object(ids[0])->offs, zero.Encode());
  EXPECT_EQ((std::vector<store::ObjectKey>{ids[1], ids[2]}), Enumerate());
}

TEST_F(SearchTest, InitRefreshesOnlyTheSameToken) {
  const store::ObjectKey id = Fill(kPublic, 1)[0];
  cache().objectsStale = true;
  ASSERT_CKR(CKR_OK, SeekTokenObjectInit(slot_));
  EXPECT_FALSE(cache().objectsStale);
  sim::CardState other = card_->State();
  other.settings.serialNumber[6] = 0xEE;
  card_->ReplaceState(other);
  EXPECT_CKR(CKR_TOKEN_NOT_RECOGNIZED, SeekTokenObjectInit(slot_));
  EXPECT_EQ(1u, maps().publicObjects.count(id.id));
}

}  // namespace
}  // namespace zorad::test
