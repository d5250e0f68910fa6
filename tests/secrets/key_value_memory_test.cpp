// An imported key's value goes to the card's key slot and nowhere else: the
// handle the application gets keeps no copy of it in the module's memory,
// whether the card took the key or refused it. A session key has no other
// home and keeps its value.
#include <gtest/gtest.h>

#include "session/object_table.h"
#include "support/token_fixture.h"

namespace zorad::test {
namespace {

using Bytes = std::vector<uint8_t>;

class KeyValueMemoryTest : public UserSessionTest {};

TEST_F(KeyValueMemoryTest, TokenKeyHandlesHoldNoKeyValue) {
  Bytes scalar(32);
  for (size_t i = 0; i < scalar.size(); ++i) scalar[i] = static_cast<uint8_t>(0x30 + i);
  struct Case {
    const char* what;
    bool token;
    bool valueKept;
  };
  for (const Case c : {Case{"token key", true, false}, Case{"session key", false, true}}) {
    SCOPED_TRACE(c.what);
    Template key;
    key.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Ulong(CKA_KEY_TYPE, CKK_GOSTR3410);
    key.Bool(CKA_TOKEN, c.token).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true);
    key.Text(CKA_LABEL, c.what).Bytes(CKA_VALUE, scalar);
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    ASSERT_CKR(CKR_OK, C_CreateObject(session_, key.data(), key.size(), &handle));
    const session::ObjectEntry* entry = session::FindObjectEntry(handle);
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(c.valueKept, entry->attributes.count(CKA_VALUE) != 0);
    EXPECT_EQ(c.what, ReadText(session_, handle));
  }
  // The card key slot is the key's only home: a token key still signs.
  Template search;
  search.Text(CKA_LABEL, "token key");
  const auto found = FindAll(session_, search);
  ASSERT_EQ(1u, found.size());
  CK_MECHANISM sign{CKM_GOSTR3410_WITH_GOSTR3411, nullptr, 0};
  Bytes message(10, 0x01), signature(64);
  CK_ULONG length = signature.size();
  ASSERT_CKR(CKR_OK, C_SignInit(session_, &sign, found[0]));
  EXPECT_CKR(CKR_OK, C_Sign(session_, message.data(), message.size(), signature.data(), &length));
}

}  // namespace
}  // namespace zorad::test
