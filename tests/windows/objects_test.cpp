// Objects through the Windows ABI: 16-byte packed CK_ATTRIBUTE arrays,
// integer attributes as 4-byte values, CK_UNAVAILABLE_INFORMATION as a
// 32-bit 0xFFFFFFFF, token and session objects, searches.
#include <gtest/gtest.h>

#include <string>

#include "windows_fixture.h"

namespace zorad::wintest {
namespace {

class ObjectsTest : public SessionTest {};

TEST_F(ObjectsTest, TokenObjectRoundTrip) {
  ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  Template object;
  object.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true);
  object.Text(CKA_LABEL, "wine").Text(CKA_APPLICATION, "windows suite");
  object.Add(CKA_VALUE, Bytes{0x00, 0x01, 0xFE, 0xFF});
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  ASSERT_CKR(CKR_OK, F().C_CreateObject(session_, object.data(), object.size(), &handle));

  // Three attributes in one packed array: each entry is read at its own
  // 16-byte stride.
  CK_ULONG objectClass = 0xDEADBEEF;
  char label[16] = {};
  uint8_t value[8] = {};
  CK_ATTRIBUTE read[] = {{CKA_CLASS, &objectClass, sizeof objectClass},
                         {CKA_LABEL, label, sizeof label},
                         {CKA_VALUE, value, sizeof value}};
  ASSERT_CKR(CKR_OK, F().C_GetAttributeValue(session_, handle, read, 3));
  EXPECT_EQ(4u, read[0].ulValueLen);
  EXPECT_EQ(CKO_DATA, objectClass);
  EXPECT_EQ("wine", std::string(label, read[1].ulValueLen));
  EXPECT_EQ((Bytes{0x00, 0x01, 0xFE, 0xFF}), Bytes(value, value + read[2].ulValueLen));

  // Found by its 4-byte class, changed, and gone after destruction.
  Template search;
  search.Ulong(CKA_CLASS, CKO_DATA).Text(CKA_APPLICATION, "windows suite");
  ASSERT_EQ(std::vector<CK_OBJECT_HANDLE>{handle}, FindAll(session_, search));
  Template change;
  change.Text(CKA_LABEL, "a label long enough to need another block on the card, surely");
  ASSERT_CKR(CKR_OK, F().C_SetAttributeValue(session_, handle, change.data(), change.size()));
  EXPECT_EQ("a label long enough to need another block on the card, surely", [&] {
    const Bytes v = ReadAttribute(session_, handle, CKA_LABEL);
    return std::string(v.begin(), v.end());
  }());
  ASSERT_CKR(CKR_OK, F().C_DestroyObject(session_, handle));
  EXPECT_TRUE(FindAll(session_, search).empty());
  EXPECT_CKR(CKR_OBJECT_HANDLE_INVALID, F().C_DestroyObject(session_, handle));
}

TEST_F(ObjectsTest, AttributeReadsReportThroughValueLengths) {
  const CK_OBJECT_HANDLE handle = CreateData("twelve bytes", true);
  char small[4];
  CK_ULONG objectClass = 0;
  CK_ATTRIBUTE read[] = {{CKA_LABEL, nullptr, 0},
                         {CKA_LABEL, small, sizeof small},
                         {CKA_MODULUS, small, sizeof small},
                         {CKA_CLASS, &objectClass, sizeof objectClass}};
  // The last failing entry gives the result; every entry is processed.
  EXPECT_CKR(CKR_ATTRIBUTE_TYPE_INVALID, F().C_GetAttributeValue(session_, handle, read, 4));
  EXPECT_EQ(12u, read[0].ulValueLen);
  EXPECT_EQ(0xFFFFFFFFu, read[1].ulValueLen);
  EXPECT_EQ(0xFFFFFFFFu, read[2].ulValueLen);
  EXPECT_EQ(4u, read[3].ulValueLen);
  EXPECT_EQ(CKO_DATA, objectClass);
}

TEST_F(ObjectsTest, PrivateObjectsNeedTheUser) {
  Template object;
  object.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true);
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  EXPECT_CKR(CKR_USER_NOT_LOGGED_IN,
             F().C_CreateObject(session_, object.data(), object.size(), &handle));
  ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  const CK_OBJECT_HANDLE hidden = CreateData("private", true, true);
  const CK_OBJECT_HANDLE open = CreateData("public", true, false);
  EXPECT_EQ(2u, FindAll(session_).size());
  ASSERT_CKR(CKR_OK, F().C_Logout(session_));
  EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{open}, FindAll(session_));
  EXPECT_TRUE(ReadAttribute(session_, hidden, CKA_LABEL).empty());
}

TEST_F(ObjectsTest, SessionObjectsStayOffTheCard) {
  const uint32_t updates = Sim().CardCountCommands(kReader, -1, 0xD6);
  const CK_OBJECT_HANDLE handle = CreateData("session only", false);
  EXPECT_EQ(updates, Sim().CardCountCommands(kReader, -1, 0xD6));
  const CK_SESSION_HANDLE other = Open(kReadOnly);
  EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{handle}, FindAll(other));
  ASSERT_CKR(CKR_OK, F().C_CloseSession(session_));
  EXPECT_TRUE(ReadAttribute(other, handle, CKA_LABEL).empty());
  EXPECT_TRUE(FindAll(other).empty());
}

TEST_F(ObjectsTest, ReadOnlySessionCannotWriteTheToken) {
  const CK_SESSION_HANDLE ro = Open(kReadOnly);
  Template object;
  object.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true);
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  EXPECT_CKR(CKR_SESSION_READ_ONLY, F().C_CreateObject(ro, object.data(), object.size(), &handle));
  const CK_OBJECT_HANDLE token = CreateData("written", true);
  EXPECT_CKR(CKR_SESSION_READ_ONLY, F().C_DestroyObject(ro, token));
}

// Searches page through the results, and each session keeps its own.
TEST_F(ObjectsTest, SearchesArePagedAndPerSession) {
  for (int i = 0; i < 5; ++i) CreateData("item " + std::to_string(i), true);
  const CK_SESSION_HANDLE other = Open(kReadOnly);
  Template everything;
  ASSERT_CKR(CKR_OK, F().C_FindObjectsInit(session_, everything.data(), 0));
  Template labelled;
  labelled.Text(CKA_LABEL, "item 3");
  ASSERT_CKR(CKR_OK, F().C_FindObjectsInit(other, labelled.data(), labelled.size()));
  CK_OBJECT_HANDLE page[2];
  CK_ULONG count = 0;
  size_t total = 0;
  do {
    ASSERT_CKR(CKR_OK, F().C_FindObjects(session_, page, 2, &count));
    EXPECT_LE(count, 2u);
    total += count;
  } while (count != 0);
  EXPECT_EQ(5u, total);
  ASSERT_CKR(CKR_OK, F().C_FindObjectsFinal(session_));
  EXPECT_CKR(CKR_OPERATION_NOT_INITIALIZED, F().C_FindObjects(session_, page, 2, &count));
  ASSERT_CKR(CKR_OK, F().C_FindObjects(other, page, 2, &count));
  EXPECT_EQ(1u, count);
  ASSERT_CKR(CKR_OK, F().C_FindObjectsFinal(other));
}

}  // namespace
}  // namespace zorad::wintest
