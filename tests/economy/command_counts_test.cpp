// The number of card commands each standard operation sends on the default
// card (allocation tables of one READ BINARY and one UPDATE BINARY, records
// of one block), with the user logged in and two public data objects on the
// token. One command more than the operation needs is a fault: every
// command is a round trip to the card.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sim/pcsc/pcsc_double.h"
#include "support/token_fixture.h"

namespace zorad::test {
namespace {

class CommandCountTest : public UserSessionTest {
 protected:
  void SetUp() override {
    UserSessionTest::SetUp();
    if (HasFatalFailure()) return;
    first_ = CreateData("first", true);
    CreateData("second", true);
    ReadText(session_, first_);  // its attributes are known, as after any read
  }

  CK_OBJECT_HANDLE first_ = CK_INVALID_HANDLE;
};

TEST_F(CommandCountTest, StandardOperations) {
  struct Case {
    const char* operation;
    std::function<void()> run;
    size_t commands;
  };
  const Case cases[] = {
      // SELECT app, serial, each area and its table, the two public
      // headers; the bodies are known since they were written.
      {"find all objects", [&] { FindAll(session_); }, 2 + 2 + 2 + 2},
      // From what the search read.
      {"read an attribute", [&] { ReadText(session_, first_); }, 0},
      // SELECT app, serial, area, table, header, the one block.
      {"relabel in place",
       [&] {
         Template label;
         label.Text(CKA_LABEL, "FIRST");
         ASSERT_CKR(CKR_OK, C_SetAttributeValue(session_, first_, label.data(), label.size()));
       },
       5 + 1},
      {"create data object", [&] { CreateData("third", true); }, 4 + 1 + 2 + 1 + 1},
      {"search of session objects",
       [&] {
         CreateData("session", false);
         Template search;
         EXPECT_EQ(1u, FindAll(session_, search.Bool(CKA_TOKEN, false)).size());
       },
       0},
      {"random 1 KiB",
       [&] {
         std::vector<CK_BYTE> bytes(1024);
         ASSERT_CKR(CKR_OK, C_GenerateRandom(session_, bytes.data(), CK_ULONG(bytes.size())));
       },
       1 + 32},
      // Open, area, header, table, one block erased: the class is known
      // from the read, although the creation refreshed the object list.
      {"delete", [&] { ASSERT_CKR(CKR_OK, C_DestroyObject(session_, first_)); }, 5 + 1 + 1},
      // The PIN states after the deletion: SELECT app, two PIN states.
      {"token information",
       [&] {
         CK_TOKEN_INFO info;
         ASSERT_CKR(CKR_OK, C_GetTokenInfo(slotId_, &info));
       },
       1 + 2},
      {"token information again",
       [&] {
         CK_TOKEN_INFO info;
         ASSERT_CKR(CKR_OK, C_GetTokenInfo(slotId_, &info));
       },
       0},
      // The power cycle only: the public objects are checked at the next search.
      {"logout", [&] { ASSERT_CKR(CKR_OK, C_Logout(session_)); }, 0},
  };
  for (const Case& c : cases) {
    card_->ClearLog();
    c.run();
    EXPECT_EQ(c.commands, card_->Commands().size()) << c.operation;
  }
}

// A call talks to the card in one PC/SC transaction, however many steps it
// takes; a card reset by another application drops what was read, and the
// next read checks the card again (the serial number after the recovery,
// then the object: application, area, table, header).
TEST_F(CommandCountTest, OneTransactionPerCallAndAResetDropsTheCache) {
  const size_t begun = sim::pcsc::CallCount(sim::pcsc::Call::kBeginTransaction);
  ASSERT_CKR(CKR_OK, C_FindObjectsInit(session_, nullptr, 0));  // both areas, every header
  EXPECT_EQ(begun + 1, sim::pcsc::CallCount(sim::pcsc::Call::kBeginTransaction));
  ASSERT_CKR(CKR_OK, C_FindObjectsFinal(session_));
  ASSERT_TRUE(sim::pcsc::ResetByOtherApplication(kReaderName));
  card_->ClearLog();
  ReadText(session_, first_);
  EXPECT_EQ(1u + 1 + 2 + 1, card_->Commands().size());
  card_->ClearLog();
  ReadText(session_, first_);
  EXPECT_EQ(1u + 1 + 2 + 1, card_->Commands().size()) << "checked until the next search";
}

}  // namespace
}  // namespace zorad::test
