// C_FindObjectsInit, C_FindObjects and C_FindObjectsFinal: the order
// (private token objects, public token objects, session objects), paging,
// each session's own search, handles across logout, and removals during a
// search.
#include <gtest/gtest.h>

#include <algorithm>

#include "session/object_table.h"
#include "slot/slot_table.h"
#include "store/object_delete.h"
#include "support/token_fixture.h"

namespace zorad::test {
namespace {

using Handles = std::vector<CK_OBJECT_HANDLE>;

class ObjectSearchTest : public UserSessionTest {
 protected:
  Handles Page(CK_SESSION_HANDLE session, CK_ULONG maximum) {
    Handles page(maximum);
    CK_ULONG count = 99;
    EXPECT_CKR(CKR_OK, C_FindObjects(session, page.data(), maximum, &count));
    page.resize(std::min<CK_ULONG>(count, maximum));
    return page;
  }
  std::vector<std::string> Labels(const Handles& handles) {
    std::vector<std::string> labels;
    for (const CK_OBJECT_HANDLE h : handles) labels.push_back(ReadText(session_, h));
    return labels;
  }
};

TEST_F(ObjectSearchTest, TokenObjectsComeFirstPrivateBeforePublicThenSessionObjects) {
  CreateData("session", false);
  CreateData("public 1", true);
  CreateData("private", true, true);
  CreateData("public 2", true);

  ASSERT_CKR(CKR_OK, C_FindObjectsInit(session_, nullptr, 0));
  const Handles first = Page(session_, 2);
  const Handles second = Page(session_, 2);
  EXPECT_EQ(2u, first.size());
  EXPECT_EQ(2u, second.size());
  EXPECT_TRUE(Page(session_, 2).empty());
  ASSERT_CKR(CKR_OK, C_FindObjectsFinal(session_));

  const std::vector<std::string> labels = Labels({first[0], first[1], second[0], second[1]});
  EXPECT_EQ("private", labels[0]);
  std::vector<std::string> publics{labels[1], labels[2]};
  std::sort(publics.begin(), publics.end());  // public objects come in card id order
  EXPECT_EQ((std::vector<std::string>{"public 1", "public 2"}), publics);
  EXPECT_EQ("session", labels[3]);

  // A token object keeps its handle across searches.
  EXPECT_EQ((Handles{first[0], first[1], second[0], second[1]}), FindAll(session_));
}

TEST_F(ObjectSearchTest, TemplatesMatchWholeValues) {
  CreateData("abc", true);
  CreateData("ab", false);
  Template exact;
  exact.Text(CKA_LABEL, "ab");
  EXPECT_EQ((std::vector<std::string>{"ab"}), Labels(FindAll(session_, exact)));
  Template none;
  none.Text(CKA_LABEL, "a");
  EXPECT_TRUE(FindAll(session_, none).empty());
}

// Each session keeps its own template; ending one search leaves the other.
TEST_F(ObjectSearchTest, TwoSessionsSearchWithTheirOwnTemplates) {
  const CK_SESSION_HANDLE other = Open();
  CreateData("red", true);
  CreateData("blue", true);
  CreateData("red", false);
  Template red, blue;
  red.Text(CKA_LABEL, "red");
  blue.Text(CKA_LABEL, "blue");

  ASSERT_CKR(CKR_OK, C_FindObjectsInit(session_, red.data(), red.size()));
  ASSERT_CKR(CKR_OK, C_FindObjectsInit(other, blue.data(), blue.size()));
  EXPECT_EQ((std::vector<std::string>{"red"}), Labels(Page(session_, 1)));
  ASSERT_CKR(CKR_OK, C_FindObjectsFinal(other));
  EXPECT_EQ((std::vector<std::string>{"red"}), Labels(Page(session_, 5)));
  EXPECT_TRUE(Page(session_, 5).empty());

  CK_OBJECT_HANDLE handle = 0;
  CK_ULONG count = 7;
  EXPECT_CKR(CKR_OPERATION_NOT_INITIALIZED, C_FindObjects(other, &handle, 1, &count));
  EXPECT_EQ(0u, count);
  ASSERT_CKR(CKR_OK, C_FindObjectsFinal(session_));
  EXPECT_CKR(CKR_OPERATION_NOT_INITIALIZED, C_FindObjects(session_, &handle, 1, &count));
}

TEST_F(ObjectSearchTest, UnknownSessionsAndArguments) {
  CK_OBJECT_HANDLE handle = 0;
  CK_ULONG count = 7;
  EXPECT_CKR(CKR_SESSION_HANDLE_INVALID, C_FindObjects(session_ + 1000, &handle, 1, &count));
  EXPECT_EQ(0u, count);
  EXPECT_CKR(CKR_SESSION_HANDLE_INVALID, C_FindObjectsInit(session_ + 1000, nullptr, 0));
  EXPECT_CKR(CKR_SESSION_HANDLE_INVALID, C_FindObjectsFinal(session_ + 1000));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_FindObjectsInit(session_, nullptr, 1));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_FindObjects(session_, nullptr, 1, &count));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_FindObjects(session_, &handle, 0, &count));
  EXPECT_CKR(CKR_ARGUMENTS_BAD, C_FindObjects(session_, &handle, 1, nullptr));
}

// Logout takes the handles of private objects along; after a new login the
// private token object is found again under a new handle.
TEST_F(ObjectSearchTest, PrivateHandlesEndAtLogoutAndAreRenewedAfterLogin) {
  CreateData("private session", false, true);
  const CK_OBJECT_HANDLE onCard = CreateData("private token", true, true);
  const CK_OBJECT_HANDLE publicObject = CreateData("public token", true);
  ASSERT_CKR(CKR_OK, C_Logout(session_));
  EXPECT_EQ((Handles{publicObject}), FindAll(session_));
  EXPECT_EQ("", ReadText(session_, onCard));

  ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  const Handles found = FindAll(session_);
  ASSERT_EQ(2u, found.size());
  EXPECT_NE(onCard, found[0]);
  EXPECT_EQ("private token", ReadText(session_, found[0]));
  EXPECT_EQ(publicObject, found[1]);
}

// The search position is kept by handle (by card key for token objects):
// objects destroyed meanwhile are skipped, the others still come, also
// when each object is destroyed as it is handed out.
TEST_F(ObjectSearchTest, RemovalsDuringASearchAreHarmless) {
  const CK_OBJECT_HANDLE a = CreateData("a", false);
  const CK_OBJECT_HANDLE b = CreateData("b", false);
  const CK_OBJECT_HANDLE c = CreateData("c", false);
  ASSERT_CKR(CKR_OK, C_FindObjectsInit(session_, nullptr, 0));
  EXPECT_EQ((Handles{a}), Page(session_, 1));
  ASSERT_CKR(CKR_OK, C_DestroyObject(session_, a));
  ASSERT_CKR(CKR_OK, C_DestroyObject(session_, b));
  EXPECT_EQ((Handles{c}), Page(session_, 5));
  EXPECT_TRUE(Page(session_, 5).empty());
  ASSERT_CKR(CKR_OK, C_FindObjectsFinal(session_));

  for (const char* label : {"t1", "t2", "t3", "t4"}) CreateData(label, true, label[1] > '2');
  ASSERT_CKR(CKR_OK, C_FindObjectsInit(session_, nullptr, 0));
  size_t destroyed = 0;
  for (Handles page = Page(session_, 1); !page.empty(); page = Page(session_, 1)) {
    ASSERT_CKR(CKR_OK, C_DestroyObject(session_, page[0]));
    ++destroyed;
  }
  EXPECT_EQ(5u, destroyed);  // c and the four token objects
}

// One search at a time: a second C_FindObjectsInit is refused and the
// search under way goes on where it was (SoftHSMv2 alike).
TEST_F(ObjectSearchTest, SecondSearchInitIsRefused) {
  CreateData("one", false);
  CreateData("two", false);
  ASSERT_CKR(CKR_OK, C_FindObjectsInit(session_, nullptr, 0));
  EXPECT_EQ(1u, Page(session_, 1).size());
  EXPECT_CKR(CKR_OPERATION_ACTIVE, C_FindObjectsInit(session_, nullptr, 0));
  EXPECT_EQ(1u, Page(session_, 5).size());
  ASSERT_CKR(CKR_OK, C_FindObjectsFinal(session_));
}

// A handle entry that no session can name any more is freed: the entries of
// objects gone from the card at the next search, and every token object's
// entry with the slot's last session.
TEST_F(ObjectSearchTest, HandlesOfVanishedObjectsAreFreed) {
  CreateData("stays", true);
  const CK_OBJECT_HANDLE goes = CreateData("goes", true);
  const session::ObjectEntry* entry = session::FindObjectEntry(goes);
  ASSERT_NE(nullptr, entry);
  slot::Slot& slot = *slot::FindSlot(slotId_);
  ASSERT_CKR(CKR_OK, store::DeleteTokenObject(slot, entry->tokenObject));
  EXPECT_EQ(2u, session::Objects().size());
  EXPECT_EQ(1u, FindAll(session_).size());
  EXPECT_EQ(1u, session::Objects().size());
  ASSERT_CKR(CKR_OK, C_CloseAllSessions(slotId_));
  EXPECT_TRUE(session::Objects().empty());
}

// A card that fails while the search reads it fails the search's
// beginning, and no search is under way.
TEST_F(ObjectSearchTest, CardFailureDuringTheSearchIsReported) {
  CreateData("one", true);
  card_->AnswerMatching({std::nullopt, 0xB0}, 0x6F00);  // every READ BINARY
  EXPECT_NE(CKR_OK, C_FindObjectsInit(session_, nullptr, 0));
  CK_OBJECT_HANDLE handle = 0;
  CK_ULONG count = 7;
  EXPECT_CKR(CKR_OPERATION_NOT_INITIALIZED, C_FindObjects(session_, &handle, 1, &count));
  EXPECT_EQ(0u, count);
}

}  // namespace
}  // namespace zorad::test

namespace zorad::test {
namespace {

// Two tokens in two readers: objects belong to their own slot. Token object
// handles do not reach another slot's card, searches list only the slot's
// own objects, and a logout takes only its own slot's private objects.
class TwoSlotsTest : public UserSessionTest {
 protected:
  void SetUp() override {
    UserSessionTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(sim::pcsc::AddReader("Second Reader"));
    sim::CardPersonalisation p;
    p.serialNumber[6] = 0xEF;
    ASSERT_TRUE(sim::pcsc::InsertCard("Second Reader", std::make_shared<sim::SimulatedCard>(p)));
    CK_SLOT_ID ids[2] = {};
    CK_ULONG count = 2;
    ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, nullptr, &count));
    ASSERT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, ids, &count));
    ASSERT_EQ(2u, count);
    const CK_SLOT_ID second = ids[0] == slotId_ ? ids[1] : ids[0];
    ASSERT_CKR(CKR_OK, C_OpenSession(second, kReadWrite, nullptr, nullptr, &secondSession_));
    ASSERT_CKR(CKR_OK, Login(secondSession_, CKU_USER, kUserPin));
  }
  CK_SESSION_HANDLE secondSession_ = CK_INVALID_HANDLE;
};

TEST_F(TwoSlotsTest, ObjectsStayWithTheirSlot) {
  const CK_OBJECT_HANDLE firstToken = CreateData("first card", true);
  const CK_OBJECT_HANDLE firstPrivate = CreateData("first private", false, true);
  const CK_OBJECT_HANDLE secondToken = CreateData("second card", true, false, secondSession_);
  const CK_OBJECT_HANDLE secondPrivate = CreateData("second private", false, true, secondSession_);

  EXPECT_EQ((Handles{firstToken, firstPrivate}), FindAll(session_));
  EXPECT_EQ((Handles{secondToken, secondPrivate}), FindAll(secondSession_));
  EXPECT_CKR(CKR_OBJECT_HANDLE_INVALID, C_DestroyObject(secondSession_, firstToken));
  EXPECT_EQ("", ReadText(secondSession_, firstToken));

  ASSERT_CKR(CKR_OK, C_Logout(session_));
  EXPECT_EQ("", ReadText(session_, firstPrivate));
  EXPECT_EQ("second private", ReadText(secondSession_, secondPrivate));
}

}  // namespace
}  // namespace zorad::test
