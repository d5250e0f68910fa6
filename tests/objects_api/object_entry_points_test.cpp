// C_CreateObject, C_DestroyObject, C_GetAttributeValue and
// C_SetAttributeValue: which kind of object a template makes, the login and
// read-only rules, and how attribute values are served.
#include <gtest/gtest.h>

#include <span>

#include "session/object_table.h"
#include "support/token_fixture.h"

namespace zorad::test {
namespace {

using Bytes = std::vector<uint8_t>;

class ObjectEntryPointsTest : public SessionTest {};
class UserObjectsTest : public UserSessionTest {};

TEST_F(ObjectEntryPointsTest, CreationRules) {
  struct Case {
    const char* name;
    std::optional<bool> token;
    bool isPrivate;
    CK_FLAGS sessionFlags;
    CK_RV expected;
  };
  const Case cases[] = {
      {"session object, read-only session", std::nullopt, false, kReadOnly, CKR_OK},
      {"CKA_TOKEN false", false, false, kReadOnly, CKR_OK},
      {"token object, read-only session", true, false, kReadOnly, CKR_SESSION_READ_ONLY},
      {"private session object, nobody in", false, true, kReadWrite, CKR_USER_NOT_LOGGED_IN},
      {"private token object, nobody in", true, true, kReadWrite, CKR_USER_NOT_LOGGED_IN},
      {"token object", true, false, kReadWrite, CKR_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CK_SESSION_HANDLE session = Open(c.sessionFlags);
    Template object;
    object.Ulong(CKA_CLASS, CKO_DATA).Text(CKA_LABEL, c.name).Bool(CKA_PRIVATE, c.isPrivate);
    if (c.token) object.Bool(CKA_TOKEN, *c.token);
    const size_t entriesBefore = session::Objects().size();
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    EXPECT_CKR(c.expected, C_CreateObject(session, object.data(), object.size(), &handle));
    if (c.expected == CKR_OK) {
      EXPECT_EQ(c.name, ReadText(session, handle));
    } else {
      EXPECT_EQ(CK_INVALID_HANDLE, handle);
      EXPECT_EQ(entriesBefore, session::Objects().size());
    }
  }
}

TEST_F(ObjectEntryPointsTest, FailedCardCreationLeavesNoHandle) {
  Template certificate;
  certificate.Ulong(CKA_CLASS, CKO_CERTIFICATE).Bool(CKA_TOKEN, true).Bool(CKA_SIGN, true);
  const size_t entriesBefore = session::Objects().size();
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  EXPECT_CKR(CKR_ATTRIBUTE_VALUE_INVALID,
             C_CreateObject(session_, certificate.data(), certificate.size(), &handle));
  EXPECT_EQ(CK_INVALID_HANDLE, handle);
  EXPECT_EQ(entriesBefore, session::Objects().size());
}

TEST_F(ObjectEntryPointsTest, SessionObjectsBelongToTheirSessionButAnySessionMayDestroyThem) {
  const CK_SESSION_HANDLE other = Open();
  const CK_OBJECT_HANDLE mine = CreateData("mine", false);
  const CK_OBJECT_HANDLE kept = CreateData("kept", false, false, other);
  EXPECT_CKR(CKR_OK, C_DestroyObject(other, mine));
  EXPECT_CKR(CKR_OBJECT_HANDLE_INVALID, C_DestroyObject(other, mine));
  ASSERT_CKR(CKR_OK, C_CloseSession(other));
  EXPECT_CKR(CKR_OBJECT_HANDLE_INVALID, C_DestroyObject(session_, kept));
}

TEST_F(ObjectEntryPointsTest, TokenObjectsNeedAReadWriteSessionToChange) {
  const CK_OBJECT_HANDLE object = CreateData("on card", true);
  const CK_SESSION_HANDLE readOnly = Open(kReadOnly);
  Template label;
  label.Text(CKA_LABEL, "renamed");
  EXPECT_CKR(CKR_SESSION_READ_ONLY, C_SetAttributeValue(readOnly, object, label.data(), 1));
  EXPECT_CKR(CKR_SESSION_READ_ONLY, C_DestroyObject(readOnly, object));
  EXPECT_EQ("on card", ReadText(readOnly, object));
  EXPECT_CKR(CKR_OK, C_SetAttributeValue(session_, object, label.data(), 1));
  EXPECT_EQ("renamed", ReadText(readOnly, object));
  EXPECT_CKR(CKR_OK, C_DestroyObject(session_, object));
  EXPECT_EQ("", ReadText(session_, object));
}

TEST_F(ObjectEntryPointsTest, UnknownHandlesAndBadArguments) {
  Template label;
  label.Text(CKA_LABEL, "x");
  const CK_OBJECT_HANDLE object = CreateData("x", false);
  EXPECT_CKR(CKR_SESSION_HANDLE_INVALID, C_DestroyObject(session_ + 1000, object));
  EXPECT_CKR(CKR_OBJECT_HANDLE_INVALID, C_DestroyObject(session_, object + 1000));
  EXPECT_CKR(CKR_OBJECT_HANDLE_INVALID,
             C_SetAttributeValue(session_, object + 1000, label.data(), 1));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_GetAttributeValue(session_, object, nullptr, 1));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_GetAttributeValue(session_, object, label.data(), 0));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_SetAttributeValue(session_, object, nullptr, 1));
  CK_OBJECT_HANDLE handle = 0;
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_CreateObject(session_, nullptr, 1, &handle));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_CreateObject(session_, label.data(), 1, nullptr));
  CK_ATTRIBUTE missingValue{CKA_LABEL, nullptr, 4};
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_CreateObject(session_, &missingValue, 1, &handle));
}

// Every template entry is served; the code is that of the last failing one,
// and both failures report an unavailable length.
TEST_F(ObjectEntryPointsTest, GetAttributeValueReportsEachEntry) {
  const CK_OBJECT_HANDLE object = CreateData("label", false);
  struct Case {
    bool unknownFirst;
    CK_RV expected;
  };
  for (const Case c : {Case{true, CKR_BUFFER_TOO_SMALL}, Case{false, CKR_ATTRIBUTE_TYPE_INVALID}}) {
    uint8_t small[2] = {};
    uint8_t unknown[8] = {};
    CK_ATTRIBUTE tooSmall{CKA_LABEL, small, sizeof small};
    CK_ATTRIBUTE absent{CKA_APPLICATION, unknown, sizeof unknown};
    CK_ATTRIBUTE entries[2] = {c.unknownFirst ? absent : tooSmall,
                               c.unknownFirst ? tooSmall : absent};
    EXPECT_CKR(c.expected, C_GetAttributeValue(session_, object, entries, 2));
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, entries[0].ulValueLen);
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, entries[1].ulValueLen);
  }
  CK_ATTRIBUTE query{CKA_LABEL, nullptr, 0};
  EXPECT_CKR(CKR_OK, C_GetAttributeValue(session_, object, &query, 1));
  EXPECT_EQ(5u, query.ulValueLen);
}

TEST_F(UserObjectsTest, PrivateObjectsNeedTheUser) {
  const CK_OBJECT_HANDLE sessionObject = CreateData("private", false, true);
  const CK_OBJECT_HANDLE tokenObject = CreateData("private on card", true, true);
  EXPECT_EQ("private on card", ReadText(session_, tokenObject));
  ASSERT_CKR(CKR_OK, C_Logout(session_));
  for (const CK_OBJECT_HANDLE handle : {sessionObject, tokenObject}) {
    Template label;
    label.Text(CKA_LABEL, "x");
    EXPECT_CKR(CKR_OBJECT_HANDLE_INVALID, C_GetAttributeValue(session_, handle, label.data(), 1));
  }
  // The SO does not count as the user.
  ASSERT_CKR(CKR_OK, Login(session_, CKU_SO, kSoPin));
  Template object;
  object.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_PRIVATE, true);
  CK_OBJECT_HANDLE handle = 0;
  EXPECT_CKR(CKR_USER_NOT_LOGGED_IN,
             C_CreateObject(session_, object.data(), object.size(), &handle));
}

// What an object is, where it lives and who may read it are fixed when it
// is created.
TEST_F(UserObjectsTest, ClassTokenAndPrivateAreReadOnly) {
  const CK_OBJECT_HANDLE handle = CreateData("fixed", true);
  card_->ClearLog();
  for (const CK_ATTRIBUTE_TYPE type : {CKA_CLASS, CKA_TOKEN, CKA_PRIVATE}) {
    Template change;
    change.Bool(type, true).Text(CKA_LABEL, "changed");
    EXPECT_CKR(CKR_ATTRIBUTE_READ_ONLY,
               C_SetAttributeValue(session_, handle, change.data(), change.size()));
  }
  EXPECT_EQ(0u, card_->CountCommands({std::nullopt, 0xD6})) << "nothing written";
  EXPECT_EQ("fixed", ReadText(session_, handle));
}

// A key's CKA_VALUE cannot be changed, neither on the card nor in memory.
TEST_F(UserObjectsTest, KeyValueIsReadOnly) {
  Bytes scalar(32);
  for (size_t i = 0; i < scalar.size(); ++i) scalar[i] = static_cast<uint8_t>(i + 1);
  struct Case {
    bool token;
    CK_OBJECT_CLASS keyClass;
  };
  // An imported private key goes to a card key slot; a session key keeps its
  // value in memory.
  for (const Case c : {Case{false, CKO_PUBLIC_KEY}, Case{true, CKO_PRIVATE_KEY}}) {
    SCOPED_TRACE(c.token);
    Template key;
    key.Ulong(CKA_CLASS, c.keyClass).Ulong(CKA_KEY_TYPE, CKK_GOSTR3410).Bool(CKA_PRIVATE, true);
    key.Bool(CKA_TOKEN, c.token).Bytes(CKA_VALUE, scalar).Text(CKA_LABEL, "key");
    CK_OBJECT_HANDLE handle = 0;
    ASSERT_CKR(CKR_OK, C_CreateObject(session_, key.data(), key.size(), &handle));
    card_->ClearLog();
    Template change;
    change.Bytes(CKA_VALUE, Bytes(32, 0x11)).Text(CKA_LABEL, "changed");
    EXPECT_CKR(CKR_ATTRIBUTE_READ_ONLY,
               C_SetAttributeValue(session_, handle, change.data(), change.size()));
    EXPECT_EQ(0u, card_->CountCommands({std::nullopt, 0xD6})) << "nothing written";
    EXPECT_EQ("key", ReadText(session_, handle));
    if (!c.token) {
      EXPECT_EQ(scalar, ReadAttribute(session_, handle, CKA_VALUE));
    }
  }
}

// A private key's value stays on the token: CKR_ATTRIBUTE_SENSITIVE for a
// key made sensitive or unextractable, and for every key on the card
// (SoftHSMv2 answers the same). What a key reports of its history follows
// how it was made, and CKA_SENSITIVE and CKA_EXTRACTABLE change one way only.
TEST_F(UserObjectsTest, SensitiveValuesStayHidden) {
  Template pub, priv;
  pub.Bool(CKA_TOKEN, true).Bytes(CKA_GOSTR3410_PARAMS, {6, 7, 0x2A, 0x85, 3, 2, 2, 0x23, 1});
  priv.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true);
  CK_MECHANISM generate{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE keys[3] = {};  // made on the card, imported to it, a session key
  ASSERT_CKR(CKR_OK, C_GenerateKeyPair(session_, &generate, pub.data(), pub.size(), priv.data(),
                                       priv.size(), &keys[1], &keys[0]));
  for (int i = 1; i < 3; ++i) {
    Template t;
    t.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Ulong(CKA_KEY_TYPE, CKK_GOSTR3410).Bool(CKA_TOKEN, i == 1);
    t.Bool(CKA_SENSITIVE, true).Bool(CKA_LOCAL, true).Bytes(CKA_VALUE, Bytes(32, 7));
    ASSERT_CKR(CKR_OK, C_CreateObject(session_, t.data(), t.size(), &keys[i]));
  }
  for (const CK_OBJECT_HANDLE key : keys) {
    SCOPED_TRACE(key);
    Bytes value(64);
    CK_ATTRIBUTE read{CKA_VALUE, value.data(), static_cast<CK_ULONG>(value.size())};
    EXPECT_CKR(CKR_ATTRIBUTE_SENSITIVE, C_GetAttributeValue(session_, key, &read, 1));
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, read.ulValueLen);
    const Bytes made{static_cast<uint8_t>(key == keys[0])};
    for (const CK_ATTRIBUTE_TYPE type : {CKA_ALWAYS_SENSITIVE, CKA_NEVER_EXTRACTABLE, CKA_LOCAL}) {
      EXPECT_EQ(made, ReadAttribute(session_, key, type)) << type;
    }
    EXPECT_EQ(Bytes{0}, ReadAttribute(session_, key, CKA_EXTRACTABLE));
    Template change;
    change.Bool(CKA_SENSITIVE, false).Bool(CKA_EXTRACTABLE, true);
    for (CK_ATTRIBUTE& one : std::span(change.data(), 2)) {
      EXPECT_CKR(CKR_ATTRIBUTE_READ_ONLY, C_SetAttributeValue(session_, key, &one, 1));
    }
  }
  // A session key made readable may still become sensitive, not back.
  Template open;
  open.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Ulong(CKA_KEY_TYPE, CKK_GOSTR3410);
  open.Bool(CKA_SENSITIVE, false).Bool(CKA_EXTRACTABLE, true).Bytes(CKA_VALUE, Bytes(32, 9));
  ASSERT_CKR(CKR_OK, C_CreateObject(session_, open.data(), open.size(), &keys[2]));
  EXPECT_EQ(Bytes(32, 9), ReadAttribute(session_, keys[2], CKA_VALUE));
  Template seal;
  seal.Bool(CKA_SENSITIVE, true);
  ASSERT_CKR(CKR_OK, C_SetAttributeValue(session_, keys[2], seal.data(), 1));
  EXPECT_TRUE(ReadAttribute(session_, keys[2], CKA_VALUE).empty());
}

}  // namespace
}  // namespace zorad::test
