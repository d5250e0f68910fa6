// Slot IDs and the slot list: stable IDs per reader, the counter that goes
// on across initialisations, and the two-call protocol.
#include <gtest/gtest.h>

#include "slots/slots_fixture.h"

namespace zorad::test {
namespace {

using sim::pcsc::AddReader;
using sim::pcsc::RemoveReader;

class SlotTableTest : public SlotsTest {};

// Under ctest each case runs in its own process and the first slot is 1;
// run together the counter goes on, so IDs are compared with the first.
TEST_F(SlotTableTest, ReadersKeepTheirSlotIdsAndNewOnesGetHigherOnes) {
  ASSERT_TRUE(AddReader("Beta"));
  ASSERT_TRUE(AddReader("Alpha"));
  const std::vector<CK_SLOT_ID> first = SlotList();
  ASSERT_EQ(2u, first.size());
  const CK_SLOT_ID alpha = first[0];
  EXPECT_EQ(alpha + 1, first[1]);
  EXPECT_EQ("Alpha", Description(alpha));  // numbered in name order

  ASSERT_TRUE(RemoveReader("Alpha"));
  EXPECT_EQ(first, SlotList());
  ASSERT_TRUE(AddReader("Alpha"));
  ASSERT_TRUE(AddReader("Gamma"));
  EXPECT_EQ((std::vector<CK_SLOT_ID>{alpha, alpha + 1, alpha + 2}), SlotList());
  EXPECT_EQ("Alpha", Description(alpha));

  ASSERT_CKR(CKR_OK, C_Finalize(nullptr));
  ASSERT_CKR(CKR_OK, C_Initialize(nullptr));
  EXPECT_EQ((std::vector<CK_SLOT_ID>{alpha + 3, alpha + 4, alpha + 5}), SlotList());
  EXPECT_EQ("Alpha", Description(alpha + 3));
  EXPECT_EQ("Gamma", Description(alpha + 5));
}

TEST_F(SlotTableTest, ListCallsCopyWhatTheLastCountQueryFound) {
  ASSERT_TRUE(AddReader("Alpha"));
  ASSERT_TRUE(AddReader("Beta"));
  CK_SLOT_ID ids[4] = {};
  CK_ULONG count = 4;
  // A buffer passed before any count query gets the list built at once
  // (clients such as GnuTLS never ask for the count first).
  EXPECT_CKR(CKR_OK, C_GetSlotList(CK_FALSE, ids, &count));
  EXPECT_EQ(2u, count);

  const std::vector<CK_SLOT_ID> listed = SlotList();
  EXPECT_EQ(listed, std::vector<CK_SLOT_ID>(ids, ids + count));
  ASSERT_TRUE(AddReader("Gamma"));
  count = 4;
  EXPECT_CKR(CKR_OK, C_GetSlotList(CK_TRUE, ids, &count));
  EXPECT_EQ(listed, std::vector<CK_SLOT_ID>(ids, ids + count));
  count = 1;
  EXPECT_CKR(CKR_BUFFER_TOO_SMALL, C_GetSlotList(CK_FALSE, ids, &count));
  EXPECT_EQ(2u, count);
}

// One reader of two is unplugged with its card: the removal must not be lost
// between the reader list (which clears the reader's state) and the state
// query of the remaining readers.
TEST_F(SlotTableTest, UnpluggedReaderTakesItsTokenAlong) {
  ASSERT_TRUE(AddReader("Alpha"));
  ASSERT_TRUE(AddReader("Beta"));
  InsertCard("Beta");
  const std::vector<CK_SLOT_ID> all = SlotList();
  ASSERT_EQ(std::vector<CK_SLOT_ID>{all[1]}, SlotList(CK_TRUE));
  ASSERT_TRUE(RemoveReader("Beta"));
  EXPECT_EQ(all, SlotList());
  EXPECT_TRUE(SlotList(CK_TRUE).empty());
  CK_TOKEN_INFO info;
  EXPECT_CKR(CKR_TOKEN_NOT_PRESENT, C_GetTokenInfo(all[1], &info));
}

TEST_F(SlotTableTest, TokenFilterAndReadersThatWentAway) {
  for (const char* name : {"Alpha", "Beta", "Gamma"}) ASSERT_TRUE(AddReader(name));
  InsertCard("Beta");
  ASSERT_TRUE(sim::pcsc::InsertCard("Gamma", std::make_shared<ForeignCard>()));
  const std::vector<CK_SLOT_ID> all = SlotList();
  ASSERT_EQ(3u, all.size());
  EXPECT_EQ(std::vector<CK_SLOT_ID>{all[1]}, SlotList(CK_TRUE));

  // The service reports no readers: every slot seen stays, without token.
  for (const char* name : {"Alpha", "Beta", "Gamma"}) ASSERT_TRUE(RemoveReader(name));
  EXPECT_EQ(all, SlotList());
  EXPECT_TRUE(SlotList(CK_TRUE).empty());
  EXPECT_FALSE(TokenPresent(all[1]));
}

// Another application resets the card (every disconnection does) just as
// this one takes up a newly inserted card: the card is still a token here.
TEST_F(SlotTableTest, CardResetByAnotherApplicationWhileAttached) {
  ASSERT_TRUE(AddReader("Alpha"));
  InsertCard("Alpha");
  sim::pcsc::FailNext(sim::pcsc::Call::kBeginTransaction,
                      static_cast<sim::pcsc::Code>(SCARD_W_RESET_CARD));
  EXPECT_EQ(1u, SlotList(CK_TRUE).size());
  EXPECT_EQ(1u, sim::pcsc::CallCount(sim::pcsc::Call::kReconnect));
}

}  // namespace
}  // namespace zorad::test
