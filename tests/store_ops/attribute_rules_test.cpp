// The per-class attribute rules and the creation context, without a card.
#include <gtest/gtest.h>

#include "platform/cryptoki.h"
#include "store/attribute_rules.h"
#include "store/creation_context.h"

namespace zorad::test {
namespace {

using store::AttributeList;

TEST(AttributeRulesTest, TypesByClass) {
  struct Case {
    CK_ATTRIBUTE_TYPE type;
    bool data, certificate, publicKey, privateKey, otherClass;
  };
  const Case cases[] = {
      {CKA_CLASS, true, true, true, true, true},
      {CKA_LABEL, true, true, true, true, true},
      {CKA_VALUE, true, true, true, true, true},
      {CKA_MODIFIABLE, true, true, true, true, true},
      {CKA_APPLICATION, true, false, false, false, false},
      {CKA_OBJECT_ID, true, false, false, false, false},
      {CKA_ISSUER, false, true, false, false, false},
      {CKA_CHECK_VALUE, false, true, false, false, false},
      {CKA_ID, false, true, true, true, false},
      {CKA_END_DATE, false, true, true, true, false},
      {CKA_KEY_TYPE, false, false, true, true, false},
      {CKA_GOST28147_PARAMS, false, false, true, true, false},
      {CKA_VERIFY, false, false, true, false, false},
      {CKA_SIGN, false, false, false, true, false},
      {CKA_ALWAYS_SENSITIVE, false, false, false, true, false},
      {CKA_DECRYPT, false, false, false, false, false},
      {CKA_VENDOR_DEFINED, false, false, false, false, false},
      {0x10003, false, false, false, false, false},  // the low 16 bits are CKA_LABEL
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.data, store::AttributeAllowed(CKO_DATA, c.type)) << std::hex << c.type;
    EXPECT_EQ(c.certificate, store::AttributeAllowed(CKO_CERTIFICATE, c.type)) << std::hex << c.type;
    EXPECT_EQ(c.publicKey, store::AttributeAllowed(CKO_PUBLIC_KEY, c.type)) << std::hex << c.type;
    EXPECT_EQ(c.privateKey, store::AttributeAllowed(CKO_PRIVATE_KEY, c.type)) << std::hex << c.type;
    EXPECT_EQ(c.otherClass, store::AttributeAllowed(CKO_SECRET_KEY, c.type)) << std::hex << c.type;
  }
}

TEST(AttributeRulesTest, WholeTemplates) {
  const AttributeList privateKey{{CKA_CLASS, {3, 0, 0, 0}}, {CKA_TOKEN, {1}},
                                 {CKA_KEY_TYPE, {0x30, 0, 0, 0}}, {CKA_SIGN, {1}},
                                 {CKA_GOSTR3410_PARAMS, {6}}};
  EXPECT_TRUE(store::CheckTemplateAttributes(CKO_PRIVATE_KEY, privateKey));
  EXPECT_FALSE(store::CheckTemplateAttributes(CKO_PUBLIC_KEY, privateKey));  // CKA_SIGN
  EXPECT_FALSE(store::CheckTemplateAttributes(CKO_CERTIFICATE, {{CKA_SIGN, {1}}}));
  EXPECT_TRUE(store::CheckTemplateAttributes(CKO_DATA, {}));
}

TEST(CreationContextTest, NotesIdentifiersAndKeyReferences) {
  store::CreationContext context;
  context.candidates = {5, 7, 5, 0, 9, 11, 13, 15};
  store::TokenObject object;
  object.toh.id = 5;
  object.toh.keyRef = 3;
  EXPECT_TRUE(store::NoteUsedIdAndKeyRef(object, context));
  EXPECT_EQ((std::array<uint32_t, 8>{0, 7, 0, 0, 9, 11, 13, 15}), context.candidates);
  EXPECT_TRUE(context.keyRefsInUse.test(3));

  const auto first = store::NextCandidate(context);
  ASSERT_TRUE(first);
  EXPECT_EQ(7u, first->id);
  EXPECT_EQ(9u, store::NextCandidate(context, first->position)->id);

  // A key reference beyond the set stops the refresh, and the creation.
  object.toh.keyRef = 128;
  EXPECT_FALSE(store::NoteUsedIdAndKeyRef(object, context));
}

TEST(CreationContextTest, FreeKeyReferenceWithinClippedRange) {
  store::CreationContext context;
  context.keyRefsInUse.set(0).set(1).set(2);
  EXPECT_EQ(3, store::FreeKeyRef(context, 1, 4));
  EXPECT_EQ(3, store::FreeKeyRef(context, 0, 4));  // 0 is never a key reference
  context.keyRefsInUse.set(3).set(4);
  EXPECT_FALSE(store::FreeKeyRef(context, 1, 4));
  EXPECT_EQ(127, store::FreeKeyRef(context, 127, 255));
  context.keyRefsInUse.set(127);
  EXPECT_FALSE(store::FreeKeyRef(context, 127, 255));  // 128 and beyond are not used
  EXPECT_FALSE(store::FreeKeyRef(context, 200, 255));
}

}  // namespace
}  // namespace zorad::test
