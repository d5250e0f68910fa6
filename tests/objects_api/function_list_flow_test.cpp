// One application's round through the function list: open a session, log
// in, create a token object, find it, change it, destroy it, log out.
#include <gtest/gtest.h>

#include <cstring>

#include "support/token_fixture.h"

namespace zorad::test {
namespace {

class FunctionListFlowTest : public CardInReaderTest {};

TEST_F(FunctionListFlowTest, OpenLoginCreateFindChangeDestroyLogout) {
  CK_FUNCTION_LIST_PTR f = nullptr;
  ASSERT_CKR(CKR_OK, C_GetFunctionList(&f));
  ASSERT_NE(nullptr, f);

  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  ASSERT_CKR(CKR_OK, f->C_OpenSession(slotId_, kReadWrite, nullptr, nullptr, &session));
  CK_UTF8CHAR pin[] = {'1', '2', '3', '4', '5', '6', '7', '8'};
  ASSERT_CKR(CKR_OK, f->C_Login(session, CKU_USER, pin, sizeof pin));

  Template object;
  object.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true);
  object.Text(CKA_LABEL, "flow").Text(CKA_APPLICATION, "tests");
  CK_OBJECT_HANDLE created = CK_INVALID_HANDLE;
  ASSERT_CKR(CKR_OK, f->C_CreateObject(session, object.data(), object.size(), &created));

  Template search;
  search.Text(CKA_APPLICATION, "tests");
  ASSERT_CKR(CKR_OK, f->C_FindObjectsInit(session, search.data(), search.size()));
  CK_OBJECT_HANDLE found[4] = {};
  CK_ULONG count = 0;
  ASSERT_CKR(CKR_OK, f->C_FindObjects(session, found, 4, &count));
  ASSERT_CKR(CKR_OK, f->C_FindObjectsFinal(session));
  ASSERT_EQ(1u, count);
  EXPECT_EQ(created, found[0]);

  Template change;
  change.Text(CKA_LABEL, "a longer label that needs more room on the card");
  ASSERT_CKR(CKR_OK, f->C_SetAttributeValue(session, created, change.data(), change.size()));
  char label[64] = {};
  CK_ATTRIBUTE read{CKA_LABEL, label, sizeof label};
  ASSERT_CKR(CKR_OK, f->C_GetAttributeValue(session, created, &read, 1));
  EXPECT_EQ("a longer label that needs more room on the card", std::string(label, read.ulValueLen));

  ASSERT_CKR(CKR_OK, f->C_DestroyObject(session, created));
  ASSERT_CKR(CKR_OK, f->C_FindObjectsInit(session, search.data(), search.size()));
  ASSERT_CKR(CKR_OK, f->C_FindObjects(session, found, 4, &count));
  EXPECT_EQ(0u, count);
  ASSERT_CKR(CKR_OK, f->C_FindObjectsFinal(session));

  ASSERT_CKR(CKR_OK, f->C_Logout(session));
  CK_SESSION_INFO info{};
  ASSERT_CKR(CKR_OK, f->C_GetSessionInfo(session, &info));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, info.state);
  EXPECT_CKR(CKR_OK, f->C_CloseSession(session));
}

}  // namespace
}  // namespace zorad::test
