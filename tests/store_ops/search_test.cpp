// Finding token objects by id and enumerating them, private ones first,
// each read fresh from the card.
#include <gtest/gtest.h>

#include <algorithm>

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
  // Every id the enumeration returns, with the labels read on the way.
  std::vector<uint32_t> Enumerate(std::vector<std::string>* labels = nullptr) {
    std::vector<uint32_t> ids;
    EXPECT_CKR(CKR_OK, SeekTokenObjectInit(slot_));
    uint32_t id = 0;
    for (int i = 0; i < 64; ++i) {
      const AttributeList* attributes = nullptr;
      EXPECT_CKR(CKR_OK, SeekTokenObject(slot_, id, &attributes, &id));
      if (id == 0) {
        EXPECT_EQ(nullptr, attributes);
        break;
      }
      ids.push_back(id);
      if (labels && attributes) {
        const Bytes& label = attributes->at(CKA_LABEL);
        labels->emplace_back(label.begin(), label.end());
      }
    }
    return ids;
  }
};

TEST_F(SearchTest, PrivateObjectsFirstEachAreaInIdOrder) {
  std::vector<uint32_t> priv = Fill(kPrivate, 2, "p");
  std::vector<uint32_t> pub = Fill(kPublic, 2, "q");
  std::sort(priv.begin(), priv.end());
  std::sort(pub.begin(), pub.end());
  std::vector<uint32_t> expected = priv;
  expected.insert(expected.end(), pub.begin(), pub.end());
  std::vector<std::string> labels;
  EXPECT_EQ(expected, Enumerate(&labels));
  ASSERT_EQ(4u, labels.size());
  EXPECT_EQ('p', labels[0][0]);
  EXPECT_EQ('q', labels[3][0]);

  // Not logged in: only the public objects, and private ids are unknown.
  ASSERT_CKR(CKR_OK, Attach(false));
  EXPECT_EQ(pub, Enumerate());
  EXPECT_EQ(nullptr, store::FindTokenObject(slot_, priv[0]));
}

TEST_F(SearchTest, EachObjectIsReadFromTheCard) {
  const uint32_t id = Fill(kPublic, 1)[0];
  ASSERT_CKR(CKR_OK, SeekTokenObjectInit(slot_));
  ClearLog();
  const AttributeList* attributes = nullptr;
  uint32_t next = 0;
  ASSERT_CKR(CKR_OK, SeekTokenObject(slot_, 0, &attributes, &next));
  EXPECT_EQ(id, next);
  // Application, identity, area, table, header, body: one object per call.
  EXPECT_EQ(6u, Commands().size());
  ClearLog();
  ASSERT_CKR(CKR_OK, SeekTokenObject(slot_, next, &attributes, &next));
  EXPECT_EQ(0u, next);
  EXPECT_TRUE(Commands().empty());
}

TEST_F(SearchTest, EmptyToken) {
  EXPECT_TRUE(Enumerate().empty());
}

TEST_F(SearchTest, FindPrefersThePrivateObjectWhileLoggedIn) {
  const uint32_t id = Fill(kPrivate, 1)[0];
  cache().publicObjects[id] = store::TokenObject{};  // the same id in both areas
  bool isPrivate = false;
  EXPECT_EQ(&cache().privateObjects.at(id), store::FindTokenObject(slot_, id, &isPrivate));
  EXPECT_TRUE(isPrivate);
  slot_.loginState = slot::kNobody;
  EXPECT_EQ(&cache().publicObjects.at(id), store::FindTokenObject(slot_, id, &isPrivate));
  EXPECT_FALSE(isPrivate);
}

TEST_F(SearchTest, PositionLostOrObjectChanged) {
  const std::vector<uint32_t> ids = Fill(kPublic, 2);
  const uint32_t first = std::min(ids[0], ids[1]);
  const uint32_t second = std::max(ids[0], ids[1]);
  ASSERT_CKR(CKR_OK, SeekTokenObjectInit(slot_));
  const AttributeList* attributes = nullptr;
  uint32_t next = 0;
  ASSERT_CKR(CKR_OK, SeekTokenObject(slot_, 0, &attributes, &next));
  ASSERT_EQ(first, next);

  // Another process rewrites the next object: its header no longer matches.
  slot::Slot& other = AnotherProcess();
  ASSERT_CKR(CKR_OK, store::SetTokenAttributeValues(other, second, {{CKA_LABEL, Text("x")}}));
  EXPECT_CKR(CKR_FUNCTION_FAILED, SeekTokenObject(slot_, first, &attributes, &next));
  EXPECT_EQ(0u, next);
  EXPECT_EQ(nullptr, attributes);

  // The previous object deleted between two calls.
  ASSERT_CKR(CKR_OK, SeekTokenObjectInit(slot_));
  ASSERT_CKR(CKR_OK, store::DeleteTokenObject(slot_, first));
  EXPECT_CKR(CKR_FUNCTION_FAILED, SeekTokenObject(slot_, first, &attributes, &next));
  EXPECT_CKR(CKR_FUNCTION_FAILED, SeekTokenObject(slot_, 0, nullptr, &next));
}

TEST_F(SearchTest, InitRefreshesOnlyTheSameToken) {
  const uint32_t id = Fill(kPublic, 1)[0];
  cache().objectsStale = true;
  ASSERT_CKR(CKR_OK, SeekTokenObjectInit(slot_));
  EXPECT_FALSE(cache().objectsStale);

  sim::CardPersonalisation other = Personalisation();
  other.serialNumber[6] = 0xEE;
  card_->ReplaceState(sim::Personalise(other));
  EXPECT_CKR(CKR_TOKEN_NOT_RECOGNIZED, SeekTokenObjectInit(slot_));
  EXPECT_EQ(1u, cache().publicObjects.count(id));
}

}  // namespace
}  // namespace zorad::test
