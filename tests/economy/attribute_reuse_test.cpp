// Attributes already read from a record are kept while the record is
// unchanged, also across a refresh of the object list, so that deleting an
// object does not read its body again just to learn its class.
#include <gtest/gtest.h>

#include "store/attribute_access.h"
#include "store/object_delete.h"
#include "store_ops/store_ops_fixture.h"
#include "support/ckr_names.h"

namespace zorad::test {
namespace {

constexpr uint8_t kReadBinary = 0xB0;

class AttributeReuseTest : public StoreOpsTest {};

TEST_F(AttributeReuseTest, RefreshKeepsTheAttributesOfUnchangedRecordsOnly) {
  const store::ObjectKey kept = Create(DataTemplate("kept", kPublic));
  const store::ObjectKey rewritten = Create(DataTemplate("rewritten", kPublic));
  ASSERT_CKR(CKR_OK, store::SetTokenAttributeValues(AnotherProcess(), rewritten,
                                                    {{CKA_LABEL, Text("other")}}));
  Create(DataTemplate("third", kPublic));  // refreshes the public object list
  EXPECT_EQ(Text("kept"), Object(kept)->attributes.at(CKA_LABEL));
  EXPECT_TRUE(Object(rewritten)->attributes.empty());
  EXPECT_EQ("other", Label(rewritten));
}

TEST_F(AttributeReuseTest, PrivateKeyDeletedAfterARefreshIsNotReadAgain) {
  const auto [privateKey, publicKey] = GenerateKeyPair("k");
  Create(DataTemplate("after", kPrivate));  // refreshes the private object list
  ClearLog();
  uint32_t partner = 0;
  ASSERT_CKR(CKR_OK, store::DeleteTokenObject(slot_, privateKey, &partner));
  EXPECT_EQ(publicKey.id, partner);
  EXPECT_EQ(1u, Count(kKeyPair)) << "the key slot is regenerated";
  EXPECT_EQ(3u, Count(kReadBinary)) << "the table and both headers, no body";
}

}  // namespace
}  // namespace zorad::test
